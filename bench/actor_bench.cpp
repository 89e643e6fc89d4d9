// Round trip of an actor call from a task on another executor: the hop onto the actor's strand
// and the result's way back, which request paths pay on every call.
#include "runtime/Actor.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/ThreadPools.hpp"

#include <benchmark/benchmark.h>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <memory>

namespace {

using namespace pd;

class Counter : public runtime::Actor {
public:
  runtime::Awaitable<int> next() {
    return onActor([this] { return ++count_; });
  }

private:
  int count_ = 0;
};

constexpr int kCallsPerTask = 1000;

void BM_ActorRoundTrip(benchmark::State& state) {
  boost::asio::io_context context;
  auto guard = boost::asio::make_work_guard(context);
  auto installation = runtime::MainThread::installIoContext(context);
  auto counter = std::make_shared<Counter>();
  for (auto _ : state) {
    auto task = runtime::spawn(runtime::MainThread::executor(), [counter]() -> runtime::Awaitable<int> {
      int last = 0;
      for (int i = 0; i < kCallsPerTask; ++i) {
        last = co_await counter->next();
      }
      co_return last;
    });
    while (!task.isFinished()) {
      context.run_one();
    }
    benchmark::DoNotOptimize(task.state()->result());
  }
  state.SetItemsProcessed(state.iterations() * kCallsPerTask);
}
BENCHMARK(BM_ActorRoundTrip)->UseRealTime();

} // namespace

BENCHMARK_MAIN();
