// One whole lookup without a window, timed in process on both builds (the
// Windows builds have no command line of their own): the page, its manifests
// several at a time, and every package row.
//
//   lookup_timing URL
//
// Prints "rows <n> ms <t>": the rows the lookup gave and how long it took.
#include <time.h>

#include <cstdio>

#include "lookup/lookup.h"
#include "runtime/external.h"

namespace {

double Milliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tobrine;
  if (argc != 2) {
    std::fputs("usage: lookup_timing URL\n", stderr);
    return 2;
  }
  // COM stays initialised for the run, as on the program's GUI thread.
  CallExternal<kExtCoInitialize>(nullptr);
  long rows = 0;
  const double start = Milliseconds();
  lookup::LookUpPackages(TextValue::FromBytes(argv[1]),
                         [&rows](const lookup::PackageRow&) { ++rows; });
  const double took = Milliseconds() - start;
  std::printf("rows %ld ms %.1f\n", rows, took);
  return 0;
}
