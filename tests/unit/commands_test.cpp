// The core text, number, conversion and byte-block commands.
#include "runtime/commands.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include "runtime/value.h"
#include "test_platform.h"
#include "test_support.h"

namespace tobrine {
namespace {

using std::nullopt;
using std::optional;

// Every text result that would be empty must be the absent reference.
void ExpectText(const TextValue& got, std::string_view want, const std::string& what) {
  EXPECT_EQ(got.view(), want) << what;
  if (want.empty()) {
    EXPECT_TRUE(got.absent()) << what << ": empty result must be absent";
  }
}

TEST(TextCommands, MeasureAndExtract) {
  EXPECT_EQ(TextLength("abc"), 3);
  EXPECT_EQ(TextLength(""), 0);
  EXPECT_EQ(TextLength(std::string_view("ab\0cd", 5)), 2);  // bytes before the NUL

  struct Row {
    const char* what;
    TextValue got;
    const char* want;
  };
  Row rows[] = {
      {"Left abc 5", LeftText("abc", 5), "abc"},
      {"Left abc 2", LeftText("abc", 2), "ab"},
      {"Left abc 0", LeftText("abc", 0), ""},
      {"Left abc -1", LeftText("abc", -1), ""},
      {"Right abc 2", RightText("abc", 2), "bc"},
      {"Right abc 9", RightText("abc", 9), "abc"},
      {"Right abc 0", RightText("abc", 0), ""},
      {"Mid 3,2", MidText("abcdef", 3, 2), "cd"},
      {"Mid 6,5", MidText("abcdef", 6, 5), "f"},
      {"Mid 7", MidText("abcdef", 7, 1), ""},
      {"Mid 0", MidText("abcdef", 0, 3), ""},
      {"Mid n 0", MidText("abcdef", 2, 0), ""},
      {"Mid INT_MIN", MidText("abcdef", INT32_MIN, 3), ""},
      {"Mid INT_MAX count", MidText("abcdef", 2, INT32_MAX), "bcdef"},
      {"Left splits a character (bytes)", LeftText("\xB0\xA1\xB0\xA1", 3), "\xB0\xA1\xB0"},
      {"Space 3", SpaceText(3), "   "},
      {"Space 0", SpaceText(0), ""},
      {"Space -4", SpaceText(-4), ""},
  };
  for (const auto& r : rows) ExpectText(r.got, r.want, r.what);
}

TEST(TextCommands, ToLowerCaseLeavesDoubleByteCharactersAlone) {
  // 0xC1 0x41 is one character whose trail byte looks like "A": it must stay.
  ExpectText(ToLowerCase("AbC-\xC1\x41Z"), "abc-\xC1\x41z", "mixed");
  ExpectText(ToLowerCase(""), "", "empty");
  ExpectText(ToLowerCase("Q\xB0"), "q\xB0", "lead byte at the end stays");
}

TEST(TextCommands, TrimSpaces) {
  struct Row {
    const char* in;
    const char* want;
  } rows[] = {
      {"  a b  ", "a b"},
      {"     ", ""},
      {"", ""},
      {"\tx ", "\tx"},  // a tab is not a space
      {"x\r\n", "x\r\n"},
      {"\xA1\xA1x\xA1\xA1", "x"},  // full-width spaces at both ends
      {" \xA1\xA1 x \xA1\xA1 ", "x"},
      {"a\xA1\xA1z", "a\xA1\xA1z"},  // inner spaces stay
      {"\xB0\xA1 ", "\xB0\xA1"},
      {"ab\xB0", "ab"},                      // a lead byte ending the text is cut
      {"\xC1\xA1\xA1 x", "\xC1\xA1\xA1 x"},  // A1 as a trail byte then A1: not a space
      {" \xA1\xA1\xB0", ""},                 // spaces, then a lead byte ending the text
      {"\xA1\xA1\xA1", ""},                  // a full-width space, then a lone lead byte
  };
  for (const auto& r : rows) {
    ExpectText(TrimSpaces(r.in), r.want, std::string("[") + r.in + "]");
    // The quick test for nothing left agrees.
    EXPECT_EQ(IsBlank(r.in), std::string_view(r.want).empty()) << "[" << r.in << "]";
  }
}

TEST(TextCommands, FindText) {
  struct Row {
    const char* text;
    const char* sought;
    optional<int32_t> start;
    optional<bool> ignoreCase;
    int32_t want;
  } rows[] = {
      {"abcb", "b", nullopt, nullopt, 2},
      {"abcb", "b", 3, nullopt, 4},
      {"abcb", "b", 5, nullopt, -1},
      {"abcb", "b", 0, nullopt, 2},
      {"abcb", "b", -7, nullopt, 2},
      {"abcb", "b", INT32_MIN, nullopt, 2},
      {"abcb", "cb", 4, nullopt, -1},
      {"abc", "", nullopt, nullopt, 1},
      {"", "", nullopt, nullopt, -1},
      {"", "a", nullopt, nullopt, -1},
      {"abc", "", 9, nullopt, -1},
      {"abc", "abcd", nullopt, nullopt, -1},
      // No match may begin on a trail byte.
      {"\xB0\x41", "A", nullopt, nullopt, -1},
      {"\xB0\x41\x41", "A", nullopt, nullopt, 3},
      {"x\xB0\x41yA", "A", nullopt, nullopt, 5},
      // A lead byte before the end stops the walk.
      {"ab\xB0", "\xB0", nullopt, nullopt, 3},
      {"user-agent: x", "User-Agent:", nullopt, true, 1},
      {"user-agent: x", "User-Agent:", nullopt, false, -1},
      {"user-agent: x", "User-Agent:", nullopt, nullopt, -1},
      {"download-manifest&url=a.plist", ".plist", nullopt, nullopt, 24},
  };
  for (const auto& r : rows)
    EXPECT_EQ(FindText(r.text, r.sought, r.start, r.ignoreCase), r.want)
        << "[" << r.text << "] [" << r.sought << "] start " << r.start.value_or(-99);
}

// The search as a walk over every character, one at a time: what the fast
// search, which passes over runs of single-byte characters, must agree with.
int32_t FindTextOneByOne(std::string_view text, std::string_view sought, bool fold) {
  auto f = [fold](unsigned char c) { return fold && c >= 'A' && c <= 'Z' ? c + 32 : c; };
  for (std::size_t i = 0; i + sought.size() <= text.size();) {
    bool match = true;
    for (std::size_t k = 0; k < sought.size() && match; ++k)
      match =
          f(static_cast<unsigned char>(text[i + k])) == f(static_cast<unsigned char>(sought[k]));
    if (match) return static_cast<int32_t>(i + 1);
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      ++i;
    } else if (i + 1 < text.size()) {
      i += 2;
    } else {
      break;
    }
  }
  return -1;
}

TEST(TextCommands, FindTextAgreesWithTheCharacterWalk) {
  // Texts long enough for the eight-byte steps, from a few bytes that make
  // near misses: letters in both cases, the sought text's own bytes, double-byte
  // characters whose trail byte is a letter, and lead bytes at the very end.
  const std::string alphabet = "aAbB\"+\xB0\x41\xC4\xE3x\n";
  const char* soughts[] = {"\"+", "ab", "AB", "\xB0\x41", "a", "\xE3x", "b\"+a"};
  uint32_t seed = 12345;
  auto next = [&seed] { return (seed = seed * 1103515245u + 12345u) >> 16; };
  for (int round = 0; round < 400; ++round) {
    std::string text;
    const std::size_t n = next() % 90;
    for (std::size_t i = 0; i < n; ++i) {
      // Mostly filler, so that most steps pass eight bytes at once.
      text += next() % 4 == 0 ? alphabet[next() % alphabet.size()] : '.';
    }
    for (const char* sought : soughts) {
      for (bool fold : {false, true}) {
        EXPECT_EQ(FindText(text, sought, std::nullopt, fold), FindTextOneByOne(text, sought, fold))
            << "[" << text << "] [" << sought << "] fold " << fold;
      }
    }
  }
}

TEST(TextCommands, ReplaceSubtext) {
  struct Row {
    const char* text;
    const char* sought;
    optional<std::string_view> with;
    optional<int32_t> start, count;
    bool caseSensitive;
    const char* want;
  } rows[] = {
      {"aaaa", "aa", "b", nullopt, nullopt, true, "bb"},
      {"aaaa", "aa", "b", nullopt, 1, true, "baa"},
      {"aaaa", "aa", "b", nullopt, 0, true, "aaaa"},
      {"aaaa", "aa", "b", 2, nullopt, true, "aba"},
      {"aaaa", "aa", "b", 9, nullopt, true, "aaaa"},  // start beyond the text: unchanged
      {"abc", "", "x", nullopt, nullopt, true, "abc"},
      {"", "a", "x", nullopt, nullopt, true, ""},
      {"a-b-c", "-", nullopt, nullopt, nullopt, true, "abc"},  // no replacement: removed
      {"a-b", "-", "--", nullopt, nullopt, true, "a--b"},      // replacement not searched again
      {"AbAb", "ab", "x", nullopt, nullopt, false, "xx"},
      {"AbAb", "ab", "x", nullopt, nullopt, true, "AbAb"},
      {"ab", "ab", "", nullopt, nullopt, true, ""},  // empty result is absent
      // Trail bytes are never matched; the character is copied whole.
      {"\xB0\x41"
       "A",
       "A", "z", nullopt, nullopt, true, "\xB0\x41z"},
      {"xyz\xB0", "x", "X", nullopt, nullopt, true, "Xyz"},  // a trailing lead byte is dropped
      {"aXbX", "X", "-", nullopt, -3, true, "a-b-"},         // any negative count: no limit
  };
  for (const auto& r : rows)
    ExpectText(ReplaceSubtext(r.text, r.sought, r.with, r.start, r.count, r.caseSensitive), r.want,
               std::string("[") + r.text + "] [" + r.sought + "]");
}

TEST(TextCommands, ReplaceRange) {
  struct Row {
    const char* text;
    int32_t start, n;
    optional<std::string_view> with;
    const char* want;
  } rows[] = {
      {"Set-Cookie: a=1", 1, 12, nullopt, "a=1"},
      {"abcdefgh", 1, 7, nullopt, "h"},
      {"abcdef", 3, 2, "XY", "abXYef"},
      {"abcdef", 0, 2, nullopt, "cdef"},
      {"abcdef", -5, 1, "_", "_bcdef"},
      {"abcdef", 5, 99, nullopt, "abcd"},
      {"abcdef", 9, 3, "!", "abcdef!"},  // start beyond the end: inserted at the end
      {"abc", 2, -4, "x", "axbc"},
      {"abc", 1, 3, nullopt, ""},
      {"", 1, 1, nullopt, ""},
      {"\xB0\xA1", 2, 1, nullopt, "\xB0"},  // bytes: may split a character
  };
  for (const auto& r : rows)
    ExpectText(ReplaceRange(r.text, r.start, r.n, r.with), r.want,
               std::string("[") + r.text + "] " + std::to_string(r.start));
}

TEST(TextCommands, CompareText) {
  struct Row {
    const char* a;
    const char* b;
    bool caseSensitive;
    int sign;
  } rows[] = {
      {"abc", "abc", true, 0},
      {"abc", "ABC", true, 1},
      {"abc", "ABC", false, 0},
      {"a", "ab", true, -1},
      {"b", "a", false, 1},
      {"", "", true, 0},
      {"\xB0", "A", true, 1},
      {"\xC1\x41", "\xC1\x61", false, -1},  // trail bytes are not folded
      {"\xC1\x41x", "\xC1\x41X", false, 0},
  };
  for (const auto& r : rows) {
    int32_t got = CompareText(r.a, r.b, r.caseSensitive);
    EXPECT_EQ((got > 0) - (got < 0), r.sign) << "[" << r.a << "] [" << r.b << "]";
  }
}

// --- Conversions --------------------------------------------------------------------

TEST(ToText, NumbersLogicalAndDates) {
  struct Row {
    Value v;
    const char* want;
  } rows[] = {
      {Value::Double(2.0), "2"},
      {Value::Double(3.0), "3"},
      {Value::Double(0.1), "0.1"},
      {Value::Double(1e13), "1e+13"},
      {Value::Double(1e12), "1000000000000"},
      {Value::Double(-2.5), "-2.5"},
      {Value::Double(0.0001), "0.0001"},
      {Value::Double(0.00001), "1e-05"},
      {Value::Double(1.0 / 3), "0.3333333333333"},
      {Value::Float(0.1f), "0.1"},
      {Value::Float(1234567.0f), "1.23457e+06"},
      {Value::Byte(200), "200"},
      {Value::Short(-3), "-3"},
      {Value::Int(INT32_MIN), "-2147483648"},
      {Value::Int64(-9000000000LL), "-9000000000"},
      {Value::Logical(true), "真"},
      {Value::Logical(false), "假"},
      {Value::Raw(KindCode(ValueKind::kLogical), 7), "真"},
      {Value::DateTime(0.0), "1899年12月30日"},
      {Value::DateTime(45000.0), "2023年3月15日"},
      {Value::DateTime(45000.5), "2023年3月15日12时"},
      {Value::DateTime(45000.75 + 30.0 / 1440), "2023年3月15日18时30分"},
      {Value::DateTime(45000.0 + (3600.0 + 2 * 60 + 5) / 86400), "2023年3月15日1时2分5秒"},
      {Value::DateTime(-1.25), "1899年12月29日6时"},
      {Value::DateTime(std::nan("")), ""},
      {Value::Raw(KindCode(ValueKind::kSubroutine), 0x1234), ""},
      {Value::Raw(0x40000001, 5), ""},  // not a basic kind
      {Value(), ""},
  };
  for (const auto& r : rows)
    ExpectText(ToText(r.v), r.want, "kind " + std::to_string(r.v.kind) + " want " + r.want);
}

TEST(ToText, TextsBlocksAndArrays) {
  TextValue t = TextValue::FromBytes("abc");
  ExpectText(ToText(Value::Text(t)), "abc", "text");
  EXPECT_NE(ToText(Value::Text(t)).get(), t.get()) << "a copy, not the same block";
  ExpectText(ToText(Value::Text(TextValue())), "", "absent text");
  ExpectText(ToText(Value::TextBlock("")), "", "empty text constant");

  ByteBlock body = ByteBlock::FromBytes(std::string_view("ab\0cd", 5));
  ExpectText(ToText(Value::Bytes(body)), "ab", "cut at the first zero");
  ByteBlock whole = ByteBlock::FromBytes("xyz");
  ExpectText(ToText(Value::Bytes(whole)), "xyz", "no zero");
  ExpectText(ToText(Value::Bytes(ByteBlock())), "", "absent block");
  ExpectText(ToText(Value::Bytes(ByteBlock::EmptyConstant())), "", "empty constant");

  // A numeric array is read as the bytes of its elements.
  int32_t ints[] = {1, 2, 0x00636261, 0x64};
  ArrayValue numbers = ArrayValue::Adopt(ValueKind::kInt, RuntimeHeap::Allocate(8 + sizeof ints));
  static_cast<int32_t*>(numbers.block())[0] = 1;
  static_cast<int32_t*>(numbers.block())[1] = 2;
  std::memcpy(static_cast<int32_t*>(numbers.block()) + 2, ints + 2, 8);
  ExpectText(ToText(Value::Array(numbers)), "abc", "int array");

  ArrayValue texts(ValueKind::kText);
  AppendElement(texts, "abc");
  ExpectText(ToText(Value::Array(texts)), "", "text array");
}

TEST(ToNumber, TextsAndKinds) {
  struct Row {
    const char* text;
    double want;
  } rows[] = {
      {"\xA3\xB8\xA3\xB0", 80},  // full-width 8 and 0
      {"12abc", 12},
      {"abc", 0},
      {"", 0},
      {"  -3.5e2x", -350},
      {"\t+.5", 0.5},
      {"1e", 1},
      {"1e+", 1},
      {"7.", 7},
      {".", 0},
      {"-", 0},
      {"0x10", 0},
      {"inf", 0},
      {"\xA3\xAD\xA3\xB1\xA3\xAE\xA3\xB5", -1.5},  // full-width "-1.5"
      {"\xA1\xA1"
       "42",
       42},  // full-width space skipped as white space
      {"1,000", 1},
  };
  for (const auto& r : rows)
    EXPECT_DOUBLE_EQ(ToNumber(Value::TextBlock(r.text)), r.want) << "[" << r.text << "]";

  EXPECT_EQ(ToNumber(Value::Text(TextValue())), 0);
  EXPECT_EQ(ToNumber(Value::Byte(255)), 255);
  EXPECT_EQ(ToNumber(Value::Short(-2)), -2);
  EXPECT_EQ(ToNumber(Value::Int(-7)), -7);
  EXPECT_EQ(ToNumber(Value::Int64(1LL << 40)), std::ldexp(1.0, 40));
  EXPECT_EQ(ToNumber(Value::Float(0.5f)), 0.5);
  EXPECT_EQ(ToNumber(Value::Double(-2.25)), -2.25);
  EXPECT_EQ(ToNumber(Value::Logical(true)), 1);
  EXPECT_EQ(ToNumber(Value::Raw(KindCode(ValueKind::kLogical), -1)), -1);
  EXPECT_EQ(ToNumber(Value::DateTime(45000.0)), 0);
  ByteBlock b = ByteBlock::FromBytes("12");
  EXPECT_EQ(ToNumber(Value::Bytes(b)), 0);
}

TEST(FullWidthFolding, FoldsTheListedFormsOnly) {
  struct Row {
    const char* in;
    const char* want;
  } rows[] = {
      {"\xA3\xA1\xA3\xFE", "!~"},
      {"\xA3\xC1\xA3\xE1", "Aa"},
      {"\xA1\xA1", " "},
      {"\xA1\xAB", "~"},
      {"\xA1\xEE\xA1\xEF", "**"},
      {"\xA1\xA2", "\xA1\xA2"},  // other punctuation stays
      {"\xB0\xA1z", "\xB0\xA1z"},
      {"\xC1\xA3\xB0", "\xC1\xA3\xB0"},  // A3 as a trail byte does not start a fold
      {"", ""},
  };
  for (const auto& r : rows) ExpectText(FullWidthFolding(r.in), r.want, r.in);
}

TEST(ToByteBlock, EveryKind) {
  auto bytes = [](const ByteBlock& b) { return std::string(b.bytes()); };
  EXPECT_EQ(bytes(ToByteBlock(Value::TextBlock("ab"))), "ab");
  EXPECT_TRUE(ToByteBlock(Value::TextBlock("")).absent());
  EXPECT_EQ(bytes(ToByteBlock(Value::Int(0x04030201))), "\x01\x02\x03\x04");
  EXPECT_EQ(bytes(ToByteBlock(Value::Short(0x0201))), "\x01\x02");
  EXPECT_EQ(ToByteBlock(Value::Byte(0)).size(), 1);
  EXPECT_EQ(ToByteBlock(Value::Double(1.0)).size(), 8);
  EXPECT_EQ(ToByteBlock(Value::DateTime(1.0)).size(), 8);
  EXPECT_EQ(ToByteBlock(Value::Logical(true)).size(), 4);
  EXPECT_EQ(ToByteBlock(Value::Raw(KindCode(ValueKind::kSubroutine), 0x11223344)).size(), 4);

  ByteBlock src = ByteBlock::FromBytes("xyz");
  ByteBlock copy = ToByteBlock(Value::Bytes(src));
  EXPECT_EQ(bytes(copy), "xyz");
  EXPECT_NE(copy.get(), src.get());
  EXPECT_TRUE(ToByteBlock(Value::Bytes(ByteBlock::EmptyConstant())).absent());

  ArrayValue shorts = ArrayValue::Adopt(ValueKind::kShort, RuntimeHeap::Allocate(8 + 4));
  auto* h = static_cast<int32_t*>(shorts.block());
  h[0] = 1;
  h[1] = 2;
  std::memcpy(h + 2, "\x01\x00\x02\x00", 4);
  EXPECT_EQ(bytes(ToByteBlock(Value::Array(shorts))), std::string("\x01\x00\x02\x00", 4));
  ArrayValue texts(ValueKind::kText);
  AppendElement(texts, "a");
  EXPECT_TRUE(ToByteBlock(Value::Array(texts)).absent());
  EXPECT_TRUE(ToByteBlock(Value::Raw(0x00000001, 1)).absent());
}

TEST(ByteBlocks, LengthLeftZero) {
  EXPECT_EQ(ByteBlockLength(ByteBlock::EmptyConstant()), 0);
  EXPECT_EQ(ByteBlockLength(ByteBlock()), 0);
  ByteBlock abc = ByteBlock::FromBytes("abc");
  EXPECT_EQ(ByteBlockLength(abc), 3);

  EXPECT_EQ(LeftBytes(abc, 2).bytes(), "ab");
  EXPECT_EQ(LeftBytes(abc, 9).bytes(), "abc");
  EXPECT_TRUE(LeftBytes(abc, 0).absent());
  EXPECT_TRUE(LeftBytes(abc, -1).absent());
  EXPECT_TRUE(LeftBytes(ByteBlock(), 5).absent());

  EXPECT_TRUE(ZeroBytes(0).absent());
  EXPECT_TRUE(ZeroBytes(-3).absent());
  ByteBlock z = ZeroBytes(5);
  ASSERT_FALSE(z.absent());
  EXPECT_EQ(z.get()[0], 1);
  EXPECT_EQ(z.size(), 5);
  EXPECT_EQ(z.bytes(), std::string(5, '\0'));
}

TEST(BitOr, CombinesAll) {
  EXPECT_EQ(BitOr({0x10}), 0x10);
  EXPECT_EQ(BitOr({1, 2, 8}), 11);
  EXPECT_EQ(BitOr({INT32_MIN, 1}), INT32_MIN | 1);
}

// --- System services ------------------------------------------------------------------

TEST(MessageBox, StyleResultAndContent) {
  struct FlagRow {
    int32_t style;
    uint32_t flags;
  } flagRows[] = {
      {0, 0x2000}, {0x40, 0x2040}, {0x1000, 0x1000}, {0x1031, 0x1031}, {0x2004, 0x2004}};
  for (const auto& r : flagRows) EXPECT_EQ(detail::MessageBoxFlags(r.style), r.flags) << r.style;

  int32_t want[] = {0, 0, 1, 2, 3, 4, 5, 6, 0, 0};  // system ids 0..9
  for (int id = 0; id < 10; ++id) EXPECT_EQ(detail::MessageBoxResult(id), want[id]) << id;
  EXPECT_EQ(detail::MessageBoxResult(-1), 0);

  ExpectText(detail::MessageBoxContent(Value::TextBlock("获取完成！！")), "获取完成！！", "text");
  ExpectText(detail::MessageBoxContent(Value::Double(2.0)), "2", "number");
  ExpectText(detail::MessageBoxContent(Value::Logical(false)), "假", "logical");
  ByteBlock b = ByteBlock::FromBytes("abc");
  ExpectText(detail::MessageBoxContent(Value::Bytes(b)), "", "byte block shows nothing");
  ArrayValue texts(ValueKind::kText);
  ExpectText(detail::MessageBoxContent(Value::Array(texts)), "", "array shows nothing");
}

TEST(MessageBox, ShowsOnStandardErrorWithoutDesktop) {
#ifdef _WIN32
  GTEST_SKIP() << "a real modal box would wait for a click";
#else
  testing::internal::CaptureStderr();
  int32_t pressed = ShowMessageBox(Value::TextBlock("获取完成！！"), 0);
  std::string shown = testing::internal::GetCapturedStderr();
  EXPECT_EQ(pressed, 0);
  EXPECT_THAT(shown, testing::HasSubstr(reinterpret_cast<const char*>(u8"获取完成！！")));
  EXPECT_THAT(shown, testing::HasSubstr(reinterpret_cast<const char*>(u8"信息：")));
#endif
}

TEST(TickCount, MovesForward) {
  // Across a wait of 100 ms the count moves by about that much: at least the
  // wait less one tick of a coarse clock, at most a generous hang guard.
  const uint32_t a = TickCount();
  test::SleepMilliseconds(100);
  const uint32_t moved = TickCount() - a;
  EXPECT_GE(moved, 80u);
  EXPECT_LE(moved, 60000u);
}

}  // namespace
}  // namespace tobrine
