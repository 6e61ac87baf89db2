// Every reader of pages and manifests on the hostile pages of the unit tests'
// timing (tests/unit/linear_pages.h), at sizes that hurt: each run about
// RUN_BYTES long at k (4 KiB), pages of at least PAGE_BYTES (64 KiB), and 4
// times that at 4k; a quadratic reader takes seconds on such a page.
// A growth past 6 is timed again at 4 times the size.
//
//   reader_timing SOURCE_TREE [RUN_BYTES [PAGE_BYTES]]
//
// Prints one line per reader: "reader<TAB>pages<TAB>largest growth<TAB>seconds at
// k<TAB>seconds at 4k<TAB>bytes at 4k<TAB>where", and exits 1 when a growth
// stays past 6.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "linear_pages.h"

namespace {

using namespace tobrine::test;

constexpr double kMostRatio = 6;
// Each time is the fastest of two rounds of at least this long: the first call
// on a page of megabytes pays for fresh memory.
constexpr double kLeastSeconds = 0.002;

std::vector<std::string> LiteralsOfFiles(const std::string& tree, const TimedReader& reader) {
  std::vector<std::string> literals;
  for (const char* source : reader.sources) {
    std::ifstream in(tree + "/" + source, std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "cannot read %s/%s\n", tree.c_str(), source);
      std::exit(2);
    }
    std::stringstream text;
    text << in.rdbuf();
    for (std::string& l : LiteralsOf(text.str()))
      if (std::find(literals.begin(), literals.end(), l) == literals.end())
        literals.push_back(std::move(l));
  }
  return literals;
}

void Print(const char* name, int pages, const Growth& worst) {
  std::printf("%s\t%d\t%.2f\t%.6f\t%.6f\t%zu\t%s\n", name, pages, worst.ratio(), worst.small,
              worst.large, worst.bytes, worst.what.c_str());
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: reader_timing SOURCE_TREE [RUN_BYTES [PAGE_BYTES]]\n");
    return 2;
  }
  const std::string tree = argv[1];
  const std::size_t runBytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 4096;
  const std::size_t pageBytes = argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 64 << 10;
  bool slow = false;
  for (const TimedReader& reader : TimedReaders()) {
    Growth worst;
    int pages = 0;
    TimeReader(reader, LiteralsOfFiles(tree, reader), runBytes, pageBytes, kLeastSeconds,
               [&](const Growth& g, const TimeAgain& again) {
                 ++pages;
                 const Growth last = g.ratio() > kMostRatio ? again(4, 5 * kLeastSeconds, 3) : g;
                 if (last.ratio() > worst.ratio()) worst = last;
               });
    slow = slow || worst.ratio() > kMostRatio;
    Print(reader.name, pages, worst);
  }
  // The binary form: about runBytes / 8 objects at k.
  const auto read = [](std::string_view d) -> std::size_t {
    return tobrine::text::ReadBinaryPropertyList(d) ? 1 : 0;
  };
  const std::size_t objects = std::max<std::size_t>(1, pageBytes / 8);
  const auto small = BinaryHostileDocuments(objects), large = BinaryHostileDocuments(4 * objects);
  Growth worst;
  for (std::size_t i = 0; i < small.size(); ++i) {
    Growth g = TimeGrowth(read, small[i].second, large[i].second, kLeastSeconds, 2);
    g.what = "binary property list: " + small[i].first;
    if (g.ratio() > worst.ratio()) worst = g;
  }
  slow = slow || worst.ratio() > kMostRatio;
  Print("binary property list", static_cast<int>(small.size()), worst);
  return slow ? 1 : 0;
}
