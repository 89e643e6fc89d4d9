#include "remotesource/InvidiousVideoSource.hpp"

#include "RemoteSourceTestSupport.hpp"
#include "remotesource/VideoCDN.hpp"
#include "remotesource/VideoSourceError.hpp"

#include <gmock/gmock.h>

namespace pd::remotesource {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using testing::runBlocking;
using E = VideoSourceError;

// Lookups through the real pipeline and HTTP client against the fake instances.
class InvidiousVideoLookupTest : public test::FakeRemoteSuite {
protected:
  // Hosts with their proxy policy words, in list order.
  std::shared_ptr<InvidiousVideoSource> makeSource(const std::vector<std::pair<std::string, std::string>>& hosts) {
    InvidiousVideoSource::Timing timing;
    timing.requestTimeout = 2s;
    return std::make_shared<InvidiousVideoSource>(makeManagerWithPolicies(hosts), makeClient(), timing);
  }

  static ResolvedStream data(const std::shared_ptr<InvidiousVideoSource>& source, std::string id, bool escalate,
                             std::optional<std::string> host = std::nullopt) {
    return runBlocking([=]() -> runtime::Awaitable<ResolvedStream> {
      co_return co_await source->fetchVideoData(id, escalate, host, "op7");
    });
  }

  static E dataError(const std::shared_ptr<InvidiousVideoSource>& source, std::string id, bool escalate) {
    try {
      data(source, std::move(id), escalate);
    } catch (const E& error) {
      return error;
    }
    ADD_FAILURE() << "the lookup did not fail";
    return E(E::Case::decodingError);
  }

  const ScopedVideoCDNDomainSuffix suffix_{".cdn.test"};
};

TEST_F(InvidiousVideoLookupTest, EachPolicyAsksItsLocalValueAndTheResultSaysWhetherItWasProxied) {
  auto source = makeSource({{"a.remote.test", "auto"}, {"d.remote.test", "direct"}, {"p.remote.test", "proxy"}});
  const auto resolve = data(source, "  abcDEF123_-\n", false);
  const auto refresh = data(source, "abcDEF123_-", true, "a.remote.test");
  const auto directRefresh = data(source, "abc", true, "d.remote.test");
  const auto proxied = data(source, "abc", false, "p.remote.test");
  EXPECT_THAT(requestsTo("a.remote.test"),
              ElementsAre("/api/v1/videos/abcDEF123_-?local=false", "/api/v1/videos/abcDEF123_-?local=true"));
  EXPECT_THAT(requestsTo("d.remote.test"), ElementsAre("/api/v1/videos/abc?local=false"));
  EXPECT_THAT(requestsTo("p.remote.test"), ElementsAre("/api/v1/videos/abc?local=true"));
  EXPECT_FALSE(resolve.usedProxy);
  EXPECT_TRUE(refresh.usedProxy);
  EXPECT_FALSE(directRefresh.usedProxy);
  EXPECT_TRUE(proxied.usedProxy);

  // The default fixture: adaptive 1080p avc1 with mp4a; proxied sound stays on the instance.
  EXPECT_EQ(resolve.video.media.url,
            "https://r4---sn-fake01.cdn.test/videoplayback?itag=137&id=abcDEF123_-&expire=4102444800");
  EXPECT_EQ(
      refresh.video.media.url,
      "https://a.remote.test/videoplayback?itag=137&id=abcDEF123_-&expire=4102444800&host=r4---sn-fake01.cdn.test");
  EXPECT_EQ(
      refresh.audio->media.url,
      "https://a.remote.test/videoplayback?itag=140&id=abcDEF123_-&expire=4102444800&host=r4---sn-fake01.cdn.test");
  EXPECT_EQ(resolve.audio->identity, (MediaIdentity{140, 3400000, "1700000000000002"}));
  EXPECT_EQ(resolve.servingHost, "a.remote.test");
  EXPECT_EQ(resolve.thumbnailURL, "https://a.remote.test/vi/abcDEF123_-/maxres.jpg");

  const auto completes = linesStartingWith("video_data_fetch_complete");
  ASSERT_EQ(completes.size(), 4u);
  EXPECT_THAT(completes[0], MatchesRegex("video_data_fetch_complete video=abcDEF123_- has_audio=true "
                                         "vcodec=avc1\\.640028 res=1920x1080 meta_ms=0 dur_ms=[0-9]+ "
                                         "host=a\\.remote\\.test policy=auto local=false op=op7"));
  EXPECT_THAT(completes[2], HasSubstr("host=d.remote.test policy=direct local=false op=op7"));
  EXPECT_THAT(completes[3], HasSubstr("host=p.remote.test policy=proxy local=true op=op7"));
}

TEST_F(InvidiousVideoLookupTest, ItemLookupAsksLocalFalseWhateverThePolicyAndPicksTheMediumThumbnail) {
  auto source = makeSource({{"p.remote.test", "proxy"}});
  const auto item = runBlocking([source]() -> runtime::Awaitable<VideoSearchItem> {
    co_return co_await source->fetchVideoItem(" muxed720 ", "op8");
  });
  EXPECT_EQ(item, (VideoSearchItem{"muxed720", "Muxed 720", std::nullopt, 60, std::nullopt}));
  const auto standard = runBlocking(
      [source]() -> runtime::Awaitable<VideoSearchItem> { co_return co_await source->fetchVideoItem("std1", "op8"); });
  EXPECT_EQ(standard.thumbnailURL, "https://p.remote.test/vi/std1/mqdefault.jpg");
  EXPECT_THAT(requestsTo("p.remote.test"),
              ElementsAre("/api/v1/videos/muxed720?local=false", "/api/v1/videos/std1?local=false"));
  EXPECT_THAT(linesStartingWith("video_item_fetch"),
              ElementsAre("video_item_fetch video=muxed720 host=p.remote.test op=op8",
                          "video_item_fetch video=std1 host=p.remote.test op=op8"));
}

TEST_F(InvidiousVideoLookupTest, AnotherVideosAnswerMovesOnAndAMuxedResultHasAudioWithoutATrack) {
  auto source = makeSource({{"a.remote.test", "auto"}, {"b.remote.test", "auto"}});
  fake().fault("a.remote.test", "/api/v1/videos", {{"fault", "video_mismatch"}});
  const auto stream = data(source, "muxed720", false);
  EXPECT_EQ(stream.servingHost, "b.remote.test");
  EXPECT_TRUE(stream.videoHasAudio);
  EXPECT_FALSE(stream.audio);
  EXPECT_THAT(linesStartingWith("api_fail"),
              ElementsAre("api_fail host=a.remote.test endpoint=videos status=200 attempt=1/2 policy=auto local=false "
                          "reason=id_mismatch op=op7"));
  EXPECT_THAT(linesStartingWith("video_data_fetch_complete"),
              ElementsAre(HasSubstr("has_audio=true vcodec=avc1.64001F res=1280x720")));
  EXPECT_EQ(stream.video.soundCodec, "mp4a.40.2");
}

TEST_F(InvidiousVideoLookupTest, NothingPlayableAnywhereFailsWithTheFlagsModeAndDecodingFailuresStopAtOnce) {
  auto source = makeSource({{"p.remote.test", "proxy"}, {"b.remote.test", "auto"}});
  fake().fault("*", "/api/v1/videos", {{"fault", "no_playable"}});
  EXPECT_EQ(dataError(source, "v1", false), E(E::Case::noPlayableStream));
  EXPECT_THAT(requestHosts(), ElementsAre("p.remote.test", "b.remote.test"));
  EXPECT_THAT(linesStartingWith("stream_select_fail"),
              ElementsAre("stream_select_fail video=v1", "stream_select_fail video=v1")); // one per instance
  EXPECT_THAT(linesStartingWith("video_data_fetch_fail"),
              ElementsAre("video_data_fetch_fail video=v1 mode=policy err_domain=VideoSourceError err_code=8 "
                          "error=<private> op=op7"));

  fake().command({{"fault", "clear"}, {"host", "*"}});
  fake().clearEvents();
  fake().fault("*", "/api/v1/videos",
               {{"fault", "raw"}, {"body", "{\"videoId\":\"v1\",\"title\":\"t\",\"lengthSeconds\":\"9\"}"}});
  EXPECT_EQ(dataError(source, "v1", true), E(E::Case::decodingError));
  EXPECT_THAT(requestHosts(), ElementsAre("b.remote.test")); // the current one since the failover
  EXPECT_THAT(linesStartingWith("api_decode_fail"), ElementsAre(HasSubstr("err_path=lengthSeconds")));
  EXPECT_THAT(linesStartingWith("video_data_fetch_fail").back(),
              HasSubstr("mode=escalate_auto err_domain=VideoSourceError err_code=6"));
}

TEST_F(InvidiousVideoLookupTest, RealMuxedEntriesTakeTheirIdentityFromTheirAddressAndSplitTheirCodecs) {
  auto source = makeSource({{"a.remote.test", "auto"}});
  const auto stream = data(source, "realMuxed", false);
  EXPECT_TRUE(stream.videoHasAudio);
  EXPECT_EQ(stream.video.identity, (MediaIdentity{18, 12345678, "1700000000000003"}));
  EXPECT_EQ(stream.video.codec, "avc1.42001E");
  EXPECT_EQ(stream.video.soundCodec, "mp4a.40.2");
  EXPECT_EQ(stream.resolution, "640x360");
  EXPECT_EQ(stream.thumbnailURL, "https://a.remote.test/vi/realMuxed/hqdefault.jpg");
  // The refresh asks for the instance's own addresses: another address, the same media.
  const auto refreshed = data(source, "realMuxed", true, "a.remote.test");
  EXPECT_NE(refreshed.video.media.url, stream.video.media.url);
  EXPECT_EQ(refreshed.video.identity, stream.video.identity);

  // A length that is not positive is no length, in the entry or in the address.
  fake().command({{"fixture", "video:oddLengths1"},
                  {"json",
                   {{"title", "Odd lengths"},
                    {"formatStreams",
                     {{{"url", "@stream?itag=22&clen=0"},
                       {"type", "video/mp4; codecs=\"avc1.64001F\""},
                       {"qualityLabel", "720p"},
                       {"itag", 22}}}}}}});
  const auto odd = data(source, "oddLengths1", false);
  EXPECT_EQ(odd.video.identity, (MediaIdentity{22, std::nullopt, std::nullopt}));
  EXPECT_EQ(odd.video.codec, "avc1.64001F");
  EXPECT_EQ(odd.video.soundCodec, std::nullopt);
}

TEST_F(InvidiousVideoLookupTest, LiveAndUpcomingVideosAreNotPlayableAndNoOtherInstanceIsAsked) {
  auto source = makeSource({{"a.remote.test", "auto"}, {"b.remote.test", "auto"}});
  // Without the flag, a picture stream of length -1 is a live one all the same.
  fake().command({{"fixture", "video:liveNoFlag1"},
                  {"json",
                   {{"title", "Live, unflagged"},
                    {"adaptiveFormats",
                     {{{"url", "@stream?itag=136"},
                       {"type", "video/mp4; codecs=\"avc1.4d401f\""},
                       {"qualityLabel", "720p"},
                       {"itag", "136"},
                       {"clen", "-1"}}}}}}});
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"liveVideo", "live"}, {"premiere", "upcoming"}, {"liveNoFlag1", "live"}};
  for (const auto& [id, reason] : cases) {
    SCOPED_TRACE(id);
    fake().clearEvents();
    const auto error = dataError(source, id, false);
    EXPECT_EQ(error, E(E::Case::noPlayableStream));
    EXPECT_EQ(error.videoMessage(), reason);
    EXPECT_THAT(requestHosts(), ElementsAre("a.remote.test"));
  }
  EXPECT_THAT(linesStartingWith("stream_select_fail"), ElementsAre("stream_select_fail video=liveVideo reason=live",
                                                                   "stream_select_fail video=premiere reason=upcoming",
                                                                   "stream_select_fail video=liveNoFlag1 reason=live"));
  EXPECT_TRUE(linesStartingWith("instance_switch").empty());
}

TEST_F(InvidiousVideoLookupTest, AnErrorObjectWithA500IsTheVideosAnswerAndOtherFailuresStillMoveOn) {
  auto source = makeSource({{"a.remote.test", "auto"}, {"b.remote.test", "auto"}});
  const auto error = dataError(source, "privateVideo", false);
  EXPECT_EQ(error, E::httpError(500));
  EXPECT_EQ(error.videoMessage(), "This video is private");
  EXPECT_EQ(error.detail(), "httpError(statusCode: 500, error: \"This video is private\")");
  try {
    runBlocking([source]() -> runtime::Awaitable<VideoSearchItem> {
      co_return co_await source->fetchVideoItem("privateVideo", "o");
    });
    ADD_FAILURE() << "the item lookup did not fail";
  } catch (const E& itemError) {
    EXPECT_EQ(itemError.videoMessage(), "This video is private");
  }
  EXPECT_THAT(requestHosts(), ElementsAre("a.remote.test", "a.remote.test"));
  EXPECT_TRUE(linesStartingWith("instance_switch").empty());

  // The instance's text is clipped on a character boundary like any peer text in a line.
  std::string longText = "x";
  for (int i = 0; i < 80; ++i) longText += "\u00e9";
  fake().command({{"fixture", "video:longError1"}, {"json", {{"_status", 500}, {"error", longText}}}});
  EXPECT_EQ(dataError(source, "longError1", false).videoMessage(), longText.substr(0, 99));

  // A 500 without the object is the instance's failure: the next one answers.
  for (const auto& body : {std::string("500 fault"), std::string("{\"message\":\"down\"}")}) {
    SCOPED_TRACE(body);
    fake().command({{"fault", "clear"}, {"host", "*"}});
    fake().clearEvents();
    fake().fault("a.remote.test", "/api/v1/videos", {{"fault", "status"}, {"status", 500}, {"body", body}});
    EXPECT_EQ(data(source, "abc", false, "a.remote.test").servingHost, "b.remote.test");
    EXPECT_THAT(requestHosts(), ElementsAre("a.remote.test", "b.remote.test"));
  }
}

TEST_F(InvidiousVideoLookupTest, PreferredHostIsNormalisedAndBadIdsAreNeverSent) {
  auto source = makeSource({{"a.remote.test", "auto"}});
  const auto stream = data(source, "pictureOnly", true, " HTTPS://B.Remote.TEST/ ");
  EXPECT_EQ(stream.servingHost, "b.remote.test");
  EXPECT_EQ(stream.video.codec, "avc1.640028");
  EXPECT_THAT(requestHosts(), ElementsAre("b.remote.test"));

  fake().clearEvents();
  for (const char* id : {"a.b", "a/b", "\u00e9t\u00e9", "../x", ""}) {
    EXPECT_EQ(dataError(source, id, false), E(E::Case::invalidVideoID)) << id;
    EXPECT_THROW(runBlocking([source, id]() -> runtime::Awaitable<VideoSearchItem> {
                   co_return co_await source->fetchVideoItem(id, "o");
                 }),
                 E);
  }
  EXPECT_TRUE(fake().requests().empty());
  EXPECT_TRUE(linesStartingWith("video_data_fetch_fail").size() == 0);
}

} // namespace
} // namespace pd::remotesource
