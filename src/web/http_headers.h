// The header texts of one HTTP exchange, as pure functions over bytes: the
// request header block the exchange composes from the caller's texts, and what
// it reads from the raw response headers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "runtime/value.h"
#include "web/exchange_record.h"

namespace tobrine {

// Whether the request's texts can be sent without adding a line of their own:
// the address is fetchable and written as sent (printable ASCII, no space);
// the extra header lines end in CR LF only (no lone CR
// or LF, no other control character than a tab); the cookie text holds no
// control character; the proxy no control character or space.
bool RequestTextsAreSafe(const ExchangeRequest& request);

// The header block: the caller's lines and the default set, in the order Accept,
// Referer, Accept-Language, Content-Type, Content-Length, Cookie (the cookie
// line only with `withCookies`). Only GET and POST carry cookies. Whether the
// block has a line is told from the words outside the values of the caller's
// lines: a value (an agent string) never removes or adds another line.
TextValue ComposeRequestHeaders(const ExchangeRequest& request, bool withCookies = true);

// The status code of a response whose raw headers begin with a status line
// "HTTP/<digit>.<digit> <three digits>" (a reason may follow); nothing for any
// other first line, so a response without one is never taken for a page.
std::optional<int32_t> ResponseStatus(std::string_view rawHeaders);

// The value of the first header line `name` (any letter case) after the status
// line, without the spaces around it; empty when there is none.
std::string_view ResponseHeader(std::string_view rawHeaders, std::string_view name);

}  // namespace tobrine
