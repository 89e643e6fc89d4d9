// Browsers without a daemon. Its own program: the daemon does not come back, and the library
// keeps the bus address for the life of the process.

#include "PrivateAvahi.hpp"

#include "platform/bonjour/AvahiBrowser.hpp"
#include "runtime/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>

namespace pd::platform::bonjour {
namespace {

using namespace std::chrono_literals;

struct States {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<BrowserStateUpdate> updates;

  void watch(ServiceBrowser& browser, const std::shared_ptr<States>& self) {
    browser.setStateUpdateHandler([self](const BrowserStateUpdate& update) {
      std::scoped_lock lock(self->mutex);
      self->updates.push_back(update);
      self->changed.notify_all();
    });
  }
  bool waitForCount(std::size_t count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return updates.size() >= count; });
  }
};

// A daemon that goes away fails the browser; a browser made while none runs waits for one.
TEST(AvahiDaemonLossTest, DaemonLossFailsTheBrowserAndANewBrowserWaits) {
  PD_REQUIRE_PRIVATE_AVAHI();
  runtime::SerialQueue queue("test.bonjour.loss");
  auto first = std::make_shared<States>();
  AvahiBrowser browser("_velquatrin._udp");
  first->watch(browser, first);
  browser.start(queue.executor());
  ASSERT_TRUE(first->waitForCount(1));
  EXPECT_EQ(first->updates[0].state, BrowserState::ready);

  testing::PrivateAvahi::shared().stopDaemon();
  ASSERT_TRUE(first->waitForCount(2));
  EXPECT_EQ(first->updates[1].state, BrowserState::failed);
  ASSERT_TRUE(first->updates[1].error);
  EXPECT_EQ(first->updates[1].error->domain(), "BonjourError");

  auto second = std::make_shared<States>();
  AvahiBrowser rebuilt("_velquatrin._udp");
  second->watch(rebuilt, second);
  rebuilt.start(queue.executor());
  ASSERT_TRUE(second->waitForCount(1));
  EXPECT_EQ(second->updates[0].state, BrowserState::waiting);
  ASSERT_TRUE(second->updates[0].error);
  EXPECT_EQ(second->updates[0].error->domain(), "BonjourError");
}

} // namespace
} // namespace pd::platform::bonjour
