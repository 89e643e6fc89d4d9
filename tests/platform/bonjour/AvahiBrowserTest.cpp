// The Bonjour layer against a real avahi-daemon on the loopback interface, with services
// published by the daemon's own command-line tool.

#include "PrivateAvahi.hpp"

#include "support/ChildProcess.hpp"
#include "platform/bonjour/AvahiBrowser.hpp"
#include "platform/bonjour/AvahiResolver.hpp"
#include "runtime/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <thread>
#include <atomic>
#include <variant>

namespace pd::platform::bonjour {
namespace {

using namespace std::chrono_literals;

// What a browser reported, gathered from its queue.
// The handlers own it, so a late report after the test's end finds it alive.
class Recorder : public std::enable_shared_from_this<Recorder> {
public:
  void install(ServiceBrowser& browser) {
    browser.setStateUpdateHandler([self = shared_from_this()](const BrowserStateUpdate& update) {
      std::scoped_lock lock(self->mutex_);
      self->states_.push_back(update.state);
      self->changed_.notify_all();
    });
    browser.setResultsChangedHandler([self = shared_from_this()](const std::vector<BrowseResult>& results,
                                                                 const std::vector<BrowseChange>& changes) {
      std::scoped_lock lock(self->mutex_);
      self->results_ = results;
      for (const auto& change : changes) self->changes_.push_back(change);
      self->changed_.notify_all();
    });
  }
  bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, condition);
  }
  bool sawState(BrowserState state) const { return std::find(states_.begin(), states_.end(), state) != states_.end(); }
  const BrowseResult* find(const std::string& name) const {
    for (const auto& result : results_) {
      if (std::get<net::ServiceEndpoint>(result.endpoint).name == name) return &result;
    }
    return nullptr;
  }
  bool sawChange(BrowseChange::Kind kind, const std::string& name) const {
    for (const auto& change : changes_) {
      if (change.kind == kind && std::get<net::ServiceEndpoint>(change.result.endpoint).name == name) return true;
    }
    return false;
  }

  std::mutex mutex_;

private:
  std::condition_variable changed_;
  std::vector<BrowserState> states_;
  std::vector<BrowseResult> results_;
  std::vector<BrowseChange> changes_;
};

std::size_t openDescriptors() {
  return static_cast<std::size_t>(
      std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator()));
}

std::string uniqueName(const char* base) { return std::string(base) + " " + std::to_string(::getpid()); }

class AvahiBrowserTest : public ::testing::Test {
protected:
  void SetUp() override { PD_REQUIRE_PRIVATE_AVAHI(); }

  std::unique_ptr<testing::ChildProcess> publish(const std::string& name, int port,
                                                 const std::vector<std::string>& txt) {
    std::vector<std::string> arguments{"-s", name, "_velquatrin._udp", std::to_string(port)};
    arguments.insert(arguments.end(), txt.begin(), txt.end());
    auto child = std::make_unique<testing::ChildProcess>("/usr/bin/avahi-publish", arguments);
    return child;
  }

  // Starts the browser on the test's queue; its reports go to the recorder returned.
  std::shared_ptr<Recorder> record(AvahiBrowser& browser) {
    auto recorder = std::make_shared<Recorder>();
    recorder->install(browser);
    browser.start(queue.executor());
    return recorder;
  }

  runtime::SerialQueue queue{"test.bonjour"};
};

TEST_F(AvahiBrowserTest, FindsAServiceWithItsInterfaceAndTxtAndSeesItGo) {
  const std::string name = uniqueName("Browse Test");
  AvahiBrowser browser("_velquatrin._udp");
  auto recording = record(browser);
  auto& recorder = *recording;
  ASSERT_TRUE(recorder.waitFor([&] { return recorder.sawState(BrowserState::ready); }));

  // Strings without a key sit between the two real ones, more of them than the record keeps
  // entries: skipped, they must not push either key out, whichever order the daemon hands over.
  std::vector<std::string> txt{"pv=3"};
  for (int i = 0; i < 300; ++i) txt.push_back("=" + std::to_string(i));
  txt.push_back("app=2.0 beta");
  auto publisher = publish(name, 45678, txt);
  ASSERT_TRUE(recorder.waitFor([&] { return recorder.find(name) != nullptr; }));
  {
    std::scoped_lock lock(recorder.mutex_);
    const BrowseResult* result = recorder.find(name);
    ASSERT_NE(result, nullptr);
    ASSERT_EQ(result->interfaces.size(), 1u);
    EXPECT_EQ(result->interfaces[0].name, "lo");
    EXPECT_EQ(result->interfaces[0].type, net::InterfaceType::loopback);
    ASSERT_TRUE(result->txtRecord);
    EXPECT_EQ(result->txtRecord->value("pv"), "3");
    EXPECT_EQ(result->txtRecord->value("app"), "2.0 beta");
    EXPECT_TRUE(recorder.sawChange(BrowseChange::Kind::added, name));
  }

  publisher.reset(); // killed: the daemon withdraws the service
  ASSERT_TRUE(recorder.waitFor([&] { return recorder.find(name) == nullptr; }));
  {
    std::scoped_lock lock(recorder.mutex_);
    EXPECT_TRUE(recorder.sawChange(BrowseChange::Kind::removed, name));
  }

  browser.cancel();
  ASSERT_TRUE(recorder.waitFor([&] { return recorder.sawState(BrowserState::cancelled); }));
}

// A resolution dropped at once never answers, though one of the same service made after it does.
TEST_F(AvahiBrowserTest, ResolvesAServiceOnTheLoopbackInterfaceAndADroppedResolutionNeverAnswers) {
  const std::string name = uniqueName("Resolve Test");
  auto publisher = publish(name, 45679, {"pv=3"});
  // Browse first, so that a resolution asks for a service that exists and answers at once.
  AvahiBrowser browser("_velquatrin._udp");
  auto recording = record(browser);
  auto& recorder = *recording;
  ASSERT_TRUE(recorder.waitFor([&] { return recorder.find(name) != nullptr; }));

  AvahiResolver resolver;
  const net::ServiceEndpoint service{name, "_velquatrin._udp", "local"};
  auto dropped = std::make_shared<std::atomic<bool>>(false);
  ASSERT_TRUE(queue.syncWithTimeout(
      [&] {
        auto operation = resolver.resolve(service, std::nullopt, queue.executor(),
                                          [dropped](net::ServiceResolver::Result) { dropped->store(true); });
        operation.reset();
      },
      5s));

  std::mutex mutex;
  std::condition_variable done;
  std::optional<net::ServiceResolver::Result> answer;
  std::unique_ptr<net::ServiceResolver::Operation> operation;
  const auto lo = net::interfaceByName("lo");
  ASSERT_TRUE(lo);
  queue.post([&] {
    operation = resolver.resolve(service, lo, queue.executor(), [&](net::ServiceResolver::Result result) {
      std::scoped_lock lock(mutex);
      answer = std::move(result);
      done.notify_all();
    });
  });
  std::unique_lock lock(mutex);
  ASSERT_TRUE(done.wait_for(lock, 10s, [&] { return answer.has_value(); }));
  ASSERT_TRUE(std::holds_alternative<net::ResolvedService>(*answer)) << std::get<Error>(*answer).detail();
  const auto& resolved = std::get<net::ResolvedService>(*answer);
  // The private daemon publishes no IPv6 address of the host, so the answer is always the IPv4 one.
  EXPECT_EQ(resolved.address, "127.0.0.1");
  EXPECT_EQ(resolved.port, 45679);
  EXPECT_EQ(resolved.interfaceIndex, lo->index);
  lock.unlock();
  (void)queue.syncWithTimeout([&] { operation.reset(); }, 5s);
  EXPECT_FALSE(dropped->load());
}

// An owner may close the browser's queue before it lets go of the browser: the cancel posted
// then never runs, and the connection to the daemon must still be let go of.
TEST_F(AvahiBrowserTest, ABrowserWhoseQueueClosedFirstStillLetsGoOfTheDaemon) {
  const std::size_t before = openDescriptors();
  auto early = std::make_unique<runtime::SerialQueue>("test.bonjour.early");
  auto browser = std::make_unique<AvahiBrowser>("_velquatrin._udp");
  auto recorder = std::make_shared<Recorder>();
  recorder->install(*browser);
  browser->start(early->executor());
  ASSERT_TRUE(recorder->waitFor([&] { return recorder->sawState(BrowserState::ready); }));
  early->shutdown();
  browser.reset();
  early.reset();
  EXPECT_EQ(openDescriptors(), before);
}

// The same for a resolution still under way, of a service no one publishes: its owner lets go of
// it only after the queue it was made on closed.
TEST_F(AvahiBrowserTest, AResolutionWhoseQueueClosedFirstStillLetsGoOfTheDaemon) {
  const std::size_t before = openDescriptors();
  auto early = std::make_unique<runtime::SerialQueue>("test.bonjour.early");
  AvahiResolver resolver;
  const net::ServiceEndpoint service{uniqueName("Nobody"), "_velquatrin._udp", "local"};
  std::unique_ptr<net::ServiceResolver::Operation> operation;
  ASSERT_TRUE(early->syncWithTimeout(
      [&] {
        operation = resolver.resolve(service, std::nullopt, early->executor(), [](net::ServiceResolver::Result) {});
      },
      5s));
  early->shutdown();
  operation.reset();
  early.reset();
  EXPECT_EQ(openDescriptors(), before);
}

} // namespace
} // namespace pd::platform::bonjour
