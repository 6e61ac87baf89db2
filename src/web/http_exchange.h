// One HTTP or HTTPS request through the system's WinINet, described by and
// answered in an exchange record held in a memory file (web/exchange_record.h).
#pragma once

#include <atomic>
#include <cstdint>

namespace tobrine {

// Reads the request from the start of `file`, performs it and writes the reply
// there. Failures come back as an empty body. When `stop` becomes true the
// exchange stops reading, closes its handles and writes nothing back (its caller
// has given up on it).
void HttpExchange(int32_t file, const std::atomic<bool>* stop = nullptr);

}  // namespace tobrine
