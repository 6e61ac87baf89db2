// Values and the heap: layouts, ownership, constants and the value helpers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "runtime/heap.h"
#include "runtime/value.h"
#include "test_support.h"

namespace tobrine {
namespace {

TEST(TextValue, EmptyResultsAreAbsentAndJoinAlwaysAllocates) {
  EXPECT_TRUE(TextValue::FromBytes("").absent());
  TextValue joined = JoinTexts(TextValue(), std::string_view(""));
  ASSERT_FALSE(joined.absent());
  EXPECT_EQ(joined.get()[0], '\0');
  EXPECT_EQ(TextsEqual(joined.get(), nullptr), 0);
}

TEST(TextValue, JoinSkipsAbsentMiddle) {
  TextValue a = TextValue::FromBytes("ab"), c = TextValue::FromBytes("cd");
  TextValue j = JoinTexts(a, TextValue(), c);
  EXPECT_EQ(j.view(), "abcd");
  EXPECT_NE(j.get(), a.get());
  EXPECT_EQ(a.view(), "ab");  // inputs untouched
}

TEST(TextsEqual, ThreeWayUnsigned) {
  struct Row {
    const char* a;
    const char* b;
    int want;
  } rows[] = {
      {"a", "ab", -1},    {"b", "a", 1},     {"\xB0", "\x41", 1}, {nullptr, nullptr, 0},
      {nullptr, "x", -1}, {"x", nullptr, 1}, {nullptr, "", 0},    {"same", "same", 0},
  };
  for (const auto& r : rows)
    EXPECT_EQ(TextsEqual(r.a, r.b), r.want)
        << (r.a ? r.a : "(absent)") << " vs " << (r.b ? r.b : "(absent)");
}

TEST(ByteBlock, LayoutIsOneDimensionalByteArray) {
  ByteBlock b = ByteBlock::FromBytes("xyz");
  ASSERT_NE(b.get(), nullptr);
  EXPECT_EQ(b.get()[0], 1);
  EXPECT_EQ(b.get()[1], 3);
  EXPECT_EQ(std::memcmp(b.get() + 2, "xyz", 3), 0);
  EXPECT_TRUE(ByteBlock::FromBytes("", 0).absent());
  EXPECT_EQ(ByteBlock::EmptyConstant().size(), 0);
}

TEST(ByteBlockBuilder, GrowsAtItsEndAndHandsOnTheBlock) {
  struct Row {
    const char* what;
    std::size_t expect;              // the total announced first, 0: none
    std::vector<std::size_t> parts;  // bytes written, one Reserve + Commit each
  } rows[] = {
      {"nothing written", 0, {}},
      {"room asked for, nothing written", 4096, {0}},
      {"small parts", 0, {1, 2, 3, 2048}},
      {"doubling past several megabytes", 0, std::vector<std::size_t>(3000, 2048)},
      {"announced and exact", 3 * 2048, {2048, 2048, 2048}},
      {"announced too little", 100, {2048, 2048}},
  };
  for (const auto& r : rows) {
    ByteBlockBuilder builder;
    if (r.expect) builder.Expect(r.expect);
    std::string want;
    for (std::size_t n : r.parts) {
      uint8_t* room = builder.Reserve(n);
      ASSERT_NE(room, nullptr) << r.what;
      for (std::size_t i = 0; i < n; ++i)
        room[i] = static_cast<uint8_t>('a' + (want.size() + i) % 26);
      builder.Commit(n);
      want.append(reinterpret_cast<const char*>(room), n);
    }
    EXPECT_EQ(builder.size(), want.size()) << r.what;
    ByteBlock block = builder.Take();
    EXPECT_EQ(block.absent(), want.empty()) << r.what;
    if (!want.empty()) {
      EXPECT_EQ(block.get()[0], 1) << r.what;
    }
    EXPECT_EQ(block.size(), static_cast<int32_t>(want.size())) << r.what;
    EXPECT_TRUE(block.bytes() == want) << r.what;
    EXPECT_EQ(builder.size(), 0u) << r.what << ": starts over";
  }
  ByteBlockBuilder tooMuch;
  EXPECT_EQ(tooMuch.Reserve(std::size_t{1} << 31), nullptr) << "beyond a 32-bit length";
}

TEST(TakeText, TheTextOfABlockInItsOwnMemory) {
  struct Row {
    std::string bytes;
    std::string want;
  } rows[] = {
      {"", ""},
      {"abc", "abc"},
      {std::string("ab\0cd", 5), "ab"},
      {std::string("\0cd", 3), ""},
      {std::string(100000, 'x') + '\0' + "tail", std::string(100000, 'x')},
  };
  for (const auto& r : rows) {
    TextValue text = TakeText(ByteBlock::FromBytes(r.bytes));
    EXPECT_EQ(text.view(), r.want);
    EXPECT_EQ(text.absent(), r.want.empty()) << "an empty text is the absent one";
  }
  EXPECT_TRUE(TakeText(ByteBlock::EmptyConstant()).absent());
}

TEST(ConstantPool, ReleasingConstantsDoesNothing) {
  char* literal = ConstantPool::Literal("literal text");
  RuntimeHeap::Free(ConstantPool::EmptyText());
  RuntimeHeap::Free(ConstantPool::EmptyArrayHeader());
  RuntimeHeap::Free(literal);
  RuntimeHeap::Free(nullptr);
  EXPECT_STREQ(literal, "literal text");
  EXPECT_EQ(ConstantPool::EmptyArrayHeader()[0], 1);
  EXPECT_EQ(ConstantPool::EmptyArrayHeader()[1], 0);
  EXPECT_EQ(ConstantPool::Literal("literal text"), literal);  // interned once
  { TextValue t = TextValue::Literal("literal text"); }       // owner going away is harmless
  EXPECT_STREQ(literal, "literal text");
}

TEST(RuntimeHeap, ReallocatingALiteralCopiesIt) {
  char* literal = ConstantPool::Literal("grow me");
  auto* grown = static_cast<char*>(RuntimeHeap::Reallocate(literal, 64));
  ASSERT_NE(grown, literal);
  EXPECT_FALSE(ConstantPool::Contains(grown));
  EXPECT_EQ(std::memcmp(grown, "grow me", 8), 0);
  std::strcpy(grown, "changed");
  EXPECT_STREQ(literal, "grow me");
  RuntimeHeap::Free(grown);
}

TEST(RuntimeHeap, MakeArrayWritable) {
  void* array = ConstantPool::EmptyArrayHeader();
  RuntimeHeap::MakeArrayWritable(sizeof(char*), array);
  ASSERT_FALSE(ConstantPool::Contains(array));
  EXPECT_EQ(static_cast<int32_t*>(array)[0], 1);
  EXPECT_EQ(static_cast<int32_t*>(array)[1], 0);
  void* same = array;
  RuntimeHeap::MakeArrayWritable(sizeof(char*), array);
  EXPECT_EQ(array, same);
  RuntimeHeap::Free(array);
  EXPECT_EQ(ConstantPool::EmptyArrayHeader()[1], 0);
}

TEST(RuntimeHeap, UncheckedAllocationFailureIsAbsent) {
  EXPECT_EQ(RuntimeHeap::AllocateUnchecked(std::numeric_limits<std::size_t>::max() / 2), nullptr);
}

TEST(RuntimeHeapDeathTest, AllocationFailureReportsTheSize) {
  const std::size_t size = std::numeric_limits<std::size_t>::max() / 4;
  std::string want =
      "运行时出错!\r\n\r\n错误信息：分配 " + std::to_string(size) + " 字节内存失败!\r\n";
  EXPECT_EXIT(RuntimeHeap::Allocate(size), test::EndsFatally(), testing::HasSubstr(want));
}

TEST(TruncateToInteger, TowardZero) {
  struct Row {
    double x;
    int64_t want;
  } rows[] = {{2.9, 2}, {-2.9, -2}, {0.0, 0}, {-0.5, 0}, {4294967296.5, 4294967296LL}};
  for (const auto& r : rows) EXPECT_EQ(TruncateToInteger(r.x), r.want) << r.x;
}

TEST(AppendElement, CopiesTextsAndKeepsAbsent) {
  ArrayValue a(ValueKind::kText);
  EXPECT_EQ(a.count(), 0);
  TextValue t = TextValue::FromBytes("one");
  AppendElement(a, t);
  AppendElement(a, TextValue());
  AppendElement(a, TextValue::Literal("three"));
  ASSERT_EQ(a.count(), 3);
  EXPECT_EQ(a.TextAt(1), "one");
  EXPECT_NE(a.TextSlot(1), t.get());  // a private copy
  EXPECT_EQ(a.TextSlot(2), nullptr);
  EXPECT_EQ(a.TextAt(3), "three");
  EXPECT_FALSE(ConstantPool::Contains(a.TextSlot(3)));
  a.Clear();
  EXPECT_EQ(a.count(), 0);
}

TEST(AppendElement, StartsFromConstantEmptyArray) {
  ArrayValue a = ArrayValue::Adopt(ValueKind::kText, ConstantPool::EmptyArrayHeader());
  AppendElement(a, TextValue::Literal("x"));
  EXPECT_EQ(a.count(), 1);
  EXPECT_EQ(ConstantPool::EmptyArrayHeader()[1], 0);
}

TEST(ElementCount, Dimensions) {
  int32_t zeroDims[] = {0};
  int32_t twoDims[] = {2, 3, 4};
  EXPECT_EQ(ElementCount(nullptr), 0);
  EXPECT_EQ(ElementCount(zeroDims), 0);
  EXPECT_EQ(ElementCount(twoDims), 12);
}

TEST(CheckedIndexDeathTest, OutOfRangeEndsTheProcess) {
  ArrayValue a(ValueKind::kText);
  EXPECT_EXIT(
      a.TextAt(1), test::EndsFatally(),
      testing::HasSubstr(
          "运行时出错!\r\n\r\n错误代码：1\r\n\r\n错误信息：数组成员引用下标超出定义范围\r\n"));
  AppendElement(a, TextValue::Literal("x"));
  EXPECT_EXIT(a.TextAt(0), test::EndsFatally(),
              testing::HasSubstr("错误代码：4\r\n\r\n错误信息：数组成员引用下标必须大于等于1\r\n"));
  EXPECT_EXIT(a.TextAt(2), test::EndsFatally(), testing::HasSubstr("错误代码：1\r\n"));
  EXPECT_EQ(a.TextAt(1), "x");
}

}  // namespace
}  // namespace tobrine
