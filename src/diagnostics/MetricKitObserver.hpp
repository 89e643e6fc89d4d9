#pragma once

// Receives the diagnostic and metric payloads of the metrics layer, writes a summary line for
// each and keeps each payload's JSON as a file in the "diagnostics" folder of the log ring's
// root, the 20 newest of both kinds together. The log export adds these files to its output.

#include "platform/metrics/MetricManager.hpp"
#include "runtime/Clock.hpp"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pd::diagnostics {

class MetricKitObserver final : public platform::metrics::Subscriber {
public:
  static constexpr std::size_t kKeptPayloads = 20;

  // The process's observer: "diagnostics" in the root of LogRing::shared(), the shared manager.
  static MetricKitObserver& shared();

  MetricKitObserver(std::filesystem::path directory, platform::metrics::MetricManager& manager,
                    std::size_t keep = kKeptPayloads);
  // Unsubscribes and waits for the stores already queued.
  ~MetricKitObserver() override;
  MetricKitObserver(const MetricKitObserver&) = delete;
  MetricKitObserver& operator=(const MetricKitObserver&) = delete;

  // Adds the observer to its manager, which starts the producers. Later calls do nothing.
  void subscribe();
  bool isSubscribed() const noexcept;

  // Called by the manager on its delivery queue.
  void didReceiveDiagnosticPayloads(const std::vector<platform::metrics::DiagnosticPayload>& payloads) override;
  void didReceiveMetricPayloads(const std::vector<platform::metrics::MetricPayload>& payloads) override;

  // Queues the writing of one payload file ("diagnostic" or "metrics") and the pruning after it.
  void storeDiagnostic(std::string kind, std::string json);
  // Keeps the newest files by creation date; queued like the stores.
  void pruneDiagnostics();
  // Waits until the file work queued so far is done; false on time-out.
  bool waitUntilIdle(std::chrono::nanoseconds timeout) const;

  const std::filesystem::path& directory() const noexcept;

  struct StoredFile {
    std::filesystem::path path;
    std::optional<runtime::Clock::WallTime> created;
  };
  // What a prune removes: all but the `keep` newest by creation. A date that cannot be read, or
  // that lies after `now` (the clock was set back since), counts as the most distant past.
  static std::vector<std::filesystem::path> filesToPrune(std::vector<StoredFile> files, runtime::Clock::WallTime now,
                                                         std::size_t keep);

  // kind + "-" + local time as yyyyMMdd-HHmmss-SSS + ".json"; with a collision number n > 0,
  // "_NNN" before ".json", so that names still sort in the order of storing.
  static std::string fileName(std::string_view kind, runtime::Clock::WallTime time, int collision = 0);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::diagnostics
