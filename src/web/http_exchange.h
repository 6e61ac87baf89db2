// One HTTP or HTTPS request through the system's WinINet, described by and
// answered in an exchange record held in a memory file (web/exchange_record.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/value.h"
#include "web/exchange_record.h"
#include "web/fetch_outcome.h"
#include "web/stream_fetch.h"

namespace tobrine {

// Reads the request from the start of `file`, performs it and writes the reply
// there. Failures come back as an empty body. When `stop` becomes true the
// exchange stops reading, closes its handles and writes nothing back (its caller
// has given up on it). `outcome`, when given, tells how the exchange went.
// When `body` is given the response body is handed over there and the record's
// body slot stays empty, so that a large body is not copied through the record.
void HttpExchange(int32_t file, const std::atomic<bool>* stop = nullptr,
                  FetchOutcome* outcome = nullptr, ByteBlock* body = nullptr);

// One GET (the request's verb) on the calling thread with the same opening,
// header block and certificate checks, its body handed to `stream` chunk by
// chunk instead of held; not written to WinINet's cache. The outcome has the
// final status; a failed read between chunks is a failure, a body cut off
// without one is for the stream to notice against the length announced.
FetchOutcome StreamExchange(ExchangeRequest& request, BodyStream& stream,
                            const std::atomic<bool>* stop);

}  // namespace tobrine
