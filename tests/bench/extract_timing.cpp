// The two readings of a 10 MB page with 50,000 manifest links, timed with the
// system tick count (for the Windows builds, which have no benchmark library):
// the markers' reading and the second reading, side by side.
#include <cstdio>

#include "app/install_links.h"
#include "app/lookup.h"
#include "extract_page.h"
#include "runtime/commands.h"
#include "runtime/external.h"

int main() {
  using namespace tobrine;
  CallExternal<winapi::CoInitializeFn>(kExtCoInitialize, nullptr);
  TextValue page = TextValue::FromBytes(bench::ManifestPage());
  for (int run = 1; run <= 3; ++run) {
    uint32_t start = TickCount();
    ArrayValue links = app::MarkerManifestLinks(page);
    const uint32_t markers = TickCount() - start;
    start = TickCount();
    const std::size_t second = app::InstallManifestAddresses(page.view()).size();
    const uint32_t secondTook = TickCount() - start;
    std::printf(
        "run %d, %d bytes: markers' reading %d links in %u ms, second reading %zu links in %u ms\n",
        run, page.size(), links.count(), markers, second, secondTook);
    if (links.count() != bench::kLinks || second != static_cast<std::size_t>(bench::kLinks))
      return 1;
  }
  return 0;
}
