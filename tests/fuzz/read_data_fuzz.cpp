// Fuzz target: ReadData over arbitrary file content must fail or succeed
// cleanly, never crash, leak or ask for absurd allocations.
//
// The first byte picks the variables to read into; the rest is the file.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "runtime/memory_file.h"
#include "runtime/value.h"

using namespace tobrine;

namespace {

ArrayValue SizedArray(ValueKind kind, int32_t count) {
  std::size_t size = 8 + ElementSize(kind) * static_cast<std::size_t>(count);
  auto* block = static_cast<int32_t*>(RuntimeHeap::Allocate(size));
  std::memset(block, 0, size);
  block[0] = 1;
  block[1] = count;
  return ArrayValue::Adopt(kind, block);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const uint8_t shape = data[0];
  int32_t file = OpenMemoryFile();
  if (!file) return 0;

  ArrayValue raw = SizedArray(ValueKind::kByte, static_cast<int32_t>(size - 1));
  std::memcpy(static_cast<int32_t*>(raw.block()) + 2, data + 1, size - 1);
  if (WriteData(file, {Value::Array(raw)}) && SeekFileStart(file)) {
    TextValue text;
    ByteBlock block;
    int32_t number = 0;
    double real = 0;
    ArrayValue blocks = SizedArray(ValueKind::kByteBlock, shape & 7);
    ArrayValue texts = SizedArray(ValueKind::kText, (shape >> 3) & 7);
    switch (shape >> 6) {
      case 0:
        ReadData(file, {VarRef(block), VarRef(text), VarRef(number)});
        break;
      case 1:
        ReadData(file, {VarRef(blocks), VarRef(real)});
        break;
      case 2:
        ReadData(file, {VarRef(texts), VarRef(block)});
        break;
      default:
        ReadData(file, {VarRef(number), VarRef(blocks), VarRef(texts), VarRef(text)});
        break;
    }
    // Whatever was read must be a well-formed value.
    if (!block.absent() && (block.get()[0] != 1 || block.size() < 0)) __builtin_trap();
    (void)text.view();
  }
  CloseFile(file);
  return 0;
}
