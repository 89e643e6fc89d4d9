#include "LinkTestSupport.hpp"

#include "link/LinkConnection.hpp"
#include "runtime/SerialQueue.hpp"

#include <gtest/gtest.h>

namespace pd::link::test {
namespace {

TEST(LinkConnectionTest, OpensOverTheInterfaceClosesForGoodAndKeepsOneTimeLimit) {
  runtime::SerialQueue queue("test.link");
  auto timers = std::make_shared<FakeTimers>();
  std::vector<std::shared_ptr<FakeLink>> made;
  LinkConnection connection(
      queue.executor(),
      [&](const platform::net::Endpoint& endpoint, const platform::net::LinkParameters& parameters) {
        made.push_back(std::make_shared<FakeLink>(endpoint, parameters));
        return made.back();
      },
      timers);
  EXPECT_FALSE(connection.close()); // nothing to close yet

  const auto peer = tablet("Tab", {wifi()});
  int reports = 0;
  connection.open(peer.endpoint, LinkConnection::parameters(wifi()), [&](const auto&) { ++reports; });
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(made[0]->parameters.requiredInterface, wifi());
  EXPECT_FALSE(made[0]->parameters.includePeerToPeer);
  made[0]->report(platform::net::LinkState::ready); // on the queue it was started on
  EXPECT_EQ(reports, 1);
  EXPECT_TRUE(connection.isReady());
  EXPECT_EQ(connection.readyEndpoints(), (std::pair<std::string, std::string>{"127.0.0.1:60000", "127.0.0.1:50000"}));

  int fired = 0;
  connection.armTimeout(std::chrono::seconds(15), [&] { ++fired; });
  connection.armTimeout(std::chrono::seconds(5), [&] { fired += 10; }); // replaces the first
  EXPECT_EQ(timers->pending(), std::vector<double>{5.0});
  ASSERT_TRUE(timers->fireLast());
  EXPECT_EQ(fired, 10);

  EXPECT_TRUE(connection.close());
  EXPECT_TRUE(made[0]->cancelled());
  EXPECT_FALSE(made[0]->hasHandler()); // a late report of the closed link reaches no one
  EXPECT_FALSE(connection.link());
  EXPECT_FALSE(connection.isReady());
  EXPECT_EQ(connection.readyEndpoints(), (std::pair<std::string, std::string>{"-", "-"}));
}

} // namespace
} // namespace pd::link::test
