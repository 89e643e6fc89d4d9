#include "link/ReconnectPolicy.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace pd::link {
namespace {

using namespace std::chrono_literals;

constexpr ReconnectPolicy::Seconds kCap = 8s;
constexpr ReconnectPolicy::Seconds kOccupiedCap = 60s;

double nextDelay(ReconnectPolicy& policy, double jitter = 1.0) {
  return policy.nextWait(kCap, kOccupiedCap, jitter).delay.count();
}

TEST(ReconnectPolicyTest, WaitsStartAtOnceThenDoubleAndTheJitterNeverPassesTheCap) {
  ReconnectPolicy policy;
  ASSERT_TRUE(policy.start(false));
  std::vector<double> delays;
  for (int i = 0; i < 6; ++i) delays.push_back(nextDelay(policy));
  EXPECT_EQ(delays, (std::vector<double>{0.0, 1.0, 2.0, 4.0, 8.0, 8.0}));
  EXPECT_EQ(nextDelay(policy, 1.2), 8.0);
  EXPECT_EQ(nextDelay(policy, 0.8), 6.4);
  // A very long run neither overflows nor leaves the cap.
  for (int i = 0; i < 200; ++i) (void)nextDelay(policy);
  EXPECT_EQ(nextDelay(policy), 8.0);
}

TEST(ReconnectPolicyTest, OccupiedRejectionsInARowLengthenTheWaitUntilTheTabletIsFree) {
  ReconnectPolicy policy;
  ASSERT_TRUE(policy.start(true));
  policy.noteRejected(true);
  auto wait = policy.nextWait(kCap, kOccupiedCap, 1.0);
  EXPECT_EQ(wait.attempt, 5);
  EXPECT_TRUE(wait.occupied);
  EXPECT_EQ(wait.delay.count(), 8.0);
  policy.noteRejected(true);
  EXPECT_EQ(policy.occupiedRejectStreak(), 2);
  EXPECT_EQ(nextDelay(policy), 16.0);
  for (int i = 0; i < 3; ++i) policy.noteRejected(true);
  EXPECT_EQ(nextDelay(policy, 1.2), 60.0);
  // The next attempt finds the tablet free: back to the ordinary cap, and the streak ends.
  policy.notePeerFree();
  wait = policy.nextWait(kCap, kOccupiedCap, 1.0);
  EXPECT_FALSE(wait.occupied);
  EXPECT_EQ(wait.delay.count(), 8.0);
  EXPECT_EQ(policy.occupiedRejectStreak(), 0);
  policy.noteRejected(true);
  policy.noteRejected(false);
  EXPECT_EQ(policy.occupiedRejectStreak(), 0);
}

TEST(ReconnectPolicyTest, ASecondStartChangesNothingAndAStopForgetsTheRun) {
  ReconnectPolicy policy;
  ASSERT_TRUE(policy.start(true));
  (void)nextDelay(policy);
  (void)nextDelay(policy);
  EXPECT_FALSE(policy.start(false));
  EXPECT_EQ(policy.attempt(), 2);
  EXPECT_TRUE(policy.pinnedToLastPeer());
  policy.stop();
  EXPECT_FALSE(policy.active());
  EXPECT_EQ(policy.attempt(), 0);
  EXPECT_FALSE(policy.pinnedToLastPeer());
  ASSERT_TRUE(policy.start(false));
  EXPECT_EQ(nextDelay(policy), 0.0);
}

TEST(ReconnectPolicyTest, EveryFourthAttemptInARowWithoutATabletAsksForAFreshBrowser) {
  ReconnectPolicy policy;
  ASSERT_TRUE(policy.start(false));
  std::vector<bool> rebuilds;
  for (int i = 0; i < 8; ++i) rebuilds.push_back(policy.noteNoPeer());
  EXPECT_EQ(rebuilds, (std::vector<bool>{false, false, false, true, false, false, false, true}));
  EXPECT_FALSE(policy.noteNoPeer());
  policy.notePeersSeen();
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(policy.noteNoPeer());
  EXPECT_TRUE(policy.noteNoPeer());
}

TEST(ReconnectPolicyTest, ATargetIsReportedWhenItChangesAndAfreshInEachRun) {
  ReconnectPolicy policy;
  ASSERT_TRUE(policy.start(false));
  const ReconnectPolicy::Target none{"none", "no_peer", std::nullopt, std::nullopt};
  const ReconnectPolicy::Target last{"last_peer", "route_reuse", "eth0", "Tab"};
  EXPECT_EQ(policy.reportTarget(none), "unset");
  EXPECT_EQ(policy.reportTarget(none), std::nullopt);
  EXPECT_EQ(policy.reportTarget(last), "none");
  auto otherRoute = last;
  otherRoute.interface = "wlan0";
  EXPECT_EQ(policy.reportTarget(otherRoute), "last_peer");
  policy.stop();
  ASSERT_TRUE(policy.start(false));
  EXPECT_EQ(policy.reportTarget(otherRoute), "unset");
}

} // namespace
} // namespace pd::link
