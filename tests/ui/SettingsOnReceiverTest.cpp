// The settings window over a headless Receiver: its instance manager takes the section's saves,
// with every instance host answered by the fake video-API server of tools/fake-remote.

#include "AppTestSupport.hpp"
#include "QtTestEnvironment.hpp"
#include "support/FakeRemote.hpp"
#include "support/LogWindow.hpp"

#include "diagnostics/SingleInstanceGuard.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "receiver/Receiver.hpp"
#include "runtime/MainThread.hpp"
#include "settings/AppSettings.hpp"
#include "ui/settings/AppSettingsView.hpp"
#include "ui/settings/InvidiousSettingsSection.hpp"

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace pd::ui::test {
namespace {

using namespace std::chrono_literals;

class SettingsOnReceiverTest : public ::testing::Test {
protected:
  SettingsOnReceiverTest() {
    platform::log::setStderrEnabled(false);
    diagnostics::SingleInstanceGuard::resetSettings();
    diagnostics::SingleInstanceGuard::settings().exitProcess = [](int status) {
      FAIL() << "the instance guard ended the process with " << status;
    };
    receiver::Receiver::Dependencies dependencies;
    dependencies.drainMainThread = [this] { loop.poll(); };
    receiver = std::make_unique<receiver::Receiver>(std::move(dependencies));
  }
  ~SettingsOnReceiverTest() override {
    view.reset();
    // The section's saves run to the end before the core goes.
    runUntil([&] { return saves >= expectedSaves; });
    receiver.reset();
    platform::log::setStderrEnabled(true);
  }

  void runUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 20s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    loop.restart();
    while (!done()) {
      if (std::chrono::steady_clock::now() > deadline) throw std::runtime_error("condition not reached in time");
      loop.run_one_for(5ms);
      if (loop.stopped()) loop.restart();
    }
  }
  std::vector<std::string> saveLines() const {
    std::vector<std::string> lines;
    for (const auto& line : log.lines()) {
      if (line.starts_with("user_instances_update") || line.starts_with("default_fallback_set")) lines.push_back(line);
    }
    return lines;
  }

  pd::testing::XdgSandbox sandbox;
  pd::testing::FakeRemote fake{{"--name", "host.example"}};
  pd::testing::ScopedEnvironment connectTo{"PALENDRIX_HTTP_CONNECT_TO",
                                           ":443:127.0.0.1:" + std::to_string(fake.httpsPort()) +
                                               ",:80:127.0.0.1:" + std::to_string(fake.httpPort())};
  pd::testing::ScopedEnvironment extraCA{"PALENDRIX_HTTP_EXTRA_CA", fake.caFile()};
  platform::UserDefaults defaults; // in memory
  platform::ScopedStandardUserDefaults useDefaults{defaults};
  boost::asio::io_context loop;
  runtime::MainThread::Installation installation = runtime::MainThread::installIoContext(loop);
  pd::testing::LogWindow log;
  std::unique_ptr<receiver::Receiver> receiver;
  std::unique_ptr<AppSettingsView> view;
  std::size_t saves = 0;
  std::size_t expectedSaves = 0;
};

TEST_F(SettingsOnReceiverTest, TheSectionSavesThroughTheReceiversManagerInTheOrderMade) {
  view = std::make_unique<AppSettingsView>(receiver->connectionManager(), receiver->oscViewModel(),
                                           receiver->sharedInstanceManager());
  view->show();
  InvidiousSettingsSection* section = view->invidiousSection();
  runUntil([&] { return section->isLoaded(); });

  section->hostField()->setText("HTTPS://Host.Example//");
  section->addButton()->click();
  for (int i = 0; i < 5; ++i) section->fallbackToggle()->click();
  expectedSaves = 6;
  runUntil([&] { return (saves = saveLines().size()) >= expectedSaves; });

  EXPECT_EQ(saveLines(),
            (std::vector<std::string>{"user_instances_update count=1", "default_fallback_set enabled=false",
                                      "default_fallback_set enabled=true", "default_fallback_set enabled=false",
                                      "default_fallback_set enabled=true", "default_fallback_set enabled=false"}));
  EXPECT_EQ(defaults.object(settings::SettingsKey::invidiousUserInstances),
            nlohmann::json::parse(R"([{"host":"host.example","proxy":"auto"}])"));
  EXPECT_EQ(defaults.object(settings::SettingsKey::invidiousDefaultFallbackEnabled), nlohmann::json(false));
  // Each save's health check asked the new host, through the fake.
  bool probed = false;
  for (const auto& request : fake.requests()) {
    probed = probed || request["host"] == "host.example";
  }
  EXPECT_TRUE(probed);
}

} // namespace
} // namespace pd::ui::test
