// Commits against rotations at every point between their steps, and the bound on what stays
// registered, over the real server's registry.

#include "APIRig.hpp"
#include "support/LogWindow.hpp"

#include <gmock/gmock.h>

#include <fstream>

namespace pd::api {
namespace {

using ::testing::IsEmpty;
using ::testing::SizeIs;
using Step = ReceiverAPIService::CommitStep;

class RetentionCommitTest : public test::APIRig {
protected:
  void SetUp() override {
    APIRig::SetUp();
    std::ofstream(folder_ / "media.bin") << "media bytes";
  }

  // A rotation to the next generation and the broadcaster's revocation after it.
  void rotate() { store_->rotate(); }
  void revoke() {
    testing::runBlocking([service = service_, generation = store_->generation()]() -> runtime::Awaitable<void> {
      co_await service->revokeSourceTokens(generation);
    });
  }
  // What the seam does at a step: rotate, then revoke, as the broadcaster does.
  struct Actions {
    bool rotate = false;
    bool revoke = false;
  };
  // Rebuilds the service with a seam that runs the actions at each step.
  void seams(Actions afterFirstRead, Actions afterInsert) {
    build({}, [this, afterFirstRead, afterInsert](Step step) -> runtime::Awaitable<void> {
      const auto actions = step == Step::afterFirstRead ? afterFirstRead : afterInsert;
      if (actions.rotate) rotate();
      if (actions.revoke) co_await service_->revokeSourceTokens(store_->generation());
    });
  }
  std::string registerMedia() { return server_->registerFile(folder_ / "media.bin"); }
  bool commitSearch(std::vector<std::string> tokens, std::int64_t ticket, RequestContext context) {
    return testing::runBlocking([service = service_, tokens, ticket, context]() -> runtime::Awaitable<bool> {
      co_return co_await service->commitSearchTokens(tokens, ticket, context);
    });
  }
  bool served(const std::string& token) { return fetch("/" + token).first == 200; }
};

TEST_F(RetentionCommitTest, NoTokenOfAnOldSessionStaysAtAnyOrderingOfRotationAndCommit) {
  struct Ordering {
    const char* name;
    bool rotateFirst;
    Actions afterFirstRead;
    Actions afterInsert;
  };
  const std::vector<Ordering> orderings = {
      {"rotation before the first read", true, {}, {}},
      {"rotation and revocation before the insert", false, {true, true}, {}},
      {"rotation before the insert, revocation after it", false, {true, false}, {false, true}},
      {"rotation and revocation after the insert", false, {}, {true, true}},
  };
  for (const auto& ordering : orderings) {
    SCOPED_TRACE(ordering.name);
    const auto generation = store_->generation();
    seams(ordering.afterFirstRead, ordering.afterInsert);
    if (ordering.rotateFirst) rotate();
    const auto tokens = std::vector<std::string>{registerMedia(), registerMedia()};
    testing::LogWindow log;
    EXPECT_FALSE(commitSearch(tokens, 1, {"op000001", generation}));
    EXPECT_EQ(log.count("source_tokens_revoke reason=session_changed count=2"), 1U);
    // Refused at once, before any later revocation.
    for (const auto& token : tokens) EXPECT_FALSE(served(token));
    // The broadcaster revokes after every rotation; whatever the books kept of the old session goes.
    revoke();
    for (const auto& item : books().searches) EXPECT_GE(item.generation, store_->generation());
  }
  // A request that never had a generation is refused like a changed session.
  const auto token = registerMedia();
  EXPECT_FALSE(commitSearch({token}, 9, {"op000002", std::nullopt}));
  EXPECT_FALSE(served(token));
}

TEST_F(RetentionCommitTest, ACurrentCommitKeepsItsTokensUntilRevoked) {
  const auto token = registerMedia();
  EXPECT_TRUE(commitSearch({token}, 1, {"op000001", store_->generation()}));
  EXPECT_TRUE(served(token));
  testing::LogWindow log;
  rotate();
  revoke();
  EXPECT_FALSE(served(token));
  EXPECT_EQ(log.count("source_tokens_revoke"), 1U);
  EXPECT_TRUE(log.has("source_tokens_revoke reason=peer_changed count=1"));
  revoke();
  EXPECT_EQ(log.count("source_tokens_revoke reason=peer_changed count=0"), 1U);
}

TEST_F(RetentionCommitTest, ACancelledRequestKeepsNothingAndIsNotASessionChange) {
  const auto token = registerMedia();
  testing::LogWindow log;
  auto gate = std::make_shared<runtime::test::Latch>();
  auto request =
      runtime::spawn(runtime::sharedPool().executor(),
                     [service = service_, tokens = std::vector<std::string>(1, token), gate,
                      context = RequestContext{"op000001", store_->generation()}]() -> runtime::Awaitable<bool> {
                       gate->wait();
                       co_return co_await service->commitSearchTokens(tokens, 1, context);
                     });
  // The connection went away while the answer was being made.
  request.cancel();
  gate->open();
  ASSERT_TRUE(runtime::test::waitUntilFinished(request));
  EXPECT_FALSE(request.state()->result());
  EXPECT_FALSE(served(token));
  EXPECT_FALSE(log.has("source_tokens_revoke"));
}

constexpr int kSearches = 10'000;

TEST_F(RetentionCommitTest, ManySearchesLeaveOnlyTheNewestThreeRegistered) {
  const auto context = RequestContext{"op000001", store_->generation()};
  const auto tokens = testing::runBlocking(
      [this, context]() -> runtime::Awaitable<std::vector<std::string>> {
        std::vector<std::string> all;
        for (int i = 1; i <= kSearches; ++i) {
          all.push_back(registerMedia());
          auto committed = std::vector<std::string>(1, all.back());
          if (!co_await service_->commitSearchTokens(std::move(committed), i, context)) {
            throw std::runtime_error("refused");
          }
        }
        co_return all;
      },
      std::chrono::seconds(60));
  const auto held = books();
  ASSERT_THAT(held.searches, SizeIs(3));
  EXPECT_EQ(held.searches.front().ticket, kSearches - 2);
  for (const auto index : {0, 1, kSearches / 2, kSearches - 4}) EXPECT_FALSE(served(tokens[index])) << index;
  for (const auto index : {kSearches - 3, kSearches - 2, kSearches - 1}) EXPECT_TRUE(served(tokens[index])) << index;
  EXPECT_THAT(held.resolves, IsEmpty());
}

} // namespace
} // namespace pd::api
