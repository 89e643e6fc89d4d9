#pragma once

// Keeps the application a single instance per user. At start-up, before any service exists,
// the application takes an exclusive advisory lock on "instance.lock" in its
// application-support folder. A later launch that cannot get it within the lock wait brings
// the running instance to the front through the activation channel, records its terminal mark
// and ends with status 0. Everything here runs on the main thread.

#include "platform/instance/ActivationListener.hpp"
#include "platform/instance/RunningInstance.hpp"

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>

namespace pd::diagnostics::SingleInstanceGuard {

struct Settings {
  // How long a launch retries the lock before it gives up, and how often.
  std::chrono::nanoseconds lockWait = std::chrono::seconds(3);
  std::chrono::nanoseconds retryInterval = std::chrono::milliseconds(100);
  // The whole exchange with the running instance (its process id, then its activation).
  std::chrono::nanoseconds reopenWait = std::chrono::seconds(2);
  // Pauses the calling thread between tries; tests move a manual clock here instead.
  std::function<void(std::chrono::nanoseconds)> sleep;
  // Ends the process after giving up (stderr is flushed first, nothing is torn down);
  // tests observe the status instead.
  std::function<void(int status)> exitProcess;
};

// The settings in force; tests shrink the waits. Not synchronised: main thread only.
Settings& settings();
void resetSettings();

enum class Acquisition {
  acquired, // this process holds the lock (also when it already held it)
  unguarded, // the lock file is unusable; the application runs without the guard
  heldByAnother, // another process kept the lock for the whole wait
};

// Takes the lock or waits for it, without the give-up path. Logs the lock file failures.
Acquisition acquire();

// Returns when this instance may run. When another instance holds the lock, it logs the
// launch abort, brings the other instance to the front, starts the log ring as an aborted
// launch, marks it terminal and ends the process with status 0 (it returns only when a test's
// exitProcess does). The application starts the log ring only after this returns.
void acquireOrExit();

// "instance.lock" in the application-support folder, made if needed; none (logged) when there
// is no such folder or it cannot be made.
std::optional<std::filesystem::path> openLockFile();

// Where the running instance listens for a later launch: "instance.sock" in the user's
// private runtime folder. None when no safe folder can be had.
std::optional<std::filesystem::path> activationSocketPath();

// The running instance that holds the lock, asked on the activation channel; none when
// nobody answers by `deadline` or the answer names this very process.
std::optional<platform::instance::RunningInstance> findIncumbent(runtime::Clock::MonotonicTime deadline);

// Asks the incumbent to come to the front and waits for it until the deadline it was found
// with; a failure is logged. Nothing happens without an incumbent.
void reopenIncumbent(std::optional<platform::instance::RunningInstance>& incumbent);

// The running instance's side: answers later launches, calling `onActivate` on the
// listener's thread. None (logged) when the channel cannot be opened; the application then
// runs on, only without being reachable by a later launch.
std::unique_ptr<platform::instance::ActivationListener> listenForLaterLaunches(std::function<void()> onActivate);

// Gives up the lock held by this process. The application never does (the lock ends with the
// process); tests that play several launches in one process do.
void releaseForTesting();

} // namespace pd::diagnostics::SingleInstanceGuard
