// The binary property-list format ("bplist00"): a header, the objects, a table
// of their offsets and a 32-byte trailer that says where the table is, how wide
// its entries and the object references are, how many objects there are and
// which one is the root. Every number read from the document is checked before
// it is used: the document is remote input.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "text/property_list.h"
#include "text/utf8.h"

namespace tobrine::text {
namespace {

using Kind = PropertyListValue::Kind;

constexpr std::string_view kMagic = "bplist00";
constexpr std::size_t kTrailerSize = 32;
// As deep as the XML readers let dicts and arrays nest; a reference cycle
// ends here too.
constexpr std::size_t kDeepestNesting = 256;
// Shared objects could make a small document stand for a huge tree (an array
// holding the same array twice, 60 times over): the tree has a budget.
constexpr std::size_t kNodeCost = sizeof(PropertyListValue);
// Seconds from 1970-01-01 to 2001-01-01, the format's epoch of dates.
constexpr double kEpochOffset = 978307200.0;

const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string Base64(std::string_view bytes) {
  std::string out;
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    uint32_t n = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (i + 1 < bytes.size())
      n |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (i + 2 < bytes.size()) n |= static_cast<unsigned char>(bytes[i + 2]);
    out += kBase64[(n >> 18) & 63];
    out += kBase64[(n >> 12) & 63];
    out += i + 1 < bytes.size() ? kBase64[(n >> 6) & 63] : '=';
    out += i + 2 < bytes.size() ? kBase64[n & 63] : '=';
  }
  return out;
}

// A date as the XML form writes it: "2026-12-08T05:40:56Z" (UTC, whole seconds).
std::string IsoDate(double secondsSince2001) {
  const double unix = std::floor(secondsSince2001 + kEpochOffset);
  // Years 1 to 9999: beyond that the text form has no room.
  if (!(unix > -62135596800.0 && unix < 253402300800.0)) return {};
  const auto seconds = static_cast<int64_t>(unix);
  int64_t days = seconds / 86400, rest = seconds % 86400;
  if (rest < 0) rest += 86400, --days;
  // Civil date from the day count (days since 1970-01-01).
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t doe = days - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t day = doy - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", static_cast<int>(year),
                static_cast<int>(month), static_cast<int>(day), static_cast<int>(rest / 3600),
                static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return text;
}

std::string RealText(double v) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, v);
  return std::string(text, result.ptr);
}

class BinaryReader {
 public:
  explicit BinaryReader(std::string_view document) : s_(document), budget_(document.size()) {}

  std::optional<PropertyListValue> Run() {
    if (s_.size() < kMagic.size() + kTrailerSize || s_.substr(0, kMagic.size()) != kMagic)
      return std::nullopt;
    const std::size_t trailer = s_.size() - kTrailerSize;
    offsetSize_ = static_cast<unsigned char>(s_[trailer + 6]);
    refSize_ = static_cast<unsigned char>(s_[trailer + 7]);
    const uint64_t count = Number(trailer + 8, 8);
    const uint64_t top = Number(trailer + 16, 8);
    tableAt_ = Number(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return std::nullopt;
    if (tableAt_ < kMagic.size() || tableAt_ > trailer) return std::nullopt;
    if (count == 0 || count > (trailer - tableAt_) / offsetSize_) return std::nullopt;
    count_ = count;
    if (top >= count_) return std::nullopt;
    return Object(top, 0);
  }

 private:
  // The big-endian number of `width` bytes at `at` (the caller checked the room).
  uint64_t Number(std::size_t at, std::size_t width) const {
    uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v = v << 8 | static_cast<unsigned char>(s_[at + i]);
    return v;
  }

  bool Room(uint64_t at, uint64_t length) const {
    return at <= tableAt_ && length <= tableAt_ - at;
  }

  // The length of the object whose marker is at `at`: the marker's low nibble,
  // or, when that is 0xF, the integer object after it. `at` moves past it all.
  std::optional<uint64_t> Length(uint64_t& at) {
    const uint64_t nibble = static_cast<unsigned char>(s_[at]) & 0x0F;
    ++at;
    if (nibble != 0x0F) return nibble;
    if (!Room(at, 1)) return std::nullopt;
    const auto marker = static_cast<unsigned char>(s_[at]);
    if ((marker & 0xF0) != 0x10 || (marker & 0x0F) > 3) return std::nullopt;
    const std::size_t width = std::size_t{1} << (marker & 0x0F);
    if (!Room(at + 1, width)) return std::nullopt;
    const uint64_t length = Number(at + 1, width);
    at += 1 + width;
    return length;
  }

  std::optional<PropertyListValue> Object(uint64_t ref, std::size_t depth) {
    if (ref >= count_ || !budget_.Charge(kNodeCost)) return std::nullopt;
    const uint64_t offset = Number(tableAt_ + ref * offsetSize_, offsetSize_);
    if (offset < kMagic.size() || !Room(offset, 1)) return std::nullopt;
    const auto marker = static_cast<unsigned char>(s_[offset]);
    PropertyListValue v;
    switch (marker >> 4) {
      case 0x0:
        if (marker != 0x08 && marker != 0x09) return std::nullopt;
        v.kind = Kind::kBoolean;
        v.text = marker == 0x09 ? "true" : "false";
        return v;
      case 0x1: {
        // 1, 2, 4 or 8 bytes; 16 for an unsigned number above 2^63 (the high half is 0).
        const std::size_t width = std::size_t{1} << (marker & 0x0F);
        if (width > 16 || !Room(offset + 1, width)) return std::nullopt;
        const uint64_t n = Number(offset + 1 + (width > 8 ? width - 8 : 0), width > 8 ? 8 : width);
        v.kind = Kind::kInteger;
        v.text = width == 8 ? std::to_string(static_cast<int64_t>(n)) : std::to_string(n);
        return v;
      }
      case 0x2:
      case 0x3: {
        // A real of 4 or 8 bytes; a date is an 8-byte real (marker 0x33).
        const std::size_t width = std::size_t{1} << (marker & 0x0F);
        const bool date = marker >> 4 == 0x3;
        if ((date && marker != 0x33) || (width != 4 && width != 8) || !Room(offset + 1, width))
          return std::nullopt;
        const uint64_t bits = Number(offset + 1, width);
        double real = 0;
        if (width == 4) {
          float f = 0;
          const auto b32 = static_cast<uint32_t>(bits);
          std::memcpy(&f, &b32, sizeof f);
          real = f;
        } else {
          std::memcpy(&real, &bits, sizeof real);
        }
        v.kind = date ? Kind::kDate : Kind::kReal;
        v.text = date ? IsoDate(real) : RealText(real);
        return v;
      }
      case 0x4:
      case 0x5:
      case 0x6:
        return Text(marker >> 4, offset);
      case 0x8: {
        // A reference of an archive: kept as its number.
        const std::size_t width = (marker & 0x0F) + 1u;
        if (width > 8 || !Room(offset + 1, width)) return std::nullopt;
        v.kind = Kind::kInteger;
        v.text = std::to_string(Number(offset + 1, width));
        return v;
      }
      case 0xA:
      case 0xC:
      case 0xD:
        return Container(marker >> 4 == 0xD, offset, depth);
      default:
        return std::nullopt;
    }
  }

  // Data (4), ASCII text (5) or UTF-16 text (6).
  std::optional<PropertyListValue> Text(int type, uint64_t offset) {
    uint64_t at = offset;
    const std::optional<uint64_t> length = Length(at);
    const uint64_t unit = type == 0x6 ? 2 : 1;
    if (!length || *length > tableAt_ / unit || !Room(at, *length * unit)) return std::nullopt;
    const std::string_view bytes =
        s_.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(*length * unit));
    // UTF-8 takes at most 3 bytes for each UTF-16 unit or 2 for a Latin-1 byte;
    // base64 4 for each 3.
    if (!budget_.Charge(bytes.size() * 2)) return std::nullopt;
    PropertyListValue v;
    if (type == 0x4) {
      v.kind = Kind::kData;
      v.text = Base64(bytes);
    } else if (type == 0x5) {
      // ASCII by the format; a byte above 0x7F is read as Latin-1.
      for (char c : bytes) AppendUtf8(static_cast<unsigned char>(c), v.text);
    } else {
      v.text = Utf16AsUtf8(bytes, /*bigEndian=*/true);
    }
    return v;
  }

  std::optional<PropertyListValue> Container(bool dict, uint64_t offset, std::size_t depth) {
    if (depth >= kDeepestNesting) return std::nullopt;
    uint64_t at = offset;
    const std::optional<uint64_t> length = Length(at);
    const uint64_t refs = dict ? 2 : 1;
    if (!length || *length > tableAt_ / refSize_ / refs || !Room(at, *length * refSize_ * refs))
      return std::nullopt;
    PropertyListValue v;
    v.kind = dict ? Kind::kDict : Kind::kArray;
    const auto n = static_cast<std::size_t>(*length);
    for (std::size_t i = 0; i < n; ++i) {
      const uint64_t valueAt = at + (dict ? n + i : i) * refSize_;
      std::optional<PropertyListValue> item = Object(Number(valueAt, refSize_), depth + 1);
      if (!item) return std::nullopt;
      if (dict) {
        std::optional<PropertyListValue> key =
            Object(Number(at + i * refSize_, refSize_), depth + 1);
        if (!key || key->kind != Kind::kString) return std::nullopt;
        v.keys.push_back(std::move(key->text));
      }
      v.items.push_back(std::move(*item));
    }
    return v;
  }

  std::string_view s_;
  detail::TreeBudget budget_;
  std::size_t offsetSize_ = 0;
  std::size_t refSize_ = 0;
  uint64_t count_ = 0;
  uint64_t tableAt_ = 0;
};

}  // namespace

bool IsBinaryPropertyList(std::string_view document) {
  return document.substr(0, kMagic.size()) == kMagic;
}

std::optional<PropertyListValue> ReadBinaryPropertyList(std::string_view document) {
  return BinaryReader(document).Run();
}

}  // namespace tobrine::text
