// Domain names to ASCII on Linux: ICU's UTS #46 mapping.
#include "platform/idna.h"

#include <unicode/uidna.h>

#include <climits>
#include <cstdint>
#include <vector>

namespace tobrine::platform {
namespace {

// Web addresses do not check hyphens or lengths, so these errors do not count.
constexpr uint32_t kIgnoredErrors = UIDNA_ERROR_EMPTY_LABEL | UIDNA_ERROR_LABEL_TOO_LONG |
                                    UIDNA_ERROR_DOMAIN_NAME_TOO_LONG | UIDNA_ERROR_LEADING_HYPHEN |
                                    UIDNA_ERROR_TRAILING_HYPHEN | UIDNA_ERROR_HYPHEN_3_4;

// One instance for the process: it is immutable once opened, so threads share it.
const UIDNA* Mapper() {
  static const UIDNA* idna = [] {
    UErrorCode status = U_ZERO_ERROR;
    UIDNA* opened =
        uidna_openUTS46(UIDNA_CHECK_BIDI | UIDNA_CHECK_CONTEXTJ | UIDNA_NONTRANSITIONAL_TO_ASCII |
                            UIDNA_NONTRANSITIONAL_TO_UNICODE,
                        &status);
    return U_SUCCESS(status) ? opened : nullptr;
  }();
  return idna;
}

}  // namespace

std::optional<std::string> DomainToAscii(std::string_view utf8) {
  const UIDNA* idna = Mapper();
  if (!idna || utf8.size() > INT32_MAX / 4) return std::nullopt;
  // Punycode is never much longer than the UTF-8 it stands for.
  std::vector<char> out(utf8.size() * 2 + 64);
  UIDNAInfo info = UIDNA_INFO_INITIALIZER;
  UErrorCode status = U_ZERO_ERROR;
  int32_t length =
      uidna_nameToASCII_UTF8(idna, utf8.data(), static_cast<int32_t>(utf8.size()), out.data(),
                             static_cast<int32_t>(out.size()), &info, &status);
  if (status == U_BUFFER_OVERFLOW_ERROR) {
    out.resize(static_cast<std::size_t>(length) + 1);
    status = U_ZERO_ERROR;
    info = UIDNA_INFO_INITIALIZER;
    length = uidna_nameToASCII_UTF8(idna, utf8.data(), static_cast<int32_t>(utf8.size()),
                                    out.data(), static_cast<int32_t>(out.size()), &info, &status);
  }
  if (U_FAILURE(status) || (info.errors & ~kIgnoredErrors) != 0) return std::nullopt;
  return std::string(out.data(), static_cast<std::size_t>(length));
}

}  // namespace tobrine::platform
