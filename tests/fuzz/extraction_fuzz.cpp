// Fuzz target: ExtractAllBetween against the regular-expression route it
// replaced. Every input must give the same pieces both ways; a difference aborts.
//
// Byte 0 and byte 1 give the lengths of the left and the right marker (each 0-7),
// then come the two markers and the page.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "regex_route.h"
#include "runtime/external.h"

using namespace tobrine;

namespace {

void Report(const char* what, const std::vector<std::string>& pieces) {
  std::fprintf(stderr, "%s: %zu pieces\n", what, pieces.size());
  for (const auto& p : pieces) std::fprintf(stderr, "  [%s]\n", p.c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  // COM stays initialised for the run, as on the program's GUI thread.
  static const bool com = (CallExternal<kExtCoInitialize>(nullptr), true);
  (void)com;
  if (size < 2) return 0;
  const std::size_t leftSize = data[0] % 8, rightSize = data[1] % 8;
  if (size < 2 + leftSize + rightSize) return 0;
  const std::string_view all(reinterpret_cast<const char*>(data), size);
  std::string_view left = all.substr(2, leftSize);
  std::string_view right = all.substr(2 + leftSize, rightSize);
  const std::string_view page = all.substr(2 + leftSize + rightSize);
  left = left.substr(0, left.find('\0'));
  right = right.substr(0, right.find('\0'));
  // Markers the route would read as other characters are not comparable.
  if (!test::EscapesAsRead(left) || !test::EscapesAsRead(right)) return 0;

  const std::vector<std::string> want = test::RegexRoutePieces(page, left, right);
  std::vector<std::string> got = test::ExtractedPieces(page, left, right);
  for (auto& piece : got) piece = test::LoneLeadsAsQuestionMarks(piece);
  if (got != want) {
    Report("regular expression", want);
    Report("ExtractAllBetween", got);
    __builtin_trap();
  }
  return 0;
}
