// Code-page conversion, the automation layer, the regular-expression object and
// the extraction helpers. The same tables run on both builds: under Wine the
// system's VBScript.RegExp checks the Linux build's own component.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/system.h"
#include "runtime/external.h"
#include "test_platform.h"
#include "test_support.h"
#include "text/automation.h"
#include "text/codepage.h"
#include "text/extraction.h"
#include "text/regex_object.h"

namespace tobrine {
namespace {

using text::AutomationArg;
using text::ComObject;

std::string Bytes(const ByteBlock& b) {
  return std::string(b.bytes());
}

std::vector<std::string> Elements(const ArrayValue& a) {
  std::vector<std::string> out;
  for (int32_t i = 1; i <= a.count(); ++i) out.emplace_back(a.TextAt(i));
  return out;
}

// The platform leaves a known traditional character unchanged (Wine's mapping
// has no simplified Chinese).
constexpr const char* kNoSimplification =
    "the platform's LCMapStringA has no simplified-Chinese mapping (Wine)";

// COM stays initialised on the test thread for the whole suite, as the runtime
// keeps OLE initialised on the GUI thread.
class TextTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { CallExternal<kExtCoInitialize>(nullptr); }
  static void TearDownTestSuite() { CallExternal<kExtCoUninitialize>(); }
};

// --- Code-page conversion -------------------------------------------------------

TEST_F(TextTest, ConversionExamples) {
  EXPECT_EQ(Bytes(text::CodePageToUtf16("abc")), std::string("a\0b\0c\0\0\0", 8));
  EXPECT_EQ(Bytes(text::CodePageToUtf16("\xD6\xD0", 936)).substr(0, 4),
            std::string("\x2D\x4E\0\0", 4));
  struct Row {
    const char* name;
    TextValue (*convert)(std::string_view);
    std::string in, want;
  } rows[] = {
      {"utf8 chinese", text::Utf8ToGbk, "\xE4\xB8\xAD", "\xD6\xD0"},
      {"utf8 ascii", text::Utf8ToGbk, "plain <a href=x>", "plain <a href=x>"},
      {"utf8 mixed", text::Utf8ToGbk,
       "a\xE4\xB8\xAD"
       "b",
       "a\xD6\xD0"
       "b"},
      {"utf8 body with a NUL", text::Utf8ToGbk, std::string("ab\0cd", 5), "ab"},
      {"big5 traditional", text::Big5ToGbk, "\xB0\xEA", "\x87\xF8"},
      {"big5 gate", text::Big5ToGbk, "\xAA\xF9", "\xE9\x54"},
      {"big5 ascii", text::Big5ToGbk, "x=1", "x=1"},
      {"big5 body with a NUL", text::Big5ToGbk, std::string("\xB0\xEA\0\xAA\xF9", 5), "\x87\xF8"},
      {"simplify ascii", text::TraditionalToSimplified, "ascii only", "ascii only"},
  };
  for (const auto& r : rows) {
    TextValue got = r.convert(r.in);
    EXPECT_EQ(std::string(got.view()), r.want) << r.name;
    EXPECT_EQ(got.size(), static_cast<int32_t>(r.want.size())) << r.name << ": no trailing bytes";
  }
}

// The system's own conversions for terminals and command lines.
TEST(SystemText, Cp936AndUtf8BothWays) {
  EXPECT_EQ(platform::Cp936ToUtf8("\xD6\xD0 ok"), "\xE4\xB8\xAD ok");
  EXPECT_EQ(platform::Utf8ToCp936("\xE4\xB8\xAD ok"), "\xD6\xD0 ok");
  EXPECT_EQ(platform::Cp936ToUtf8(""), "");
  EXPECT_EQ(platform::Utf8ToCp936(""), "");
}

TEST_F(TextTest, SizesAreAskedInTheDefaultCodePage) {
  // Three UTF-8 bytes read in code page 936 count three units (one and a half
  // characters and the terminator): spare zero bytes follow the terminator.
  EXPECT_EQ(Bytes(text::CodePageToUtf16("\xE4\xB8\xAD")), std::string("\x2D\x4E\0\0\0\0", 6));
  // A code page the system does not have leaves the buffer as it was made: the
  // terminator and "ab" counted three bytes, doubled.
  EXPECT_EQ(text::Utf16ToCodePage(text::CodePageToUtf16("ab"), 12345).view(), "      ");
}

TEST_F(TextTest, EmptyInEmptyOut) {
  EXPECT_TRUE(text::CodePageToUtf16("").absent());
  EXPECT_TRUE(text::Utf16ToCodePage(ByteBlock()).absent());
  EXPECT_TRUE(text::Utf8ToGbk("").absent());
  EXPECT_TRUE(text::Big5ToGbk("").absent());
  EXPECT_TRUE(text::TraditionalToSimplified("").absent());
  EXPECT_TRUE(text::Big5ToSimplifiedGbk("").absent());
  EXPECT_TRUE(text::Utf8ToGbk(std::string("\0abc", 4)).absent());  // cut at the first NUL
}

TEST_F(TextTest, Utf16BlockWithoutTerminatorIsReadToItsEnd) {
  ByteBlock block = ByteBlock::FromBytes(std::string("a\0b\0", 4));
  EXPECT_EQ(text::Utf16ToCodePage(block).view(), "ab");
  // Invalid UTF-8 that the default code page reads as fewer units than UTF-8
  // needs: the block is filled without its terminator and still read safely.
  EXPECT_LE(text::Utf8ToGbk("\xC3"
                            "A")
                .size(),
            2);
}

TEST_F(TextTest, Big5CharacterMissingFromGbkKeepsTheRest) {
  // A1 45 (a hyphenation point) has no place in code page 936: it becomes the
  // system's replacement and the text after it is kept.
  TextValue got = text::Big5ToGbk(
      "\xB0\xEA"
      "a\xA1\x45"
      "b\xAA\xF9 tail");
  const std::string s(got.view());
  EXPECT_EQ(s.substr(0, 3),
            "\x87\xF8"
            "a");
  ASSERT_GE(s.size(), 9u);
  EXPECT_EQ(s.substr(s.size() - 8), "b\xE9\x54 tail");
}

TEST_F(TextTest, Big5ToSimplifiedGbk) {
  if (test::kUnderWine) GTEST_SKIP() << kNoSimplification;
  EXPECT_EQ(text::Big5ToSimplifiedGbk("\xB0\xEA").view(), "\xB9\xFA");
  EXPECT_EQ(text::Big5ToSimplifiedGbk("\xAA\xF9").view(), "\xC3\xC5");
  TextValue mixed = text::TraditionalToSimplified(
      "ab\x87\xF8"
      "cd\xE9\x54");
  EXPECT_EQ(mixed.view(),
            "ab\xB9\xFA"
            "cd\xC3\xC5");
}

// --- Automation objects ------------------------------------------------------------

TEST_F(TextTest, EmptyObjectGivesEmptyValuesAndCodeMinus1) {
  ComObject none;
  EXPECT_TRUE(text::IsEmpty(none));
  EXPECT_TRUE(text::ReadText(none, "Pattern").absent());
  EXPECT_EQ(text::LastAutomationError(), -1);
  EXPECT_EQ(text::ReadNumber(none, "Count"), 0);
  EXPECT_TRUE(text::ReadObject(none, "Item", {AutomationArg::Int32(0)}).IsEmpty());
  EXPECT_TRUE(text::ReadVariant(none, "Item").IsEmpty());
  EXPECT_TRUE(text::CallObject(none, "Execute", {AutomationArg::Text("x")}).IsEmpty());
  EXPECT_EQ(text::LastAutomationError(), -1);
  EXPECT_FALSE(text::WriteProperty(none, "Pattern", AutomationArg::Text("x")));
  EXPECT_EQ(text::AutomationErrorMessage(-1), "the object is empty");
}

TEST_F(TextTest, RegExpMembersThroughTheAutomationLayer) {
  ComObject re;
  ASSERT_TRUE(text::Create(re, "VBScript.RegExp"));
  EXPECT_EQ(text::ReadText(re, "IgnoreCase").view(), "0");  // a boolean reads as -1 / 0
  EXPECT_TRUE(text::WriteProperty(re, "ignorecase", AutomationArg::Boolean(true)));  // any case
  EXPECT_EQ(text::LastAutomationError(), 0);
  EXPECT_EQ(text::ReadText(re, "IgnoreCase").view(), "-1");

  EXPECT_FALSE(text::WriteProperty(re, "Singleline", AutomationArg::Boolean(true)));
  EXPECT_EQ(text::LastAutomationError(), -3);
  EXPECT_TRUE(text::ReadText(re, "NoSuchMember").absent());
  EXPECT_EQ(text::LastAutomationError(), -3);

  EXPECT_TRUE(text::WriteProperty(re, "Pattern", AutomationArg::Text("b(x)?")));
  EXPECT_EQ(text::ReadText(re, "Pattern").view(), "b(x)?");
  EXPECT_TRUE(text::CallObject(re, "Execute", {AutomationArg::Text("a"), AutomationArg::Text("b")})
                  .IsEmpty());
  EXPECT_EQ(text::LastAutomationError(), -5);
  EXPECT_TRUE(text::CallObject(re, "Execute", {AutomationArg::Other()}).IsEmpty());
  EXPECT_EQ(text::LastAutomationError(), -7);

  // An absent argument before a given one is passed as "not found".
  EXPECT_TRUE(
      text::CallText(re, "Replace", {AutomationArg::Absent(), AutomationArg::Text("x")}).absent());
  EXPECT_EQ(text::LastAutomationError(), -16);

  // Trailing absent arguments are not passed at all.
  ComObject matches =
      text::CallObject(re, "Execute", {AutomationArg::Text("abc"), AutomationArg::Absent()});
  ASSERT_FALSE(matches.IsEmpty());
  EXPECT_EQ(text::ReadNumber(matches, "Count"), 1);
  ComObject match = text::ReadObject(matches, "Item", {AutomationArg::Double(0)});
  EXPECT_EQ(text::ReadText(match, "Value").view(), "b");
  EXPECT_EQ(text::ReadNumber(match, "FirstIndex"), 1);

  // The group took no part: an empty variant, which reads as the empty text.
  ComObject subs = text::ReadObject(match, "SubMatches");
  text::Variant group = text::ReadVariant(subs, "Item", {AutomationArg::Int32(0)});
  EXPECT_EQ(text::LastAutomationError(), 0);
  EXPECT_TRUE(group.IsEmpty());
  EXPECT_TRUE(text::VariantToText(group).absent());
  text::ClearVariant(group);
  EXPECT_TRUE(group.IsEmpty());

  // An index outside the collection fails the read.
  EXPECT_TRUE(text::ReadObject(matches, "Item", {AutomationArg::Int32(5)}).IsEmpty());
  EXPECT_NE(text::LastAutomationError(), 0);
  EXPECT_TRUE(text::ReadVariant(subs, "Item", {AutomationArg::Int32(1)}).IsEmpty());
  EXPECT_NE(text::LastAutomationError(), 0);
}

TEST_F(TextTest, VariantsAndThePerThreadError) {
  ComObject re;
  ASSERT_TRUE(text::Create(re, "VBScript.RegExp"));
  text::WriteProperty(re, "Global", AutomationArg::Boolean(true));
  text::Variant global = text::ReadVariant(re, "Global");
  EXPECT_FALSE(global.IsEmpty());
  EXPECT_EQ(text::VariantToText(global).view(), "-1");
  text::WriteProperty(re, "Pattern", AutomationArg::Text("b"));
  ComObject matches = text::CallObject(re, "Execute", {AutomationArg::Text("abab")});
  ComObject second = text::ReadObject(matches, "Item", {AutomationArg::Int32(1)});
  EXPECT_EQ(text::VariantToText(text::ReadVariant(second, "FirstIndex")).view(), "3");

  // A failure on another thread leaves this thread's code alone.
  ASSERT_EQ(text::LastAutomationError(), 0);
  int32_t other = 0;
  std::thread([&] {
    text::ReadText(ComObject(), "Pattern");
    other = text::LastAutomationError();
  }).join();
  EXPECT_EQ(other, -1);
  EXPECT_EQ(text::LastAutomationError(), 0);
}

TEST_F(TextTest, UnregisteredIdentifierKeepsTheHeldObject) {
  ComObject re;
  ASSERT_TRUE(text::Create(re, "VBScript.RegExp"));
  void* held = re.get();
  EXPECT_FALSE(text::Create(re, "Tobrine.NoSuchComponent"));
  EXPECT_FALSE(text::Create(re, "{00000000-0000-0000-0000-000000000001}"));
  EXPECT_EQ(re.get(), held);
  EXPECT_TRUE(text::WriteProperty(re, "Pattern", AutomationArg::Text("still usable")));
  ComObject copy = re;  // a second reference to the same object
  text::Clear(re);
  EXPECT_TRUE(re.IsEmpty());
  EXPECT_EQ(text::ReadText(copy, "Pattern").view(), "still usable");
}

// --- Regular-expression object -------------------------------------------------------

constexpr int32_t kNoPosition = -100;

struct RegexRow {
  const char* name;
  const char* pattern;
  std::string subject;
  std::optional<bool> caseSensitive, global;
  int32_t count;
  int32_t n, k;  // match number; group number (0: the whole match)
  std::string want;
  int32_t position = kNoPosition;  // expected position when not kNoPosition
};

TEST_F(TextTest, RegexObjectBehaviour) {
  const std::string gbk = "\xD6\xD0\xCE\xC4";  // two double-byte characters
  const RegexRow rows[] = {
      {"empty subject", "a", "", {}, {}, 0, 1, 0, ""},
      {"case ignored by default", "abc", "xABCx", {}, {}, 1, 1, 0, "ABC"},
      {"case-sensitive", "abc", "xABCx", true, {}, 0, 1, 0, ""},
      {"global by default", "a(.)", "a1 a2 a3", {}, {}, 3, 2, 1, "2"},
      {"global off", "a(.)", "a1 a2 a3", {}, false, 1, 1, 1, "1"},
      {"dot stops at a line feed", "<(.*?)>", "<a\nb>", {}, {}, 0, 1, 1, ""},
      {"lazy group from the leftmost start", "L(.*?)R", "xL1 L2 R", true, {}, 1, 1, 1, "1 L2 "},
      {"position", "ab", "xxab", {}, {}, 1, 1, 0, "ab", 2},
      {"position after double-byte text", "ab", gbk + "ab", {}, {}, 1, 1, 0, "ab", 4},
      {"group position after double-byte text", "a(b)", gbk + "xab", {}, {}, 1, 1, 1, "b", 6},
      // The search from FirstIndex meets an earlier copy of the same text.
      {"position rule meets an earlier copy", "b", gbk + "ab" + "b", true, {}, 2, 2, 0, "b", 5},
      {"match number 0", "a", "aaa", {}, {}, 3, 0, 0, "", 0},
      {"match number beyond the count", "a", "aaa", {}, {}, 3, 4, 0, "", 0},
      {"group number beyond the groups", "(a)", "a", {}, {}, 1, 1, 2, ""},
      {"unmatched group", "(x)?b", "b", {}, {}, 1, 1, 1, ""},
      {"number beyond the count on an empty subject", "a", "", {}, {}, 0, 1, 0, "", -2},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    text::RegexObject re;
    EXPECT_TRUE(re.Create(r.pattern, r.subject, r.caseSensitive, std::nullopt, r.global));
    const int32_t count = re.GetMatchCount();
    EXPECT_EQ(count, r.count);
    int32_t position = kNoPosition;
    int32_t* want = r.position == kNoPosition ? nullptr : &position;
    TextValue got = r.k == 0 ? re.GetMatchText(r.n, want) : re.GetSubMatchText(r.n, r.k, want);
    EXPECT_EQ(std::string(got.view()), r.want);
    EXPECT_EQ(position, r.position);
  }
}

TEST_F(TextTest, DotTakesACarriageReturn) {
  text::RegexObject re;
  ASSERT_TRUE(re.Create("<(.*?)>", "<a\rb>"));
#ifdef _WIN32
  if (re.GetMatchCount() == 0) {
    GTEST_SKIP() << "Wine's VBScript.RegExp does not let '.' match a carriage return";
  }
#endif
  EXPECT_EQ(re.GetMatchCount(), 1);
  EXPECT_EQ(re.GetSubMatchText(1, 1).view(), "a\rb");
}

TEST_F(TextTest, RegexObjectGroupsPatternReplaceAndCopy) {
  text::RegexObject re;
  EXPECT_EQ(re.GetMatchCount(), 0);  // before Create: no collection
  EXPECT_TRUE(re.GetPattern().absent());
  ASSERT_TRUE(re.Create("(a)(b)", "xxab ab"));
  EXPECT_EQ(re.GetSubMatchCount(), 2);
  EXPECT_EQ(re.GetPattern().view(), "(a)(b)");
  EXPECT_EQ(re.Replace("[$2$1]").view(), "xx[ba] [ba]");
  EXPECT_EQ(re.Replace().view(), "xx ");

  text::RegexObject copy(re);
  ASSERT_TRUE(re.Create("(a)(b)", "nothing here"));
  EXPECT_EQ(re.GetSubMatchCount(), 0);
  EXPECT_EQ(copy.GetMatchCount(), 2);  // the copy keeps the earlier collection
  int32_t position = 0;
  EXPECT_EQ(copy.GetMatchText(2, &position).view(), "ab");
  EXPECT_EQ(position, 5);
}

// --- Extraction helpers -----------------------------------------------------------------

struct ExtractRow {
  const char* name;
  std::string source, left, right;
  text::ExtractOptions options;
  std::vector<std::string> want;
};

TEST_F(TextTest, ExtractAllBetween) {
  const std::string manifest = "download-manifest&url=";
  text::ExtractOptions wrapped;
  wrapped.prefix = "p";
  wrapped.suffix = "s";
  wrapped.includeLeft = true;
  wrapped.includeRight = true;
  text::ExtractOptions https;
  https.prefix = "https://";
  https.includeRight = true;
  text::ExtractOptions limit3;
  limit3.lengthLimit = 3;
  const ExtractRow rows[] = {
      {"no match", "nothing", "<<", ">>", {}, {}},
      {"dot of the marker is literal", manifest + "aXplist", manifest, ".plist", {}, {}},
      {"folder named plists",
       "<a href=\"itms-services://?action=" + manifest + "https://host/plists/apps/1.plist\">",
       manifest,
       ".plist",
       {},
       {"https://host/plists/apps/1"}},
      {"folder in capitals",
       manifest + "https://h/HOSTED_PLIST/app.plist",
       manifest,
       ".plist",
       {},
       {"https://h/HOSTED_PLIST/app"}},
      {"parenthesis marker, case ignored", "x DOWNLOAD('abc') y", "download('", "'", {}, {"abc"}},
      {"other pattern characters",
       "a^b$c|d\\e.f*g+h?i{j}k[l]m",
       "a^b$c|d\\e.",
       "[l]m",
       {},
       {"f*g+h?i{j}k"}},
      {"halves on different lines", "<<a\nb>>", "<<", ">>", {}, {}},
      {"two pairs on one line", "<<a>> <<b>>", "<<", ">>", {}, {"a", "b"}},
      {"left marker twice", "<<a<<b>>", "<<", ">>", {}, {"a<<b"}},
      {"empty piece kept and wrapped", "<<>>", "<<", ">>", wrapped, {"<<ps>>"}},
      {"prefix and right marker",
       "url=a.plist url=b.plist",
       "url=",
       ".plist",
       https,
       {"https://a.plist", "https://b.plist"}},
      {"length limit", "<<abcd>> <<abc>>", "<<", ">>", limit3, {"abc"}},
      {"double-byte marker", "x\xD6\xD0[1]\xCE\xC4y", "\xD6\xD0[", "]\xCE\xC4", {}, {"1"}},
      {"double-byte piece", "<<\xD6\xD0\xCE\xC4>>", "<<", ">>", {}, {"\xD6\xD0\xCE\xC4"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    ArrayValue results(ValueKind::kText);
    AppendElement(results, TextValue::FromBytes("stale"));
    const int32_t n = text::ExtractAllBetween(r.source, r.left, r.right, results, r.options);
    EXPECT_EQ(n, static_cast<int32_t>(r.want.size()));
    EXPECT_EQ(Elements(results), r.want);
  }
}

TEST_F(TextTest, EscapePatternText) {
  struct Row {
    std::string in, want;
  } rows[] = {
      {"a}b", "a\\}b"},
      {"[x]", "\\[x\\]"},
      {"download('", "download\\('"},
      {".plist", "\\.plist"},
      {"a\\b", "a\\\\b"},  // the backslash is escaped once, before the others
      {"^$|?*+(){}", "\\^\\$\\|\\?\\*\\+\\(\\)\\{\\}"},
      {"\x81\x5C\x81\x7C\x81[", "\x81\x5C\x81\x7C\x81["},  // trail bytes are not characters
      {"", ""},
  };
  for (const auto& r : rows)
    EXPECT_EQ(std::string(text::EscapePatternText(r.in).view()), r.want) << r.in;
}

TEST_F(TextTest, ReplaceMany) {
  EXPECT_EQ(text::ReplaceMany("aAaA", std::nullopt, std::nullopt, std::nullopt, {"a", "x"}).view(),
            "xxxx");
  EXPECT_EQ(text::ReplaceMany("aAaA", std::nullopt, std::nullopt, true, {"a", "x"}).view(), "xAxA");
  EXPECT_EQ(text::ReplaceMany("aaaa", 2, 0, std::nullopt, {"a", "x"}).view(), "xxaa");
  EXPECT_EQ(text::ReplaceMany("aaaa", std::nullopt, 3, std::nullopt, {"a", "x"}).view(), "aaxx");
  // Pairs apply in order to the running text.
  EXPECT_EQ(
      text::ReplaceMany("ab", std::nullopt, std::nullopt, std::nullopt, {"a", "b"}, {"b", "c"})
          .view(),
      "cc");
}

}  // namespace
}  // namespace tobrine
