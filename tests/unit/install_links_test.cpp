// The second reading of a page (install links as a browser reads them), on small
// pages written for each shape.
#include "lookup/install_links.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "lookup/manifest.h"
#include "reader_test_support.h"

namespace tobrine::lookup {
namespace {

// UTF-8 bytes as they come from a page, whatever the execution character set.
std::string Utf8(const char8_t* s) {
  return reinterpret_cast<const char*>(s);
}

std::string Manifests(std::string_view page) {
  std::string out;
  for (const std::string& address : InstallManifestAddresses(page)) out += address + "\n";
  return out;
}

struct PageCase {
  const char* what;
  std::string page;
  std::string want;  // the manifest addresses, one per line
};

void Check(const std::vector<PageCase>& cases) {
  for (const auto& c : cases) EXPECT_EQ(Manifests(c.page), c.want) << c.what << "\n" << c.page;
}

TEST(InstallLinks, EveryShapeOfAPage) {
  Check({
      {"plain href",
       R"(<a href="itms-services://?action=download-manifest&url=https://h.example/a.plist">)",
       "https://h.example/a.plist\n"},
      {"&amp; inside the attribute",
       R"(<a href="itms-services://?action=download-manifest&amp;url=https://h.example/a.plist">)",
       "https://h.example/a.plist\n"},
      {"numeric references and &quot;, unquoted and single-quoted values",
       "<a href=itms-services://?action=download-manifest&#38;url=https://h.example/1.plist>"
       "<a href='itms-services://?action=download-manifest&#x26;url=https://h.example/2.plist'>"
       "<a "
       "data-x=\"itms-services://?action=download-manifest&AMP;url=https://h.example/"
       "&quot;3&quot;\">",
       "https://h.example/1.plist\nhttps://h.example/2.plist\nhttps://h.example/%223%22\n"},
      {"the url value percent-decoded once",
       R"(<a href="itms-services://?action=download-manifest&url=https%3A%2F%2Fh.example%2Fapi%2Fm%3Fid%3D7%26k%3D%2541">)",
       "https://h.example/api/m?id=7&k=%41\n"},
      {"the url ends at the next & of the query or at the link's end; no .plist needed",
       R"(<a href="itms-services://?action=download-manifest&url=https://h.example/m?id=7&amp;v=2">)",
       "https://h.example/m?id=7\n"},
      {"scheme, names and action in any case; three slashes; url before action",
       R"(<a href="ITMS-Services:///?URL=HTTPS://h.example/a.plist&ACTION=Download-Manifest">)",
       "https://h.example/a.plist\n"},
      {"tabs and line breaks inside dropped, surrounding spaces trimmed",
       "<a href=\"  "
       "itms-services://?action=download-\n\tmanifest&url=https://h.ex\r\nample/a.plist \">",
       "https://h.example/a.plist\n"},
      {"any attribute: value, data-, a refresh's content",
       R"(<input type="hidden" value="itms-services://?action=download-manifest&amp;url=https://h.example/v.plist">)"
       R"(<div data-href="itms-services://?action=download-manifest&amp;url=https://h.example/d.plist"></div>)"
       R"(<meta http-equiv="refresh" content="0; url=itms-services://?action=download-manifest&amp;url=https://h.example/r.plist">)",
       "https://h.example/v.plist\nhttps://h.example/d.plist\nhttps://h.example/r.plist\n"},
      {"an onclick handler's string, and a javascript: address (percent-decoded first)",
       R"(<button onclick="location.href='itms-services://?action=download-manifest&amp;url=https://h.example/o.plist'; return false">)"
       R"(<a href="javascript:window.location='itms-services://?action=download-manifest%26url=https://h.example/j.plist'">)",
       "https://h.example/o.plist\nhttps://h.example/j.plist\n"},
      {"script strings with their escapes; literals joined to literals",
       "<script>\n"
       "var a = "
       "\"itms-services:\\/\\/?action=download-manifest\\u0026url=https:\\/\\/h.example\\/"
       "s.plist\";\n"
       "go('itms-services://?action=download-manifest&url=' + 'https://h.example/joined.plist');\n"
       "var t = `itms-services://?action=download-manifest&url=https://h.example/t.plist`;\n"
       "var x = \"itms-services://?action=download-manifest\\x26url=https://h.example/x.plist\";\n"
       "</script>",
       "https://h.example/s.plist\nhttps://h.example/joined.plist\nhttps://h.example/t.plist\n"
       "https://h.example/x.plist\n"},
      {"a script string holding markup",
       R"(<script>document.write('<a href="itms-services://?action=download-manifest&amp;url=https://h.example/w.plist">go</a>');</script>)",
       "https://h.example/w.plist\n"},
      {"a template script holding markup, a JSON script",
       R"(<script type="text/html"><a href="itms-services://?action=download-manifest&amp;url=https://h.example/tpl.plist"></a></script>)"
       R"(<script type="application/json">{"u":"itms-services:\/\/?action=download-manifest\u0026url=https:\/\/h.example\/json.plist"}</script>)",
       "https://h.example/tpl.plist\nhttps://h.example/json.plist\n"},
      {"a page that is JSON",
       R"({"code":0,"data":{"link":"itms-services:\/\/?action=download-manifest&url=https%3A%2F%2Fh.example%2Fj.plist"}})",
       "https://h.example/j.plist\n"},
      {"a page that is a script",
       "// install\nwindow.location.href = "
       "\"itms-services://?action=download-manifest&url=https://h.example/js.plist\";\n",
       "https://h.example/js.plist\n"},
      {"duplicates kept, in document order",
       "<a href=\"itms-services://?action=download-manifest&url=https://h.example/b.plist\">"
       "<a href=\"itms-services://?action=download-manifest&url=https://h.example/a.plist\">"
       "<a href=\"itms-services://?action=download-manifest&url=https://h.example/b.plist\">",
       "https://h.example/b.plist\nhttps://h.example/a.plist\nhttps://h.example/b.plist\n"},
      {"non-ASCII bytes and spaces of the address percent-encoded byte for byte",
       "<a href=\"itms-services://?action=download-manifest&url=https://h.example/" +
           Utf8(u8"应用") + "%20x/\xD3\xA6.plist\">",
       "https://h.example/%E5%BA%94%E7%94%A8%20x/%D3%A6.plist\n"},
      {"the address read as a browser's parser reads it",
       R"(<a href="itms-services://?action=download-manifest&url=https:///app.plist">)"
       R"(<a href="itms-services://?action=download-manifest&url=%20HTTPS:\\h.example\a\..\b.plist">)"
       R"(<a href="itms-services://?action=download-manifest&url=http://h.example:80//./c.plist#x">)",
       "https://app.plist/\nhttps://h.example/b.plist\nhttp://h.example//c.plist\n"},
      {"links inside noscript and template count as markup",
       R"(<noscript><a href="itms-services://?action=download-manifest&amp;url=https://h.example/n.plist"></a></noscript>)"
       R"(<template><a href="itms-services://?action=download-manifest&amp;url=https://h.example/tm.plist"></a></template>)",
       "https://h.example/n.plist\nhttps://h.example/tm.plist\n"},
  });
}

TEST(InstallLinks, PagesThatGiveNoLink) {
  Check({
      {"inside a comment",
       R"(<!-- <a href="itms-services://?action=download-manifest&url=https://h.example/c.plist"> -->)",
       ""},
      {"visible text, also as escaped markup",
       "<p>itms-services://?action=download-manifest&url=https://h.example/v.plist</p>"
       "<p>&lt;a "
       "href=\"itms-services://?action=download-manifest&amp;url=https://h.example/e.plist\"&gt;</"
       "p>",
       ""},
      {"the address in a variable set again",
       "<script>var plistUrl = 'https://h.example/v.plist';\n"
       "if (x) plistUrl = other;\n"
       "location.href = 'itms-services://?action=download-manifest&url=' + plistUrl;</script>",
       ""},
      {"a part joined to a variable, a template with a substitution, a literal's member",
       "<script>var a = 'itms-services://?action=download-manifest&url=https://h.example/' + name "
       "+ '.plist';\n"
       "var b = `itms-services://?action=download-manifest&url=${base}/app.plist`;\n"
       "var c = "
       "'itms-services://?action=download-manifest&url=https://h.example/X.plist'.replace('X', "
       "id);\n"
       "var d = prefix + "
       "\"itms-services://?action=download-manifest&url=https://h.example/d.plist\";</script>",
       ""},
      {"inside script comments",
       "<script>// location = "
       "\"itms-services://?action=download-manifest&url=https://h.example/1.plist\";\n"
       "/* location = \"itms-services://?action=download-manifest&url=https://h.example/2.plist\"; "
       "*/\n"
       "<!-- location = "
       "\"itms-services://?action=download-manifest&url=https://h.example/3.plist\";\n"
       "</script>",
       ""},
      {"relative and scheme-relative addresses, other schemes",
       R"(<a href="itms-services://?action=download-manifest&url=/m/app.plist">)"
       R"(<a href="itms-services://?action=download-manifest&url=app.plist">)"
       R"(<a href="itms-services://?action=download-manifest&url=//h.example/app.plist">)"
       R"(<a href="itms-services://?action=download-manifest&url=ftp://h.example/app.plist">)",
       ""},
      {"not an install link: other action, no action, no url, one or four slashes",
       R"(<a href="itms-services://?action=purchase&url=https://h.example/1.plist">)"
       R"(<a href="itms-services://?url=https://h.example/2.plist">)"
       R"(<a href="itms-services://?action=download-manifest">)"
       R"(<a href="itms-services:/?action=download-manifest&url=https://h.example/3.plist">)"
       R"(<a href="itms-services:////?action=download-manifest&url=https://h.example/4.plist">)"
       R"(<a href="https://h.example/?action=download-manifest&url=https://h.example/5.plist">)",
       ""},
      {"the text of title, textarea, style",
       "<title>itms-services://?action=download-manifest&amp;url=https://h.example/t.plist</title>"
       "<textarea><a "
       "href=\"itms-services://?action=download-manifest&amp;url=https://h.example/x.plist\"></"
       "textarea>"
       "<style>a{background:url(\"itms-services://?action=download-manifest&url=https://h.example/"
       "s.plist\")}</style>",
       ""},
      {"a tag cut off by the end of the page",
       R"(<a href="itms-services://?action=download-manifest&url=https://h.example/cut.plist)", ""},
  });
}

// Links a script builds from constants on the page; any part that only the run
// time knows gives no link at all.
TEST(InstallLinks, LinksBuiltFromConstants) {
  const std::string link = "itms-services://?action=download-manifest&url=";
  Check({
      {"a configuration object in a template",
       "<script>const CONFIG = { baseUrl: 'https://example.github.io/app', currentVersion: '1.2' "
       "};\nconst manifestUrl = `" +
           link + "${CONFIG.baseUrl}/manifest.plist`;</script>",
       "https://example.github.io/app/manifest.plist\n"},
      {"encodeURIComponent of a literal, in an object's template",
       "<script>new Vue({ data: { href: `" + link +
           "${encodeURIComponent(\"https://example.github.io/x/manifest.plist\")}` } });</script>",
       "https://example.github.io/x/manifest.plist\n"},
      {"a variable bound once, joined with +",
       "<script>var plistUrl = 'https://h.example/v.plist';\nlocation.href = '" + link +
           "' + plistUrl;</script>",
       "https://h.example/v.plist\n"},
      {"nested objects and arrays, a['b'] and a[0], a shorthand member",
       "<script>const host = 'https://b.example';\nconst C = {hosts: ['https://a.example', host], "
       "paths: {'m': '/m', n: [`/n`]}, host};\n"
       "go('" +
           link +
           "' + C.hosts[1] + C.paths['m'] + '.plist');\n"
           "go(`" +
           link + "${C.host}${C.paths.n[0]}.plist`);</script>",
       "https://b.example/m.plist\nhttps://b.example/n.plist\n"},
      {"a function that uses a constant bound after it, in another script",
       "<script>function go() { location = LINK + '/f.plist'; }</script>"
       "<script>let LINK = '" +
           link +
           "https://h.example';</script>"
           "<button onclick=\"location = LINK + '/o.plist'\">",
       "https://h.example/f.plist\nhttps://h.example/o.plist\n"},
      {"decodeURIComponent and encodeURI of known strings",
       "<script>go('" + link +
           "' + decodeURIComponent('https%3A%2F%2Fh.example%2Fd.plist'));\n"
           "go('" +
           link + "' + encodeURI('https://h.example/a b.plist'));</script>",
       "https://h.example/d.plist\nhttps://h.example/a%20b.plist\n"},
      {"a function's own binding, in the function (a script wrapped in one)",
       "<script>(function () { var cfg = {base: 'https://h.example'};\ngo('" + link +
           "' + cfg.base + '/i.plist'); })();</script>",
       "https://h.example/i.plist\n"},
      {"a binding split over lines; an object's literal keys and values still count",
       "<script>var base = 'https://h.example'\nvar m = {'x': '" + link +
           "https://h.example/k.plist'}\ngo('" + link + "' + base + '/s.plist')</script>",
       "https://h.example/k.plist\nhttps://h.example/s.plist\n"},
  });
}

TEST(InstallLinks, LinksWithAPartOnlyTheRunTimeKnows) {
  const std::string link = "itms-services://?action=download-manifest&url=";
  const auto go = [&link](std::string_view part) {
    return "go('" + link + "' + " + std::string(part) + " + '/a.plist');\n";
  };
  Check({
      {"bound twice, bound without a value, assigned, changed in place",
       "<script>var a = 'https://h.example'; var a = 'https://i.example';\n"
       "let b; b = 'https://h.example';\nlet c = 'https://h.example'; c += '/x';\n"
       "let d = 'https://h.example'; d++;\n" +
           go("a") + go("b") + go("c") + go("d") + "</script>",
       ""},
      {"a function's parameter, an arrow's, a method's, a catch's",
       "<script>const p = 'https://h.example';\nfunction f(p) { " + go("p") +
           "}\nconst q = 'https://h.example'; list.map((q, i) => " + go("q") +
           ");\nconst r = 'https://h.example'; o = { m(r) { " + go("r") +
           " } };\nconst e = 'https://h.example'; try {} catch (e) { " + go("e") + "}</script>",
       ""},
      {"a member changed, an array grown, an object assigned to",
       "<script>const C = {u: 'https://h.example'}; C.u = x;\nconst A = ['https://h.example']; "
       "A.push(x);\nconst D = {u: 'https://h.example'}; Object.assign(D, x);\n" +
           go("C.u") + go("A[0]") + go("D.u") + "</script>",
       ""},
      {"other calls, operators, missing members, spread and computed members",
       "<script>const s = 'https://h.example'; const C = {u: s}; const E = {...C, v: s}; "
       "const F = {[k]: s, u: s};\nconst G = x ? s : s;\n" +
           go("String(s)") + go("s.toLowerCase()") + go("C.nope") + go("E.v") + go("F.u") +
           go("G") + go("(s)") + go("s * 2") + "</script>",
       ""},
      {"the run-time part of the issue: base + name + '.xml'",
       "<script>var base = 'https://host/raw/master/';\nvar u = '" + link +
           "' + base + name + '.xml';\nvar v = \"" + link +
           "https://host/raw/master/\" + name + \".xml\";</script>",
       ""},
      {"used before its binding in the same code; set through the window; destructured",
       "<script>" + go("a") +
           "var a = 'https://h.example';\nvar b = 'https://h.example'; "
           "window.b = x;\nvar c = 'https://h.example'; [c] = list;\n" +
           go("b") + go("c") + "</script>",
       ""},
      {"a function's own binding, used in another function (there a global)",
       "<script>function a() { var base = 'https://h.example'; }\nfunction b() { " + go("base") +
           "}</script>",
       ""},
      {"a literal in a template's substitution, the template joined to a run-time part",
       "<script>var t = `${'" + link + "https://h.example/'}${id}.plist`;</script>", ""},
      {"a template's placeholder never filled in, in markup",
       "<a ng-href=\"" + link + "https://h.example/{{app.id}}/m.plist\"><a href=\"" + link +
           "https://h.example/${id}.plist\"><a href=\"" + link +
           "https://h.example/<%= id %>.plist\"><a href=\"" + link +
           "https%3A%2F%2Fh.example%2F%7B%7Bid%7D%7D.plist\">",
       ""},
      {"a framework's binding in an attribute",
       "<a :href=\"'" + link + "https://h.example/' + app.id + '.plist'\">", ""},
  });
  // What such a link holds as far as it goes: the page's text, no manifest's.
  const InstallLinks partial = ReadInstallLinks("<script>var u = \"" + link +
                                                "https://host/raw/master/\" + name + \".xml\";\n"
                                                "var t = `" +
                                                link + "https://h.example/${id}.plist`;</script>");
  EXPECT_EQ(partial.partial,
            (std::vector<std::string>{"https://host/raw/master/", "https://h.example/"}));
}

// Double-byte pages: a character's second byte may be 0x5C ('\'). Read as UTF-8
// it would escape the closing quote and hide the next string's link.
TEST(InstallLinks, PagesInEveryEncoding) {
  const std::string link =
      "\"itms-services://?action=download-manifest&url=https://h.example/a.plist\"";
  Check({
      {"GBK, labelled GBK; 嘰 ends in 0x5C",
       "<meta charset=\"gbk\"><p>\xC8\xED\xBC\xFE\xCF\xC2\xD4\xD8</p><script>var name = "
       "\"\xC8\xED\x87\x5C\";"
       " var u = " +
           link + ";</script>",
       "https://h.example/a.plist\n"},
      {"Big5, labelled UTF-8; 許 ends in 0x5C",
       "<meta charset=\"utf-8\"><p>\xC0\xB3\xA5\xCE\xB5\x7B\xA6\xA1</p><script>var name = "
       "'\xB3\x5C'; var u = " +
           link + ";</script>",
       "https://h.example/a.plist\n"},
      {"GBK in a JSON page, a trail byte 0x5C before the closing quote",
       "{\"name\":\"\xC8\xED\xBC\xFE\x81\x5C\",\"url\":" + link + "}",
       "https://h.example/a.plist\n"},
      {"UTF-8, labelled GBK: an escaped quote stays an escape",
       "<meta charset=\"gb2312\"><p>" + Utf8(u8"软件下载") + "</p><script>var s = \"" +
           Utf8(u8"软") + "\\\"\"; var u = " + link + ";</script>",
       "https://h.example/a.plist\n"},
      {"GBK attribute values around the link",
       "<a title=\"\xC8\xED\xBC\xFE\" "
       "href=\"itms-services://?action=download-manifest&amp;url=https://h.example/a.plist\">"
       "\xCF\xC2\xD4\xD8</a>",
       "https://h.example/a.plist\n"},
  });
}

TEST(InstallLinks, ManifestAddressOfAPastedLink) {
  struct {
    std::string link, want;
  } rows[] = {
      {"itms-services://?action=download-manifest&url=https://h.example/a.plist",
       "https://h.example/a.plist"},
      {"itms-services://?action=download-manifest&url=HTTP%3A%2F%2Fh.example%2Fa%20b.plist#top",
       "http://h.example/a%20b.plist"},
      {"itms-services://?action=download-manifest&url=https://h.example/a.plist&url=https://h/b",
       "https://h.example/a.plist"},
      {"itms-services://?action=download-manifest&url=", ""},
      {"https://h.example/a.plist", ""},
  };
  for (const auto& r : rows) EXPECT_EQ(ManifestAddressOfLink(r.link), r.want) << r.link;
}

}  // namespace
}  // namespace tobrine::lookup

namespace tobrine::lookup {
namespace {

// Shapes that would take quadratic time (or the whole stack) if read naively;
// 1-2 MB each, read in well under a second when linear.
TEST(InstallLinks, HostileShapesAreReadInLinearTime) {
  const std::size_t n = 200000;
  std::string attributes = "<a";
  for (std::size_t i = 0; i < n; ++i) attributes += " a" + std::to_string(i) + "=1";
  std::string regexes = "<script>";
  for (std::size_t i = 0; i < n; ++i) regexes += "=/[";
  std::string markupInValues;
  for (std::size_t i = 0; i < n / 4; ++i)
    markupInValues += "<a title=\"<b title='{&quot;x&quot;:1}'>\">";
  const std::string link =
      "<a href=\"itms-services://?action=download-manifest&url=https://h.example/a.plist\">";
  for (const std::string& page :
       {attributes + ">" + link, regexes + "</script>" + link, markupInValues + link,
        std::string(n, '<') + link, "<!--" + std::string(n, '-') + "-->" + link})
    EXPECT_EQ(Manifests(page), "https://h.example/a.plist\n") << page.substr(0, 60);

  std::string references = "<plist><dict><key>items</key><string>";
  for (std::size_t i = 0; i < n; ++i) references += "&amp&#";
  std::string deep = "<plist>";
  for (std::size_t i = 0; i < n; ++i) deep += "<array>";
  for (const std::string& manifest : {references, deep, deep + "<string>http://h.example/x.ipa"})
    EXPECT_TRUE(ReadManifest(manifest).packages.size() <= 1) << manifest.substr(0, 60);
}

}  // namespace
}  // namespace tobrine::lookup
