#include "runtime/heap.h"

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/system.h"
#include "runtime/fatal.h"

namespace tobrine {
namespace {

// The pool: the empty array header first (aligned), then the empty text, then
// literals appended on first use.
constexpr std::size_t kPoolSize = 64 * 1024;
alignas(16) char g_pool[kPoolSize] = {1, 0, 0, 0, 0, 0, 0, 0, 0};
constexpr std::size_t kEmptyHeaderOffset = 0;
constexpr std::size_t kEmptyTextOffset = 8;
std::size_t g_poolUsed = 16;
std::mutex g_poolMutex;

std::unordered_map<std::string, char*>& Literals() {
  static auto* map = new std::unordered_map<std::string, char*>();
  return *map;
}

[[noreturn]] void ReportAllocationFailure(std::size_t size) {
  std::string message = "分配 " + std::to_string(size) + " 字节内存失败!";
  ReportRuntimeMessage(message, 0);
}

}  // namespace

bool ConstantPool::Contains(const void* p) {
  auto* c = static_cast<const char*>(p);
  return c >= g_pool && c < g_pool + kPoolSize;
}

char* ConstantPool::EmptyText() {
  return g_pool + kEmptyTextOffset;
}

int32_t* ConstantPool::EmptyArrayHeader() {
  return reinterpret_cast<int32_t*>(g_pool + kEmptyHeaderOffset);
}

char* ConstantPool::Literal(std::string_view text) {
  if (text.empty()) return EmptyText();
  std::lock_guard<std::mutex> lock(g_poolMutex);
  auto& map = Literals();
  auto it = map.find(std::string(text));
  if (it != map.end()) return it->second;
  if (g_poolUsed + text.size() + 1 > kPoolSize) ReportAllocationFailure(text.size() + 1);
  char* block = g_pool + g_poolUsed;
  std::memcpy(block, text.data(), text.size());
  block[text.size()] = '\0';
  g_poolUsed += text.size() + 1;
  map.emplace(std::string(text), block);
  return block;
}

const char* ConstantPool::End() {
  return g_pool + kPoolSize;
}

void* RuntimeHeap::Allocate(std::size_t size) {
  void* p = AllocateUnchecked(size);
  if (!p) ReportAllocationFailure(size);
  return p;
}

void* RuntimeHeap::AllocateUnchecked(std::size_t size) {
  // Every block's lengths are int32: a bigger block could not count its own
  // bytes, on either word size.
  if (size > static_cast<std::size_t>(INT32_MAX)) return nullptr;
  return platform::HeapAllocate(size);
}

void* RuntimeHeap::Reallocate(void* block, std::size_t size) {
  if (!block) return Allocate(size);
  if (ConstantPool::Contains(block)) {
    void* fresh = Allocate(size);
    std::size_t available =
        static_cast<std::size_t>(ConstantPool::End() - static_cast<const char*>(block));
    std::memcpy(fresh, block, size < available ? size : available);
    return fresh;
  }
  void* p =
      size > static_cast<std::size_t>(INT32_MAX) ? nullptr : platform::HeapResize(block, size);
  if (!p) ReportAllocationFailure(size);
  return p;
}

void* RuntimeHeap::ReallocateUnchecked(void* block, std::size_t size) {
  return block ? platform::HeapResize(block, size) : platform::HeapAllocate(size);
}

void RuntimeHeap::Free(void* block) {
  if (!block || ConstantPool::Contains(block)) return;
  platform::HeapRelease(block);
}

void RuntimeHeap::MakeArrayWritable(std::size_t elementSize, void*& array) {
  if (!array || !ConstantPool::Contains(array)) return;
  auto* header = static_cast<const int32_t*>(array);
  int32_t dims = header[0];
  int64_t count = dims > 0 ? 1 : 0;
  for (int32_t d = 0; d < dims; ++d) count *= header[1 + d];
  std::size_t size =
      4 + 4 * static_cast<std::size_t>(dims) + elementSize * static_cast<std::size_t>(count);
  void* copy = Allocate(size);
  std::memcpy(copy, array, size);
  array = copy;
}

}  // namespace tobrine
