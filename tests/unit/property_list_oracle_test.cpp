// The strict property-list reader against libplist (Linux only) on well-formed
// manifests, hand-written and generated: the same tree.
#include <gtest/gtest.h>
#include <plist/plist.h>

#include <random>
#include <string>
#include <vector>

#include "lookup/manifest.h"
#include "reader_test_support.h"
#include "text/property_list.h"

namespace tobrine::text {
namespace {

std::string Utf8(const char8_t* s) {
  return reinterpret_cast<const char*>(s);
}

// libplist's tree in the form of test::PropertyListText.
std::string DumpOracle(plist_t node) {
  switch (plist_get_node_type(node)) {
    case PLIST_DICT: {
      std::string s = "{";
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      bool first = true;
      while (true) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (!key) break;
        s += (first ? "" : ",") + std::string(key) + ":" + DumpOracle(value);
        first = false;
        free(key);
      }
      free(it);
      return s + "}";
    }
    case PLIST_ARRAY: {
      std::string s = "[";
      for (uint32_t i = 0; i < plist_array_get_size(node); ++i)
        s += (i ? "," : "") + DumpOracle(plist_array_get_item(node, i));
      return s + "]";
    }
    case PLIST_STRING: {
      char* text = nullptr;
      plist_get_string_val(node, &text);
      std::string s = "\"" + std::string(text ? text : "") + "\"";
      free(text);
      return s;
    }
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      return "i" + std::to_string(v);
    }
    case PLIST_BOOLEAN: {
      uint8_t v = 0;
      plist_get_bool_val(node, &v);
      return v ? "true" : "false";
    }
    default:
      return "?";
  }
}

std::string Oracle(const std::string& document) {
  plist_t root = nullptr;
  plist_from_xml(document.data(), static_cast<uint32_t>(document.size()), &root);
  if (!root) return "-";
  std::string s = DumpOracle(root);
  plist_free(root);
  return s;
}

std::string Ours(const std::string& document) {
  auto v = ReadPropertyList(document, PropertyListReading::kStrict);
  return v ? test::PropertyListText(*v) : "-";
}

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST "
    "1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\">\n";

TEST(PropertyListOracle, HandWrittenManifests) {
  const std::vector<std::string> documents = {
      kHead +
          "<dict>\n\t<key>items</key>\n\t<array>\n\t\t<dict>\n\t\t\t<key>assets</key>\n"
          "\t\t\t<array>\n\t\t\t\t<dict>\n\t\t\t\t\t<key>kind</key>\n"
          "\t\t\t\t\t<string>software-package</string>\n\t\t\t\t\t<key>url</key>\n"
          "\t\t\t\t\t<string>https://h.example/a.ipa?f=1&amp;t=x</string>\n\t\t\t\t</dict>\n"
          "\t\t\t</array>\n\t\t\t<key>metadata</key>\n\t\t\t<dict>\n"
          "\t\t\t\t<key>bundle-identifier</key>\n\t\t\t\t<string>com.example.app</string>\n"
          "\t\t\t\t<key>bundle-version</key>\n\t\t\t\t<string>1.0.3</string>\n"
          "\t\t\t\t<key>kind</key>\n\t\t\t\t<string>software</string>\n"
          "\t\t\t\t<key>title</key>\n\t\t\t\t<string>" +
          Utf8(u8"应用 &lt;测试&gt;") +
          "</string>\n\t\t\t</dict>\n\t\t</dict>\n\t</array>\n</dict>\n</plist>\n",
      kHead +
          "<dict><key>items</key><array><dict><key>assets</key><array>"
          "<dict><key>kind</key><string>display-image</string><key>needs-shine</key><false/>"
          "<key>url</key><string>https://h.example/icon.png</string></dict>"
          "<dict><key>kind</key><string>software-package</string><key>url</key>"
          "<string><![CDATA[https://h.example/a.ipa?x=1&y=2]]></string></dict>"
          "</array></dict></array></dict></plist>",
      "<?xml version=\"1.0\"?><plist><dict><key>n</key><integer>7</integer><key>t</key><true/>"
      "<key>e</key><string></string><key>s</key><string/><key>a</key><array/></dict></plist>",
      // (libplist refuses a byte-order mark, which XML allows: the unit table covers it.)
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist><array><string>&#x41;&#66;"
      "</string><!-- note --><string> spaced </string></array></plist>",
  };
  for (const auto& d : documents) EXPECT_EQ(Ours(d), Oracle(d)) << d;
  // The manifest reading takes the package, not the icon.
  auto content = lookup::ReadManifest(documents[1]);
  ASSERT_EQ(content.packages.size(), 1u);
  EXPECT_EQ(content.packages[0].link, "https://h.example/a.ipa?x=1&y=2");
}

// Random manifests of dicts, arrays, strings, integers and booleans, with
// references, CDATA, comments and white space between elements.
class ManifestGenerator : test::RandomChoices {
 public:
  explicit ManifestGenerator(uint32_t seed) : RandomChoices(seed) {}

  std::string Document() {
    std::string d = Chance(2) ? kHead : "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist>";
    Space(d);
    Value(d, 0);
    Space(d);
    return d + "</plist>\n";
  }

 private:
  void Space(std::string& d) {
    static const char* const kSpaces[] = {"", " ", "\n", "\t\t", "\r\n", "<!-- c -->", "\n  "};
    d += kSpaces[Range(0, 6)];
  }

  std::string Text() {
    static const std::vector<std::string> pieces = {"a",
                                                    "https://h.example/a.ipa",
                                                    "?x=1",
                                                    "&amp;",
                                                    "&lt;",
                                                    "&gt;",
                                                    "&quot;",
                                                    "&apos;",
                                                    "&#38;",
                                                    "&#x4E2D;",
                                                    " ",
                                                    "software-package",
                                                    "<![CDATA[&<>]]>",
                                                    Utf8(u8"应用"),
                                                    "\t"};
    std::string t;
    const int n = Range(0, 4);
    for (int i = 0; i < n; ++i) t += pieces[static_cast<std::size_t>(Range(0, 14))];
    return t;
  }

  void Value(std::string& d, int depth) {
    switch (Range(0, depth > 3 ? 3 : 5)) {
      case 0:
        d += Chance(4) ? "<string/>" : "<string>" + Text() + "</string>";
        break;
      case 1:
        d += "<integer>" + std::to_string(Range(0, 100000)) + "</integer>";
        break;
      case 2:
        d += Chance(2) ? "<true/>" : "<false/>";
        break;
      case 3:
        d += "<string>" + Text() + "</string>";
        break;
      case 4: {
        d += "<array>";
        const int n = Range(0, 4);
        for (int i = 0; i < n; ++i) {
          Space(d);
          Value(d, depth + 1);
        }
        Space(d);
        d += "</array>";
        break;
      }
      default: {
        d += "<dict>";
        const int n = Range(0, 4);
        for (int i = 0; i < n; ++i) {
          Space(d);
          // Keys distinct within a dict, as libplist keeps only the last of equal keys.
          d += "<key>k" + std::to_string(i) + (Chance(3) ? "&amp;" : "") + "</key>";
          Space(d);
          Value(d, depth + 1);
        }
        Space(d);
        d += "</dict>";
        break;
      }
    }
  }
};

TEST(PropertyListOracle, GeneratedManifests) {
  int differing = 0, read = 0;
  for (uint32_t seed = 1; seed <= 2000 && differing < 5; ++seed) {
    const std::string d = ManifestGenerator(seed).Document();
    const std::string ours = Ours(d), oracle = Oracle(d);
    if (oracle != "-") ++read;
    if (ours != oracle) {
      ++differing;
      ADD_FAILURE() << "seed " << seed << "\n"
                    << d << "\nours:   " << ours << "\noracle: " << oracle;
    }
  }
  // Every generated document is well-formed: the oracle must have read them all.
  EXPECT_EQ(read, 2000);
}

// The same manifests as the oracle writes them in the binary form, and in
// UTF-16: the same trees as their XML text gives.
TEST(PropertyListOracle, GeneratedManifestsInBinaryAndUtf16) {
  int differing = 0;
  for (uint32_t seed = 1; seed <= 500 && differing < 5; ++seed) {
    const std::string d = ManifestGenerator(seed).Document();
    plist_t root = nullptr;
    plist_from_xml(d.data(), static_cast<uint32_t>(d.size()), &root);
    ASSERT_TRUE(root) << d;
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    const std::string binary(bytes, length);
    free(bytes);
    const std::string oracle = DumpOracle(root);
    plist_free(root);
    std::string utf16 = test::Utf16(d, seed % 2 == 0, seed % 3 != 0);
    const std::string got[] = {Ours(binary), Ours(utf16)};
    for (const std::string& ours : got) {
      if (ours == oracle) continue;
      ++differing;
      ADD_FAILURE() << "seed " << seed << "\n"
                    << d << "\nours:   " << ours << "\noracle: " << oracle;
    }
  }
}

}  // namespace
}  // namespace tobrine::text
