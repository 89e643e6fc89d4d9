#pragma once

// The application's delegate: what happens once launching has finished (thermal-state
// logging, the launch configuration snapshot) and the one way the application ends.

#include "platform/thermal/ThermalMonitor.hpp"

#include <QObject>

#include <boost/signals2/connection.hpp>

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QTimer;

namespace pd::app {

class AppDelegate : public QObject {
  Q_OBJECT

public:
  using ProcessExit = std::function<void(int status)>;

  // `thermalRoot`: the kernel's thermal class folder (tests point it at a fake tree).
  explicit AppDelegate(std::filesystem::path thermalRoot = std::filesystem::path(platform::thermal::kDefaultRoot),
                       QObject* parent = nullptr);
  ~AppDelegate() override;

  // Called once the event loop runs.
  void applicationDidFinishLaunching();
  // Starts the thermal observation and writes the launch lines.
  void configureAfterLaunch();
  // Logs the change from the last seen state to the current one.
  void thermalStateDidChange();
  // Quit, the signals and every other request end here: the relay cache is emptied, the log
  // ring marked terminal, and the process ends with status 0 at once.
  void applicationShouldTerminate();
  // Closing the main window leaves the application running.
  bool applicationShouldTerminateAfterLastWindowClosed() const noexcept { return false; }

  const std::string& lastThermalLabel() const noexcept { return lastThermalLabel_; }
  platform::thermal::ThermalMonitor& thermalMonitor() noexcept { return *thermalMonitor_; }

  // How the process ends: stderr and stdout are flushed and the process exits without
  // running destructors, since windows, servers and threads are left to end with it.
  // Tests install their own and get the status instead.
  static void setProcessExit(ProcessExit exit);
  static void exitProcess(int status);

private:
  std::filesystem::path thermalRoot_;
  std::unique_ptr<platform::thermal::ThermalMonitor> thermalMonitor_;
  std::optional<boost::signals2::scoped_connection> thermalObserver_;
  QTimer* thermalTimer_ = nullptr;
  std::string lastThermalLabel_;
};

} // namespace pd::app
