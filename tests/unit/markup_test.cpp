// The markup tokenizer, one table per shape.
#include "text/markup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
}  // namespace tobrine::text
