// ExtractAllBetween over a 10 MB page with 50,000 manifest links, timed in
// process on both builds (the Windows builds have no benchmark library).
//
//   extract_timing [--page FILE] [--runs N]
//
// --page writes the page to FILE first, so that another program can search the
// very same bytes. Prints one line per run, then "first <ms> best <ms>".
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "extract_page.h"
#include "runtime/external.h"
#include "text/extraction.h"

namespace {

double Milliseconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

bool WritePage(const char* path, const std::string& page) {
  std::FILE* f = std::fopen(path, "wb");
  if (!f) return false;
  const bool ok = std::fwrite(page.data(), 1, page.size(), f) == page.size();
  return std::fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tobrine;
  const char* pagePath = nullptr;
  int runs = 3;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--page") == 0) pagePath = argv[i + 1];
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
  }
  // COM stays initialised for the run, as on the program's GUI thread.
  CallExternal<winapi::CoInitializeFn>(kExtCoInitialize, nullptr);
  const std::string page = bench::ManifestPage();
  if (pagePath && !WritePage(pagePath, page)) {
    std::fprintf(stderr, "cannot write %s\n", pagePath);
    return 2;
  }
  double first = 0, best = 0;
  for (int run = 1; run <= runs; ++run) {
    ArrayValue links(ValueKind::kText);
    const double start = Milliseconds(CLOCK_MONOTONIC);
    const int32_t n = text::ExtractAllBetween(page, "download-manifest&url=", ".plist", links);
    const double took = Milliseconds(CLOCK_MONOTONIC) - start;
    std::printf("run %d: %d links from %zu bytes in %.2f ms\n", run, n, page.size(), took);
    if (n != bench::kLinks) return 1;
    if (run == 1) first = best = took;
    if (took < best) best = took;
  }
  std::printf("first %.2f best %.2f\n", first, best);
  return 0;
}
