// The headless composition root linked to the tablet emulator over a private Avahi daemon: the
// broadcaster it makes announces the endpoint, answers the tablet's API under the announced
// token and sends a local file, which the tablet acknowledges. The video API is the fake on
// loopback, reached through the environment's connect-to hook like the real program's.

#include "receiver/Receiver.hpp"

#include "AppTestSupport.hpp"
#include "EmulatorProcess.hpp"
#include "PrivateAvahi.hpp"
#include "diagnostics/SingleInstanceGuard.hpp"
#include "link/NetworkManagerForMac.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "runtime/MainThread.hpp"
#include "sender/LocalVideoBroadcaster.hpp"
#include "support/CurlGet.hpp"
#include "support/FakeRemote.hpp"
#include "support/LogWindow.hpp"

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace pd::receiver {
namespace {

using namespace std::chrono_literals;
using Target = sender::LocalVideoBroadcaster::Target;

TEST(ReceiverSendTest, TheRootWiresTheBroadcasterToTheLinkTheServerAndTheAPI) {
  PD_REQUIRE_PRIVATE_AVAHI();
  pd::testing::XdgSandbox sandbox;
  pd::testing::FakeRemote remote;
  const auto client = remote.clientConfiguration();
  pd::testing::ScopedEnvironment connectTo("PALENDRIX_HTTP_CONNECT_TO",
                                           client.connectTo[0] + "," + client.connectTo[1]);
  pd::testing::ScopedEnvironment extraCA("PALENDRIX_HTTP_EXTRA_CA", client.extraCAFile);
  platform::UserDefaults defaults;
  platform::ScopedStandardUserDefaults useDefaults{defaults};
  defaults.setObject("invidiousUserInstances",
                     nlohmann::json::array({{{"host", "inv.remote.test"}, {"proxy", "auto"}}}));
  defaults.setObject("invidiousDefaultFallbackEnabled", false);
  diagnostics::SingleInstanceGuard::resetSettings();
  diagnostics::SingleInstanceGuard::settings().exitProcess = [](int) {};
  boost::asio::io_context loop;
  auto installation = runtime::MainThread::installIoContext(loop);
  pd::testing::LogWindow log;
  const auto pump = [&] {
    loop.restart();
    loop.poll();
  };
  const auto runUntil = [&](const auto& done, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
      loop.restart();
      loop.run_one_for(10ms);
    }
    return done();
  };

  Receiver::Dependencies dependencies;
  dependencies.drainMainThread = [&] { loop.poll(); };
  auto receiver = std::make_unique<Receiver>(std::move(dependencies));
  auto& broadcaster = receiver->localVideoBroadcaster();
  auto& manager = receiver->connectionManager();
  manager.updateBrowsing("start");

  const std::string name = "Send Tablet " + std::to_string(::getpid());
  link::test::Emulator emulator({"--interface", "lo", "--name", name});
  ASSERT_TRUE(emulator.waitFor("bonjour_published", pump));
  const platform::bonjour::BrowseResult* tablet = nullptr;
  ASSERT_TRUE(runUntil([&] {
    for (const auto& result : manager.discoveredPeers.get()) {
      if (std::get<platform::net::ServiceEndpoint>(result.endpoint).name == name) tablet = &result;
    }
    return tablet != nullptr;
  }));
  const auto peer = *tablet;
  const auto lo = std::find_if(peer.interfaces.begin(), peer.interfaces.end(),
                               [](const platform::net::Interface& i) { return i.name == "lo"; });
  ASSERT_NE(lo, peer.interfaces.end());
  manager.connect(peer, *lo);

  // The endpoint comes at once with the token made at construction.
  const auto endpoint = emulator.waitFor("source_endpoint", pump);
  ASSERT_TRUE(endpoint);
  const auto port = (*endpoint)["message"]["httpPort"].get<int>();
  const auto token = (*endpoint)["message"]["sessionToken"].get<std::string>();
  EXPECT_EQ(token, broadcaster.sessionToken());

  const auto base = "http://127.0.0.1:" + std::to_string(port) + "/search?q=cats&s=";
  const auto answered = pd::testing::curlGet(base + token);
  EXPECT_EQ(answered.first, "200");
  EXPECT_NE(answered.second.find("cats"), std::string::npos);
  EXPECT_EQ(pd::testing::curlGet(base + "0123456789abcdef0123456789abcdef").first, "403");
  EXPECT_TRUE(log.has("receiver_api_auth_fail route=search"));

  // A local file goes to deck A; the tablet fetches it and acknowledges.
  const auto file = sandbox.root() / "clip one.mp4";
  pd::testing::writeText(file, "bytes of a clip");
  broadcaster.sendLocalFile(file, Target::a, false);
  const auto load = emulator.waitFor("load_video", pump);
  ASSERT_TRUE(load);
  EXPECT_EQ((*load)["message"]["target"], "A");
  EXPECT_EQ((*load)["message"]["title"], "clip one");
  const auto url = (*load)["message"]["url"].get<std::string>();
  EXPECT_EQ(pd::testing::curlGet(url), std::make_pair(std::string("200"), std::string("bytes of a clip")));
  ASSERT_TRUE(runUntil([&] {
    return broadcaster.deck(Target::a).playback.get().state ==
           sender::LocalVideoBroadcaster::PlaybackState::Case::ready;
  }));
  const auto bpm = emulator.waitFor("video_bpm", pump);
  ASSERT_TRUE(bpm);
  EXPECT_EQ((*bpm)["message"]["bpm"], 0);
  EXPECT_EQ((*bpm)["message"]["url"], url);

  receiver.reset();
  diagnostics::SingleInstanceGuard::releaseForTesting();
  diagnostics::SingleInstanceGuard::resetSettings();
}

} // namespace
} // namespace pd::receiver
