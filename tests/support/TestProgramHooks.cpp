// Linked into every test program. Each case starts with the process-wide log throttle as a new
// process has it: a line a case waits for is then never held back by what an earlier case
// logged, so the cases of one program pass together, alone and in any order. And the program
// ends the runtime's threads once the last case is done, so that none still runs while static
// objects are destroyed.

#include "diagnostics/LogThrottle.hpp"
#include "runtime/ThreadPools.hpp"

#include <gtest/gtest.h>

namespace {

class TestProgramHooks final : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { pd::diagnostics::LogThrottle::shared().resetAll(); }
  void OnTestProgramEnd(const ::testing::UnitTest&) override { pd::runtime::endThreads(); }
};

// Before main(): GoogleTest's own main runs the cases, and the listeners own what they are given.
[[maybe_unused]] const bool installed = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new TestProgramHooks);
  return true;
}();

} // namespace
