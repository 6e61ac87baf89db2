// Every reader of pages and manifests takes time linear in the page, on pages
// generated from its own search literals (linear_pages.h): 4 times the page may
// take at most 6 times as long (a quadratic reader takes 16), and a growth past
// 6 must stay past 8 at larger sizes to count. Small sizes here; `make bench`
// times sizes that hurt.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "linear_pages.h"
#include "test_platform.h"

namespace tobrine::test {
namespace {

// Times are taken in the Linux release build, where `make test` runs these
// tests on their own: the sanitizers' allocator costs more per byte for a large
// block than for a small one (fresh pages, its quarantine), which makes the time
// grow faster than the work at these sizes, and the readers are the same code
// in every build.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr const char* kTimedElsewhere =
    "timed in the Linux release build (ctest --preset host-release-timing): the sanitizers' "
    "allocator and Wine's timers make time grow unevenly at these sizes, and the readers are the "
    "same code in every build";

// Each run of a literal is about this long at k, in a page of at least 16 KiB.
constexpr std::size_t kRunBytes = 512;
constexpr std::size_t kPageBytes = 16 << 10;
// Each time is the fastest of two rounds of at least this many seconds.
constexpr double kLeastSeconds = 0.0003;
constexpr double kMostRatio = 6;

// The literals of a reader's sources, each once.
std::vector<std::string> ReaderLiterals(const TimedReader& reader) {
  std::vector<std::string> literals;
  for (const char* source : reader.sources) {
    const std::optional<std::string> text =
        ReadHostFile(std::string(TOBRINE_SOURCE_DIR) + "/" + source);
    EXPECT_TRUE(text) << source << " is where " << reader.name << " is expected to be";
    for (std::string& l : LiteralsOf(text.value_or("")))
      if (std::find(literals.begin(), literals.end(), l) == literals.end())
        literals.push_back(std::move(l));
  }
  return literals;
}

// A growth past the bound is timed again, more carefully, at 4 and 16 times the
// size, and counts when it stays past kConfirmRatio at both: quadratic work
// grows by 16 at every size, while a cache, the allocator or a busy machine make
// times grow unevenly (a page of megabytes beside two busy builds grew by 6.3).
// 8 lies halfway between linear (4) and quadratic (16) on a log scale.
constexpr std::size_t kAgainScales[] = {4, 16};
constexpr double kConfirmRatio = 8;

// Whether a growth past the bound stays past kConfirmRatio when `again` times
// it at each of kAgainScales; `last` is the growth that decided.
template <typename Again>
bool StaysPast(Growth& last, const Again& again) {
  if (last.ratio() <= kMostRatio) return false;
  for (std::size_t scale : kAgainScales) {
    last = again(scale);
    if (last.ratio() <= kConfirmRatio) return false;
  }
  return true;
}

class LinearTime : public testing::TestWithParam<std::size_t> {};

TEST_P(LinearTime, FourTimesThePageAtMostSixTimesTheTime) {
  if (kSanitized || kUnderWine) GTEST_SKIP() << kTimedElsewhere;
  const TimedReader reader = TimedReaders()[GetParam()];
  const std::vector<std::string> literals = ReaderLiterals(reader);
  ASSERT_GE(literals.size(), 8u) << reader.name;
  Growth worst;
  int pages = 0;
  TimeReader(
      reader, literals, kRunBytes, kPageBytes, kLeastSeconds,
      [&](const Growth& g, const TimeAgain& again) {
        ++pages;
        Growth last = g;
        if (StaysPast(last, [&](std::size_t scale) { return again(scale, 4 * kLeastSeconds, 3); }))
          ADD_FAILURE() << last.what << ": " << last.small * 1e3 << " ms, at 4 times the "
                        << "page " << last.large * 1e3 << " ms (" << last.bytes << " bytes)";
        if (last.ratio() > worst.ratio()) worst = last;
      });
  std::printf("%s: %d pages, the largest growth %.1fx (%s: %.3f -> %.3f ms)\n", reader.name, pages,
              worst.ratio(), worst.what.c_str(), worst.small * 1e3, worst.large * 1e3);
}

TEST(LinearTime, BinaryPropertyList) {
  if (kSanitized || kUnderWine) GTEST_SKIP() << kTimedElsewhere;
  const auto read = [](std::string_view d) -> std::size_t {
    return text::ReadBinaryPropertyList(d) ? 1 : 0;
  };
  constexpr std::size_t kObjects = 2000;
  const auto time = [&](std::size_t i, std::size_t scale, double least, int rounds) {
    return TimeGrowth(read, BinaryHostileDocuments(kObjects * scale)[i].second,
                      BinaryHostileDocuments(4 * kObjects * scale)[i].second, least, rounds);
  };
  const auto documents = BinaryHostileDocuments(kObjects);
  for (std::size_t i = 0; i < documents.size(); ++i) {
    Growth g = time(i, 1, kLeastSeconds, 2);
    EXPECT_FALSE(
        StaysPast(g, [&](std::size_t scale) { return time(i, scale, 4 * kLeastSeconds, 3); }))
        << documents[i].first << ": " << g.small * 1e3 << " ms, " << g.large * 1e3
        << " ms at 4 times the objects";
  }
}

INSTANTIATE_TEST_SUITE_P(Readers, LinearTime, testing::Range(std::size_t{0}, TimedReaders().size()),
                         [](const testing::TestParamInfo<std::size_t>& info) {
                           std::string name;
                           for (char c : std::string(TimedReaders()[info.param].name))
                             if (std::isalnum(static_cast<unsigned char>(c))) name += c;
                           return name;
                         });

}  // namespace
}  // namespace tobrine::test
