// Helpers shared by the unit tests.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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

// The exact dialog text of a report, as the death tests see it on standard error.
inline std::string ReportText(std::string_view message, int code) {
  return ComposeRuntimeErrorText(message, code);
}

}  // namespace tobrine::test
