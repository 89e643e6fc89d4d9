// The YouTube side of sending against the fake video API on loopback: the search model, and
// sends whose preparation needs no upstream bytes (the relay's real address policy refuses
// loopback, so relayed bytes are tested in a network namespace instead).

#include "SenderTestSupport.hpp"

#include "remotesource/InvidiousVideoSource.hpp"
#include "remotesource/VideoSearchItem.hpp"
#include "sender/YouTubeSearchModel.hpp"
#include "support/FakeRemote.hpp"

#include <gtest/gtest.h>

#include <algorithm>

namespace pd::sender::test {
namespace {

using Target = LocalVideoBroadcaster::Target;

class RemoteSendTest : public BroadcasterFixture {
protected:
  void SetUp() override { make({250ms, 150ms}, remote.clientConfiguration(), "inv.remote.test"); }

  remotesource::VideoSearchItem item(const std::string& id, const std::string& title) {
    return {id, title, std::nullopt, std::nullopt, std::nullopt};
  }
  const std::string& status(Target target) { return broadcaster->deck(target).status.get(); }

  testing::FakeRemote remote;
};

TEST_F(RemoteSendTest, OnlyTheNewerSendOfADeckGoesOutAndAVideoWithoutSoundGetsTempoZeroAtOnce) {
  broadcaster->sendRemoteVideo(item("muxed720", "Muxed"), Target::a);
  broadcaster->sendRemoteVideo(item("pictureOnly", "Picture"), Target::a);
  EXPECT_EQ(status(Target::a), "「Picture」を準備中...");
  EXPECT_EQ(log.count("remote_video_prepare_start video=pictureOnly target=A op="), 1u);
  runUntil([&] { return !link->of("video_bpm").empty(); });
  ASSERT_EQ(link->of("load_video").size(), 1u);
  const auto load = link->of("load_video").front();
  EXPECT_EQ(load.target, "A");
  EXPECT_EQ(link->of("video_bpm").front().bpm, 0);
  EXPECT_EQ(link->of("video_bpm").front().url, load.url);
  EXPECT_EQ(status(Target::a), "送信しました（音声なし） / 音声が無いため BPM は解析できません");
  EXPECT_FALSE(broadcaster->deck(Target::a).isAnalyzing.get());
  EXPECT_EQ(log.count("remote_video_send video=pictureOnly target=A kind=video_only op="), 1u);
  EXPECT_FALSE(log.has("remote_video_prepare_fail"));
  EXPECT_EQ(status(Target::b), "");
}

TEST_F(RemoteSendTest, AMuxedStreamOfUnknownLengthIsNotAnalysedAndAFailedPreparationIsShown) {
  broadcaster->sendRemoteVideo(item("muxed720", "Muxed"), Target::b);
  runUntil([&] { return !link->of("video_bpm").empty(); });
  EXPECT_EQ(log.count("remote_bpm_skip target=B reason=muxed_too_large size_b=-1"), 1u);
  EXPECT_EQ(link->of("video_bpm").front().bpm, 0);
  EXPECT_EQ(status(Target::b), "送信しました / この動画は BPM を自動解析できません（iPad 側で手動設定可）");

  broadcaster->sendRemoteVideo(item("unplayable", "None"), Target::a);
  runUntil([&] { return log.has("remote_video_prepare_fail"); });
  EXPECT_EQ(status(Target::a), "「None」: 再生できる形式がありません（別の動画を選んでください）");
  EXPECT_EQ(link->of("load_video").size(), 1u);

  link->connected = false;
  broadcaster->sendRemoteVideo(item("muxed720", "Muxed"), Target::a);
  EXPECT_EQ(status(Target::a), "iPad が未接続です");
}

class SearchModelTest : public BroadcasterFixture {
protected:
  std::shared_ptr<YouTubeSearchModel> model() {
    auto client = std::make_shared<platform::http::Client>(remote.clientConfiguration());
    auto dependencies =
        testing::broadcasterDependencies(link, caches.path(), remote.clientConfiguration(), "inv.remote.test");
    return std::make_shared<YouTubeSearchModel>(
        std::make_shared<remotesource::InvidiousVideoSource>(dependencies.instanceManager, client));
  }
  testing::FakeRemote remote;
};

TEST_F(SearchModelTest, TheLaterOfTwoQuickSearchesWinsAndTheFirstLeavesACancelLine) {
  auto search = model();
  search->query.set(" \n\u3000");
  search->search();
  EXPECT_FALSE(search->isSearching.get());
  EXPECT_FALSE(log.has("search_start"));

  remote.fault("*", "/api/v1/search", {{"fault", "gate"}, {"times", 1}});
  search->query.set("first");
  search->search();
  // The first search's answer is held at the fake while the second starts and is answered.
  runUntil([&] {
    const auto seen = remote.requests(5ms);
    return std::ranges::any_of(
        seen, [](const auto& e) { return e["path"].template get<std::string>().starts_with("/api/v1/search"); });
  });
  search->query.set("second");
  search->search();
  EXPECT_TRUE(search->isSearching.get());
  runUntil([&] { return !search->isSearching.get(); });
  const auto firstTitle = [&] {
    const auto& results = search->results.get();
    return results.empty() ? std::string() : results.front().title;
  };
  EXPECT_EQ(firstTitle(), "First second");
  // Now the first answer comes, after the second: it must not replace the newer list.
  remote.command({{"media_release", 1}});
  runUntil([&] { return log.has("search_cancel") || firstTitle() != "First second"; });
  EXPECT_EQ(firstTitle(), "First second");
  EXPECT_EQ(search->results.get().size(), 2u);
  EXPECT_FALSE(search->searchedWithoutResults.get());
  EXPECT_EQ(search->errorMessage.get(), std::nullopt);
  EXPECT_EQ(log.count("search_cancel kind=search op="), 1u);
  EXPECT_EQ(log.count("search_start kind=search trigger=manual op="), 2u);

  // A pasted link is looked up alone; a failure empties the list and says why.
  remote.fault("*", "/api/v1/videos", {{"fault", "status"}, {"status", 500}});
  search->query.set("https://youtu.be/muxed720");
  search->search();
  runUntil([&] { return !search->isSearching.get(); });
  EXPECT_TRUE(search->results.get().empty());
  EXPECT_EQ(search->errorMessage.get(), "検索できませんでした（インスタンスに接続できません）");
  EXPECT_EQ(log.count("search_fail reason=api_error kind=url_fetch trigger=manual op="), 1u);
}

} // namespace
} // namespace pd::sender::test
