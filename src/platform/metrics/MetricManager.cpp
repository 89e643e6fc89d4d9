#include "platform/metrics/MetricManager.hpp"

#include "platform/metrics/CrashRecord.hpp"
#include "platform/paths/Paths.hpp"
#include "runtime/Executor.hpp"
#include "runtime/RepeatingTimer.hpp"
#include "runtime/SerialQueue.hpp"

#include <algorithm>
#include <mutex>
#include <optional>

namespace pd::platform::metrics {

struct MetricManager::Impl {
  explicit Impl(Config c) : config(std::move(c)) {}

  // On the thread that adds the first subscriber: the alternate signal stack, which lets the
  // handler run even when that thread's stack overflowed, belongs to the installing thread, and
  // the application subscribes from its main thread.
  void startProducers() {
    if (config.installCrashHandler) {
      try {
        installCrashHandler(config.crashDirectory);
      } catch (const std::exception&) {
        // Without a record folder crashes go unrecorded; the process runs on regardless.
      }
    }
    queue.post([this] {
      std::vector<DiagnosticPayload> payloads;
      for (CrashDiagnostic& crash : collectCrashRecords(config.crashDirectory)) {
        DiagnosticPayload payload;
        payload.timeStampBegin = crash.time;
        payload.timeStampEnd = crash.time;
        payload.crashDiagnostics.push_back(std::move(crash));
        payloads.push_back(std::move(payload));
      }
      if (!payloads.empty()) deliver(payloads);
    });
    timer =
        std::make_unique<runtime::RepeatingTimer>(queue.executor(), config.metricsPeriod, [this] { produceMetrics(); });
    timer->start();
  }

  // On the queue.
  void produceMetrics() {
    MetricPayload payload;
    payload.timeStampBegin = intervalBeganAt;
    payload.atBegin = usageAtBegin;
    payload.timeStampEnd = runtime::Clock::current().wall();
    payload.atEnd = ResourceUsage::current();
    intervalBeganAt = payload.timeStampEnd;
    usageAtBegin = payload.atEnd;
    deliver(std::vector<MetricPayload>{std::move(payload)});
  }

  std::vector<Subscriber*> currentSubscribers() {
    std::scoped_lock lock(mutex);
    return subscribers;
  }
  void deliver(const std::vector<DiagnosticPayload>& payloads) {
    for (Subscriber* subscriber : currentSubscribers()) subscriber->didReceiveDiagnosticPayloads(payloads);
  }
  void deliver(const std::vector<MetricPayload>& payloads) {
    for (Subscriber* subscriber : currentSubscribers()) subscriber->didReceiveMetricPayloads(payloads);
  }

  Config config;
  // Touched only on the queue (the interval is set before the queue runs anything).
  runtime::Clock::WallTime intervalBeganAt = runtime::Clock::current().wall();
  ResourceUsage usageAtBegin; // zero: getrusage counts from the start of the process
  std::mutex mutex;
  std::vector<Subscriber*> subscribers;
  bool producersStarted = false;
  // After the state it works on: the queue is closed and joined before that state goes.
  runtime::SerialQueue queue{"metrics.deliver"};
  std::unique_ptr<runtime::RepeatingTimer> timer;
};

MetricManager::Config MetricManager::standardConfig() {
  Config config;
  if (const auto support = paths::applicationSupportDirectory()) {
    config.crashDirectory = *support / "CrashRecords";
  } else {
    try {
      config.crashDirectory = paths::privateTemporaryDirectory() / "CrashRecords";
    } catch (const std::exception&) {
      config.installCrashHandler = false;
    }
  }
  return config;
}

MetricManager& MetricManager::shared() {
  // Never destroyed: the crash handler and the subscribers live as long as the process.
  static MetricManager* const manager = new MetricManager(standardConfig());
  return *manager;
}

MetricManager::MetricManager(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

MetricManager::~MetricManager() {
  if (impl_->timer) impl_->timer->cancel();
  impl_->queue.shutdown();
}

void MetricManager::add(Subscriber& subscriber) {
  bool start = false;
  {
    std::scoped_lock lock(impl_->mutex);
    if (std::find(impl_->subscribers.begin(), impl_->subscribers.end(), &subscriber) == impl_->subscribers.end()) {
      impl_->subscribers.push_back(&subscriber);
    }
    start = !std::exchange(impl_->producersStarted, true);
  }
  if (start) impl_->startProducers();
}

void MetricManager::remove(Subscriber& subscriber) {
  {
    std::scoped_lock lock(impl_->mutex);
    std::erase(impl_->subscribers, &subscriber);
  }
  // A delivery that copied the list before the removal may still be calling it. Deliveries
  // are short; the bound only keeps a wedged subscriber from hanging its own removal forever.
  impl_->queue.syncWithTimeout([] {}, std::chrono::minutes(1));
}

void MetricManager::deliverMetricsNow() {
  impl_->queue.post([impl = impl_.get()] { impl->produceMetrics(); });
}

bool MetricManager::waitUntilIdle(std::chrono::nanoseconds timeout) {
  return impl_->queue.syncWithTimeout([] {}, timeout);
}

} // namespace pd::platform::metrics
