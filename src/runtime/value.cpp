#include "runtime/value.h"

#include <algorithm>
#include <cfenv>
#include <climits>
#include <cmath>
#include <cstring>

#include "runtime/fatal.h"

namespace tobrine {

std::size_t StoredSize(ValueKind k) {
  switch (k) {
    case ValueKind::kByte:
      return 1;
    case ValueKind::kShort:
      return 2;
    case ValueKind::kInt:
      return 4;
    case ValueKind::kInt64:
      return 8;
    case ValueKind::kFloat:
      return 4;
    case ValueKind::kDouble:
      return 8;
    case ValueKind::kLogical:
      return 4;
    case ValueKind::kDateTime:
      return 8;
    case ValueKind::kText:
      return 4;
    case ValueKind::kByteBlock:
      return 4;
    case ValueKind::kSubroutine:
      return 4;
    default:
      return 0;
  }
}

std::size_t ElementSize(ValueKind k) {
  switch (k) {
    case ValueKind::kText:
    case ValueKind::kByteBlock:
    case ValueKind::kSubroutine:
      return sizeof(void*);
    default:
      return StoredSize(k);
  }
}

// --- TextValue ---------------------------------------------------------------

TextValue TextValue::FromBytes(std::string_view bytes) {
  if (bytes.empty()) return TextValue();
  return Allocated(bytes);
}

TextValue TextValue::Allocated(std::string_view bytes) {
  auto* block = static_cast<char*>(RuntimeHeap::Allocate(bytes.size() + 1));
  if (!bytes.empty()) std::memcpy(block, bytes.data(), bytes.size());
  block[bytes.size()] = '\0';
  return Adopt(block);
}

std::string_view TextValue::view() const {
  return block_ ? std::string_view(block_, std::strlen(block_)) : std::string_view();
}

// --- ByteBlock ----------------------------------------------------------------

ByteBlock ByteBlock::FromBytes(const void* bytes, std::size_t n) {
  if (n == 0) return ByteBlock();
  return Allocated(bytes, n);
}

ByteBlock ByteBlock::Allocated(const void* bytes, std::size_t n) {
  auto* block = static_cast<int32_t*>(RuntimeHeap::Allocate(8 + n));
  block[0] = 1;
  block[1] = static_cast<int32_t>(n);
  if (n) std::memcpy(block + 2, bytes, n);
  return Adopt(block);
}

uint8_t* ByteBlockBuilder::Reserve(std::size_t n) {
  constexpr std::size_t kMost = INT32_MAX;  // the block's length is a 32-bit count
  if (n > kMost - size_) return nullptr;
  if (size_ + n > capacity_) {
    const std::size_t capacity = std::max({size_ + n, capacity_ * 2, std::size_t{4096}});
    const std::size_t room = std::min(capacity, kMost);
    auto* grown = static_cast<int32_t*>(RuntimeHeap::ReallocateUnchecked(block_, 8 + room));
    if (!grown) return nullptr;
    block_ = grown;
    capacity_ = room;
  }
  return reinterpret_cast<uint8_t*>(block_ + 2) + size_;
}

ByteBlock ByteBlockBuilder::Take() {
  int32_t* block = std::exchange(block_, nullptr);
  const std::size_t n = std::exchange(size_, 0);
  capacity_ = 0;
  if (n == 0) {
    RuntimeHeap::Free(block);
    return ByteBlock();
  }
  // The room left over goes back; a block that cannot shrink stays as it is.
  if (void* trimmed = RuntimeHeap::ReallocateUnchecked(block, 8 + n))
    block = static_cast<int32_t*>(trimmed);
  block[0] = 1;
  block[1] = static_cast<int32_t>(n);
  return ByteBlock::Adopt(block);
}

TextValue TakeText(ByteBlock&& block) {
  const std::size_t n = TextUpToNul(block.bytes()).size();
  if (n == 0) return TextValue();
  if (ConstantPool::Contains(block.get())) return TextValue::FromBytes(block.bytes().substr(0, n));
  // The bytes move down over the block's two counts; the NUL fits in the room
  // they leave.
  auto* raw = reinterpret_cast<char*>(block.release());
  std::memmove(raw, raw + 8, n);
  raw[n] = '\0';
  return TextValue::Adopt(raw);
}

// --- ArrayValue ---------------------------------------------------------------

namespace {
void* FreshEmptyArray() {
  auto* block = static_cast<int32_t*>(RuntimeHeap::Allocate(8));
  block[0] = 1;
  block[1] = 0;
  return block;
}
}  // namespace

ArrayValue::ArrayValue(ValueKind elementKind) : kind_(elementKind), block_(FreshEmptyArray()) {}

ArrayValue ArrayValue::Adopt(ValueKind elementKind, void* block) {
  ArrayValue a(elementKind);
  RuntimeHeap::Free(a.block_);
  a.block_ = block;
  return a;
}

ArrayValue& ArrayValue::operator=(ArrayValue&& other) noexcept {
  if (this != &other) {
    ReleaseElements();
    RuntimeHeap::Free(block_);
    kind_ = other.kind_;
    block_ = std::exchange(other.block_, nullptr);
  }
  return *this;
}

ArrayValue::~ArrayValue() {
  ReleaseElements();
  RuntimeHeap::Free(block_);
}

int32_t ArrayValue::count() const {
  return ElementCount(block_);
}

void ArrayValue::ReleaseElements() {
  if (!block_ || ConstantPool::Contains(block_)) return;
  if (kind_ != ValueKind::kText && kind_ != ValueKind::kByteBlock) return;
  void* first = nullptr;
  int32_t n = ElementCount(block_, &first);
  auto** elements = static_cast<void**>(first);
  for (int32_t i = 0; i < n; ++i) {
    RuntimeHeap::Free(elements[i]);
    elements[i] = nullptr;
  }
}

void ArrayValue::Clear() {
  ReleaseElements();
  RuntimeHeap::Free(block_);
  block_ = FreshEmptyArray();
}

std::string_view ArrayValue::TextAt(int32_t i) const {
  auto* slot = static_cast<char**>(CheckedIndex(block_, i, sizeof(char*)));
  return *slot ? std::string_view(*slot) : std::string_view();
}

char*& ArrayValue::TextSlot(int32_t i) {
  return *static_cast<char**>(CheckedIndex(block_, i, sizeof(char*)));
}

// --- helpers ------------------------------------------------------------------

TextValue JoinTextList(std::initializer_list<std::string_view> texts) {
  std::size_t total = 0;
  for (auto t : texts) total += t.size();
  auto* block = static_cast<char*>(RuntimeHeap::Allocate(total + 1));
  char* out = block;
  for (auto t : texts) {
    if (!t.empty()) std::memcpy(out, t.data(), t.size());
    out += t.size();
  }
  *out = '\0';
  return TextValue::Adopt(block);
}

int TextsEqual(const char* a, const char* b) {
  auto* x = reinterpret_cast<const unsigned char*>(a ? a : "");
  auto* y = reinterpret_cast<const unsigned char*>(b ? b : "");
  for (;; ++x, ++y) {
    if (*x != *y) return *x < *y ? -1 : 1;
    if (*x == 0) return 0;
  }
}

int32_t RawTextLength(const char* text) {
  return text ? static_cast<int32_t>(std::strlen(text)) : 0;
}

std::string_view TextUpToNul(std::string_view bytes) {
  const void* nul = bytes.empty() ? nullptr : std::memchr(bytes.data(), '\0', bytes.size());
  if (!nul) return bytes;
  return bytes.substr(0, static_cast<std::size_t>(static_cast<const char*>(nul) - bytes.data()));
}

int32_t ElementCount(const void* array, void** first) {
  if (!array) {
    if (first) *first = nullptr;
    return 0;
  }
  auto* header = static_cast<const int32_t*>(array);
  int32_t dims = header[0];
  if (first) *first = const_cast<int32_t*>(header + 1 + (dims > 0 ? dims : 0));
  if (dims <= 0) return 0;
  int64_t count = 1;
  for (int32_t d = 0; d < dims; ++d) count *= header[1 + d];
  return static_cast<int32_t>(count);
}

int64_t TruncateToInteger(double x) {
  // The conversion truncates in C++ whatever the FPU mode; keep the mode switch
  // explicit so that the rule does not depend on that.
  int saved = std::fegetround();
  std::fesetround(FE_TOWARDZERO);
  double t = std::nearbyint(x);
  std::fesetround(saved);
  if (!(t == t)) return INT64_MIN;  // NaN
  if (t >= 9.2233720368547758e18) return INT64_MIN;
  if (t < -9.2233720368547758e18) return INT64_MIN;
  return static_cast<int64_t>(t);
}

char** AppendTextSlots(ArrayValue& array, int32_t count) {
  constexpr std::size_t kRef = sizeof(char*);
  void*& block = array.block();
  RuntimeHeap::MakeArrayWritable(kRef, block);
  void* first = nullptr;
  int32_t c = ElementCount(block, &first);
  auto* header = static_cast<int32_t*>(block);
  if (header[0] != 1) {
    // Move the elements down to follow a one-dimensional header.
    std::memmove(header + 2, first, static_cast<std::size_t>(c) * kRef);
  }
  header[0] = 1;
  header[1] = c + count;
  block = RuntimeHeap::Reallocate(block, 8 + kRef * (static_cast<std::size_t>(c) + count));
  auto** elements = reinterpret_cast<char**>(static_cast<int32_t*>(block) + 2);
  std::fill(elements + c, elements + c + count, nullptr);
  return elements + c;
}

void AppendElement(ArrayValue& array, const char* text) {
  char*& slot = *AppendTextSlots(array, 1);
  if (text) {
    std::size_t n = std::strlen(text);
    slot = static_cast<char*>(RuntimeHeap::Allocate(n + 1));
    std::memcpy(slot, text, n + 1);
  }
}

void* CheckedIndex(const void* array, int32_t index, std::size_t elementSize) {
  void* first = nullptr;
  int32_t count = ElementCount(array, &first);
  int64_t i = static_cast<int64_t>(index) - 1;
  if (i < 0) ReportRuntimeError(kIndexBelowOne);
  if (i >= count) ReportRuntimeError(kIndexAboveCount);
  return static_cast<char*>(first) + i * static_cast<int64_t>(elementSize);
}

}  // namespace tobrine
