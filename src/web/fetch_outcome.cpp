#include "web/fetch_outcome.h"

#include "platform/winapi.h"

namespace tobrine {
namespace {

struct ErrorRow {
  winapi::Dword error;
  FetchFailure failure;
};

// WinINet's codes of a request that got no answer, and what each means to a
// user. Real WinINet and the Linux stand-in set the same codes.
constexpr ErrorRow kInternetErrors[] = {
    {winapi::kErrorInternetTimeout, FetchFailure::kTimeout},
    {winapi::kErrorInternetNameNotResolved, FetchFailure::kHostNotFound},
    {winapi::kErrorInternetCannotConnect, FetchFailure::kConnection},
    {winapi::kErrorInternetConnectionAborted, FetchFailure::kConnection},
    {winapi::kErrorInternetConnectionReset, FetchFailure::kConnection},
    {winapi::kErrorInternetServerUnreachable, FetchFailure::kConnection},
    {winapi::kErrorInternetProxyServerUnreachable, FetchFailure::kConnection},
    {winapi::kErrorInternetSecCertDateInvalid, FetchFailure::kTls},
    {winapi::kErrorInternetSecCertCnInvalid, FetchFailure::kTls},
    {winapi::kErrorInternetClientAuthCertNeeded, FetchFailure::kTls},
    {winapi::kErrorInternetInvalidCa, FetchFailure::kTls},
    {winapi::kErrorInternetSecCertErrors, FetchFailure::kTls},
    {winapi::kErrorInternetSecCertNoRev, FetchFailure::kTls},
    {winapi::kErrorInternetSecCertRevFailed, FetchFailure::kTls},
    {winapi::kErrorInternetSecurityChannelError, FetchFailure::kTls},
    {winapi::kErrorInternetSecInvalidCert, FetchFailure::kTls},
    {winapi::kErrorInternetSecCertRevoked, FetchFailure::kTls},
};

}  // namespace

FetchFailure FailureOfInternetError(uint32_t error) {
  if (error == 0) return FetchFailure::kNone;
  for (const ErrorRow& row : kInternetErrors)
    if (row.error == error) return row.failure;
  return FetchFailure::kOther;
}

}  // namespace tobrine
