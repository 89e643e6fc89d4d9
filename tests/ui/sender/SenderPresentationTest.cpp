#include "ui/sender/SenderPresentation.hpp"

#include <gtest/gtest.h>

namespace pd::ui {
namespace {

using VersionState = link::NetworkManagerForMac::PeerVersionState;
using Features = std::optional<std::vector<std::string>>;

TEST(SendGateTest, MatrixPicksTheWordBannerAndDropReasonWithTheVersionFirst) {
  const Features withLoad = std::vector<std::string>{"raw_mode", "load_video"};
  const Features withoutLoad = std::vector<std::string>{"raw_mode"};
  const std::string versionBanner =
      "接続中のアプリとバージョンが一致しないため、この機能は使用できません。バージョン警告の案内"
      "に従って古い側のアプリをアップデートしてください。";
  const std::string featureBanner =
      "接続中の iPad はこの機能に対応していません。iPad 側のアプリをアップデートしてください。";
  struct Case {
    bool connected;
    VersionState version;
    Features features;
    bool allowed;
    std::optional<std::string> word;
    std::optional<std::string> banner;
    std::optional<std::string_view> drop;
  };
  const Case cases[] = {
      {false, VersionState::matched(), withLoad, false, "iPad 未接続", std::nullopt, "not_connected"},
      // Not linked wins over everything, and never shows a banner.
      {false, VersionState::legacy(), withoutLoad, false, "iPad 未接続", std::nullopt, "not_connected"},
      {true, VersionState::mismatch(2), withLoad, false, "バージョン不一致", versionBanner, "version_mismatch"},
      {true, VersionState::legacy(), withoutLoad, false, "バージョン不一致", versionBanner, "version_mismatch"},
      {true, VersionState::matched(), withoutLoad, false, "iPad が未対応", featureBanner, "load_video_unsupported"},
      {true, VersionState::unknown(), withoutLoad, false, "iPad が未対応", featureBanner, "load_video_unsupported"},
      // No feature list counts as supporting it.
      {true, VersionState::unknown(), std::nullopt, true, std::nullopt, std::nullopt, std::nullopt},
      {true, VersionState::matched(), withLoad, true, std::nullopt, std::nullopt, std::nullopt},
      {true, VersionState::matched(), std::vector<std::string>{}, false, "iPad が未対応", featureBanner,
       "load_video_unsupported"},
  };
  for (const auto& c : cases) {
    const auto gate = SendGate::from(c.connected, c.version, c.features);
    SCOPED_TRACE(c.word.value_or("allowed"));
    EXPECT_EQ(gate.isSendingAllowed(), c.allowed);
    EXPECT_EQ(gate.headerWord(), c.word);
    EXPECT_EQ(gate.bannerText(), c.banner);
    EXPECT_EQ(gate.dropRejectReason(), c.drop);
  }
}

TEST(SenderTextsTest, TabsDecksStatusAndTempo) {
  EXPECT_EQ(sourceTabFromStored(std::nullopt), SourceTab::youtube);
  EXPECT_EQ(sourceTabFromStored("localFile"), SourceTab::localFile);
  EXPECT_EQ(sourceTabFromStored("youtube"), SourceTab::youtube);
  EXPECT_EQ(sourceTabFromStored("LocalFile"), SourceTab::youtube);
  EXPECT_EQ(sourceTabFromStored(""), SourceTab::youtube);
  EXPECT_EQ(rawValue(SourceTab::localFile), "localFile");
  EXPECT_EQ(sourceTabTitle(SourceTab::youtube), "YouTube 検索");
  EXPECT_EQ(sourceTabTitle(SourceTab::localFile), "ローカルファイル");

  EXPECT_EQ(deckTitle(Deck::b), "Player B");
  EXPECT_EQ(deckTint(Deck::a), Tint::blue);
  EXPECT_EQ(deckTint(Deck::b), Tint::orange);
  EXPECT_EQ(sendToolTip(Deck::a), "Player A へ送る");
  EXPECT_EQ(tempoBadge(128), "128 BPM");
  EXPECT_EQ(tempoBadge(0), "0 BPM");
  EXPECT_EQ(tempoBadge(std::nullopt), std::nullopt);
  EXPECT_EQ(deckStatusText(""), "未選択");
  EXPECT_EQ(deckStatusText("解析中"), "解析中");
  EXPECT_EQ(deckHint(SourceTab::localFile), "またはここにドラッグ&ドロップ");
  EXPECT_EQ(deckHint(SourceTab::youtube), "検索結果の A / B で送る");
}

TEST(PlaybackLineTest, EveryStateHasItsTextSymbolColourAndLimit) {
  EXPECT_FALSE(playbackLine(PlaybackCase::none, std::nullopt).shown);
  const auto awaiting = playbackLine(PlaybackCase::awaiting, std::nullopt);
  EXPECT_TRUE(awaiting.spinner);
  EXPECT_EQ(awaiting.text, "iPad の応答待ち...");
  EXPECT_EQ(awaiting.symbol, "");
  EXPECT_EQ(awaiting.tint, std::nullopt);

  EXPECT_EQ(playbackLine(PlaybackCase::noResponse, std::nullopt),
            (PlaybackLine{true, false, "exclamationmark.triangle.fill",
                          "iPad から応答がありません（iPad の表示を確認してください）", Tint::orange, 2}));
  EXPECT_EQ(
      playbackLine(PlaybackCase::unconfirmed, std::nullopt),
      (PlaybackLine{true, false, "questionmark.circle",
                    "再生できたかは iPad の表示で確認してください（この iPad は結果を返しません）", std::nullopt, 2}));
  EXPECT_EQ(playbackLine(PlaybackCase::ready, std::nullopt),
            (PlaybackLine{true, false, "checkmark.circle.fill", "iPad で再生できます", Tint::green, 0}));
  EXPECT_EQ(
      playbackLine(PlaybackCase::replaced, std::nullopt),
      (PlaybackLine{true, false, "arrow.triangle.2.circlepath", "iPad 側で別の動画に替わりました", std::nullopt, 0}));
  EXPECT_EQ(playbackLine(PlaybackCase::failed, "playback_failed"),
            (PlaybackLine{true, false, "xmark.octagon.fill", "iPad での再生が途中で止まりました", Tint::red, 2}));
}

TEST(PlaybackLineTest, FailureTextComparesTheReasonExactly) {
  const std::string loadFailed = "iPad で再生できませんでした（読み込みに失敗）";
  EXPECT_EQ(failureText(std::nullopt), loadFailed);
  EXPECT_EQ(failureText("invalid_url"), "iPad で再生できませんでした（URL を解釈できません）");
  EXPECT_EQ(failureText("playback_failed"), "iPad での再生が途中で止まりました");
  EXPECT_EQ(failureText("Playback_failed"), loadFailed);
  EXPECT_EQ(failureText("invalid_url "), loadFailed);
  EXPECT_EQ(failureText(""), loadFailed);
}

TEST(YouTubePanelTextsTest, DurationAndSearchButton) {
  EXPECT_EQ(formatDuration(0), "0:00");
  EXPECT_EQ(formatDuration(59), "0:59");
  EXPECT_EQ(formatDuration(61), "1:01");
  EXPECT_EQ(formatDuration(3599), "59:59");
  EXPECT_EQ(formatDuration(3600), "1:00:00");
  EXPECT_EQ(formatDuration(3725), "1:02:05");
  EXPECT_EQ(formatDuration(36000), "10:00:00");
  EXPECT_EQ(formatDuration(-1), std::nullopt);
  EXPECT_EQ(formatDuration(std::numeric_limits<std::int64_t>::max()), "2562047788015215:30:07");

  EXPECT_FALSE(isSearchButtonEnabled("", false));
  EXPECT_FALSE(isSearchButtonEnabled(" \t  ", false));
  EXPECT_TRUE(isSearchButtonEnabled(" a ", false));
  EXPECT_FALSE(isSearchButtonEnabled(" a ", true));
  // Only spaces and tabs are trimmed: a line break alone is not blank here.
  EXPECT_TRUE(isSearchButtonEnabled("\n", false));
  // Nor is an ideographic space.
  EXPECT_TRUE(isSearchButtonEnabled("\u3000", false));
}

} // namespace
} // namespace pd::ui
