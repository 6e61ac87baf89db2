// The two readings of a 10 MB page with 50,000 manifest links (Google Benchmark):
// ExtractAllBetween alone, the markers' whole reading, and the second reading.
#include <benchmark/benchmark.h>

#include "extract_page.h"
#include "lookup/install_links.h"
#include "lookup/lookup.h"
#include "runtime/external.h"
#include "text/extraction.h"

namespace tobrine {
namespace {

void BM_ExtractAllBetween(benchmark::State& state) {
  const std::string page = bench::ManifestPage();
  for (auto _ : state) {
    ArrayValue links(ValueKind::kText);
    const int32_t n = text::ExtractAllBetween(page, "download-manifest&url=", ".plist", links);
    if (n != bench::kLinks) state.SkipWithError("wrong number of links");
    benchmark::DoNotOptimize(n);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_ExtractAllBetween)->Unit(benchmark::kMillisecond);

void BM_MarkersReading(benchmark::State& state) {
  TextValue page = TextValue::FromBytes(bench::ManifestPage());
  for (auto _ : state) {
    const auto links = lookup::MarkerManifestLinks(page);
    if (links.count() != bench::kLinks) state.SkipWithError("wrong number of links");
    benchmark::DoNotOptimize(links.count());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * page.size());
}
BENCHMARK(BM_MarkersReading)->Unit(benchmark::kMillisecond);

void BM_SecondReading(benchmark::State& state) {
  const std::string page = bench::ManifestPage();
  for (auto _ : state) {
    const std::vector<std::string> links = lookup::InstallManifestAddresses(page);
    if (links.size() != static_cast<std::size_t>(bench::kLinks))
      state.SkipWithError("wrong number of links");
    benchmark::DoNotOptimize(links.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_SecondReading)->Unit(benchmark::kMillisecond);

// A page of 60 MiB markup without a single link: what a large page costs each
// reading when there is nothing to find.
const std::string& BigPage() {
  static const std::string page = [] {
    const std::string line =
        "<div class=\"row\"><span>plain text without any address in it, repeated line after "
        "line</span></div>\n";
    std::string p = "<html><body>\n";
    while (p.size() + line.size() <= (std::size_t{60} << 20)) p += line;
    return p;
  }();
  return page;
}

void BM_BigPageMarkersReading(benchmark::State& state) {
  TextValue page = TextValue::FromBytes(BigPage());
  for (auto _ : state) {
    const auto links = lookup::MarkerManifestLinks(page);
    if (links.count() != 0) state.SkipWithError("a link where there is none");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * page.size());
}
BENCHMARK(BM_BigPageMarkersReading)->Unit(benchmark::kMillisecond);

void BM_BigPageSecondReading(benchmark::State& state) {
  const std::string& page = BigPage();
  for (auto _ : state) {
    if (!lookup::InstallManifestAddresses(page).empty())
      state.SkipWithError("a link where there is none");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(page.size()));
}
BENCHMARK(BM_BigPageSecondReading)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tobrine

int main(int argc, char** argv) {
  // COM stays initialised for the run, as on the program's GUI thread.
  tobrine::CallExternal<tobrine::kExtCoInitialize>(nullptr);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
