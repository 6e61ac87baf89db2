// Conversions between tagged values, texts, numbers and byte blocks; the byte
// block commands; the small system services.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/system.h"
#include "runtime/commands.h"
#include "runtime/heap.h"

namespace tobrine {
namespace {

// The stored bytes of a numeric array: elements packed, no header.
std::string_view ArrayBytes(const Value& value) {
  void* first = nullptr;
  int32_t n = ElementCount(value.ref, &first);
  if (n <= 0 || !first) return {};
  return {static_cast<const char*>(first),
          static_cast<std::size_t>(n) * StoredSize(KindOf(value.kind))};
}

std::string_view BlockBytes(const void* block) {
  if (!block) return {};
  auto* header = static_cast<const int32_t*>(block);
  if (header[1] <= 0) return {};
  return {reinterpret_cast<const char*>(header + 2), static_cast<std::size_t>(header[1])};
}

std::string_view UpToZero(std::string_view bytes) {
  if (bytes.empty()) return bytes;
  const void* zero = std::memchr(bytes.data(), 0, bytes.size());
  return zero ? bytes.substr(
                    0, static_cast<std::size_t>(static_cast<const char*>(zero) - bytes.data()))
              : bytes;
}

template <typename... Args>
TextValue Formatted(const char* format, Args... args) {
  char buffer[128];
  int n = std::snprintf(buffer, sizeof buffer, format, args...);
  if (n <= 0) return TextValue();
  return TextValue::FromBytes(std::string_view(
      buffer, static_cast<std::size_t>(n) < sizeof buffer ? n : sizeof buffer - 1));
}

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Days since 1 January 1970 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t z, int64_t& y, int& m, int& d) {
  z += 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = yoe + era * 400 + (m <= 2);
}

// A date-time: days since 30 December 1899; the fraction (taken as a positive
// distance from the day, also before 1899) is the time of day.
TextValue DateTimeText(double v) {
  // Beyond years 100..9999 the value is not a date; show nothing rather than junk.
  if (!std::isfinite(v) || v < -657435.0 || v >= 2958466.0) return TextValue();
  double whole = std::trunc(v);
  int64_t day = static_cast<int64_t>(whole);
  int64_t seconds = std::llround(std::fabs(v - whole) * 86400.0);
  if (seconds >= 86400) {
    seconds -= 86400;
    day += 1;
  }
  int64_t y;
  int m, d;
  CivilFromDays(day - 25569, y, m, d);
  int h = static_cast<int>(seconds / 3600), mi = static_cast<int>(seconds / 60 % 60),
      s = static_cast<int>(seconds % 60);
  char buffer[96];
  int n = std::snprintf(buffer, sizeof buffer, "%d年%d月%d日", static_cast<int>(y), m, d);
  if (s != 0)
    n += std::snprintf(buffer + n, sizeof buffer - n, "%d时%d分%d秒", h, mi, s);
  else if (mi != 0)
    n += std::snprintf(buffer + n, sizeof buffer - n, "%d时%d分", h, mi);
  else if (h != 0)
    n += std::snprintf(buffer + n, sizeof buffer - n, "%d时", h);
  return TextValue::FromBytes(std::string_view(buffer, static_cast<std::size_t>(n)));
}

// The decimal number at the start of `text`: white space, sign, digits, point,
// fraction, exponent; stops at the first byte that does not fit.
double ParseDecimal(std::string_view text) {
  std::size_t i = 0, n = text.size();
  auto digit = [&](std::size_t k) { return k < n && text[k] >= '0' && text[k] <= '9'; };
  while (i < n && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
  const std::size_t begin = i;
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  bool any = false;
  while (digit(i)) ++i, any = true;
  if (i < n && text[i] == '.') {
    ++i;
    while (digit(i)) ++i, any = true;
  }
  if (!any) return 0;
  std::size_t end = i;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t k = i + 1;
    if (k < n && (text[k] == '+' || text[k] == '-')) ++k;
    if (digit(k)) {
      while (digit(k)) ++k;
      end = k;
    }
  }
  // The prefix is a plain decimal number, which strtod reads the same in the
  // "C" locale the program runs in.
  std::string number(text.substr(begin, end - begin));
  return std::strtod(number.c_str(), nullptr);
}

}  // namespace

// --- Conversions -------------------------------------------------------------------

TextValue ToText(const Value& value) {
  if (IsArrayCode(value.kind)) {
    if (!IsNumericKind(KindOf(value.kind))) return TextValue();
    return TextValue::FromBytes(UpToZero(ArrayBytes(value)));
  }
  switch (KindOf(value.kind)) {
    case ValueKind::kByte:
      return Formatted("%u", static_cast<unsigned>(value.u8));
    case ValueKind::kShort:
      return Formatted("%d", static_cast<int>(value.i16));
    case ValueKind::kInt:
      return Formatted("%d", value.i32);
    case ValueKind::kInt64:
      return Formatted("%lld", static_cast<long long>(value.i64));
    case ValueKind::kFloat:
      return Formatted("%.6g", static_cast<double>(value.f32));
    case ValueKind::kDouble:
      return Formatted("%.13g", value.f64);
    case ValueKind::kLogical:
      return TextValue::FromBytes(value.i32 != 0 ? "真" : "假");
    case ValueKind::kDateTime:
      return DateTimeText(value.f64);
    case ValueKind::kText:
      return TextValue::FromBytes(value.ref ? std::string_view(static_cast<const char*>(value.ref))
                                            : std::string_view());
    case ValueKind::kByteBlock:
      return TextValue::FromBytes(UpToZero(BlockBytes(value.ref)));
    default:
      return TextValue();
  }
}

double ToNumber(const Value& value) {
  if (IsArrayCode(value.kind)) return 0;
  switch (KindOf(value.kind)) {
    case ValueKind::kByte:
      return value.u8;
    case ValueKind::kShort:
      return value.i16;
    case ValueKind::kInt:
      return value.i32;
    case ValueKind::kInt64:
      return static_cast<double>(value.i64);
    case ValueKind::kFloat:
      return value.f32;
    case ValueKind::kDouble:
      return value.f64;
    case ValueKind::kLogical:
      return value.i32;
    case ValueKind::kSubroutine:
      return static_cast<double>(reinterpret_cast<uintptr_t>(value.ref));
    case ValueKind::kText: {
      if (!value.ref) return 0;
      TextValue folded = FullWidthFolding(static_cast<const char*>(value.ref));
      return ParseDecimal(folded.view());
    }
    default:
      return 0;
  }
}

ByteBlock ToByteBlock(const Value& value) {
  if (IsArrayCode(value.kind)) {
    if (!IsNumericKind(KindOf(value.kind))) return ByteBlock();
    return ByteBlock::FromBytes(ArrayBytes(value));
  }
  switch (KindOf(value.kind)) {
    case ValueKind::kByte:
    case ValueKind::kShort:
    case ValueKind::kInt:
    case ValueKind::kInt64:
    case ValueKind::kFloat:
    case ValueKind::kDouble:
    case ValueKind::kLogical:
    case ValueKind::kDateTime:
    case ValueKind::kSubroutine:
      // The payload starts at the value's first byte (little-endian); a
      // subroutine reference keeps its table size, the low four bytes.
      return ByteBlock::FromBytes(&value.u8, StoredSize(KindOf(value.kind)));
    case ValueKind::kText:
      return value.ref ? ByteBlock::FromBytes(std::string_view(static_cast<const char*>(value.ref)))
                       : ByteBlock();
    case ValueKind::kByteBlock:
      return ByteBlock::FromBytes(BlockBytes(value.ref));
    default:
      return ByteBlock();
  }
}

int32_t BitOr(std::initializer_list<int32_t> values) {
  int32_t result = 0;
  for (int32_t v : values) result |= v;
  return result;
}

// --- Byte blocks ---------------------------------------------------------------------

int32_t ByteBlockLength(const ByteBlock& block) {
  return block.size();
}

ByteBlock LeftBytes(const ByteBlock& block, int32_t n) {
  int32_t m = n < block.size() ? n : block.size();
  if (m <= 0) return ByteBlock();
  return ByteBlock::FromBytes(block.data(), static_cast<std::size_t>(m));
}

ByteBlock ZeroBytes(int32_t n) {
  if (n <= 0) return ByteBlock();
  auto* block = static_cast<int32_t*>(RuntimeHeap::Allocate(8 + static_cast<std::size_t>(n)));
  block[0] = 1;
  block[1] = n;
  std::memset(block + 2, 0, static_cast<std::size_t>(n));
  return ByteBlock::Adopt(block);
}

// --- System services -------------------------------------------------------------------

uint32_t TickCount() {
  return platform::TickCount();
}

namespace detail {

uint32_t MessageBoxFlags(int32_t style) {
  constexpr uint32_t kSystemModal = 0x1000, kTaskModal = 0x2000;
  uint32_t flags = static_cast<uint32_t>(style);
  if (!(flags & kSystemModal)) flags |= kTaskModal;
  return flags;
}

int32_t MessageBoxResult(int systemButton) {
  // IDOK 1, IDCANCEL 2, IDABORT 3, IDRETRY 4, IDIGNORE 5, IDYES 6, IDNO 7.
  return systemButton >= 1 && systemButton <= 7 ? systemButton - 1 : 0;
}

TextValue MessageBoxContent(const Value& content) {
  if (IsArrayCode(content.kind)) return TextValue();
  switch (KindOf(content.kind)) {
    case ValueKind::kByteBlock:
    case ValueKind::kSubroutine:
      return TextValue();
    default:
      return ToText(content);
  }
}

}  // namespace detail

int32_t ShowMessageBox(const Value& content, int32_t style, std::optional<std::string_view> caption,
                       std::optional<intptr_t> parent) {
  TextValue text = detail::MessageBoxContent(content);
  std::string_view title = caption ? *caption : std::string_view("信息：");
  int button = platform::ShowSystemMessageBox(text.view(), title, detail::MessageBoxFlags(style),
                                              parent.value_or(0));
  return detail::MessageBoxResult(button);
}

}  // namespace tobrine
