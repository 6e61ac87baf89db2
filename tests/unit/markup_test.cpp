// The markup tokenizer, the script string reader and the property-list reader,
// one table per shape.
#include "text/markup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "reader_test_support.h"
#include "text/property_list.h"
#include "text/script_strings.h"

namespace tobrine::text {
namespace {

std::string Utf8(const char8_t* s) {
  return reinterpret_cast<const char*>(s);
}

// Writes every token as a short trace: <a href=[x]> </a> <!--[c]--> {script:[t]}.
class Trace final : public MarkupVisitor {
 public:
  std::string out;
  void StartTag(std::string_view name, std::span<const MarkupAttribute> attributes,
                bool selfClosing) override {
    out += "<" + std::string(name);
    for (const auto& a : attributes) out += " " + a.name + "=[" + a.value + "]";
    out += selfClosing ? "/>" : ">";
  }
  void EndTag(std::string_view name) override { out += "</" + std::string(name) + ">"; }
  void Comment(std::string_view text) override { out += "<!--[" + std::string(text) + "]-->"; }
  void RawText(std::string_view element, std::string_view text) override {
    out += "{" + std::string(element) + ":[" + std::string(text) + "]}";
  }
};

std::string Tokens(std::string_view page) {
  Trace t;
  TokenizeMarkup(page, t);
  return t.out;
}

TEST(Markup, TagsAndAttributes) {
  struct {
    std::string page, want;
  } rows[] = {
      {"<A HREF=x Title='y z' data-q=\"1\">t</A>", "<a href=[x] title=[y z] data-q=[1]></a>"},
      {"<input disabled value= v >", "<input disabled=[] value=[v]>"},
      {"<br/><img src=a.png />", "<br/><img src=[a.png]/>"},
      {"<a href=x href=y id=1 ID=2>", "<a href=[x] id=[1]>"},
      {"<a b=\"1\"c=2 =d e/f>", "<a b=[1] c=[2] =d=[] e=[] f=[]>"},
      {"<a href=a\"b'c<d`e>", "<a href=[a\"b'c<d`e]>"},
      {"<a\tb\n=\r\n'v\r\nw\rx'>", "<a b=[v\nw\nx]>"},
      {std::string("<a b=\"x\0y\">", 11), "<a b=[x" + Utf8(u8"\uFFFD") + "y]>"},
      {"</a href=x><p/ >", "</a><p>"},
      {"a < b <3 <> </> <a", ""},
      {"<a href=\"never closed>", ""},
      {"\xB0\xA1<a title=\"\xC8\xED\xBC\xFE\">\xB0\xA1</a>", "<a title=[\xC8\xED\xBC\xFE]></a>"},
  };
  for (const auto& r : rows) EXPECT_EQ(Tokens(r.page), r.want) << r.page;
}

// A tag keeps its first 65,536 attributes: one with millions would cost
// gigabytes.
TEST(Markup, ATagKeepsItsFirstAttributes) {
  struct Count final : MarkupVisitor {
    std::vector<std::size_t> attributes;
    std::string last;
    void StartTag(std::string_view, std::span<const MarkupAttribute> a, bool) override {
      if (attributes.empty() && !a.empty()) last = a.back().name;
      attributes.push_back(a.size());
    }
  } count;
  std::string page = "<a";
  for (int i = 0; i < 70000; ++i) page += " a" + std::to_string(i);
  TokenizeMarkup(page + "><b c d>", count);
  EXPECT_EQ(count.attributes, (std::vector<std::size_t>{65536, 2}));
  EXPECT_EQ(count.last, "a65535");
}

TEST(Markup, CharacterReferencesInAttributes) {
  struct {
    std::string value, want;
  } rows[] = {
      {"a&amp;b&lt;&gt;&quot;&apos;", "a&b<>\"'"},
      {"&#38;&#x26;&#X26;&#0038;&#65", "&&&&A"},
      {"&amp x &amp", "& x &"},
      {"&ampx=1&amp=2&amp;x", "&ampx=1&amp=2&x"},
      {"&notit; &notin; &not", Utf8(u8"&notit; \u2209 \u00AC")},
      {"&NotEqualTilde;&CounterClockwiseContourIntegral;", Utf8(u8"\u2242\u0338\u2233")},
      {"&nosuch; & &; &#; &#x; &#xZ", "&nosuch; & &; &#; &#x; &#xZ"},
      {"&#0;&#xD800;&#x110000;&#99999999999;", Utf8(u8"\uFFFD\uFFFD\uFFFD\uFFFD")},
      {"&#x80;&#x9F;&#x81;&#128512;", Utf8(u8"\u20AC\u0178\u0081\U0001F600")},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(Tokens("<a v=\"" + r.value + "\">"), "<a v=[" + r.want + "]>") << r.value;
    std::string decoded;
    AppendDecodedReferences(r.value, true, decoded);
    EXPECT_EQ(decoded, r.want) << r.value;
  }
  // Outside an attribute a legacy name before '=' or a letter is decoded.
  std::string text;
  AppendDecodedReferences("&ampx &copy=", false, text);
  EXPECT_EQ(text, Utf8(u8"&x \u00A9="));
}

TEST(Markup, Comments) {
  struct {
    std::string page, want;
  } rows[] = {
      {"<!--a--><!----><!--><!--->", "<!--[a]--><!--[]--><!--[]--><!--[]-->"},
      {"<!-- a --!> b-->", "<!--[ a ]-->"},
      {"<!--a--->x<!---b-->", "<!--[a-]--><!--[-b]-->"},
      {"<!-- <a href=x> -- -->", "<!--[ <a href=x> -- ]-->"},
      {"<!-- never closed <a href=x>", "<!--[ never closed <a href=x>]-->"},
      {"<!x><?pi?></ x><![CDATA[c]]>", "<!--[x]--><!--[?pi?]--><!--[ x]--><!--[[CDATA[c]]]-->"},
      {"<!DOCTYPE html><!doctype x \">\">", ""},
      {"<!--a\r\nb-->", "<!--[a\nb]-->"},
  };
  for (const auto& r : rows) EXPECT_EQ(Tokens(r.page), r.want) << r.page;
}

TEST(Markup, RawTextElements) {
  struct {
    std::string page, want;
  } rows[] = {
      {"<script>a<b>'</div>'</script>", "<script>{script:[a<b>'</div>']}</script>"},
      {"<SCRIPT type=x>a</Script >b", "<script type=[x]>{script:[a]}</script>"},
      {"<script>a</scripty></script/>", "<script>{script:[a</scripty>]}</script>"},
      {"<script><!--<script>x</script>y--></script>",
       "<script>{script:[<!--<script>x</script>y-->]}</script>"},
      {"<script><!--x--></script>", "<script>{script:[<!--x-->]}</script>"},
      {"<script><!--<script>x--></script>", "<script>{script:[<!--<script>x-->]}</script>"},
      {"<script><!-- x </script> y", "<script>{script:[<!-- x ]}</script>"},
      {"<script>never closed <a href=x>", "<script>{script:[never closed <a href=x>]}"},
      {"<style>a{}</b></style><xmp><a></xmp>",
       "<style>{style:[a{}</b>]}</style><xmp>{xmp:[<a>]}</xmp>"},
      {"<textarea>&amp;<a href=x></textarea><title><b></title>",
       "<textarea>{textarea:[&amp;<a href=x>]}</textarea><title>{title:[<b>]}</title>"},
      {"<iframe><a></iframe><noembed><a></noembed><noframes><a></noframes>",
       "<iframe>{iframe:[<a>]}</iframe><noembed>{noembed:[<a>]}</noembed>"
       "<noframes>{noframes:[<a>]}</noframes>"},
      {"<plaintext></plaintext><a>", "<plaintext>{plaintext:[</plaintext><a>]}"},
      {"<noscript><a href=x></noscript>", "<noscript><a href=[x]></noscript>"},
  };
  for (const auto& r : rows) EXPECT_EQ(Tokens(r.page), r.want) << r.page;
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
