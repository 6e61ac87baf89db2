// Fetching one web resource: the HTTP exchange runs on a worker thread of its
// own while the calling (GUI) thread keeps dispatching window messages, within a
// time-out.
#pragma once

#include <cstdint>
#include <string_view>

#include "runtime/value.h"
#include "web/fetch_outcome.h"

namespace tobrine {

// The result of a fetch that ran out of time (code page 936 bytes).
std::string_view TimeoutNotice();

enum class HttpMethod { kGet, kPost };

// What the body is converted from, into code page 936. A converted body ends at
// its first NUL.
enum class BodyConversion {
  kNone,
  kUtf8,
  kBig5,  // to simplified characters too
};

// How to fetch; the defaults fetch with a GET, directly, within 60 seconds.
struct FetchOptions {
  HttpMethod method = HttpMethod::kGet;
  std::string_view proxy{};         // "host:port" of an http proxy for http:// addresses
  std::string_view extraHeaders{};  // request header lines, each ending in CR LF
  std::string_view postBody{};      // bytes sent with a POST
  std::string_view cookies{};       // sent in a "Cookie: " line (and switches stored cookies off)
  int32_t timeoutSeconds = 60;      // 0 included, used as it is; a negative one counts as 0
  TextValue* receivedHeaders = nullptr;  // when given: the raw response header text
  BodyConversion conversion = BodyConversion::kNone;
  TextValue* receivedCookies = nullptr;  // when given: the received cookie text
  bool followRedirects = true;
  FetchOutcome* outcome = nullptr;  // when given: how the fetch went, written in every case
};

// Fetches `address` and returns the response body, the time-out notice, or the
// empty block (empty address, failed exchange, worker that cannot start). An
// address without a scheme is rewritten with "http://" in front. The outputs of
// the options are written only when the exchange ended within the time-out.
// Messages dispatched while waiting may run handlers that fetch in turn; the
// nested fetch finishes before this one goes on waiting.
ByteBlock WebAccess(TextValue& address, const FetchOptions& options = {});

}  // namespace tobrine
