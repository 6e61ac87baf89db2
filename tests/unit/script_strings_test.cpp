// The script string reader: literals and escapes, values built from constants,
// pages in a double-byte code page.
#include "text/script_strings.h"

#include <gtest/gtest.h>

#include <string>

namespace tobrine::text {
namespace {

std::string Utf8(const char8_t* s) {
  return reinterpret_cast<const char*>(s);
}

std::string Strings(std::string_view script, ByteLayout layout = ByteLayout::kUtf8) {
  std::string out;
  ForEachScriptString(script, layout,
                      [&](std::string_view s) { out += "[" + std::string(s) + "]"; });
  return out;
}

TEST(ScriptStrings, LiteralsAndEscapes) {
  struct {
    std::string script, want;
  } rows[] = {
      {R"(var a = "x\/y\u0026z", b = 'q\'r';)", "[x/y&z][q'r]"},
      {R"("\x41\101\0\u{1F600}\uD83D\uDE00\n\t\d")",
       "[AA" + std::string(1, '\0') + Utf8(u8"\U0001F600\U0001F600") + "\n\td]"},
      {"'a\\\nb'", "[ab]"},
      {"`t\\u0041`", "[tA]"},
      {R"({"a":"b","c":["d",1,true]})", "[a][b][c][d]"},
      {"'a' + \"b\" + `c`", "[abc]"},
      {"f('a' + 'b', 'c')", "[ab][c]"},
      {"'a' + b", ""},
      {"b + 'a'", ""},
      {"s += 'a'", ""},
      {"'a' + 'b' + c", ""},
      {"'a'.replace('a', b)", "[a]"},
      {"`a${b}c` + 'd'; 'e'", "[e]"},
      {"`a${ {x:'in'}.x }c`; 'e'", "[in][e]"},
      {"// 'a'\n/* 'b' */ 'c' <!-- 'd'\n  --> 'e'\n'f'", "[c][f]"},
      {"x = a --> 'b'", "[b]"},
      {"r = /\"[/']/g; s = 'ok'", "[ok]"},
      {"n = a / 2 / 'q'; t = (1) / 'w'", "[q][w]"},
      {"return /'/.test(x) ? 'y' : 'z'", "[y][z]"},
      {"x = 'broken\ny = 1; z = \"ok\"", "[ok]"},
      {"'bad \\x4' 'ok'", "[ok]"},
      {"'never closed", ""},
  };
  for (const auto& r : rows) EXPECT_EQ(Strings(r.script), r.want) << r.script;
}

// Values built from constants: every part known, or nothing. A binding only
// ever joined to more is a piece, not a value of its own.
TEST(ScriptStrings, ValuesBuiltFromConstants) {
  struct {
    std::string script, want;
  } rows[] = {
      {"const a = 'x'; f(a + 'y'); g(a)", "[x][xy]"},
      {"f(b + 'y'); var b = 'x'; function g() { f(b + 'z') }", "[xz]"},
      {"let a = 'x'; a = 'z'; f(a + 'y')", "[x][z]"},
      {"const o = {k: ['p', {q: 'r'}]}; f(o.k[1].q + o['k'][0] + `${o.k[0]}s`)", "[k][rpps]"},
      {"f('q=' + encodeURIComponent('a b&c/\\u00e9'), encodeURI('a b&c/'), "
       "decodeURIComponent('%41%2F'))",
       "[a b&c/" + Utf8(u8"\u00e9") + "][q=a%20b%26c%2F%C3%A9][a b&c/][%41%2F]"},
      {"f(decodeURIComponent('%E9') + 'x', decodeURIComponent('%zz') + 'x')", "[%E9][%zz]"},
      {"const a = 'x' + y; f(a + 'z')", ""},
      {"const a = 'x'; function g(a) { f(a + 'z') }", "[x]"},
  };
  for (const auto& r : rows) EXPECT_EQ(Strings(r.script), r.want) << r.script;

  // Values that double at every binding: after a few bytes per byte of the
  // script they are no longer known, and nothing is built beyond.
  std::string doubling = "const a0 = '" + std::string(1024, 'x') + "';\n";
  for (int i = 1; i <= 64; ++i)
    doubling += "const a" + std::to_string(i) + " = a" + std::to_string(i - 1) + " + a" +
                std::to_string(i - 1) + ";\n";
  doubling += "f(a0); f(a64 + '.')";
  EXPECT_EQ(Strings(doubling), "[" + std::string(1024, 'x') + "]");
  // So do the names noted: past that no name is known, and a literal is told
  // as it stands.
  std::string names;
  for (int i = 0; i < 120000; ++i) names += "x" + std::to_string(i) + "=1;";
  EXPECT_EQ(Strings("const a = 'p'; f(a + 'q')"), "[pq]");
  EXPECT_EQ(Strings(names + "const a = 'p'; f(a + 'q')"), "[p]");

  // Calls, substitutions and literals nested 5,000 deep are read a few dozen
  // deep and scanned past beyond: the innermost literal is still a value.
  const auto nested = [](std::string_view open, std::string_view close) {
    std::string s;
    for (int i = 0; i < 5000; ++i) s += open;
    s += "'in'";
    for (int i = 0; i < 5000; ++i) s += close;
    return s;
  };
  EXPECT_EQ(Strings(nested("encodeURIComponent(", ")")), "[in]");
  EXPECT_EQ(Strings(nested("`${", "}`")), "[in]");
  EXPECT_EQ(Strings("const c = " + nested("{a: [", "]}")), "[in]");
}

TEST(ScriptStrings, DoubleBytePages) {
  // 0x87 0x5C is one GBK character; read as UTF-8 the 0x5C escapes the quote.
  const std::string script = "a = \"\x87\x5C\"; b = \"c\"";
  EXPECT_EQ(Strings(script, ByteLayout::kDoubleByte), "[\x87\x5C][c]");
  EXPECT_EQ(Strings(script, ByteLayout::kUtf8), "[\x87\"; b = ]");
  // A trail byte 0x60 ('`') outside a string does not open a template.
  EXPECT_EQ(Strings("x\xB0\x60 = 'k'", ByteLayout::kDoubleByte), "[k]");

  EXPECT_EQ(GuessByteLayout("plain ASCII"), ByteLayout::kUtf8);
  EXPECT_EQ(GuessByteLayout(Utf8(u8"软件下载 应用")), ByteLayout::kUtf8);
  EXPECT_EQ(GuessByteLayout("\xC8\xED\xBC\xFE\xCF\xC2\xD4\xD8"), ByteLayout::kDoubleByte);
  EXPECT_EQ(GuessByteLayout("\xC0\xB3\xA5\xCE\xB5\x7B\xA6\xA1"), ByteLayout::kDoubleByte);
  // A stray broken byte in a UTF-8 page leaves it UTF-8.
  EXPECT_EQ(GuessByteLayout(Utf8(u8"软件下载应用程序安装说明") + "\xFF"), ByteLayout::kUtf8);
}

}  // namespace
}  // namespace tobrine::text
