// The link manager's frame sharing against a private PipeWire daemon: the raw mode's two nodes
// are advertised under their names, a rename keeps them in place, and a real consumer receives
// the frames the main thread hands over, in their colours.

#include "SyphonIntegrationFixture.hpp"
#include "TestConsumer.hpp"
#include "support/SolidFrame.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

namespace pd::link::test {
namespace {

using SyphonIntegrationTest = SyphonIntegrationFixture;

TEST_F(SyphonIntegrationTest, RawModeAdvertisesTwoNodesRenamesThemInPlaceAndFeedsAConsumer) {
  const auto [nodeA, nodeB] = shareRawDecks();
  ASSERT_NE(nodeA, 0U);
  ASSERT_NE(nodeB, 0U);
  const std::string nodes = pd::testing::runTool("pw-cli ls Node");
  EXPECT_NE(nodes.find("node.name = \"Palendrix Zuvudiv A\""), std::string::npos) << nodes;
  EXPECT_NE(nodes.find("node.name = \"Palendrix Zuvudiv B\""), std::string::npos) << nodes;

  manager_->renameSyphonServers("Stage Left");
  const std::string info = "pw-cli info " + std::to_string(nodeB);
  std::string details;
  EXPECT_TRUE(waitFor([&] {
    return (details = pd::testing::runTool(info)).find("node.name = \"Stage Left B\"") != std::string::npos;
  })) << details;
  EXPECT_EQ(TA::syphonNodeId(*manager_, 2), nodeB) << "a rename keeps the node";

  // A consumer on B takes NV12 as it stands; A has none and is skipped.
  pd::testing::TestConsumer consumer(pd::testing::TestConsumer::Format::nv12, nodeB);
  const auto frame = pd::testing::solidFrame(320, 180, 180, 60, 200);
  const std::uint64_t epoch = TA::syphonEpoch(*manager_);
  ASSERT_TRUE(waitFor([&] { return consumer.snapshot().frames >= 5; },
                      [&] {
                        manager_->enqueueSyphonFrame(frame, 1, epoch);
                        manager_->enqueueSyphonFrame(frame, 2, epoch);
                      }));
  EXPECT_TRUE(waitFor([&] { return manager_->isSyphonRunning.get(); }));
  const auto seen = consumer.snapshot();
  EXPECT_EQ(seen.width, 320U);
  EXPECT_EQ(seen.height, 180U);
  EXPECT_NEAR(seen.mean[0], 180, 0.5);
  EXPECT_NEAR(seen.mean[1], 60, 0.5);
  EXPECT_NEAR(seen.mean[2], 200, 0.5);

  // Stopping withdraws both nodes.
  manager_->stopSyphon();
  EXPECT_FALSE(manager_->isSyphonRunning.get());
  std::string after;
  EXPECT_TRUE(waitFor([&] {
    return (after = pd::testing::runTool("pw-cli ls Node")).find("Stage Left") == std::string::npos;
  })) << after;
}

TEST_F(SyphonIntegrationTest, AfterTheDaemonRestartsBothNodesReturnUnderTheirCurrentNamesAndFeedAConsumer) {
  const auto [nodeA, nodeB] = shareRawDecks();
  ASSERT_NE(nodeA, 0U);
  ASSERT_NE(nodeB, 0U);
  const auto frame = pd::testing::solidFrame(320, 180, 180, 60, 200);
  const std::uint64_t epoch = TA::syphonEpoch(*manager_);
  const auto feed = [&] {
    manager_->enqueueSyphonFrame(frame, 1, epoch);
    manager_->enqueueSyphonFrame(frame, 2, epoch);
  };
  // The names the nodes must come back under are the renamed ones, not those they were made with.
  manager_->renameSyphonServers("Stage Left");
  auto before = std::make_unique<pd::testing::TestConsumer>(pd::testing::TestConsumer::Format::nv12, nodeB);
  ASSERT_TRUE(waitFor([&] { return manager_->isSyphonRunning.get(); }, feed));

  const LogWindow log;
  daemon_->restart();
  ASSERT_TRUE(daemon_->running()) << daemon_->failure();
  before.reset();
  // Without a frame to publish, the lost consumer is still noticed.
  EXPECT_TRUE(waitFor([&] { return !manager_->isSyphonRunning.get(); }));
  EXPECT_TRUE(log.has("syphon_daemon_lost err_code=32")) << ::testing::PrintToString(log.lines());

  std::string nodes;
  EXPECT_TRUE(waitFor(
      [&] {
        nodes = pd::testing::runTool("pw-cli ls Node");
        return nodes.find("node.name = \"Stage Left A\"") != std::string::npos &&
               nodes.find("node.name = \"Stage Left B\"") != std::string::npos;
      },
      feed))
      << nodes;
  EXPECT_TRUE(log.has("syphon_daemon_reconnected ")) << ::testing::PrintToString(log.lines());

  const std::uint32_t newNodeB = nodeOf(2);
  ASSERT_NE(newNodeB, 0U);
  pd::testing::TestConsumer after(pd::testing::TestConsumer::Format::nv12, newNodeB);
  ASSERT_TRUE(waitFor([&] { return after.snapshot().frames >= 5; }, feed));
  EXPECT_TRUE(waitFor([&] { return manager_->isSyphonRunning.get(); }, feed));
  EXPECT_NEAR(after.snapshot().mean[0], 180, 0.5);
}

} // namespace
} // namespace pd::link::test
