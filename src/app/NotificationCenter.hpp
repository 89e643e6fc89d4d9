#pragma once

// The application's in-process notifications: a name posted on the main thread reaches every
// observer of that name, synchronously and in the order they were added.

#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace pd::app {

// Posted before the application relaunches into an update; the main window closes its sheets.
inline constexpr std::string_view kPrepareForTerminationNotification = "Palendrix.prepareForTermination";

class NotificationCenter {
public:
  // Ends an observation when destroyed (or reset).
  class Observation {
  public:
    Observation() = default;
    Observation(Observation&&) noexcept;
    Observation& operator=(Observation&&) noexcept;
    ~Observation();
    void reset();

  private:
    friend class NotificationCenter;
    struct Token;
    explicit Observation(std::shared_ptr<Token> token);
    std::shared_ptr<Token> token_;
  };

  static NotificationCenter& defaultCenter();

  NotificationCenter();
  ~NotificationCenter();
  NotificationCenter(const NotificationCenter&) = delete;
  NotificationCenter& operator=(const NotificationCenter&) = delete;

  // Main thread only.
  [[nodiscard]] Observation addObserver(std::string_view name, std::function<void()> handler);
  void post(std::string_view name);

private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

} // namespace pd::app
