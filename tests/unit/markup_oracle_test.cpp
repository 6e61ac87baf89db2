// The markup tokenizer against a real HTML5 parser (gumbo, Linux only): the
// same attribute values, comments and script texts on hand-written pages and on
// generated ones.
#include <gtest/gtest.h>
#include <gumbo.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "reader_test_support.h"
#include "text/markup.h"

namespace tobrine::text {
namespace {

std::string Utf8(const char8_t* s) {
  return reinterpret_cast<const char*>(s);
}

// What both readings must agree on, as sorted lines: A name=value, C comment,
// S script text. (The tree builder may move elements, never drop these.)
using Facts = std::vector<std::string>;

class FactCollector final : public MarkupVisitor {
 public:
  Facts facts;
  void StartTag(std::string_view, std::span<const MarkupAttribute> attributes, bool) override {
    for (const auto& a : attributes) facts.push_back("A " + a.name + "=" + a.value);
  }
  void Comment(std::string_view text) override { facts.push_back("C " + std::string(text)); }
  void RawText(std::string_view element, std::string_view text) override {
    if (element == "script" && !text.empty()) facts.push_back("S " + std::string(text));
  }
};

Facts Ours(const std::string& page) {
  FactCollector c;
  TokenizeMarkup(page, c);
  std::sort(c.facts.begin(), c.facts.end());
  return c.facts;
}

void Walk(const GumboNode* node, Facts& facts) {
  const GumboVector* children = nullptr;
  if (node->type == GUMBO_NODE_DOCUMENT) {
    children = &node->v.document.children;
  } else if (node->type == GUMBO_NODE_ELEMENT || node->type == GUMBO_NODE_TEMPLATE) {
    const GumboElement& e = node->v.element;
    for (unsigned i = 0; i < e.attributes.length; ++i) {
      const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
      facts.push_back(std::string("A ") + a->name + "=" + a->value);
    }
    if (e.tag == GUMBO_TAG_SCRIPT) {
      std::string text;
      for (unsigned i = 0; i < e.children.length; ++i) {
        const auto* child = static_cast<const GumboNode*>(e.children.data[i]);
        if (child->type == GUMBO_NODE_TEXT || child->type == GUMBO_NODE_WHITESPACE)
          text += child->v.text.text;
      }
      if (!text.empty()) facts.push_back("S " + text);
      return;
    }
    children = &e.children;
  } else if (node->type == GUMBO_NODE_COMMENT) {
    facts.push_back(std::string("C ") + node->v.text.text);
    return;
  } else {
    return;
  }
  for (unsigned i = 0; i < children->length; ++i)
    Walk(static_cast<const GumboNode*>(children->data[i]), facts);
}

Facts Gumbo(const std::string& page) {
  GumboOutput* out = gumbo_parse_with_options(&kGumboDefaultOptions, page.data(), page.size());
  Facts facts;
  Walk(out->document, facts);
  gumbo_destroy_output(&kGumboDefaultOptions, out);
  std::sort(facts.begin(), facts.end());
  return facts;
}

// The lines one side holds more often than the other.
std::string Diff(const Facts& ours, const Facts& gumbo) {
  std::string out;
  auto count = [](const Facts& f, const std::string& line) {
    auto [from, to] = std::equal_range(f.begin(), f.end(), line);
    return to - from;
  };
  for (std::size_t i = 0; i < ours.size(); ++i)
    if ((i == 0 || ours[i] != ours[i - 1]) && count(ours, ours[i]) > count(gumbo, ours[i]))
      out += "  more in ours:  " + ours[i] + "\n";
  for (std::size_t i = 0; i < gumbo.size(); ++i)
    if ((i == 0 || gumbo[i] != gumbo[i - 1]) && count(gumbo, gumbo[i]) > count(ours, gumbo[i]))
      out += "  more in gumbo: " + gumbo[i] + "\n";
  return out;
}

TEST(MarkupOracle, HandWrittenPages) {
  const std::vector<std::string> pages = {
      // A distribution page as they come.
      Utf8(u8"<!DOCTYPE html>\n<html lang=\"zh-CN\"><head><meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n"
           "<title>应用下载 &amp; 安装</title>\n<!-- 统计代码 -->\n"
           "<script type=\"text/javascript\">\nvar ua = navigator.userAgent;\n"
           "if (/iPhone|iPad/i.test(ua)) { location.href = "
           "'itms-services://?action=download-manifest"
           "&url=https://h.example/a.plist'; }\n</script>\n<style>.btn{color:red}</style></head>\n"
           "<body><div class=\"app\"><img src=\"/icon.png\" alt=\"图标\">\n"
           "<a class=btn href=\"itms-services://?action=download-manifest&amp;url=https%3A%2F%2Fh."
           "example%2Fa.plist\" onclick=\"track('install');return true\">安装</a>\n"
           "<a href='javascript:void(0)' data-url=\"itms-services://?action=download-manifest&#38;"
           "url=https://h.example/b.plist\">备用</a></div>\n"
           "<!--[if IE]><p>请使用 Safari</p><![endif]-->\n</body></html>\n"),
      // Every comment shape.
      "<!--a--><!----><!--><!---><!-- a --!> b--><!--a--->x<!---b--><!x><?pi?></ x>"
      "<![CDATA[c]]><!-- <a href=x> -- --><!--a\r\nb--><!-- open",
      // Script data escapes.
      "<script><!--<script>x</script>y--></script><script>a</scripty>b</script>"
      "<script><!--<script>x--></script><script><!-- x </script><p>after</p>"
      "<script>document.write(\"<a href='itms-services://?x'>\" + '</a>');</script>",
      // Attribute syntax and references.
      "<div a=1 B='2' c=\"3\" d e = 5 f=a\"b'c<d`e g=\"&amp;&lt;&gt;&quot;&apos;\" "
      "h='&#38;&#x26;&#X26;&#0038;&#65' i=\"&amp x &amp\" j=\"&ampx=1&amp=2&amp;x\" "
      "k=\"&notit; &notin; &not\" l=\"&NotEqualTilde;&CounterClockwiseContourIntegral;\" "
      "m=\"&nosuch; & &; &#; &#x; &#xZ\" n=\"&#0;&#xD800;&#x110000;&#99999999999;\" "
      "o=\"&#x80;&#x9F;&#x81;&#128512;&#13;&#x0C;\" p=\"a\r\nb\rc\td\" q=x q=y></div>"
      "<span title=\"a&copy;b&copyc&copy=d\"></span><img/alt=1/src=2/>",
      // Raw text and replaceable text.
      "<textarea>&amp;<a href=x></textarea><title><b></title><style>a{}</b></style>"
      "<xmp><a href=x></xmp><iframe><a href=y></iframe><noembed><a></noembed>"
      "<noframes><a></noframes><noscript><a href=z></noscript><template><a href=t></a></template>",
      // Text that is not markup.
      "a < b <3 <> </> &lt;a href=\"x\"&gt; <a href=w>w</a> <a",
  };
  for (const auto& page : pages) {
    const Facts ours = Ours(page), gumbo = Gumbo(page);
    EXPECT_EQ(ours, gumbo) << page << "\n" << Diff(ours, gumbo);
  }
}

// Random pages in well-nested markup (the tree builder then keeps every element
// where it is written), with random attribute syntax, references, comments and
// scripts. Valid UTF-8 only: gumbo reads its input as UTF-8.
class PageGenerator : test::RandomChoices {
 public:
  explicit PageGenerator(uint32_t seed) : RandomChoices(seed) {}

  std::string Page() {
    std::string page;
    if (Chance(3)) page += "<!DOCTYPE html>";
    const int n = Range(1, 12);
    for (int i = 0; i < n; ++i) Content(page, 0);
    return page;
  }

 private:
  std::string Reference() {
    static const std::vector<std::string> named = {
        "&amp;",      "&amp",      "&lt;",    "&gt",      "&quot;",  "&apos;",
        "&nbsp;",     "&copy",     "&not",    "&notin;",  "&notit;", "&ampx",
        "&amp=",      "&AMP;",     "&Eacute", "&hellip;", "&frac12", "&NotEqualTilde;",
        "&nosuch;",   "& ",        "&;",      "&#",       "&#x;",    "&#38;",
        "&#x26",      "&#X4e2d;",  "&#0;",    "&#x80;",   "&#x9F;",  "&#xD800;",
        "&#1114112;", "&#128512;", "&#13;"};
    return Pick(named);
  }

  std::string Word() {
    static const std::vector<std::string> words = {"a",
                                                   "itms-services://?action=download-manifest",
                                                   "&url=",
                                                   "https://h.example/a.plist",
                                                   " ",
                                                   "\t",
                                                   "\r\n",
                                                   "\n",
                                                   Utf8(u8"应用"),
                                                   Utf8(u8"下载"),
                                                   "=",
                                                   "/",
                                                   "?",
                                                   "-",
                                                   "--",
                                                   "x",
                                                   "'",
                                                   "\"",
                                                   "`",
                                                   ">",
                                                   "<",
                                                   "<!--",
                                                   "-->"};
    return Pick(words);
  }

  // Text of an attribute value that a quote `q` (0: unquoted) can hold.
  std::string Value(char q) {
    std::string v;
    const int n = Range(0, 6);
    for (int i = 0; i < n; ++i) {
      std::string piece = Chance(3) ? Reference() : Word();
      if (q == 0 && piece.find_first_of(" \t\r\n\f>") != std::string::npos) continue;
      if (q != 0 && piece.find(q) != std::string::npos) continue;
      v += piece;
    }
    // An unquoted value that begins with a quote would be a quoted one.
    if (q == 0 && (v.empty() || v[0] == '"' || v[0] == '\'')) v = "v" + v;
    return v;
  }

  void Attributes(std::string& out) {
    static const std::vector<std::string> names = {"href",  "HREF",  "onclick", "data-url", "value",
                                                   "title", "class", "id",      "content",  "src",
                                                   "x-y",   "a:b",   "alt"};
    const int n = Range(0, 4);
    for (int i = 0; i < n; ++i) {
      out += Pick(std::vector<std::string>{" ", "  ", "\n", "\t", "/"});
      out += Pick(names);
      switch (Range(0, 4)) {
        case 0:
          break;  // no value
        case 1:
          out += "=\"" + Value('"') + "\"";
          break;
        case 2:
          out += "='" + Value('\'') + "'";
          break;
        case 3:
          out += "=" + Value(0);
          break;
        default:
          out += " = \"" + Value('"') + "\"";
          break;
      }
    }
    if (Chance(4)) out += " /";
  }

  void Comment(std::string& out) {
    static const std::vector<std::string> shapes = {
        "<!---->",   "<!-->",  "<!--->",   "<!-- a --!>", "<!--a--->",
        "<!---b-->", "<!x y>", "<?pi x?>", "</ z>",       "<![CDATA[c]]>"};
    if (Chance(2)) {
      out += Pick(shapes);
      return;
    }
    // A plain body: the ends themselves come from the shapes above.
    std::string text;
    const int n = Range(0, 5);
    for (int i = 0; i < n; ++i) {
      std::string w = Chance(3) ? Reference() : Word();
      if (w.find_first_of("<>-") == std::string::npos) text += w;
    }
    out += "<!--" + text + "-->";
  }

  void Script(std::string& out) {
    static const std::vector<std::string> parts = {
        "var a = 'itms-services://?action=download-manifest&url=https://h.example/a.plist';",
        "x = \"<img src='y'>\" + '</b>';",
        "<!--",
        "-->",
        "<script>",
        "</script >",
        "</scripty>",
        "// c\n",
        "/* c */",
        "if (a < b) {}",
        "\n",
        " ",
        "&amp;",
        Utf8(u8"应用"),
        "</b>",
        "<!-- <script>"};
    std::string text;
    const int n = Range(0, 6);
    for (int i = 0; i < n; ++i) text += Pick(parts);
    // Whether the generated text ends the element early is exactly what is tested.
    out += "<script" + std::string(Chance(3) ? " type=\"text/javascript\"" : "") + ">" + text +
           "</script>";
  }

  void Content(std::string& out, int depth) {
    switch (Range(0, depth > 3 ? 4 : 7)) {
      case 0: {
        std::string text;
        const int n = Range(1, 4);
        for (int i = 0; i < n; ++i) {
          std::string w = Chance(3) ? Reference() : Word();
          // '<' in text only before a space: no accidental tags.
          if (w.find('<') != std::string::npos) w = "< ";
          text += w;
        }
        out += text;
        break;
      }
      case 1:
        Comment(out);
        break;
      case 2:
        Script(out);
        break;
      case 3: {
        static const std::vector<std::string> voids = {"img", "input", "br", "IMG"};
        out += "<" + Pick(voids);
        Attributes(out);
        out += ">";
        break;
      }
      case 4: {
        static const std::vector<std::string> raw = {"textarea", "title", "style", "xmp"};
        const std::string name = Pick(raw);
        out += "<" + name;
        Attributes(out);
        out += ">" + std::string(Chance(2) ? "<a href=x>&amp;" : "text") + "</" + name + ">";
        break;
      }
      default: {
        // No formatting element (a, b, …): the tree builder clones those it
        // finds unclosed, with their attributes.
        static const std::vector<std::string> containers = {"div", "span",  "section",
                                                            "DIV", "label", "nav"};
        const std::string name = Pick(containers);
        out += "<" + name;
        Attributes(out);
        out += ">";
        const int n = Range(0, 3);
        for (int i = 0; i < n; ++i) Content(out, depth + 1);
        out += "</" + name + ">";
        break;
      }
    }
  }
};

TEST(MarkupOracle, GeneratedPages) {
  int differing = 0;
  for (uint32_t seed = 1; seed <= 2000 && differing < 5; ++seed) {
    const std::string page = PageGenerator(seed).Page();
    const Facts ours = Ours(page), gumbo = Gumbo(page);
    if (ours != gumbo) {
      ++differing;
      ADD_FAILURE() << "seed " << seed << "\n" << page << "\n" << Diff(ours, gumbo);
    }
  }
}

}  // namespace
}  // namespace tobrine::text
