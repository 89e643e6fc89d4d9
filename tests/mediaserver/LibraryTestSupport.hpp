#pragma once

#include "runtime/TestSupport.hpp"
#include "runtime/ThreadPools.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <thread>

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

// Polls until done holds, for at most limit; whether it holds.
inline bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  const auto until = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < until) std::this_thread::sleep_for(5ms);
  return done();
}

} // namespace pd::mediaserver::test
