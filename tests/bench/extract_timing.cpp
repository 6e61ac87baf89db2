// ExtractAllBetween over a 10 MB page with 50,000 manifest links, timed with the
// system tick count (for the Windows builds, which have no benchmark library).
#include <cstdio>

#include "extract_page.h"
#include "runtime/commands.h"
#include "runtime/external.h"
#include "text/extraction.h"

int main() {
  using namespace tobrine;
  CallExternal<kExtCoInitialize>(nullptr);
  const std::string page = bench::ManifestPage();
  for (int run = 1; run <= 3; ++run) {
    ArrayValue links(ValueKind::kText);
    const uint32_t start = TickCount();
    const int32_t n = text::ExtractAllBetween(page, "download-manifest&url=", ".plist", links);
    const uint32_t took = TickCount() - start;
    std::printf("run %d: %d links from %zu bytes in %u ms\n", run, n, page.size(), took);
    if (n != bench::kLinks) return 1;
  }
  return 0;
}
