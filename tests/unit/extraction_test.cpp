// ExtractAllBetween searches by itself; the regular-expression object is its
// oracle. Generated pages and markers run through both on each build: the
// Linux component on PCRE2 here, the system's VBScript.RegExp under Wine.
#include "text/extraction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "regex_route.h"
#include "runtime/commands.h"
#include "runtime/external.h"
#include "text/codepage.h"
#include "text/regex_object.h"

#ifndef _WIN32
#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#endif

namespace tobrine {
namespace {

using test::ExtractedPieces;
using test::LoneLeadsAsQuestionMarks;
using test::RegexRoutePieces;

class ExtractionTest : public testing::Test {
 protected:
  static void SetUpTestSuite() { CallExternal<kExtCoInitialize>(nullptr); }
  static void TearDownTestSuite() { CallExternal<kExtCoUninitialize>(); }
};

std::string Hex(std::string_view s) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out += static_cast<char>(c);
    } else {
      out += "\\x";
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

std::string Show(const std::vector<std::string>& pieces) {
  std::string out = "{";
  for (const auto& p : pieces) out += " \"" + Hex(p) + "\"";
  return out + " }";
}

// What the platform makes of the component and the code page. Wine's differ from
// the Linux ones in each of these; the Linux build must have all of them.
bool DotTakesCarriageReturn() {
  text::RegexObject re;
  re.Create("<(.*?)>", "<\r>");
  return re.GetMatchCount() == 1;
}
bool FoldsFullWidthLetters() {
  text::RegexObject re;
  re.Create("\xA3\xC1", "\xA3\xE1");  // full-width A and a
  return re.GetMatchCount() == 1;
}
bool InvalidLeadByteStandsAlone() {
  // A lead byte before a line feed: the line feed must survive the conversion.
  const std::string units(text::CodePageToUtf16("\x81\n", 936).bytes());
  return units.size() >= 4 && units[2] == '\n' && units[3] == '\0';
}

// Skips on the Windows build when the platform lacks a behaviour; the Linux
// build has every one of them and never skips.
#ifdef _WIN32
#define SKIP_UNLESS(probe, reason) \
  if (!(probe)) GTEST_SKIP() << reason
#else
#define SKIP_UNLESS(probe, reason) ASSERT_TRUE(probe) << reason
#endif

// --- Generated pages --------------------------------------------------------------

// A small deterministic generator, the same on every build.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t Below(uint32_t n) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return static_cast<uint32_t>(state_ % n);
  }

 private:
  uint64_t state_;
};

// Characters of code page 936. Trail bytes that look like ASCII letters or
// pattern characters are there on purpose.
const std::vector<std::string> kMarkerChars = {
    "a",        "b",        "A",        "B",        "x",        "1",        ".",
    "(",        ")",        "?",        "*",        "+",        "[",        "]",
    "{",        "}",        "^",        "$",        "|",        "\\",       "&",
    "=",        "<",        ">",        " ",        "'",        "\n",       "\xD6\xD0",
    "\xCE\xC4", "\x81\x61", "\x81\x41", "\x81\x5B", "\x81\x5C", "\x81\x7C", "\xB0\x62"};
// Only in pages: single bytes that the escaping of a marker reads as lead bytes,
// and letters whose case partner is not ASCII.
const std::vector<std::string> kPageOnlyChars = {"\x80",     "\xFF",     "\xA3\xC1", "\xA3\xE1",
                                                 "\xA6\xA1", "\xA6\xC1", "\xA7\xA1", "\xA7\xD1"};
const std::vector<std::string> kCarriageReturn = {"\r"};
const std::vector<std::string> kNonAsciiLetters = {
    "\xA3\xC1", "\xA3\xE1", "\xA3\xDA", "\xA3\xFA", "\xA6\xA1", "\xA6\xC1",
    "\xA6\xB8", "\xA6\xD8", "\xA7\xA1", "\xA7\xD1", "\xA7\xA7", "\xA7\xD7",
    "\xA2\xF1", "\xA2\xA1", "\xA2\xFB", "\xA8\xA1", "\xA3\xC0", "\xA6\xB9"};
// A lead byte that nothing pairs with (before a line feed, a pattern character,
// 0x7F or 0xFF, or at the end of the page).
const std::vector<std::string> kLoneLeads = {"\x81", "\xFE", "\x81\x7F", "\xA3\xFF"};

struct Case {
  std::string page, left, right;
};

std::string Pick(Random& r, const std::vector<std::string>& from, uint32_t maxChars) {
  std::string out;
  for (uint32_t n = r.Below(maxChars + 1); n > 0; --n) out += from[r.Below(from.size())];
  return out;
}

// Pages of 0-30 characters drawn from a few characters at a time, so that
// markers occur, overlap and repeat; markers of 0-3 characters from the same few,
// never both empty unless asked for (then always).
Case Generate(Random& r, const std::vector<std::string>& markerChars,
              const std::vector<std::string>& pageChars, bool bothEmpty) {
  std::vector<std::string> few;
  for (uint32_t n = 2 + r.Below(5); n > 0; --n) {
    const uint32_t pick = r.Below(markerChars.size() + pageChars.size());
    few.push_back(pick < markerChars.size() ? markerChars[pick]
                                            : pageChars[pick - markerChars.size()]);
  }
  std::vector<std::string> forMarkers;
  for (const auto& c : few) {
    for (const auto& m : markerChars) {
      if (c == m) forMarkers.push_back(c);
    }
  }
  if (forMarkers.empty()) forMarkers.push_back(markerChars[r.Below(markerChars.size())]);
  Case c;
  c.page = Pick(r, few, 30);
  if (!bothEmpty) {
    c.left = Pick(r, forMarkers, 3);
    do {
      c.right = Pick(r, forMarkers, 3);
    } while (c.left.empty() && c.right.empty());
  }
  return c;
}

// Compares the two routes over `count` generated cases; `expected` (when given)
// turns each piece of ExtractAllBetween into what the route gives for it.
void CompareGenerated(uint64_t seed, int count, const std::vector<std::string>& markerChars,
                      const std::vector<std::string>& pageChars,
                      std::string (*expected)(std::string_view) = nullptr, bool bothEmpty = false) {
  Random r(seed);
  int failures = 0;
  for (int i = 0; i < count && failures < 5; ++i) {
    const Case c = Generate(r, markerChars, pageChars, bothEmpty);
    std::vector<std::string> want = RegexRoutePieces(c.page, c.left, c.right);
    std::vector<std::string> got = ExtractedPieces(c.page, c.left, c.right);
    if (expected) {
      for (auto& piece : got) piece = expected(piece);
    }
    if (got != want) {
      ++failures;
      ADD_FAILURE() << "case " << i << ": page \"" << Hex(c.page) << "\" left \"" << Hex(c.left)
                    << "\" right \"" << Hex(c.right) << "\"\n  regular expression: " << Show(want)
                    << "\n  ExtractAllBetween:  " << Show(got);
    }
  }
}

std::vector<std::string> Joined(std::initializer_list<std::vector<std::string>> lists) {
  std::vector<std::string> out;
  for (const auto& l : lists) out.insert(out.end(), l.begin(), l.end());
  return out;
}

TEST_F(ExtractionTest, GeneratedPagesAsTheRegularExpressionRoute) {
  CompareGenerated(1, 4000, kMarkerChars, kPageOnlyChars);
}

// Wine's VBScript.RegExp never returns from Execute when the whole pattern matches
// the empty text: there is no asking it.
#ifdef _WIN32
constexpr bool kEmptyPatternReturns = false;
#else
constexpr bool kEmptyPatternReturns = true;
#endif
constexpr const char* kEmptyPatternHangs =
    "Wine's VBScript.RegExp does not return from a search whose pattern matches the empty text";

TEST_F(ExtractionTest, GeneratedPagesWithBothMarkersEmpty) {
  if (!kEmptyPatternReturns) GTEST_SKIP() << kEmptyPatternHangs;
  CompareGenerated(5, 500, kMarkerChars, kPageOnlyChars, nullptr, true);
}

TEST_F(ExtractionTest, GeneratedPagesWithCarriageReturns) {
  SKIP_UNLESS(DotTakesCarriageReturn(),
              "Wine's VBScript.RegExp does not let '.' match a carriage return");
  CompareGenerated(2, 2000, Joined({kMarkerChars, kCarriageReturn}), kPageOnlyChars);
}

TEST_F(ExtractionTest, GeneratedPagesWithNonAsciiLettersInMarkers) {
  SKIP_UNLESS(FoldsFullWidthLetters(),
              "Wine's VBScript.RegExp ignores the case of ASCII letters only");
  CompareGenerated(3, 2000, Joined({kMarkerChars, kNonAsciiLetters}), kPageOnlyChars);
}

TEST_F(ExtractionTest, GeneratedPagesWithInvalidSequences) {
  SKIP_UNLESS(InvalidLeadByteStandsAlone(),
              "Wine's MultiByteToWideChar reads a lead byte and the byte after it as one "
              "character even when that byte cannot be a trail byte");
  CompareGenerated(4, 3000, kMarkerChars, Joined({kPageOnlyChars, kLoneLeads}),
                   LoneLeadsAsQuestionMarks);
}

// --- Letters ------------------------------------------------------------------------

// Every letter of code page 936 with its case partner, and characters whose trail
// byte is an ASCII letter. Each is followed by its number and ';'.
std::vector<std::string> LetterCharacters(bool nonAscii) {
  std::vector<std::string> out;
  auto range = [&](int lead, int from, int to) {
    for (int t = from; t <= to; ++t) {
      out.push_back(lead ? std::string{static_cast<char>(lead), static_cast<char>(t)}
                         : std::string(1, static_cast<char>(t)));
    }
  };
  range(0, 'A', 'Z');
  range(0, 'a', 'z');
  range(0x81, 'A', 'Z');
  range(0x81, 'a', 'z');
  if (nonAscii) {
    range(0xA2, 0xA1, 0xAA);  // small Roman numerals
    range(0xA2, 0xF1, 0xFC);  // Roman numerals
    range(0xA3, 0xC1, 0xDA);  // full-width letters
    range(0xA3, 0xE1, 0xFA);
    range(0xA6, 0xA1, 0xB8);  // Greek
    range(0xA6, 0xC1, 0xD8);
    range(0xA7, 0xA1, 0xC1);  // Cyrillic
    range(0xA7, 0xD1, 0xF1);
    range(0xA8, 0xA1, 0xC0);  // pinyin letters: no partner in the code page
  }
  return out;
}

void CompareLetters(bool nonAscii) {
  const std::vector<std::string> letters = LetterCharacters(nonAscii);
  std::string page;
  for (std::size_t i = 0; i < letters.size(); ++i) page += letters[i] + std::to_string(i) + ";";
  for (const auto& letter : letters) {
    const auto want = RegexRoutePieces(page, letter, ";");
    EXPECT_EQ(ExtractedPieces(page, letter, ";"), want) << Hex(letter);
    EXPECT_GE(want.size(), 1u) << Hex(letter);  // at least the letter itself
  }
}

TEST_F(ExtractionTest, AsciiLettersAsTheRegularExpressionRoute) {
  CompareLetters(false);
}

TEST_F(ExtractionTest, NonAsciiLettersAsTheRegularExpressionRoute) {
  SKIP_UNLESS(FoldsFullWidthLetters(),
              "Wine's VBScript.RegExp ignores the case of ASCII letters only");
  CompareLetters(true);
}

#ifndef _WIN32
// The letters above are all of code page 936 that have a case: no other of its
// characters changes under Unicode case mapping.
TEST_F(ExtractionTest, NoOtherCharacterOfTheCodePageHasACase) {
  const std::vector<std::string> letters = LetterCharacters(true);
  UErrorCode status = U_ZERO_ERROR;
  UConverter* cnv = ucnv_open("windows-936-2000", &status);
  ASSERT_TRUE(U_SUCCESS(status));
  int cased = 0;
  for (int lead = 0; lead <= 0xFE; ++lead) {
    for (int trail = lead >= 0x81 ? 0x40 : lead; trail <= (lead >= 0x81 ? 0xFE : lead); ++trail) {
      const std::string c = lead >= 0x81
                                ? std::string{static_cast<char>(lead), static_cast<char>(trail)}
                                : std::string(1, static_cast<char>(trail));
      UChar u[4];
      status = U_ZERO_ERROR;
      const int32_t n = ucnv_toUChars(cnv, u, 4, c.data(), static_cast<int32_t>(c.size()), &status);
      if (U_FAILURE(status) || n != 1) continue;
      const UChar32 cp = u[0];
      if (u_toupper(cp) == cp && u_tolower(cp) == cp && u_foldCase(cp, U_FOLD_CASE_DEFAULT) == cp)
        continue;
      ++cased;
      EXPECT_NE(std::find(letters.begin(), letters.end(), c), letters.end()) << Hex(c);
    }
  }
  ucnv_close(cnv);
  // Two of the 32 pinyin places (A8BC, A8BF) are private-use characters in this code page.
  EXPECT_EQ(cased, 52 + 22 + 52 + 48 + 66 + 30);
}
#endif

// --- Cases by hand --------------------------------------------------------------------

struct Row {
  const char* name;
  std::string page, left, right;
  std::vector<std::string> want;
  bool oracle = true;  // whether the regular-expression route agrees on this platform
};

TEST_F(ExtractionTest, EdgeCases) {
  const Row rows[] = {
      {"right marker overlaps the left one", "abab", "ab", "ba", {}},
      {"right marker right after the left one", "aba", "ab", "a", {""}},
      {"right marker inside the left one's text", "xLaRbR", "L", "R", {"a"}},
      {"right marker equal to the left one", "<a<b<c<", "<", "<", {"a", "c"}},
      {"left marker spans a line feed", "a\nbc]", "a\nb", "]", {"c"}},
      {"right marker starts with a line feed", "[ab\nc", "[", "\nc", {"ab"}},
      {"right marker just after a line end fails", "[ab\n]", "[", "]", {}},
      {"next line after a failed start", "[a\n[b]", "[", "]", {"b"}},
      {"trail byte like a letter is no letter", "\x81\x61[x]a[y]", "a[", "]", {"y"}},
      // The route turns the marker's lone lead byte into a pattern character of its own.
      {"marker ends inside a double-byte character", "[\xD6\xD0]", "[\xD6", "]", {}, false},
      {"double-byte markers", "\xD6\xD0x\xCE\xC4", "\xD6\xD0", "\xCE\xC4", {"x"}},
      {"full-width letters fold",
       "\xA3\xC1x\xA3\xE1",
       "\xA3\xE1",
       "\xA3\xC1",
       {"x"},
       FoldsFullWidthLetters()},
      {"left marker empty", "ab]c]", "", "]", {"ab", "c"}},
      {"right marker empty", "[a[b", "[", "", {"", ""}},
      {"both markers empty", "ab", "", "", {"", "", ""}, kEmptyPatternReturns},
      {"both markers empty, double-byte", "\xD6\xD0", "", "", {"", ""}, kEmptyPatternReturns},
      {"text after a NUL is not searched", std::string("[a]\0[b]", 7), "[", "]", {"a"}},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(ExtractedPieces(r.page, r.left, r.right), r.want);
    if (r.oracle) {
      EXPECT_EQ(RegexRoutePieces(r.page, r.left, r.right), r.want) << "the oracle";
    }
  }
}

// --- Time -------------------------------------------------------------------------------

double SecondsFor(const std::string& page, int32_t want) {
  const uint32_t start = TickCount();
  ArrayValue links(ValueKind::kText);
  EXPECT_EQ(text::ExtractAllBetween(page, "download-manifest&url=", ".plist", links), want);
  return (TickCount() - start) / 1000.0;
}

// A line of 50,000 left markers whose right marker stands on the next line: the
// search from each marker must not run to the end of the line.
TEST_F(ExtractionTest, ManyLeftMarkersOnALineTakeLinearTime) {
  std::string line;
  while (line.size() < 2'000'000) line += "download-manifest&url=http://h/a";
  const std::string page = line + "\n.plist\n";
  // Quadratic work would take minutes; one pass takes milliseconds, even with
  // sanitizers.
  EXPECT_LT(SecondsFor(page, 0), 2.0);
  EXPECT_LT(SecondsFor(page + "download-manifest&url=x.plist", 1), 2.0);
}

// One left marker and 10 M characters without a line feed before the links: no
// search limit cuts the later links.
TEST_F(ExtractionTest, LongLineDoesNotCutLaterLinks) {
  std::string page = "download-manifest&url=" + std::string(10'000'000, 'x') + "\n";
  for (int i = 0; i < 1000; ++i)
    page += "<a href=\"download-manifest&url=http://h/" + std::to_string(i) + ".plist\">\n";
  EXPECT_LT(SecondsFor(page, 1000), 2.0);
  ArrayValue links(ValueKind::kText);
  text::ExtractAllBetween(page, "download-manifest&url=", ".plist", links);
  EXPECT_EQ(links.TextAt(1000), "http://h/999");
}

}  // namespace
}  // namespace tobrine
