// The exchange record: how one request travels from the page fetch to its worker
// and the results come back, as seven byte blocks one after another in the
// record format of WriteData, at the start of a memory file. These functions are
// the only code that knows which slot holds what:
//
//   slot  request in                         reply out
//   1     address (with its scheme)          response body
//   2     verb ("GET" / "POST")              received cookie text
//   3     proxy address, empty = direct      (kept)
//   4     extra header lines                 (kept)
//   5     POST body                          (kept)
//   6     cookie text to send                raw response header text
//   7     follow redirects, "真" or "假"      (kept)
#pragma once

#include <cstdint>
#include <optional>

#include "runtime/value.h"

namespace tobrine {

struct ExchangeRequest {
  TextValue address;       // begins with "http://" or "https://"
  TextValue verb;          // "GET" or "POST"; any other verb sends nothing
  TextValue proxy;         // "host:port" of an http proxy; empty: direct
  TextValue extraHeaders;  // header lines, each ending in CR LF
  ByteBlock postBody;
  TextValue cookies;  // sent in a "Cookie: " line
  bool followRedirects = true;
};

struct ExchangeReply {
  ByteBlock body;
  TextValue receivedCookies;
  TextValue rawHeaders;  // CR LF separated
};

// Writes the request at the start of `file`; false when it cannot be stored.
bool WriteExchangeRequest(int32_t file, const ExchangeRequest& request);
// The request at the start of `file`; nothing when the record is unreadable.
// Texts are taken up to their first NUL.
std::optional<ExchangeRequest> ReadExchangeRequest(int32_t file);

// Writes the reply over the request it answers: the reply's slots are replaced,
// the request's proxy, header lines, POST body and redirect flag stay.
bool WriteExchangeReply(int32_t file, const ExchangeRequest& request, const ExchangeReply& reply);
// The record of an unreadable request: seven empty slots, so that the request
// never comes back as its own answer.
bool WriteEmptyExchangeRecord(int32_t file);
// The reply at the start of `file`; nothing when the record is unreadable.
std::optional<ExchangeReply> ReadExchangeReply(int32_t file);

}  // namespace tobrine
