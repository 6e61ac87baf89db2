// The one allocation service for every block of the runtime, and the read-only
// pool of constant blocks that are never released.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tobrine {

// A read-only region holding the empty text, the empty array header and the
// program's literal texts. Releasing a block in it does nothing; changing one
// first copies it (RuntimeHeap::Reallocate, RuntimeHeap::MakeArrayWritable).
class ConstantPool {
 public:
  static bool Contains(const void* p);
  // The empty text: a single NUL byte.
  static char* EmptyText();
  // The empty array header {dimension count 1, count 0}.
  static int32_t* EmptyArrayHeader();
  // A copy of `text` + NUL kept in the pool for the life of the process; the same
  // text always gives the same block. Aborts through the fatal reporter when the
  // pool is full (it is sized far beyond this program's literals).
  static char* Literal(std::string_view text);
  // One past the last byte of the region.
  static const char* End();
};

class RuntimeHeap {
 public:
  // `size` bytes from the process heap, not zero-filled; never more than
  // INT32_MAX (the lengths inside blocks are int32). On failure reports
  // "分配 %d 字节内存失败!" and ends the process: never returns nullptr.
  static void* Allocate(std::size_t size);
  // The same, but returns nullptr on failure.
  static void* AllocateUnchecked(std::size_t size);
  // Resizes a block. nullptr: same as Allocate. A constant: a fresh block holding
  // min(size, bytes from the block to the end of the pool) of its bytes; the
  // constant stays. Failure is reported like Allocate.
  static void* Reallocate(void* block, std::size_t size);
  // Resizes a heap block (not a constant); nullptr on failure, and the block
  // stays as it was.
  static void* ReallocateUnchecked(void* block, std::size_t size);
  // Returns a block to the heap; nullptr and constants are ignored.
  static void Free(void* block);
  // If `array` refers to an array in the pool, replaces it by a heap copy of
  // header and elements; a heap array is left as it is.
  static void MakeArrayWritable(std::size_t elementSize, void*& array);
};

}  // namespace tobrine
