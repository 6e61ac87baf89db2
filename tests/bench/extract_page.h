// The benchmark page: about 10 MB of markup holding 50,000 manifest links, one
// per line among filler lines.
#pragma once

#include <string>

namespace tobrine::bench {

inline constexpr int kLinks = 50000;

inline std::string ManifestPage() {
  std::string page;
  page.reserve(10'500'000);
  const std::string filler(56, 'x');
  for (int i = 0; i < kLinks; ++i) {
    page += "<div class=\"app\"><p>" + filler + "</p>\n";
    page +=
        "<a "
        "href=\"itms-services://?action=download-manifest&url=https://host.example/plists/apps/" +
        std::to_string(i) + ".plist\">install</a></div>\n";
  }
  return page;
}

}  // namespace tobrine::bench
