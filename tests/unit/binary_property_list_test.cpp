// Property lists in the binary form and in UTF-16, as some servers send their
// manifests: read into the same tree as the XML form, and damaged or hostile
// documents refused quickly.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lookup/manifest.h"
#include "reader_test_support.h"
#include "text/property_list.h"

namespace tobrine::text {
namespace {

// One object of the binary form: its marker and body, references one byte each.
std::string Marker(int type, std::size_t length) {
  std::string s;
  if (length < 15) {
    s += static_cast<char>(type << 4 | static_cast<int>(length));
    return s;
  }
  s += static_cast<char>(type << 4 | 0x0F);
  s += '\x11';  // a 2-byte integer: the length
  s += static_cast<char>(length >> 8);
  s += static_cast<char>(length & 0xFF);
  return s;
}
std::string Ascii(std::string_view text) {
  return Marker(0x5, text.size()) + std::string(text);
}
std::string Refs(int type, std::vector<int> refs) {
  std::string s = Marker(type, type == 0xD ? refs.size() / 2 : refs.size());
  for (int r : refs) s += static_cast<char>(r);
  return s;
}

// The whole document: header, the objects, a table of 2-byte offsets, the
// trailer (1-byte references, `top` the root).
std::string Document(const std::vector<std::string>& objects, int top = 0) {
  std::string s = "bplist00";
  std::vector<std::size_t> offsets;
  for (const std::string& o : objects) offsets.push_back(s.size()), s += o;
  const std::size_t table = s.size();
  for (std::size_t o : offsets) s += static_cast<char>(o >> 8), s += static_cast<char>(o & 0xFF);
  const auto be64 = [&](uint64_t v) {
    for (int i = 7; i >= 0; --i) s += static_cast<char>(v >> (8 * i) & 0xFF);
  };
  s += std::string(6, '\0') + "\x02\x01";
  be64(objects.size());
  be64(static_cast<uint64_t>(top));
  be64(table);
  return s;
}

std::string Read(const std::string& document) {
  auto v = ReadPropertyList(document, PropertyListReading::kStrict);
  auto tolerant = ReadPropertyList(document, PropertyListReading::kTolerant);
  // Both readings read the binary form alike.
  EXPECT_EQ(v.has_value(), tolerant.has_value());
  return v ? test::PropertyListText(*v) : "-";
}

// Bytes with NULs in them.
std::string Bytes(std::string_view s) {
  return std::string(s);
}
using namespace std::string_view_literals;

TEST(BinaryPropertyList, EveryKindOfObject) {
  struct {
    const char* what;
    std::vector<std::string> objects;
    std::string want;
    int top = 0;
  } rows[] = {
      {"a dict of text",
       {Refs(0xD, {1, 2}), Ascii("url"), Ascii("https://h.example/a.ipa")},
       "{url:\"https://h.example/a.ipa\"}"},
      {"UTF-16 text with a pair and a lone surrogate",
       {Bytes("\x64\x5E\x94\xD8\x3D\xDE\x00\xD8\x00"sv)},
       "\"\xE5\xBA\x94\xF0\x9F\x98\x80\xEF\xBF\xBD\""},
      {"integers of 1, 2, 4, 8 and 16 bytes",
       {Refs(0xA, {1, 2, 3, 4, 5}), Bytes("\x10\x07"sv), Bytes("\x11\x01\x00"sv),
        Bytes("\x12\x00\x01\x00\x00"sv), Bytes("\x13\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"sv),
        Bytes("\x14\0\0\0\0\0\0\0\0\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF"sv)},
       "[i7,i256,i65536,i-1,i18446744073709551615]"},
      {"booleans, a real, a date, data",
       {Refs(0xA, {1, 2, 3, 4, 5}), "\x09", "\x08", Bytes("\x23\x3F\xF8\0\0\0\0\0\0"sv),
        // 2026-12-08T05:40:56Z: 818401256 seconds after 2001-01-01.
        Bytes("\x33\x41\xC8\x63\xE7\xF4\0\0\0"sv),
        "\x43"
        "abc"},
       "[true,false,r1.5,d2026-12-08T05:40:56Z,bYWJj]"},
      {"a long text (its length in an integer object)",
       {Ascii(std::string(300, 'x'))},
       "\"" + std::string(300, 'x') + "\""},
      {"shared objects are read at each place",
       {Refs(0xA, {1, 1}), Refs(0xA, {2}), Ascii("s")},
       "[[\"s\"],[\"s\"]]"},
      {"the root need not be the first object", {Ascii("k"), Refs(0xD, {0, 0})}, "{k:\"k\"}", 1},
  };
  for (const auto& r : rows) EXPECT_EQ(Read(Document(r.objects, r.top)), r.want) << r.what;
}

TEST(BinaryPropertyList, DamagedOrHostileDocumentsAreRefusedQuickly) {
  const std::string good = Document({Refs(0xA, {1}), Ascii("x")});
  const auto trailerByte = [&](std::size_t fromEnd, char c) {
    std::string s = good;
    s[s.size() - fromEnd] = c;
    return s;
  };
  // Forty arrays, each holding the next one twice: 2^40 leaves if unfolded.
  std::vector<std::string> doubling;
  for (int i = 0; i < 40; ++i) doubling.push_back(Refs(0xA, {i + 1, i + 1}));
  doubling.push_back(Ascii("leaf"));
  std::vector<std::string> deep;
  for (int i = 0; i < 250; ++i) deep.push_back(Refs(0xA, {i + 1}));
  deep.push_back(Ascii("leaf"));

  struct {
    const char* what;
    std::string document;
  } rows[] = {
      {"only the header", "bplist00"},
      {"cut short", good.substr(0, good.size() - 1)},
      {"the root beyond the objects", Document({Ascii("x")}, 1)},
      {"offsets 0 bytes wide", trailerByte(26, '\0')},
      {"offsets 9 bytes wide", trailerByte(26, '\x09')},
      {"references 0 bytes wide", trailerByte(25, '\0')},
      {"more objects than the table holds", trailerByte(17, '\x7F')},
      {"the table past the trailer", trailerByte(1, '\x7F')},
      {"an offset into the header",
       Document({Refs(0xA, {1}), Ascii("x")}).replace(12, 2, "\0\x02"sv)},
      {"a reference to no object", Document({Refs(0xA, {9})})},
      {"an array holding itself", Document({Refs(0xA, {0})})},
      {"a text longer than the document", Document({Bytes("\x5F\x13\x40\0\0\0\0\0\0\0x"sv)})},
      {"an array longer than the document", Document({"\xAF\x12\x7F\xFF\xFF\xFF\x01"})},
      {"a key that is no text", Document({Refs(0xD, {1, 1}), "\x10\x01"})},
      {"a null object", Document({Bytes("\0"sv)})},
      {"an unknown marker", Document({"\x70"})},
      {"arrays sharing arrays, 2^40 leaves", Document(doubling)},
  };
  // A document that unfolded or looped would not finish within the test's time-out.
  for (const auto& r : rows) EXPECT_EQ(Read(r.document), "-") << r.what;
  // 250 levels still read; an array holding itself (above) ends at the depth
  // where the XML readers stop too.
  EXPECT_NE(Read(Document(deep)), "-");
}

}  // namespace
}  // namespace tobrine::text
