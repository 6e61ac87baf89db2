// One HTTP or HTTPS request through the system's WinINet, described by and
// answered in an exchange record held in a memory file.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/value.h"

namespace tobrine {

// The exchange record: seven byte blocks one after another in the record format
// of WriteData. Request in, results out:
//   1 address (with its scheme)        -> response body
//   2 verb ("GET" / "POST")            -> received cookie text
//   3 proxy address, empty = direct    (kept)
//   4 extra header lines               (kept)
//   5 POST body                        (kept)
//   6 cookie text to send              -> raw response header text
//   7 follow redirects, "真" or "假"    (kept)
inline constexpr int kExchangeSlots = 7;
using ExchangeRecord = ByteBlock[kExchangeSlots];

// Writes the record at the start of `file` / reads it from there.
bool WriteExchangeRecord(int32_t file, const ExchangeRecord& record);
bool ReadExchangeRecord(int32_t file, ExchangeRecord& record);
// The text of a slot: its bytes up to the first NUL.
TextValue ExchangeSlotText(const ByteBlock& slot);

// Reads the request from the start of `file`, performs it and writes the record
// back there. Failures come back as an empty body. When `stop` becomes true the
// exchange stops reading, closes its handles and writes nothing back (its caller
// has given up on it).
void HttpExchange(int32_t file, const std::atomic<bool>* stop = nullptr);

}  // namespace tobrine
