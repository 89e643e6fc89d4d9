#include "platform/bonjour/AvahiAsioPoll.hpp"

#include "runtime/Executor.hpp"
#include "runtime/SerialQueue.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

namespace pd::platform::bonjour::detail {
namespace {

using namespace std::chrono_literals;

// What one watch saw, reported once.
struct Seen {
  const AvahiPoll* api = nullptr;
  std::promise<int> events;
  bool reported = false;
};

void onReady(AvahiWatch* watch, int, AvahiWatchEvent event, void* userdata) {
  auto* seen = static_cast<Seen*>(userdata);
  // The poll is level-triggered: stop asking, or a ready socket calls back forever.
  seen->api->watch_update(watch, static_cast<AvahiWatchEvent>(0));
  if (seen->reported) return;
  seen->reported = true;
  seen->events.set_value(static_cast<int>(event));
}

TEST(AvahiAsioPollTest, ReadAndWriteWatchesOnOneSocketBothFire) {
  int pair[2] = {-1, -1};
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  runtime::SerialQueue queue("avahi-poll-test");
  std::unique_ptr<AvahiAsioPoll> poll;
  Seen reader;
  Seen writer;
  AvahiWatch* readWatch = nullptr;
  AvahiWatch* writeWatch = nullptr;
  ASSERT_TRUE(queue.syncWithTimeout(
      [&] {
        poll = std::make_unique<AvahiAsioPoll>(queue.executor());
        const AvahiPoll* api = poll->api();
        reader.api = writer.api = api;
        readWatch = api->watch_new(api, pair[0], AVAHI_WATCH_IN, &onReady, &reader);
        writeWatch = api->watch_new(api, pair[0], AVAHI_WATCH_OUT, &onReady, &writer);
      },
      5s));
  EXPECT_NE(readWatch, nullptr);
  EXPECT_NE(writeWatch, nullptr);
  ASSERT_EQ(::write(pair[1], "x", 1), 1);

  auto readEvents = reader.events.get_future();
  auto writeEvents = writer.events.get_future();
  const bool readFired = readWatch != nullptr && readEvents.wait_for(5s) == std::future_status::ready;
  const bool writeFired = writeWatch != nullptr && writeEvents.wait_for(5s) == std::future_status::ready;
  EXPECT_EQ(readFired ? readEvents.get() : 0, static_cast<int>(AVAHI_WATCH_IN));
  EXPECT_EQ(writeFired ? writeEvents.get() : 0, static_cast<int>(AVAHI_WATCH_OUT));

  ASSERT_TRUE(queue.syncWithTimeout(
      [&] {
        if (readWatch != nullptr) poll->api()->watch_free(readWatch);
        if (writeWatch != nullptr) poll->api()->watch_free(writeWatch);
        poll.reset();
      },
      5s));
  // The library's own descriptor stays open and usable after its watches are gone.
  char byte = 0;
  EXPECT_EQ(::read(pair[0], &byte, 1), 1);
  EXPECT_EQ(byte, 'x');
  ::close(pair[0]);
  ::close(pair[1]);
}

} // namespace
} // namespace pd::platform::bonjour::detail
