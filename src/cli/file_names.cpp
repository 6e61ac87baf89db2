#include "cli/file_names.h"

#include "base/ascii.h"
#include "base/lines.h"
#include "cli/output.h"

namespace tobrine::cli {
namespace {

// The longest extension kept whole when a name is cut.
constexpr std::size_t kExtensionMax = 16;

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The bytes of the UTF-8 sequence at `i` that is dropped from a name: a C1
// control, or a control of the text's direction (U+061C, U+200E, U+200F,
// U+202A..U+202E, U+2066..U+2069). 0 when it stays.
std::size_t DroppedSequence(std::string_view s, std::size_t i) {
  auto at = [&](std::size_t k) {
    return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0;
  };
  if (at(0) == 0xC2 && at(1) >= 0x80 && at(1) <= 0x9F) return 2;
  if (at(0) == 0xD8 && at(1) == 0x9C) return 2;
  if (at(0) == 0xE2 && at(1) == 0x80 &&
      (at(2) == 0x8E || at(2) == 0x8F || (at(2) >= 0xAA && at(2) <= 0xAE)))
    return 3;
  if (at(0) == 0xE2 && at(1) == 0x81 && at(2) >= 0xA6 && at(2) <= 0xA9) return 3;
  return 0;
}

// Where the extension of `name` begins (its last '.', not the first byte, at
// most kExtensionMax bytes from the end); the size of the name when it has none.
std::size_t ExtensionStart(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name.size() - dot > kExtensionMax)
    return name.size();
  return dot;
}

// `stem` cut to at most `room` bytes, never inside a UTF-8 sequence.
std::string_view CutStem(std::string_view stem, std::size_t room) {
  if (stem.size() <= room) return stem;
  while (room > 0 && IsContinuationByte(stem[room])) --room;
  return stem.substr(0, room);
}

}  // namespace

std::string SafeFileName(std::string_view utf8) {
  const std::size_t slash = utf8.find_last_of("/\\");
  if (slash != std::string_view::npos) utf8 = utf8.substr(slash + 1);
  std::string name;
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x20 || c == 0x7F) continue;
    if (const std::size_t n = DroppedSequence(utf8, i); n > 0) {
      i += n - 1;
      continue;
    }
    name += utf8[i];
  }
  const std::size_t first = name.find_first_not_of(" .-");
  if (first == std::string::npos) return {};
  name = name.substr(first, name.find_last_not_of(' ') - first + 1);
  return NumberedName(name, 1);
}

std::string FileNameOfLink(std::string_view link) {
  std::string_view path = link.substr(0, link.find_first_of("?#"));
  const std::size_t scheme = path.find("://");
  if (scheme != std::string_view::npos) {
    path = path.substr(scheme + 3);
    const std::size_t slash = path.find('/');
    path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
  }
  const std::size_t slash = path.rfind('/');
  if (slash != std::string_view::npos) path = path.substr(slash + 1);
  return SafeFileName(ManifestText(base::PercentDecode(path)));
}

std::string FileNameOfDisposition(std::string_view value) {
  std::string plain, extended;
  while (!value.empty()) {
    const std::size_t semicolon = value.find(';');
    std::string_view part = base::TrimBlanks(value.substr(0, semicolon));
    value = semicolon == std::string_view::npos ? std::string_view() : value.substr(semicolon + 1);
    if (base::StartsWithIgnoringAsciiCase(part, "filename*=")) {
      // charset'language'percent-encoded text
      std::string_view v = part.substr(10);
      const std::size_t q1 = v.find('\'');
      const std::size_t q2 = q1 == std::string_view::npos ? q1 : v.find('\'', q1 + 1);
      if (q2 == std::string_view::npos) continue;
      const std::string_view charset = v.substr(0, q1);
      const std::string decoded = base::PercentDecode(v.substr(q2 + 1));
      extended = base::StartsWithIgnoringAsciiCase(charset, "utf-8") ? ManifestText(decoded)
                                                                     : AddressText(decoded);
    } else if (base::StartsWithIgnoringAsciiCase(part, "filename=")) {
      std::string_view v = base::TrimBlanks(part.substr(9));
      if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
      plain = ManifestText(v);
    }
  }
  std::string name = SafeFileName(extended);
  return name.empty() ? SafeFileName(plain) : name;
}

std::string NumberedName(std::string_view name, int n) {
  const std::size_t dot = ExtensionStart(name);
  const std::string_view extension = name.substr(dot);
  const std::string suffix = n == 1 ? std::string() : "-" + std::to_string(n);
  const std::size_t room = kNameMax - std::min(kNameMax, extension.size() + suffix.size());
  return std::string(CutStem(name.substr(0, dot), room)) + suffix + std::string(extension);
}

}  // namespace tobrine::cli
