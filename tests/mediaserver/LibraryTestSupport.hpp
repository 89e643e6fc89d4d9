#pragma once

#include "runtime/TestSupport.hpp"
#include "runtime/ThreadPools.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace pd::mediaserver::test {

using namespace std::chrono_literals;

// Runs body as a task on the shared pool and blocks until it ends: its value, or its error.
template <typename F>
auto awaitTask(F body, std::chrono::milliseconds limit = 30s) {
  auto task = runtime::spawn(runtime::sharedPool().executor(), std::move(body));
  if (!runtime::test::waitUntilFinished(task, limit)) {
    throw std::runtime_error("task did not finish in time");
  }
  return task.state()->result();
}

} // namespace pd::mediaserver::test
