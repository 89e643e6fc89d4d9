// The settings window over a headless Receiver: its instance manager takes the section's saves,
// and the broadcaster the Receiver makes answers the tablet's API after the view's changes,
// without a restart. Every video-API host is answered by the fake of tools/fake-remote.

#include "AppTestSupport.hpp"
#include "QtTestEnvironment.hpp"
#include "sender/NamespaceRemote.hpp"
#include "support/CurlGet.hpp"
#include "support/FakeRemote.hpp"
#include "support/LogWindow.hpp"

#include "diagnostics/SingleInstanceGuard.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "receiver/Receiver.hpp"
#include "relay/RelayDiskCache.hpp"
#include "remotesource/VideoCDN.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/Task.hpp"
#include "sender/LocalVideoBroadcaster.hpp"
#include "settings/AppSettings.hpp"
#include "ui/settings/AppSettingsView.hpp"
#include "ui/settings/InvidiousSettingsSection.hpp"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>

#include <boost/asio/io_context.hpp>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <deque>
#include <future>
#include <map>
#include <random>

namespace pd::ui::test {
namespace {

using namespace std::chrono_literals;

class SettingsOnReceiverTest : public ::testing::Test {
protected:
  // Where the fake stands. On loopback, the environment's connect-to hook sends every host to it.
  // Inside tools/testenv/netns-run.sh it listens on 3fff::10, which the relay's address policy
  // counts as remote, at the standard ports under the names of tests/sender/netns/hosts, so the
  // Receiver reaches it as it would a real server.
  enum class Remote { loopback, inNamespace };

  SettingsOnReceiverTest() {
    platform::log::setStderrEnabled(false);
    diagnostics::SingleInstanceGuard::resetSettings();
    diagnostics::SingleInstanceGuard::settings().exitProcess = [](int status) {
      FAIL() << "the instance guard ended the process with " << status;
    };
  }
  ~SettingsOnReceiverTest() override {
    view.reset();
    // The section's saves run to the end before the core goes.
    if (receiver) runUntil([&] { return saves >= expectedSaves; });
    receiver.reset();
    diagnostics::SingleInstanceGuard::releaseForTesting();
    diagnostics::SingleInstanceGuard::resetSettings();
    platform::log::setStderrEnabled(true);
  }

  void SetUp() override { start(Remote::loopback); }

  void start(Remote where) {
    if (where == Remote::loopback) {
      fake.emplace(std::vector<std::string>{"--name", "host.example"});
      connectTo.emplace("PALENDRIX_HTTP_CONNECT_TO", ":443:127.0.0.1:" + std::to_string(fake->httpsPort()) +
                                                         ",:80:127.0.0.1:" + std::to_string(fake->httpPort()));
    } else {
      fake.emplace(std::vector<std::string>{"--bind", "3fff::10", "--name", "r4---sn-fake01.cdn.test", "--https-port",
                                            "443", "--http-port", "80"});
      connectTo.emplace("PALENDRIX_HTTP_CONNECT_TO", std::nullopt);
    }
    extraCA.emplace("PALENDRIX_HTTP_EXTRA_CA", fake->caFile());
    receiver::Receiver::Dependencies dependencies;
    dependencies.drainMainThread = [this] { loop.poll(); };
    receiver = std::make_unique<receiver::Receiver>(std::move(dependencies));
  }

  // Searches and lookups go to this instance alone, the fake's.
  void useOnlyInstance(const std::string& host) {
    defaults.setObject(settings::SettingsKey::invidiousUserInstances,
                       nlohmann::json::array({{{"host", host}, {"proxy", "auto"}}}));
    defaults.setObject(settings::SettingsKey::invidiousDefaultFallbackEnabled, false);
  }

  // The view as the application makes it, with the folder dialog answered by `chosenFolders`.
  void makeView() {
    AppSettingsView::Dependencies dependencies;
    dependencies.chooseSearchFolder = [this](QWidget*) -> std::optional<std::filesystem::path> {
      if (chosenFolders.empty()) return std::nullopt;
      auto folder = chosenFolders.front();
      chosenFolders.pop_front();
      return folder;
    };
    view = std::make_unique<AppSettingsView>(receiver->connectionManager(), receiver->oscViewModel(),
                                             receiver->sharedInstanceManager(), std::move(dependencies));
    view->show();
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
  void runFor(std::chrono::milliseconds duration) {
    const auto until = std::chrono::steady_clock::now() + duration;
    runUntil([&] { return std::chrono::steady_clock::now() >= until; }, duration + 5s);
  }
  std::vector<std::string> saveLines() const {
    std::vector<std::string> lines;
    for (const auto& line : log.lines()) {
      if (line.starts_with("user_instances_update") || line.starts_with("default_fallback_set")) lines.push_back(line);
    }
    return lines;
  }

  // The Receiver's HTTP server as the tablet reaches it: its port, with the broadcaster made.
  std::string serverBase() {
    auto& server = receiver->localVideoBroadcaster().httpServer();
    auto port = std::make_shared<std::uint16_t>(0);
    runtime::spawnDetached(runtime::MainThread::executor(),
                           [&server, port]() -> runtime::Awaitable<void> { *port = co_await server.ensureReady(); });
    runUntil([&] { return *port != 0; });
    return "http://127.0.0.1:" + std::to_string(*port);
  }
  // One API request under the session token the broadcaster announces; curl runs beside the
  // main loop, which the server's work may need.
  std::pair<std::string, std::string> get(const std::string& url) {
    auto answer = std::async(std::launch::async, [url] { return pd::testing::curlGet(url); });
    runUntil([&] { return answer.wait_for(0s) == std::future_status::ready; }, 60s);
    return answer.get();
  }
  std::pair<std::string, std::string> api(const std::string& base, const std::string& routeAndQuery) {
    return get(base + "/" + routeAndQuery + "&s=" + receiver->localVideoBroadcaster().sessionToken());
  }

  pd::testing::XdgSandbox sandbox;
  std::optional<pd::testing::FakeRemote> fake;
  std::optional<pd::testing::ScopedEnvironment> connectTo;
  std::optional<pd::testing::ScopedEnvironment> extraCA;
  platform::UserDefaults defaults; // in memory
  platform::ScopedStandardUserDefaults useDefaults{defaults};
  boost::asio::io_context loop;
  runtime::MainThread::Installation installation = runtime::MainThread::installIoContext(loop);
  pd::testing::LogWindow log;
  std::unique_ptr<receiver::Receiver> receiver;
  std::deque<std::filesystem::path> chosenFolders;
  std::unique_ptr<AppSettingsView> view;
  std::size_t saves = 0;
  std::size_t expectedSaves = 0;
};

std::vector<std::string> titles(const std::string& body) {
  std::vector<std::string> found;
  const auto answer = nlohmann::json::parse(body);
  for (const auto& item : answer.at("items")) found.push_back(item.at("title"));
  return found;
}

TEST_F(SettingsOnReceiverTest, TheSectionSavesThroughTheReceiversManagerInTheOrderMade) {
  makeView();
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
  for (const auto& request : fake->requests()) {
    probed = probed || request["host"] == "host.example";
  }
  EXPECT_TRUE(probed);
}

class SearchOnReceiverTest : public SettingsOnReceiverTest {
protected:
  void SetUp() override {
    useOnlyInstance("host.example");
    start(Remote::loopback);
  }
};

TEST_F(SearchOnReceiverTest, TheTabletsNextSearchAnswersFromTheFolderJustChosen) {
  const auto first = sandbox.root() / "first folder";
  const auto second = sandbox.root() / "second folder";
  pd::testing::writeText(first / "sunrise clip.mp4", "x");
  pd::testing::writeText(second / "sunset clip.mov", "x");
  makeView();
  const auto base = serverBase();

  // Before: the tablet searches YouTube, whose fake titles its answers after the query.
  auto answer = api(base, "search?q=clip");
  ASSERT_EQ(answer.first, "200") << answer.second;
  for (const auto& title : titles(answer.second)) EXPECT_NE(title.find("clip"), std::string::npos);
  EXPECT_FALSE(titles(answer.second).empty());

  view->searchSourcePicker()->setCurrentIndex(view->searchSourcePicker()->findData(QStringLiteral("localFiles")));
  ASSERT_FALSE(view->searchFolderRow()->isHidden());
  chosenFolders = {first, second};
  view->searchFolderButton()->click();
  answer = api(base, "search?q=clip");
  ASSERT_EQ(answer.first, "200") << answer.second;
  EXPECT_EQ(titles(answer.second), std::vector<std::string>{"sunrise clip"});

  view->searchFolderButton()->click();
  answer = api(base, "search?q=clip");
  ASSERT_EQ(answer.first, "200") << answer.second;
  EXPECT_EQ(titles(answer.second), std::vector<std::string>{"sunset clip"});
}

// Relayed bytes need the fake where the relay's address policy lets it fetch from.
class RelayCacheOnReceiverTest : public SettingsOnReceiverTest {
protected:
  void SetUp() override {
    if (!sender::test::insideTestNamespace()) GTEST_SKIP() << "run through tools/testenv/netns-run.sh (ctest does)";
    useOnlyInstance("inv.remote.test");
    start(Remote::inNamespace);
  }

  // A muxed video of `bytes` under `id`, as the instance describes it and the CDN serves it.
  void publish(const std::string& id, const std::string& bytes) {
    const auto file = sandbox.root() / (id + ".mp4");
    pd::testing::writeText(file, bytes);
    fake->command({{"media", id}, {"file", file.string()}});
    fake->command({{"fixture", "video:" + id}, {"json", sender::test::muxedVideo(id, std::to_string(bytes.size()))}});
  }
  // The tablet's road: resolve the video, then fetch all of it through the relay.
  std::string relayed(const std::string& base, const std::string& id) {
    const auto resolved = api(base, "resolve?v=" + id);
    EXPECT_EQ(resolved.first, "200") << resolved.second;
    const auto fetched = get(base + nlohmann::json::parse(resolved.second).at("video").get<std::string>());
    EXPECT_EQ(fetched.first, "200");
    return fetched.second;
  }
  // Every file under the cache folder with its size.
  std::map<std::filesystem::path, std::uintmax_t> cacheListing() const {
    std::map<std::filesystem::path, std::uintmax_t> files;
    const auto folder = sandbox.caches() / relay::RelayDiskCache::kFolderName;
    std::error_code error;
    for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
      if (it->is_regular_file()) files[it->path()] = it->file_size();
    }
    return files;
  }

  remotesource::ScopedVideoCDNDomainSuffix cdn{".cdn.test"};
};

TEST_F(RelayCacheOnReceiverTest, WithTheCacheTurnedOffTheNextRelayedVideoWritesNothingToDisk) {
  // Three chunks' worth of bytes no two videos share.
  std::mt19937 random(7);
  const auto bytesOf = [&random] {
    std::string bytes(5 * 1024 * 1024, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    return bytes;
  };
  const auto cachedBytes = bytesOf();
  const auto uncachedBytes = bytesOf();
  publish("cacheOnClip", cachedBytes);
  publish("cacheOffVid", uncachedBytes);
  makeView();
  const auto base = serverBase();

  // With the cache on, the same road leaves the video's chunks on disk.
  ASSERT_TRUE(view->cacheToggle()->isChecked());
  EXPECT_EQ(relayed(base, "cacheOnClip"), cachedBytes);
  runUntil([&] { return log.has("relay_cache_complete video=cacheOnClip"); });
  const auto before = cacheListing();

  view->cacheToggle()->click();
  EXPECT_EQ(defaults.object(settings::SettingsKey::relayCacheEnabled), nlohmann::json(false));
  EXPECT_EQ(relayed(base, "cacheOffVid"), uncachedBytes);
  runFor(2s);
  EXPECT_EQ(cacheListing(), before);
}

} // namespace
} // namespace pd::ui::test
