#pragma once

// The metrics layer: delivers diagnostic payloads (crashes of earlier runs) and metric
// payloads (resource use) to its subscribers, on a queue of its own.
//
// Adding the first subscriber starts the producers: the crash handler is installed, the
// records that earlier processes left are turned into one delivery of diagnostic payloads, and
// a metric payload follows every metricsPeriod. Subscribers are called on the delivery queue,
// one delivery at a time, and never under a lock of the manager.

#include "platform/metrics/Payloads.hpp"

#include <chrono>
#include <filesystem>
#include <memory>
#include <vector>

namespace pd::platform::metrics {

class Subscriber {
public:
  virtual ~Subscriber() = default;
  virtual void didReceiveDiagnosticPayloads(const std::vector<DiagnosticPayload>& payloads) = 0;
  virtual void didReceiveMetricPayloads(const std::vector<MetricPayload>& payloads) = 0;
};

class MetricManager {
public:
  struct Config {
    std::filesystem::path crashDirectory;
    // Daily, as resource metrics are usually summarised; a run shorter than this gets none.
    std::chrono::nanoseconds metricsPeriod = std::chrono::hours(24);
    // Tests that run in a shared process leave the process's signal handling alone.
    bool installCrashHandler = true;
  };

  // "CrashRecords" in the application's data folder (the private temporary folder without one).
  static Config standardConfig();
  static MetricManager& shared();

  explicit MetricManager(Config config);
  // Stops the producers and waits for a delivery in progress.
  ~MetricManager();
  MetricManager(const MetricManager&) = delete;
  MetricManager& operator=(const MetricManager&) = delete;

  // The subscriber must stay alive until it is removed (or the manager is gone). The first
  // call installs the crash handler on the calling thread: make it from the main thread.
  void add(Subscriber& subscriber);
  // After this returns the subscriber is not called any more.
  void remove(Subscriber& subscriber);

  // Produces a metric payload for the interval since the last one, at once (the period's
  // timer does the same).
  void deliverMetricsNow();
  // Waits until the work queued so far has been delivered; false on time-out.
  bool waitUntilIdle(std::chrono::nanoseconds timeout);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::platform::metrics
