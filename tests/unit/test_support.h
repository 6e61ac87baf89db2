// Helpers shared by the unit tests.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "runtime/fatal.h"

namespace tobrine::test {

// A fatal report ends the process with -1, which a Linux exit status shows as 255.
#ifdef _WIN32
inline constexpr int kFatalStatus = -1;
#else
inline constexpr int kFatalStatus = 255;
#endif

inline testing::ExitedWithCode EndsFatally() {
  return testing::ExitedWithCode(kFatalStatus);
}

// An upper bound on a wall-clock time only guards against a hang: ten times what
// the case takes on an idle machine, so that a busy one (two cores, sanitizers,
// builds beside it) never trips it. Figures that need a quiet machine belong in
// `make bench`; a test counts or compares instead.
inline constexpr uint32_t HangGuardMs(uint32_t idleMs) {
  return 10 * idleMs;
}

// The exact dialog text of a report, as the death tests see it on standard error.
inline std::string ReportText(std::string_view message, int code) {
  return ComposeRuntimeErrorText(message, code);
}

}  // namespace tobrine::test
