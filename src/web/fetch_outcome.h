// How a fetch ended, for a front end that tells the user why nothing came:
// told apart from WinINet's error codes and the response's status.
#pragma once

#include <cstdint>

#include "web/web_address.h"

namespace tobrine {

enum class FetchFailure {
  kNone,          // an answer with a status below 400
  kTimeout,       // no answer within the time-out
  kHostNotFound,  // the host name could not be resolved
  kConnection,    // refused, reset or cut off
  kTls,           // the secure connection failed (certificate or handshake)
  kHttpStatus,    // the server answered with a status of 400 or more
  kTooLarge,      // the body went past its bound
  kBadAddress,    // the address (or a redirect's) is not one a browser would fetch
  kOther,         // anything else (no address, no worker, an unreadable record)
};

struct FetchOutcome {
  FetchFailure failure = FetchFailure::kNone;
  int32_t httpStatus = 0;                           // the final response's status; 0 when none came
  AddressFault addressFault = AddressFault::kNone;  // why, for kBadAddress
};

// The failure a WinINet error code stands for (0: none; unknown codes: kOther).
FetchFailure FailureOfInternetError(uint32_t error);

// The outcome of an exchange that got an answer with `status`.
inline FetchOutcome OutcomeOfStatus(int32_t status) {
  return {status >= 400 ? FetchFailure::kHttpStatus : FetchFailure::kNone, status};
}

}  // namespace tobrine
