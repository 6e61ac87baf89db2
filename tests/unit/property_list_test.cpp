// The property-list reader, strict and tolerant, and what a tree may cost.
#include "text/property_list.h"

#include <gtest/gtest.h>

#include <string>

#include "reader_test_support.h"

namespace tobrine::text {
namespace {

std::string Utf8(const char8_t* s) {
  return reinterpret_cast<const char*>(s);
}

std::string Read(std::string_view document, PropertyListReading reading) {
  auto v = ReadPropertyList(document, reading);
  return v ? test::PropertyListText(*v) : "-";
}

TEST(PropertyList, StrictAndTolerant) {
  const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  const std::string doctype =
      "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
      "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
  struct {
    const char* what;
    std::string document;
    std::string strict, tolerant;
  } rows[] = {
      {"every kind",
       decl + doctype +
           "<plist version=\"1.0\">\n<dict>\n\t<key>s</key><string> a b </string>\n"
           "\t<key>i</key><integer> 42 </integer><key>r</key><real>1.5</real>\n"
           "\t<key>t</key><true/><key>f</key><false></false><key>d</"
           "key><date>2024-01-02T03:04:05Z</date>\n"
           "\t<key>b</key><data>\n  "
           "AAEC\n</data><key>a</key><array><string/><dict/><array/></array>\n"
           "</dict>\n</plist>\n",
       "{s:\" a b \",i:i42,r:r1.5,t:true,f:false,d:d2024-01-02T03:04:05Z,b:bAAEC,a:[\"\",{},[]]}",
       "{s:\" a b \",i:i42,r:r1.5,t:true,f:false,d:d2024-01-02T03:04:05Z,b:bAAEC,a:[\"\",{},[]]}"},
      {"references, CDATA, comments and instructions inside text",
       decl + "<plist><dict><key>a&amp;b</key><string>&lt;&#x4E2D;&#20013;<![CDATA[<&>]]>x<!-- c "
              "-->y<?p q?></string></dict></plist>",
       "{a&b:\"<" + Utf8(u8"中中") + "<&>xy\"}", "{a&b:\"<" + Utf8(u8"中中") + "<&>xy\"}"},
      {"a byte-order mark, no declaration, an internal subset",
       "\xEF\xBB\xBF<!DOCTYPE plist [ <!ENTITY x \"]>\"> "
       "]><plist><array><integer>1</integer></array></plist>",
       "[i1]", "[i1]"},
      {"a raw & stays as written (tolerant only)",
       decl + "<plist><dict><key>u</key><string>a?x=1&t=2&amp;&bogus;</string></dict></plist>", "-",
       "{u:\"a?x=1&t=2&&bogus;\"}"},
      {"unclosed elements close where the structure shows",
       "<plist><dict><key>a</key><string>1<key>b</key><array><string>2<string>3</array><key>c</"
       "key><dict>",
       "-", "{a:\"1\",b:[\"2\",\"3\"],c:{}}"},
      {"element names in capitals", "<PLIST><DICT><Key>k</Key><STRING>v</STRING></DICT></PLIST>",
       "-", "{k:\"v\"}"},
      {"GBK bytes labelled UTF-8",
       decl + "<plist><dict><key>t</key><string>\xC8\xED\xBC\xFE</string></dict></plist>", "-",
       "{t:\"\xC8\xED\xBC\xFE\"}"},
      {"GBK bytes labelled GBK",
       "<?xml version=\"1.0\" encoding=\"GBK\"?><plist><string>\xC8\xED</string></plist>",
       "\"\xC8\xED\"", "-"},
      {"a dict root without <plist>, junk around it",
       "<html><body><pre><dict><key>k</key><string>v</string></dict></pre>", "-", "{k:\"v\"}"},
      {"a value without its key is dropped",
       "<plist><dict><string>lost</string><key>k</key><string>v</string></dict></plist>", "-",
       "{k:\"v\"}"},
      {"anything after the root", "<plist><array/></plist><more/>", "-", "[]"},
      {"two values in <plist>", "<plist><array/><array/></plist>", "-", "[]"},
      {"an unknown element", "<plist><dict><key>k</key><blob>v</blob></dict></plist>", "-", "{}"},
      {"a declaration not at the start", "  <?xml version=\"1.0\"?><plist><array/></plist>", "-",
       "[]"},
      {"'--' inside a comment", "<plist><!-- a -- b --><array/></plist>", "-", "[]"},
      {"no property list at all", "just text <b>bold</b>", "-", "-"},
      {"nothing", "", "-", "-"},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(Read(r.document, PropertyListReading::kStrict), r.strict) << r.what;
    EXPECT_EQ(Read(r.document, PropertyListReading::kTolerant), r.tolerant) << r.what;
  }
}

// A tree may cost a few bytes per byte of its document: a document of many
// small values (each <true/> is 7 bytes, 88 of tree) is not read once it would
// cost more, by either reading; a short one still is.
TEST(PropertyList, TreeCostBoundedByTheDocument) {
  const auto manyTrues = [](std::size_t n) {
    std::string s = "<plist><array>";
    for (std::size_t i = 0; i < n; ++i) s += "<true/>";
    return s + "</array></plist>";
  };
  for (PropertyListReading reading :
       {PropertyListReading::kStrict, PropertyListReading::kTolerant}) {
    EXPECT_NE(Read(manyTrues(1000), reading), "-");
    EXPECT_EQ(Read(manyTrues(400000), reading), "-") << "2.8 MB of <true/>";
  }
}

TEST(PropertyList, XmlTextDecoded) {
  EXPECT_EQ(DecodeXmlText("a&amp;b&#38;c&#x26;d&lt;&gt;&quot;&apos;"), "a&b&c&d<>\"'");
  EXPECT_EQ(DecodeXmlText("x<![CDATA[&amp;]]>y<![CDATA[cut"), "x&amp;ycut");
  EXPECT_EQ(DecodeXmlText("&nbsp;&#0;&#xD800;&#x110000;& &amp"),
            "&nbsp;&#0;&#xD800;&#x110000;& &amp");
}

}  // namespace
}  // namespace tobrine::text
