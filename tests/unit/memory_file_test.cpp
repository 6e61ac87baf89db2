// Memory files and the binary record format of WriteData / ReadData.
#include "runtime/memory_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "runtime/value.h"
#include "test_support.h"

namespace tobrine {
namespace {

// An open memory file, closed at the end of the test.
class File {
 public:
  File() : number_(OpenMemoryFile()) {}
  ~File() { CloseFile(number_); }
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  operator int32_t() const { return number_; }

 private:
  int32_t number_;
};

// An array of byte blocks of the given count, each element absent.
ArrayValue BlockArray(int32_t count) {
  const std::size_t ref = sizeof(void*);
  auto* block = static_cast<int32_t*>(RuntimeHeap::Allocate(8 + ref * count));
  block[0] = 1;
  block[1] = count;
  std::memset(block + 2, 0, ref * count);
  return ArrayValue::Adopt(ValueKind::kByteBlock, block);
}

int32_t*& BlockAt(ArrayValue& a, int32_t i) {
  return *static_cast<int32_t**>(CheckedIndex(a.block(), i, sizeof(void*)));
}

// Writes raw bytes into a file as they would lie in a record.
void WriteRaw(int32_t file, std::string_view bytes) {
  ArrayValue raw = ArrayValue::Adopt(ValueKind::kByte, RuntimeHeap::Allocate(8 + bytes.size()));
  static_cast<int32_t*>(raw.block())[0] = 1;
  static_cast<int32_t*>(raw.block())[1] = static_cast<int32_t>(bytes.size());
  std::memcpy(static_cast<int32_t*>(raw.block()) + 2, bytes.data(), bytes.size());
  ASSERT_TRUE(WriteData(file, {Value::Array(raw)}));
}

TEST(MemoryFile, RecordExampleIntAndTwoBlocks) {
  File f;
  ASSERT_NE(static_cast<int32_t>(f), 0);
  ArrayValue blocks = BlockArray(2);
  ByteBlock two = ByteBlock::FromBytes("hi");
  BlockAt(blocks, 1) = two.release();
  ASSERT_TRUE(WriteData(f, {Value::Int(0x01020304), Value::Array(blocks)}));
  EXPECT_EQ(FileLength(f), 4 + (4 + 2) + 4);
  EXPECT_EQ(FilePosition(f), 14);

  // The bytes exactly: the int, length 2, "hi", length 0.
  ASSERT_TRUE(SeekFileStart(f));
  ArrayValue bytes = ArrayValue::Adopt(ValueKind::kByte, RuntimeHeap::Allocate(8 + 14));
  static_cast<int32_t*>(bytes.block())[0] = 1;
  static_cast<int32_t*>(bytes.block())[1] = 14;
  ASSERT_TRUE(ReadData(f, {VarRef(bytes)}));
  void* first = nullptr;
  ASSERT_EQ(ElementCount(bytes.block(), &first), 14);
  EXPECT_EQ(std::string(static_cast<const char*>(first), 14),
            std::string("\x04\x03\x02\x01\x02\x00\x00\x00hi\x00\x00\x00\x00", 14));

  ASSERT_TRUE(SeekFileStart(f));
  int32_t number = 0;
  ArrayValue back = BlockArray(2);
  ASSERT_TRUE(ReadData(f, {VarRef(number), VarRef(back)}));
  EXPECT_EQ(number, 0x01020304);
  ASSERT_EQ(back.count(), 2);
  ByteBlock first1 = ByteBlock::Adopt(std::exchange(BlockAt(back, 1), nullptr));
  EXPECT_EQ(first1.bytes(), "hi");
  ASSERT_NE(BlockAt(back, 2), nullptr);  // a length-0 block reads back allocated {1, 0}
  EXPECT_EQ(BlockAt(back, 2)[0], 1);
  EXPECT_EQ(BlockAt(back, 2)[1], 0);
}

TEST(MemoryFile, SevenByteBlocksRoundTrip) {
  File f;
  const std::string contents[7] = {"a",
                                   "",
                                   std::string("\0\1\2", 3),
                                   std::string(5000, 'x'),
                                   "GET",
                                   "Cookie: k=v",
                                   std::string(1024, '\xB0')};
  ByteBlock in[7];
  for (int i = 0; i < 7; ++i) in[i] = ByteBlock::FromBytes(contents[i]);
  ASSERT_TRUE(WriteData(
      f, {Value::Bytes(in[0]), Value::Bytes(in[1]), Value::Bytes(in[2]), Value::Bytes(in[3]),
          Value::Bytes(in[4]), Value::Bytes(in[5]), Value::Bytes(in[6])}));
  ASSERT_TRUE(SeekFileStart(f));
  ByteBlock out[7];
  out[1] = ByteBlock::FromBytes("old value is released");
  ASSERT_TRUE(ReadData(f, {VarRef(out[0]), VarRef(out[1]), VarRef(out[2]), VarRef(out[3]),
                           VarRef(out[4]), VarRef(out[5]), VarRef(out[6])}));
  for (int i = 0; i < 7; ++i) EXPECT_EQ(out[i].bytes(), contents[i]) << i;
  ASSERT_FALSE(out[1].absent());
  EXPECT_EQ(out[1].size(), 0);
  EXPECT_EQ(FilePosition(f), FileLength(f));
}

TEST(MemoryFile, ScalarsTextsAndTextArraysRoundTrip) {
  File f;
  ArrayValue texts(ValueKind::kText);
  AppendElement(texts, "one");
  AppendElement(texts, nullptr);
  AppendElement(texts, "三");
  TextValue body = TextValue::FromBytes(std::string(1500, 'z'));  // longer than a read block
  ASSERT_TRUE(WriteData(
      f, {Value::Byte(7), Value::Short(-2), Value::Int64(-5000000000LL), Value::Double(2.5),
          Value::Logical(true), Value::Text(body), Value::TextBlock(""), Value::Array(texts)}));
  EXPECT_EQ(FileLength(f), 1 + 2 + 8 + 8 + 4 + 1501 + 1 + (4 + 1 + 3));

  ASSERT_TRUE(SeekFileStart(f));
  uint8_t b = 0;
  int16_t s = 0;
  int64_t l = 0;
  double d = 0;
  int32_t logical = 0;
  TextValue t1, t2 = TextValue::FromBytes("stale");
  ArrayValue back(ValueKind::kText);
  for (int i = 0; i < 3; ++i) AppendElement(back, "x");
  ASSERT_TRUE(ReadData(
      f, {VarRef::Raw(KindCode(ValueKind::kByte), &b), VarRef::Raw(KindCode(ValueKind::kShort), &s),
          VarRef(l), VarRef(d), VarRef::Raw(KindCode(ValueKind::kLogical), &logical), VarRef(t1),
          VarRef(t2), VarRef(back)}));
  EXPECT_EQ(b, 7);
  EXPECT_EQ(s, -2);
  EXPECT_EQ(l, -5000000000LL);
  EXPECT_EQ(d, 2.5);
  EXPECT_EQ(logical, 1);
  EXPECT_EQ(t1.view(), body.view());
  EXPECT_TRUE(t2.absent());
  ASSERT_EQ(back.count(), 3);
  EXPECT_EQ(back.TextAt(1), "one");
  EXPECT_EQ(back.TextSlot(2), nullptr);
  EXPECT_EQ(back.TextAt(3), "三");
}

TEST(MemoryFile, FailedReadsRestoreThePosition) {
  File f;
  ASSERT_TRUE(WriteData(f, {Value::Int(5)}));
  // At the end of the file: a text read fails and the position stays.
  TextValue t = TextValue::FromBytes("old");
  EXPECT_FALSE(ReadData(f, {VarRef(t)}));
  EXPECT_TRUE(t.absent()) << "the old text is released, nothing stale kept";
  EXPECT_EQ(FilePosition(f), 4);

  // A read that succeeds partway and then fails moves back to where it began.
  ASSERT_TRUE(SeekFileStart(f));
  int32_t a = 0, b = 99;
  EXPECT_FALSE(ReadData(f, {VarRef(a), VarRef(b)}));
  EXPECT_EQ(FilePosition(f), 0);
  EXPECT_EQ(b, 0);
  ASSERT_TRUE(ReadData(f, {VarRef(a)}));
  EXPECT_EQ(a, 5);

  // A text with no NUL before the end is still read; its bytes form the text.
  File g;
  WriteRaw(g, "abc");
  ASSERT_TRUE(SeekFileStart(g));
  ASSERT_TRUE(ReadData(g, {VarRef(t)}));
  EXPECT_EQ(t.view(), "abc");
}

TEST(MemoryFile, HostileRecordsFailCleanly) {
  struct Row {
    const char* what;
    std::string bytes;
  } rows[] = {
      {"length 2^31-1", std::string("\xFF\xFF\xFF\x7F"
                                    "abc",
                                    7)},
      {"negative length", std::string("\xFF\xFF\xFF\xFF"
                                      "abc",
                                      7)},
      {"length INT_MIN", std::string("\x00\x00\x00\x80", 4)},
      {"length beyond the data", std::string("\x05\x00\x00\x00"
                                             "abcd",
                                             8)},
      {"short length field", std::string("\x05\x00", 2)},
      {"empty file", std::string()},
  };
  for (const auto& r : rows) {
    File f;
    if (!r.bytes.empty()) WriteRaw(f, r.bytes);
    ASSERT_TRUE(SeekFileStart(f));
    ByteBlock block = ByteBlock::FromBytes("old");
    EXPECT_FALSE(ReadData(f, {VarRef(block)})) << r.what;
    EXPECT_TRUE(block.absent()) << r.what;
    EXPECT_EQ(FilePosition(f), 0) << r.what;

    // The same bytes read as the second element of a block array.
    ArrayValue blocks = BlockArray(2);
    File g;
    WriteRaw(g, std::string("\x01\x00\x00\x00"
                            "Z",
                            5) +
                    r.bytes);
    ASSERT_TRUE(SeekFileStart(g));
    EXPECT_FALSE(ReadData(g, {VarRef(blocks)})) << r.what;
    EXPECT_EQ(blocks.count(), 0) << r.what << ": left as an empty array";
    EXPECT_EQ(FilePosition(g), 0) << r.what;
  }

  // An array sized far beyond what the file holds fails before allocating.
  File h;
  WriteRaw(h, "abcd");
  ASSERT_TRUE(SeekFileStart(h));
  ArrayValue huge = ArrayValue::Adopt(ValueKind::kDouble, RuntimeHeap::Allocate(8));
  static_cast<int32_t*>(huge.block())[0] = 1;
  static_cast<int32_t*>(huge.block())[1] = INT32_MAX;  // claims more than exists
  EXPECT_FALSE(ReadData(h, {VarRef(huge)}));
  EXPECT_EQ(huge.count(), 0);
}

TEST(MemoryFile, NonBasicKindsFailAndMoveBack) {
  File f;
  ASSERT_TRUE(WriteData(f, {Value::Int(1)}));
  EXPECT_FALSE(WriteData(f, {Value::Int(2), Value::Raw(0x40000004, 0)}));
  EXPECT_EQ(FilePosition(f), 4);
  EXPECT_EQ(FileLength(f), 8) << "bytes written before stay beyond the position";
  EXPECT_FALSE(WriteData(f, {Value()}));
  EXPECT_FALSE(WriteData(f, {Value::Raw(0x80000007, 0)}));

  ASSERT_TRUE(SeekFileStart(f));
  int32_t x = 0;
  EXPECT_FALSE(ReadData(f, {VarRef(x), VarRef::Raw(0x00000301, &x)}));
  EXPECT_FALSE(ReadData(f, {VarRef::Raw(KindCode(ValueKind::kInt), nullptr)}));
  EXPECT_EQ(FilePosition(f), 0);
}

TEST(MemoryFile, ClosedAndUnknownNumbersDoNothing) {
  int32_t n = OpenMemoryFile();
  ASSERT_NE(n, 0);
  ASSERT_TRUE(WriteData(n, {Value::Int(1)}));
  CloseFile(n);
  int32_t x = 7;
  EXPECT_FALSE(WriteData(n, {Value::Int(2)}));
  EXPECT_FALSE(SeekFileStart(n));
  EXPECT_FALSE(ReadData(n, {VarRef(x)}));
  EXPECT_EQ(x, 7);
  EXPECT_EQ(FileLength(n), -1);
  CloseFile(n);  // ignored
  EXPECT_FALSE(SeekFileStart(0));
  EXPECT_FALSE(SeekFileStart(-5));
  int32_t m = OpenMemoryFile();
  EXPECT_NE(m, n) << "a closed number is not handed out again at once";
  CloseFile(m);
}

TEST(MemoryFile, GrowsAndOverwritesInPlace) {
  File f;
  ByteBlock big = ByteBlock::FromBytes(std::string(3000, 'q'));
  ASSERT_TRUE(WriteData(f, {Value::Bytes(big)}));
  ASSERT_TRUE(SeekFileStart(f));
  ASSERT_TRUE(WriteData(f, {Value::Int(1)}));  // overwrites the length only
  EXPECT_EQ(FileLength(f), 3004);
  EXPECT_EQ(FilePosition(f), 4);
}

TEST(MemoryFile, RegistryIsSharedAcrossThreads) {
  // Workers open, use and close their own files while the main thread does too.
  std::vector<std::thread> workers;
  std::vector<int> ok(4, 0);
  for (int w = 0; w < 4; ++w) {
    workers.emplace_back([w, &ok] {
      int good = 0;
      for (int i = 0; i < 200; ++i) {
        int32_t f = OpenMemoryFile();
        int32_t back = -1;
        if (WriteData(f, {Value::Int(w * 1000 + i)}) && SeekFileStart(f) &&
            ReadData(f, {VarRef(back)}) && back == w * 1000 + i)
          ++good;
        CloseFile(f);
      }
      ok[w] = good;
    });
  }
  for (auto& t : workers) t.join();
  for (int w = 0; w < 4; ++w) EXPECT_EQ(ok[w], 200) << w;
}

}  // namespace
}  // namespace tobrine
