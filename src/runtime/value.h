// Runtime values: texts, byte blocks and arrays as heap blocks with fixed layouts,
// wrapped in move-only owners so that no caller frees by hand.
//
//   TextValue   bytes in code page 936 + NUL; null = the empty text
//   ByteBlock   {int32 1, int32 n, n bytes}; null = the empty block
//   ArrayValue  {int32 dims, int32 count per dim, packed elements}
//
// Text and byte-block elements of an array are references (pointer-sized) and
// each owns its block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <utility>

#include "runtime/heap.h"

namespace tobrine {

enum class ValueKind : uint32_t {
  kNone = 0,  // an optional argument left out
  kByte = 0x80000101,
  kShort = 0x80000201,
  kInt = 0x80000301,
  kInt64 = 0x80000401,
  kFloat = 0x80000501,
  kDouble = 0x80000601,
  kLogical = 0x80000002,
  kDateTime = 0x80000003,
  kText = 0x80000004,
  kByteBlock = 0x80000005,
  kSubroutine = 0x80000006,
};

inline constexpr uint32_t ArrayFlag = 0x20000000;

constexpr uint32_t KindCode(ValueKind k) {
  return static_cast<uint32_t>(k);
}
constexpr uint32_t ArrayOf(ValueKind k) {
  return KindCode(k) | ArrayFlag;
}
// The kind of a code, whether or not it is marked as an array.
constexpr ValueKind KindOf(uint32_t code) {
  return static_cast<ValueKind>(code & ~ArrayFlag);
}
constexpr bool IsArrayCode(uint32_t code) {
  return (code & ArrayFlag) != 0;
}
// Basic kinds have bit 31 set and bit 30 clear.
constexpr bool IsBasicKindCode(uint32_t code) {
  return (code & 0xC0000000u) == 0x80000000u;
}
constexpr bool IsNumericKind(ValueKind k) {
  return (KindCode(k) & 0xFF) == 0x01;
}
// Size of one stored value of a basic kind (references count as pointers in
// memory; the record format of memory files stores them by content).
std::size_t StoredSize(ValueKind k);
// Size of one array element in memory: references are pointer-sized.
std::size_t ElementSize(ValueKind k);

// ---------------------------------------------------------------------------
// TextValue

class TextValue {
 public:
  TextValue() = default;
  TextValue(const TextValue&) = delete;
  TextValue& operator=(const TextValue&) = delete;
  TextValue(TextValue&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  TextValue& operator=(TextValue&& other) noexcept {
    if (this != &other) {
      RuntimeHeap::Free(block_);
      block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
  }
  ~TextValue() { RuntimeHeap::Free(block_); }

  // Takes ownership of a heap block (or holds a constant), NUL-terminated.
  static TextValue Adopt(char* block) {
    TextValue t;
    t.block_ = block;
    return t;
  }
  // A new block holding `bytes` + NUL; the absent reference when `bytes` is empty.
  static TextValue FromBytes(std::string_view bytes);
  // A new block holding `bytes` + NUL, allocated even when empty.
  static TextValue Allocated(std::string_view bytes);
  // A reference to a literal kept in the ConstantPool.
  static TextValue Literal(std::string_view text) { return Adopt(ConstantPool::Literal(text)); }

  // The bytes up to the first NUL.
  std::string_view view() const;
  operator std::string_view() const { return view(); }
  const char* c_str() const { return block_ ? block_ : ""; }
  char* get() const { return block_; }
  int32_t size() const { return static_cast<int32_t>(view().size()); }
  bool empty() const { return block_ == nullptr || block_[0] == '\0'; }
  bool absent() const { return block_ == nullptr; }
  char* release() { return std::exchange(block_, nullptr); }
  void reset() { RuntimeHeap::Free(std::exchange(block_, nullptr)); }
  // A new copy of the text (absent when empty).
  TextValue Copy() const { return FromBytes(view()); }

 private:
  char* block_ = nullptr;
};

// ---------------------------------------------------------------------------
// ByteBlock

class ByteBlock {
 public:
  ByteBlock() = default;
  ByteBlock(const ByteBlock&) = delete;
  ByteBlock& operator=(const ByteBlock&) = delete;
  ByteBlock(ByteBlock&& other) noexcept : block_(std::exchange(other.block_, nullptr)) {}
  ByteBlock& operator=(ByteBlock&& other) noexcept {
    if (this != &other) {
      RuntimeHeap::Free(block_);
      block_ = std::exchange(other.block_, nullptr);
    }
    return *this;
  }
  ~ByteBlock() { RuntimeHeap::Free(block_); }

  static ByteBlock Adopt(int32_t* block) {
    ByteBlock b;
    b.block_ = block;
    return b;
  }
  // A new block {1, n, bytes}; the absent reference when n is 0.
  static ByteBlock FromBytes(const void* bytes, std::size_t n);
  static ByteBlock FromBytes(std::string_view bytes) {
    return FromBytes(bytes.data(), bytes.size());
  }
  // A new block {1, n, bytes}, allocated even when n is 0.
  static ByteBlock Allocated(const void* bytes, std::size_t n);
  // The constant empty header {1, 0}.
  static ByteBlock EmptyConstant() { return Adopt(ConstantPool::EmptyArrayHeader()); }

  int32_t size() const { return block_ ? block_[1] : 0; }
  bool empty() const { return size() == 0; }
  bool absent() const { return block_ == nullptr; }
  const uint8_t* data() const {
    return block_ ? reinterpret_cast<const uint8_t*>(block_ + 2) : nullptr;
  }
  uint8_t* data() { return block_ ? reinterpret_cast<uint8_t*>(block_ + 2) : nullptr; }
  std::string_view bytes() const {
    return block_ ? std::string_view(reinterpret_cast<const char*>(block_ + 2),
                                     static_cast<std::size_t>(block_[1]))
                  : std::string_view();
  }
  int32_t* get() const { return block_; }
  int32_t* release() { return std::exchange(block_, nullptr); }
  void reset() { RuntimeHeap::Free(std::exchange(block_, nullptr)); }
  ByteBlock Copy() const { return FromBytes(data(), static_cast<std::size_t>(size())); }

 private:
  int32_t* block_ = nullptr;
};

// A byte block built by writing at its end. It grows by doubling (in place
// where the heap can), so a large body costs linear time and is handed on
// without another copy.
class ByteBlockBuilder {
 public:
  ByteBlockBuilder() = default;
  ByteBlockBuilder(const ByteBlockBuilder&) = delete;
  ByteBlockBuilder& operator=(const ByteBlockBuilder&) = delete;
  ~ByteBlockBuilder() { RuntimeHeap::Free(block_); }

  // Room for `n` more bytes at the end, to be counted in by Commit; nullptr
  // when the block cannot grow that far (then nothing changes).
  uint8_t* Reserve(std::size_t n);
  // Makes room for `total` bytes in all at once, when it can: a block that
  // grows step by step is moved again and again. Only a hint.
  void Expect(std::size_t total) {
    if (total > size_) Reserve(total - size_);
  }
  // Counts `n` bytes written into the room Reserve gave as part of the block.
  void Commit(std::size_t n) { size_ += n; }
  std::size_t size() const { return size_; }
  // The block built so far (the absent block when empty); the builder starts
  // over.
  ByteBlock Take();

 private:
  int32_t* block_ = nullptr;
  std::size_t size_ = 0;      // bytes written
  std::size_t capacity_ = 0;  // bytes the block has room for
};

// The text the block's bytes hold (up to their first NUL), made in the block's
// own memory instead of a copy.
TextValue TakeText(ByteBlock&& block);

// ---------------------------------------------------------------------------
// ArrayValue: an owned array block of one element kind. A fresh array is a
// heap copy of the empty header {1, 0}, never the absent reference.

class ArrayValue {
 public:
  explicit ArrayValue(ValueKind elementKind);
  ArrayValue(const ArrayValue&) = delete;
  ArrayValue& operator=(const ArrayValue&) = delete;
  ArrayValue(ArrayValue&& other) noexcept
      : kind_(other.kind_), block_(std::exchange(other.block_, nullptr)) {}
  ArrayValue& operator=(ArrayValue&& other) noexcept;
  ~ArrayValue();

  // Holds `block` (heap or constant) as an array of `elementKind`.
  static ArrayValue Adopt(ValueKind elementKind, void* block);

  ValueKind elementKind() const { return kind_; }
  // The element count: product of the dimension counts.
  int32_t count() const;
  // The block variable itself, for the commands that rewrite it.
  void*& block() { return block_; }
  void* block() const { return block_; }
  // Frees every element and makes the array the empty one-dimensional array.
  void Clear();
  // The text of element i (1-based) through CheckedIndex: fatal when out of range.
  std::string_view TextAt(int32_t i) const;
  // The variable of text element i (1-based) through CheckedIndex; the caller may
  // change it in place (the array keeps owning whatever it then holds).
  char*& TextSlot(int32_t i);

 private:
  void ReleaseElements();
  ValueKind kind_;
  void* block_ = nullptr;
};

// ---------------------------------------------------------------------------
// Tagged values: a kind code and a payload, for the commands that take any kind
// (conversions, data records, message box content). A Value does not own what
// it refers to.

struct Value {
  uint32_t kind = 0;  // KindCode, possibly | ArrayFlag; 0 = left out
  union {
    uint8_t u8;
    int16_t i16;
    int32_t i32;
    int64_t i64;
    float f32;
    double f64;
    const void* ref;  // text block, byte block or array block
  };

  Value() : i64(0) {}
  static Value Byte(uint8_t v) { return Of(KindCode(ValueKind::kByte), &Value::u8, v); }
  static Value Short(int16_t v) { return Of(KindCode(ValueKind::kShort), &Value::i16, v); }
  static Value Int(int32_t v) { return Of(KindCode(ValueKind::kInt), &Value::i32, v); }
  static Value Int64(int64_t v) { return Of(KindCode(ValueKind::kInt64), &Value::i64, v); }
  static Value Float(float v) { return Of(KindCode(ValueKind::kFloat), &Value::f32, v); }
  static Value Double(double v) { return Of(KindCode(ValueKind::kDouble), &Value::f64, v); }
  static Value Logical(bool v) {
    return Of(KindCode(ValueKind::kLogical), &Value::i32, int32_t{v ? 1 : 0});
  }
  static Value DateTime(double v) { return Of(KindCode(ValueKind::kDateTime), &Value::f64, v); }
  static Value Text(const TextValue& t) { return TextBlock(t.get()); }
  // A text given by bytes must be NUL-terminated (a literal or a TextValue's block).
  static Value TextBlock(const char* block) {
    return Of(KindCode(ValueKind::kText), &Value::ref, static_cast<const void*>(block));
  }
  static Value Bytes(const ByteBlock& b) {
    return Of(KindCode(ValueKind::kByteBlock), &Value::ref, static_cast<const void*>(b.get()));
  }
  static Value Array(const ArrayValue& a) {
    return Of(ArrayOf(a.elementKind()), &Value::ref, static_cast<const void*>(a.block()));
  }
  static Value Raw(uint32_t kind, int64_t payload) { return Of(kind, &Value::i64, payload); }
  bool given() const { return kind != 0; }

 private:
  template <typename T>
  static Value Of(uint32_t kind, T Value::*field, T v) {
    Value x;
    x.kind = kind;
    x.*field = v;
    return x;
  }
};

// A variable that a command writes into (ReadData): its kind and its address.
struct VarRef {
  uint32_t kind = 0;
  void* variable = nullptr;

  VarRef() = default;
  VarRef(TextValue& t) : kind(KindCode(ValueKind::kText)), variable(&t) {}
  VarRef(ByteBlock& b) : kind(KindCode(ValueKind::kByteBlock)), variable(&b) {}
  VarRef(ArrayValue& a) : kind(ArrayOf(a.elementKind())), variable(&a) {}
  VarRef(int32_t& i) : kind(KindCode(ValueKind::kInt)), variable(&i) {}
  VarRef(int64_t& i) : kind(KindCode(ValueKind::kInt64)), variable(&i) {}
  VarRef(double& d) : kind(KindCode(ValueKind::kDouble)), variable(&d) {}
  static VarRef Raw(uint32_t kind, void* variable) {
    VarRef r;
    r.kind = kind;
    r.variable = variable;
    return r;
  }
};

// ---------------------------------------------------------------------------
// Value helpers of the application code.

// One new block holding the texts one after another; always allocated, also when
// the joined length is 0. Absent texts count as empty.
template <typename... Texts>
TextValue JoinTexts(const Texts&... texts);
TextValue JoinTextList(std::initializer_list<std::string_view> texts);

// Three-way byte comparison (unsigned); absent compares as empty.
int TextsEqual(const char* a, const char* b);
// Bytes before the first NUL; 0 for an absent text.
int32_t RawTextLength(const char* text);
// The text that bytes hold: everything before their first NUL.
std::string_view TextUpToNul(std::string_view bytes);
// Product of the dimension counts; 0 for an absent array or 0 dimensions.
// `first` (when given) receives the address just past the counts.
int32_t ElementCount(const void* array, void** first = nullptr);
// Double to integer rounding toward zero, whatever the rounding mode.
int64_t TruncateToInteger(double x);
// Appends a private copy of `text` (absent stays absent) to a text array.
void AppendElement(ArrayValue& array, const char* text);
inline void AppendElement(ArrayValue& array, const TextValue& text) {
  AppendElement(array, text.get());
}
// Grows a text array by `count` elements in one step (it becomes one-dimensional)
// and returns the first new element's variable. The new elements are absent until
// the caller stores heap blocks in them, which the array then owns.
char** AppendTextSlots(ArrayValue& array, int32_t count);
// Element address for a 1-based index: index < 1 reports error 4, index above the
// count reports error 1 (both end the process).
void* CheckedIndex(const void* array, int32_t index, std::size_t elementSize);

template <typename... Texts>
TextValue JoinTexts(const Texts&... texts) {
  return JoinTextList({std::string_view(texts)...});
}

}  // namespace tobrine
