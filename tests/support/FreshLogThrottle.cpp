// Every test case starts with the process-wide log throttle as a new process has it: a line a
// case waits for is then never held back by what an earlier case logged, so the cases of one
// program pass together, alone and in any order.

#include "diagnostics/LogThrottle.hpp"

#include <gtest/gtest.h>

namespace {

class FreshLogThrottle final : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { pd::diagnostics::LogThrottle::shared().resetAll(); }
};

// Before main(): GoogleTest's own main runs the cases, and the listeners own what they are given.
[[maybe_unused]] const bool installed = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshLogThrottle);
  return true;
}();

} // namespace
