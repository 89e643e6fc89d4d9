// The settings window restarts the real OSC server on a new port and host: liblo's oscsend
// reaches the view model on the new port only.

#include "main/MainWindowTestSupport.hpp"

#include "deckinput/OSCServerService.hpp"
#include "settings/AppSettings.hpp"
#include "ui/settings/AppSettingsView.hpp"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

namespace pd::ui::test {
namespace {

std::string run(const std::string& command) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen((command + " 2>&1").c_str(), "r"), ::pclose);
  std::string out;
  char buffer[4096];
  while (pipe && std::fgets(buffer, sizeof buffer, pipe.get()) != nullptr) out += buffer;
  return out;
}

// A port the kernel hands out now; free again once the socket is closed.
std::uint16_t freeUdpPort() {
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  socklen_t length = sizeof address;
  std::uint16_t port = 0;
  if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  if (fd >= 0) ::close(fd);
  return port;
}

class OSCRestartIntegrationTest : public MainWindowFixture {
protected:
  std::shared_ptr<deckinput::OSCServerService> service = deckinput::OSCServerService::create();
  std::shared_ptr<deckinput::OSCViewModel> model = std::make_shared<deckinput::OSCViewModel>(service, sink);
  AppSettingsView view{*manager, *model, nullptr};
};

TEST_F(OSCRestartIntegrationTest, RestartMovesTheServerToTheNewPortOnAllInterfaces) {
  if (!std::filesystem::exists("/usr/bin/oscsend")) {
    const char* ci = std::getenv("CI");
    if (ci != nullptr && std::string_view(ci) == "true") FAIL() << "oscsend (liblo-tools) is missing";
    GTEST_SKIP() << "oscsend (liblo-tools) is missing";
  }
  const std::uint16_t oldPort = freeUdpPort();
  defaults.set(settings::SettingsKey::oscPort, oldPort);
  model->startServer(settings::AppSettings::oscConfiguration());
  runUntil([&] { return model->serverState.get().isRunning(); });
  view.show();

  std::uint16_t newPort = freeUdpPort();
  while (newPort == oldPort) newPort = freeUdpPort();
  view.portField()->setText(QString::number(newPort));
  const int all = view.hostPicker()->findData(QStringLiteral("0.0.0.0"));
  view.hostPicker()->setCurrentIndex(all);
  view.restartButton()->click();
  runUntil([&] { return model->serverState.get().isRunning() && service->boundPort() == newPort; });
  EXPECT_EQ(view.statusText()->text(), QString("稼働中 0.0.0.0:%1").arg(newPort));
  // This process's sockets only: on a busy machine another program may be handed the freed port.
  const auto ourSockets = [] {
    std::string sockets;
    std::istringstream lines(run("ss -ulnpH"));
    const std::string mine = "pid=" + std::to_string(::getpid()) + ",";
    for (std::string line; std::getline(lines, line);) {
      if (line.find(mine) != std::string::npos) sockets += line + "\n";
    }
    return sockets;
  };
  // The old socket is closed on the receive queue, which may run a moment after the new state
  // is published.
  const std::string oldBinding = ":" + std::to_string(oldPort) + " ";
  std::string sockets = ourSockets();
  for (int attempt = 0; attempt < 100 && sockets.find(oldBinding) != std::string::npos; ++attempt) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    sockets = ourSockets();
  }
  EXPECT_NE(sockets.find("0.0.0.0:" + std::to_string(newPort)), std::string::npos) << sockets;
  EXPECT_EQ(sockets.find(oldBinding), std::string::npos) << sockets;

  run("/usr/bin/oscsend 127.0.0.1 " + std::to_string(oldPort) + " /deck/2/bpm f 99");
  run("/usr/bin/oscsend 127.0.0.1 " + std::to_string(newPort) + " /deck/1/bpm f 128");
  runUntil([&] { return model->deckStates.get().at(1).musicBPM == 128.0F; });
  pump();
  EXPECT_EQ(model->deckStates.get().at(2).musicBPM, 0.0F) << "nothing listens on the old port";
  model->stopServer();
}

} // namespace
} // namespace pd::ui::test
