// Memory files, their registry, and the binary record format of WriteData and
// ReadData.
#include "runtime/memory_file.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "base/id_table.h"
#include "runtime/heap.h"

namespace tobrine {
namespace {

constexpr std::size_t kGrowStep = 1024;
constexpr std::size_t kTextReadBlock = 512;

// A growable block of bytes with a position. Used by one thread at a time.
class MemoryFile {
 public:
  MemoryFile() = default;
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;
  ~MemoryFile() { std::free(data_); }

  std::size_t position() const { return position_; }
  std::size_t size() const { return size_; }
  std::size_t remaining() const { return size_ - position_; }
  void Seek(std::size_t position) { position_ = position < size_ ? position : size_; }

  // Writes at the position, overwriting or extending; false when the file
  // cannot grow (nothing written then).
  bool Write(const void* bytes, std::size_t n) {
    if (n == 0) return true;
    if (n > SIZE_MAX - position_ - kGrowStep) return false;
    std::size_t end = position_ + n;
    if (end > capacity_) {
      std::size_t capacity = (end + kGrowStep - 1) / kGrowStep * kGrowStep;
      void* grown = std::realloc(data_, capacity);
      if (!grown) return false;
      data_ = static_cast<unsigned char*>(grown);
      capacity_ = capacity;
    }
    std::memcpy(data_ + position_, bytes, n);
    position_ = end;
    if (end > size_) size_ = end;
    return true;
  }

  // Reads up to n bytes at the position; returns how many were read.
  std::size_t Read(void* bytes, std::size_t n) {
    if (n > remaining()) n = remaining();
    if (n) std::memcpy(bytes, data_ + position_, n);
    position_ += n;
    return n;
  }

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  std::size_t position_ = 0;
};

// The table of open file numbers. The GUI thread and fetch workers both open
// and close files, so every lookup takes the lock; a file found stays alive
// while its caller uses it even if another thread closes the number.
using FileRegistry = base::IdTable<int32_t, MemoryFile>;

FileRegistry& Files() {
  static auto* files =
      new FileRegistry(0, 1, INT32_MAX);  // never destroyed: workers may outlive exit
  return *files;
}

// A kind the record format knows: a basic kind code with a stored size.
bool IsRecordKind(ValueKind k) {
  return IsBasicKindCode(KindCode(k)) && StoredSize(k) != 0;
}

// --- Writing -------------------------------------------------------------------------

bool WriteText(MemoryFile& f, const char* text) {
  if (!text) text = "";
  return f.Write(text, std::strlen(text) + 1);
}

bool WriteBlock(MemoryFile& f, const int32_t* block) {
  int32_t n = block ? block[1] : 0;
  if (n < 0) return false;
  return f.Write(&n, 4) && f.Write(block ? block + 2 : nullptr, static_cast<std::size_t>(n));
}

// A subroutine reference is pointer-sized in memory and stored as its low four
// bytes (little-endian), the size the record format gives it.
bool WriteSubroutine(MemoryFile& f, const void* address) {
  uint32_t low = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
  return f.Write(&low, 4);
}

bool WriteArray(MemoryFile& f, ValueKind kind, const void* array) {
  void* first = nullptr;
  int32_t n = ElementCount(array, &first);
  if (n <= 0) return true;
  switch (kind) {
    case ValueKind::kText: {
      auto* elements = static_cast<char* const*>(first);
      for (int32_t i = 0; i < n; ++i)
        if (!WriteText(f, elements[i])) return false;
      return true;
    }
    case ValueKind::kByteBlock: {
      auto* elements = static_cast<int32_t* const*>(first);
      for (int32_t i = 0; i < n; ++i)
        if (!WriteBlock(f, elements[i])) return false;
      return true;
    }
    case ValueKind::kSubroutine: {
      auto* elements = static_cast<void* const*>(first);
      for (int32_t i = 0; i < n; ++i)
        if (!WriteSubroutine(f, elements[i])) return false;
      return true;
    }
    default:
      return f.Write(first, static_cast<std::size_t>(n) * StoredSize(kind));
  }
}

bool WriteValue(MemoryFile& f, const Value& v) {
  ValueKind kind = KindOf(v.kind);
  if (!IsRecordKind(kind)) return false;
  if (IsArrayCode(v.kind)) return WriteArray(f, kind, v.ref);
  switch (kind) {
    case ValueKind::kText:
      return WriteText(f, static_cast<const char*>(v.ref));
    case ValueKind::kByteBlock:
      return WriteBlock(f, static_cast<const int32_t*>(v.ref));
    case ValueKind::kSubroutine:
      return WriteSubroutine(f, v.ref);
    default:
      return f.Write(&v.u8, StoredSize(kind));  // the payload starts at its first byte
  }
}

// --- Reading --------------------------------------------------------------------------
// Readers leave the position anywhere on failure; ReadData puts it back.

// Bytes up to the next zero byte, read in blocks and repositioned just past the
// zero. The end of the file also ends the text, unless nothing was read.
bool ReadText(MemoryFile& f, char*& out) {
  out = nullptr;
  std::string text;
  char buffer[kTextReadBlock];
  for (;;) {
    std::size_t at = f.position();
    std::size_t got = f.Read(buffer, sizeof buffer);
    if (got == 0) {
      if (text.empty()) return false;
      break;
    }
    if (const void* zero = std::memchr(buffer, 0, got)) {
      std::size_t k = static_cast<std::size_t>(static_cast<const char*>(zero) - buffer);
      text.append(buffer, k);
      f.Seek(at + k + 1);
      break;
    }
    text.append(buffer, got);
  }
  if (text.empty()) return true;  // an empty text is the absent reference
  auto* block = static_cast<char*>(RuntimeHeap::AllocateUnchecked(text.size() + 1));
  if (!block) return false;
  std::memcpy(block, text.c_str(), text.size() + 1);
  out = block;
  return true;
}

// int32 length n, then n bytes, into a new block {1, n, bytes} (also for n = 0).
// The length is checked against what the file holds before anything is
// allocated, so a damaged length cannot ask for gigabytes.
bool ReadBlock(MemoryFile& f, int32_t*& out) {
  out = nullptr;
  int32_t n = 0;
  if (f.Read(&n, 4) != 4) return false;
  if (n < 0 || static_cast<std::size_t>(n) > f.remaining()) return false;
  auto* block =
      static_cast<int32_t*>(RuntimeHeap::AllocateUnchecked(8 + static_cast<std::size_t>(n)));
  if (!block) return false;
  block[0] = 1;
  block[1] = n;
  f.Read(block + 2, static_cast<std::size_t>(n));
  out = block;
  return true;
}

bool ReadSubroutine(MemoryFile& f, void*& out) {
  out = nullptr;
  uint32_t low = 0;
  if (f.Read(&low, 4) != 4) return false;
  out = reinterpret_cast<void*>(static_cast<uintptr_t>(low));
  return true;
}

// Reads as many elements as the array holds now into a new one-dimensional
// array. The old array and its elements are released first; on failure the
// variable is left as an empty array.
bool ReadArray(MemoryFile& f, ValueKind kind, ArrayValue& array) {
  const int32_t count = array.count();
  array.Clear();
  const std::size_t n = count > 0 ? static_cast<std::size_t>(count) : 0;
  const std::size_t elementSize = ElementSize(kind);
  const bool references = kind == ValueKind::kText || kind == ValueKind::kByteBlock;
  // Every element takes at least one byte of the file (a text its NUL, a block
  // its length), so a count beyond what remains cannot be read.
  const std::size_t leastBytes = references ? (kind == ValueKind::kText ? 1 : 4) : StoredSize(kind);
  if (n > f.remaining() / leastBytes) return false;
  auto* block = static_cast<int32_t*>(RuntimeHeap::AllocateUnchecked(8 + n * elementSize));
  if (!block) return false;
  block[0] = 1;
  block[1] = static_cast<int32_t>(n);
  auto* elements = reinterpret_cast<unsigned char*>(block + 2);
  auto readElement = [&](void* slot) {
    switch (kind) {
      case ValueKind::kText:
        return ReadText(f, *static_cast<char**>(slot));
      case ValueKind::kByteBlock:
        return ReadBlock(f, *static_cast<int32_t**>(slot));
      case ValueKind::kSubroutine:
        return ReadSubroutine(f, *static_cast<void**>(slot));
      default:
        return f.Read(slot, elementSize) == elementSize;
    }
  };
  for (std::size_t i = 0; i < n; ++i) {
    if (readElement(elements + i * elementSize)) continue;
    if (references)
      for (std::size_t k = 0; k < i; ++k)
        RuntimeHeap::Free(*reinterpret_cast<void**>(elements + k * elementSize));
    RuntimeHeap::Free(block);
    return false;
  }
  array = ArrayValue::Adopt(kind, block);
  return true;
}

bool ReadVariable(MemoryFile& f, const VarRef& var) {
  ValueKind kind = KindOf(var.kind);
  if (!var.variable || !IsRecordKind(kind)) return false;
  if (IsArrayCode(var.kind)) return ReadArray(f, kind, *static_cast<ArrayValue*>(var.variable));
  switch (kind) {
    case ValueKind::kText: {
      auto& text = *static_cast<TextValue*>(var.variable);
      text.reset();
      char* block = nullptr;
      if (!ReadText(f, block)) return false;
      text = TextValue::Adopt(block);
      return true;
    }
    case ValueKind::kByteBlock: {
      auto& bytes = *static_cast<ByteBlock*>(var.variable);
      bytes.reset();
      int32_t* block = nullptr;
      if (!ReadBlock(f, block)) return false;
      bytes = ByteBlock::Adopt(block);
      return true;
    }
    case ValueKind::kSubroutine:
      return ReadSubroutine(f, *static_cast<void**>(var.variable));
    default: {
      // A variable whose read failed is left empty (zero), like the others.
      unsigned char buffer[8] = {};
      std::size_t size = StoredSize(kind);
      bool ok = f.Read(buffer, size) == size;
      if (!ok) std::memset(buffer, 0, sizeof buffer);
      std::memcpy(var.variable, buffer, size);
      return ok;
    }
  }
}

}  // namespace

int32_t OpenMemoryFile() {
  std::shared_ptr<MemoryFile> file(new (std::nothrow) MemoryFile());
  if (!file) return 0;
  return Files().Add(std::move(file));
}

void CloseFile(int32_t file) {
  Files().Remove(file);
}

bool SeekFileStart(int32_t file) {
  auto f = Files().Find(file);
  if (!f) return false;
  f->Seek(0);
  return true;
}

namespace {
// Applies `step` to each item in order; the first failure moves the position
// back to where the command began.
template <typename Item, typename Step>
bool EachOrMoveBack(int32_t file, std::initializer_list<Item> items, Step step) {
  auto f = Files().Find(file);
  if (!f) return false;
  const std::size_t start = f->position();
  for (const Item& item : items) {
    if (!step(*f, item)) {
      f->Seek(start);
      return false;
    }
  }
  return true;
}
}  // namespace

bool WriteData(int32_t file, std::initializer_list<Value> values) {
  return EachOrMoveBack(file, values, WriteValue);
}

bool ReadData(int32_t file, std::initializer_list<VarRef> variables) {
  return EachOrMoveBack(file, variables, ReadVariable);
}

int64_t FilePosition(int32_t file) {
  auto f = Files().Find(file);
  return f ? static_cast<int64_t>(f->position()) : -1;
}

int64_t FileLength(int32_t file) {
  auto f = Files().Find(file);
  return f ? static_cast<int64_t>(f->size()) : -1;
}

}  // namespace tobrine
