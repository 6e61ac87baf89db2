// The names packages are saved under: plain file names made from a link or a
// server's Content-Disposition, and their numbered variants.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tobrine::cli {

// What a package file's name adds while it is on its way: NAME.part holds the
// bytes, NAME.part.info what is needed to continue them.
inline constexpr std::string_view kPartSuffix = ".part";
inline constexpr std::string_view kInfoSuffix = ".part.info";

// The longest name a package gets, so that NAME.part.info still fits into the
// 255 bytes a file name may have.
inline constexpr std::size_t kNameMax = 255 - kInfoSuffix.size();

// A name that is safe as one file in the download folder: the part after the
// last '/' or '\', without control characters (C0, DEL, C1) and bidirectional
// controls (which make "gpj.exe" look like "exe.jpg"), without leading dots,
// dashes or spaces (no hidden file, no option) or trailing spaces, at most
// kNameMax bytes (the extension kept). Empty when nothing usable is left.
std::string SafeFileName(std::string_view utf8);

// The file name a link names: the last part of its path, without query and
// fragment, percent-decoded, as UTF-8 (code page 936 when it is not UTF-8), made
// safe. Empty when it names none.
std::string FileNameOfLink(std::string_view link);

// The file name of a Content-Disposition value: filename*=UTF-8''… (RFC 5987)
// before filename="…" or filename=…, made safe. Empty when it names none.
std::string FileNameOfDisposition(std::string_view value);

// The n-th name for `name` (a safe name): `name` itself for 1, else "-n" before
// its extension, the stem shortened so that the whole stays within kNameMax.
// Distinct for every n.
std::string NumberedName(std::string_view name, int n);

}  // namespace tobrine::cli
