// Fetching one web resource: the HTTP exchange runs on a worker thread of its
// own while the calling (GUI) thread keeps dispatching window messages, within a
// time-out.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/value.h"

namespace tobrine {

// The result of a fetch that ran out of time (code page 936 bytes).
std::string_view TimeoutNotice();

// The address as a fetch requests it: "http://" in front when it names no
// scheme.
TextValue AddressWithScheme(TextValue address);

// Fetches `address` and returns the response body, the time-out notice, or the
// empty block (empty address, failed exchange, worker that cannot start).
//   address          rewritten with "http://" in front when it has no scheme
//   method           1 = POST, anything else GET
//   proxy            "host:port" of an http proxy for http:// addresses
//   extraHeaders     request header lines, each ending in CR LF
//   postBody         bytes sent with a POST
//   cookies          sent in a "Cookie: " line (and switches stored cookies off)
//   timeoutSeconds   absent: 60; a given value, 0 included, is used as it is
//   receivedHeaders  when passed: the raw response header text
//   bodyConversion   1: UTF-8 body to code page 936; 2: Big5 body to simplified
//                    code page 936; the converted body ends at its first NUL
//   receivedCookies  when passed: the received cookie text
//   followRedirects  absent: true
// Messages dispatched while waiting may run handlers that fetch in turn; the
// nested fetch finishes before this one goes on waiting.
ByteBlock WebAccess(TextValue& address, std::optional<int32_t> method = std::nullopt,
                    std::optional<std::string_view> proxy = std::nullopt,
                    std::optional<std::string_view> extraHeaders = std::nullopt,
                    std::optional<std::string_view> postBody = std::nullopt,
                    std::optional<std::string_view> cookies = std::nullopt,
                    std::optional<int32_t> timeoutSeconds = std::nullopt,
                    TextValue* receivedHeaders = nullptr,
                    std::optional<int32_t> bodyConversion = std::nullopt,
                    TextValue* receivedCookies = nullptr,
                    std::optional<bool> followRedirects = std::nullopt);

}  // namespace tobrine
