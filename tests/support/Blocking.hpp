#pragma once

// Runs a coroutine body as a task on the shared pool and blocks the test thread for its outcome.

#include "runtime/Task.hpp"
#include "runtime/TestSupport.hpp"
#include "runtime/ThreadPools.hpp"

#include <chrono>
#include <stdexcept>

namespace pd::testing {

template <typename F>
auto runBlocking(F body, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  auto task = runtime::spawn(runtime::sharedPool().executor(), std::move(body));
  if (!runtime::test::waitUntilFinished(task, limit)) throw std::runtime_error("task did not finish in time");
  return task.state()->result();
}

} // namespace pd::testing
