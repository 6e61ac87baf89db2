// The reading of a manifest: its packages in every shape, and whether a page
// is a property list at all.
#include "lookup/manifest.h"

#include <gtest/gtest.h>

#include <string>

#include "reader_test_support.h"

namespace tobrine::lookup {
namespace {

std::string Packages(std::string_view manifest) {
  std::string out;
  for (const ManifestPackage& p : ReadManifest(manifest).packages) {
    out += p.link;
    if (!p.title.empty() || !p.bundleId.empty() || !p.version.empty())
      out += " [" + p.title + "|" + p.bundleId + "|" + p.version + "]";
    out += "\n";
  }
  return out;
}

std::string Asset(std::string_view kind, std::string_view url) {
  return "<dict><key>kind</key><string>" + std::string(kind) + "</string><key>url</key><string>" +
         std::string(url) + "</string></dict>";
}

std::string Manifest(std::string_view items) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict><key>items</key>"
         "<array>" +
         std::string(items) + "</array></dict></plist>\n";
}

std::string Item(std::string_view assets, std::string_view metadata = {}) {
  return "<dict><key>assets</key><array>" + std::string(assets) + "</array>" +
         (metadata.empty() ? "" : "<key>metadata</key><dict>" + std::string(metadata) + "</dict>") +
         "</dict>";
}

TEST(Manifest, EveryShape) {
  const std::string package = Asset("software-package", "https://h.example/a.ipa");
  const std::string icon = Asset("display-image", "https://h.example/icon.png");
  struct {
    const char* what;
    std::string manifest;
    std::string want;
  } rows[] = {
      {"one package", Manifest(Item(package)), "https://h.example/a.ipa\n"},
      {"the icon listed before the package is not taken", Manifest(Item(icon + package)),
       "https://h.example/a.ipa\n"},
      {"an item with an icon only gives nothing", Manifest(Item(icon)), ""},
      {"references and CDATA decoded",
       Manifest(Item(Asset("software-package", "https://h.example/d?f=a.ipa&amp;t=x&#38;u=&#x79;") +
                     Asset("software-package", "<![CDATA[https://h.example/c?a=1&b=2]]>"))),
       "https://h.example/d?f=a.ipa&t=x&u=y\nhttps://h.example/c?a=1&b=2\n"},
      {"several items, a thinned app with several packages, with their metadata",
       Manifest(Item(Asset("software-package", "https://h.example/1a.ipa") +
                         Asset("software-package", "https://h.example/1b.ipa"),
                     "<key>bundle-identifier</key><string>com.example.one</string>"
                     "<key>bundle-version</key><string>1.2</string><key>kind</key>"
                     "<string>software</string><key>title</key><string>One &amp; Co</string>") +
                Item(package)),
       "https://h.example/1a.ipa [One & Co|com.example.one|1.2]\n"
       "https://h.example/1b.ipa [One & Co|com.example.one|1.2]\nhttps://h.example/a.ipa\n"},
      {"tolerant: a raw &, no declaration, a byte-order mark",
       "\xEF\xBB\xBF<plist><dict><key>items</key><array>" +
           Item(Asset("software-package", "https://h.example/a.ipa?x=1&t=2")) +
           "</array></dict></plist>",
       "https://h.example/a.ipa?x=1&t=2\n"},
      {"tolerant: unclosed elements, names in capitals",
       "<plist><dict><key>items</key><array><dict><key>assets</key><array>"
       "<DICT><KEY>kind</KEY><STRING>software-package<KEY>url</KEY><String>https://h.example/u.ipa",
       "https://h.example/u.ipa\n"},
      {"tolerant: GBK bytes labelled UTF-8",
       Manifest(Item(package, "<key>title</key><string>\xC8\xED\xBC\xFE</string>")),
       "https://h.example/a.ipa [\xC8\xED\xBC\xFE||]\n"},
      {"unreadable: the first <string>http…</string>, decoded",
       "garbage "
       "<string>HTTP://h.example/f.ipa?a=1&amp;b=2</string><string>http://h.example/2.ipa</string>",
       "http://h.example/f.ipa?a=1&b=2\n"},
      {"a string holding white space, a line break or a control character is no link",
       Manifest(Item(Asset("software-package", "https://h.example/a b.ipa") +
                     Asset("software-package", "https://h.example/\nb.ipa") +
                     Asset("software-package", "\n  https://h.example/c.ipa\n") +
                     Asset("software-package", "https://h.example/\x1B[2Jd.ipa"))),
       ""},
      {"unreadable and multi-line: no row",
       "<string>http://h.example/a.ipa\n<key>x</key>\n</string>", ""},
      {"too short, or not http",
       Manifest(Item(Asset("software-package", "https://") +
                     Asset("software-package", "ftp://h.example/a.ipa"))),
       ""},
      {"nothing at all", "", ""},
      {"UTF-16, little-endian with a byte-order mark",
       test::Utf16(Manifest(Item(package, "<key>title</key><string>\xE5\xBA\x94</string>")), false,
                   true),
       "https://h.example/a.ipa [\xE5\xBA\x94||]\n"},
      {"UTF-16, big-endian without one", test::Utf16(Manifest(Item(package)), true, false),
       "https://h.example/a.ipa\n"},
      {"the binary form", test::BinaryManifest(), "https://h.example/b.ipa [B|com.example.b|]\n"},
      {"items twice (a normal and a push build), assets twice: every package, in order",
       "<plist><dict><key>items</key><array>" + Item(package) +
           "</array><key>items</key><array><dict><key>assets</key><array>" +
           Asset("software-package", "https://h.example/push.ipa") +
           "</array><key>assets</key><array>" +
           Asset("software-package", "https://h.example/push2.ipa") + "</array></dict></array>" +
           "<key>items</key><string>x</string></dict></plist>",
       "https://h.example/a.ipa\nhttps://h.example/push.ipa\nhttps://h.example/push2.ipa\n"},
  };
  for (const auto& r : rows)
    EXPECT_EQ(Packages(r.manifest), r.want) << r.what << "\n" << r.manifest;
}

TEST(Manifest, APageThatIsAPropertyList) {
  struct {
    std::string page;
    bool want;
  } rows[] = {
      {Manifest(""), true},
      {"\xEF\xBB\xBF\n<!-- x --><!DOCTYPE plist><PLIST>", true},
      {"<dict><key>items</key>", true},
      {"<!DOCTYPE html><html><body><plist>", false},
      {"<?xml version=\"1.0\"?><rss>", false},
      {"{\"items\":[]}", false},
      {test::Utf16(Manifest(""), false, true), true},
      {test::Utf16("<html><plist>", true, false), false},
      {test::BinaryManifest(), true},
      {"", false},
  };
  for (const auto& r : rows) EXPECT_EQ(LooksLikePropertyList(r.page), r.want) << r.page;
}

}  // namespace
}  // namespace tobrine::lookup
