// The token check, dispatch and the YouTube side, over the real server and the fake remote.

#include "APIRig.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "remotesource/VideoServiceHosts.hpp"
#include "runtime/Clock.hpp"
#include "support/LogWindow.hpp"

#include <gmock/gmock.h>

#include <fstream>
#include <regex>

namespace pd::api {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using namespace std::chrono_literals;

class ReceiverAPIServiceTest : public test::APIRig {
protected:
  void SetUp() override {
    APIRig::SetUp();
    fake().command({{"media", "thumb.jpg"}, {"size", 1000}});
  }
  void TearDown() override { fake().command({{"fixture", "search"}, {"json", nullptr}}); }

  // The default search answer with the first video's thumbnail on the fake's ranged media role,
  // which the relay can fetch from.
  void searchWithRelayableThumbnail() {
    fake().command({{"fixture", "search"},
                    {"json",
                     {{{"type", "video"},
                       {"title", "First"},
                       {"videoId", "vid00000001"},
                       {"author", "Author One"},
                       {"lengthSeconds", 212},
                       {"videoThumbnails", {{{"quality", "high"}, {"url", "/media/thumb.jpg"}}}}},
                      {{"type", "channel"}, {"author", "Some Channel"}},
                      {{"type", "video"},
                       {"title", "Second"},
                       {"videoId", "vid00000002"},
                       {"videoThumbnails",
                        {{{"quality", "default"}, {"url", "https://img.remote.test/vi/vid00000002/default.jpg"}}}}}}}});
  }
  static std::string thumbBytes() {
    std::string bytes;
    for (int i = 0; i < 1000; ++i) bytes.push_back(static_cast<char>(i % 251));
    return bytes;
  }
  // The service anew over a server of its own with the given deadline margin and over the given
  // instances, the client with the given time-out between bytes and bound on a whole answer, and
  // every limit of the local side 20 ms.
  void rebuildOver(const std::vector<std::string>& hosts, remotesource::InvidiousVideoSource::Timing sourceTiming,
                   std::chrono::nanoseconds margin) {
    mediaserver::LocalVideoHTTPServer::Timing serverTiming;
    serverTiming.apiDeadlineMargin = margin;
    server_ = mediaserver::LocalVideoHTTPServer::create(relay_, serverTiming);
    manager_ = makeManager(hosts);
    source_ = std::make_shared<remotesource::InvidiousVideoSource>(manager_, makeClient(), sourceTiming);
    preparer_ = std::make_shared<relay::RemoteVideoPreparer>(std::make_shared<HTTPServerPort>(server_), source_,
                                                             std::make_shared<platform::http::Client>());
    ReceiverAPIService::Timing timing;
    for (auto* limit :
         {&timing.localSearchLimit, &timing.lookupLimit, &timing.thumbnailLimit, &timing.thumbnailDeadline,
          &timing.durationLimit, &timing.resolveBPMLimit, &timing.bpmLimit, &timing.guardCheckLimit}) {
      *limit = 20ms;
    }
    port_ = 0;
    build(timing);
  }
  // A fixture of videos.json installed under an 11-character id.
  void aliasVideo(const std::string& id, const std::string& fixture) {
    std::ifstream file(std::string(PD_SOURCE_DIR) + "/tools/fake-remote/videos.json");
    const auto videos = nlohmann::json::parse(file);
    fake().command({{"fixture", "video:" + id}, {"json", videos.at(fixture)}});
  }
};

TEST_F(ReceiverAPIServiceTest, TheTokenIsCheckedBeforeTheRoute) {
  // Routes the server does not hand to the hook are reached through handle() itself.
  const auto wrong = handle("nowhere", {{"s", std::string(32, '0')}});
  EXPECT_EQ(wrong.status, 403);
  EXPECT_EQ(wrong.body, R"({"error":"forbidden"})");
  EXPECT_EQ(get("search", "q=x", false).status, 403);
  EXPECT_EQ(get("search", "s=&q=x", false).status, 403);
  EXPECT_EQ(get("search", "s=" + token().substr(0, 31) + "&q=x", false).status, 403);
  // The refusals after the first are counted, not written (see below).
  EXPECT_THAT(sourceLines(), ElementsAre("receiver_api_auth_fail route=nowhere occurrences=1"));

  const auto unknown = handle("nowhere", {{"s", token()}});
  EXPECT_EQ(unknown.status, 404);
  EXPECT_EQ(unknown.body, R"({"error":"not_found"})");
  const auto lines = sourceLines();
  ASSERT_THAT(lines, SizeIs(2));
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("receiver_api_request route=nowhere status=404 dur_ms=[0-9]+ "
                                                    "op=[0-9a-f]{8}")))
      << lines[1];

  // A rotated-out token is refused from then on.
  const auto old = token();
  store_->rotate();
  EXPECT_EQ(get("search", "q=x&s=" + old, false).status, 403);
  EXPECT_EQ(handle("nowhere", {{"s", token()}}).status, 404);
}

// Any host on the network can be refused as often as it likes: its refusals write the first line
// and then one now and then with their count, so the log keeps its useful lines.
TEST_F(ReceiverAPIServiceTest, RefusalsAreCountedNotEachWritten) {
  runtime::ManualClock clock;
  runtime::ScopedClock installed(clock);
  testing::LogWindow log;
  const auto refuse = [this](int times, const std::string& route) {
    testing::runBlocking([service = service_, times, route]() -> runtime::Awaitable<void> {
      const std::map<std::string, std::string> query{{"s", "wrong"}};
      for (int i = 0; i < times; ++i) {
        const auto answer = co_await service->handle(route, query);
        if (answer.status != 403) throw std::logic_error("not refused");
      }
    });
  };
  refuse(10'000, "search");
  // Half a second on, the next 30th refusal is written, with the count of all of them.
  clock.advance(500ms);
  refuse(20, "bpm");
  std::vector<std::string> refusals = log.lines();
  std::erase_if(refusals, [](const std::string& line) { return !line.starts_with("receiver_api_auth_fail "); });
  EXPECT_THAT(refusals, ElementsAre("receiver_api_auth_fail route=search occurrences=1",
                                    "receiver_api_auth_fail route=bpm occurrences=10020"));
  EXPECT_LE(log.lines().size(), 4U) << "lines written while 10,020 requests were refused";
}

TEST_F(ReceiverAPIServiceTest, TheQueryIsTrimmedAndBounded) {
  for (const char* bad : {"", "q=", "q=%20%E3%80%80%0A",
                          "q="
                          "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
                          "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"
                          "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"}) {
    const auto answer = get("search", bad);
    EXPECT_EQ(answer.status, 400) << bad;
    EXPECT_EQ(answer.body, R"({"detail":"q","error":"bad_request"})");
  }
  // 200 characters of two bytes each, trimmed of blanks around them, pass.
  std::string query = "%20";
  std::string expected = "First ";
  for (int i = 0; i < 200; ++i) {
    query += "%C3%A9";
    expected += "\xC3\xA9";
  }
  const auto answer = get("search", "q=" + query + "%0A");
  EXPECT_EQ(answer.status, 200);
  EXPECT_EQ(answer.json()["items"][0]["title"], expected);
  // Nothing reached the source for the refused ones.
  EXPECT_THAT(requestsTo("localhost"), SizeIs(1));
}

TEST_F(ReceiverAPIServiceTest, SearchRelaysThumbnailsOnlyFromHostsTheRulesAllow) {
  testing::LogWindow log;
  searchWithRelayableThumbnail();
  const auto answer = get("search", "q=cats");
  ASSERT_EQ(answer.status, 200) << answer.body;
  const auto items = answer.json()["items"];
  ASSERT_THAT(items, SizeIs(2));
  EXPECT_EQ(items[0]["videoID"], "vid00000001");
  EXPECT_EQ(items[0]["title"], "First");
  EXPECT_EQ(items[0]["author"], "Author One");
  EXPECT_EQ(items[0]["lengthSeconds"], 212);
  const std::string thumbnail = items[0]["thumbnail"];
  // The body writes "/" as "\/".
  EXPECT_NE(answer.body.find(R"("thumbnail":"\/)"), std::string::npos);
  EXPECT_FALSE(items[1].contains("thumbnail"));
  EXPECT_FALSE(items[1].contains("author"));
  EXPECT_FALSE(items[1].contains("lengthSeconds"));
  const auto served = fetch(thumbnail);
  EXPECT_EQ(served.first, 200);
  EXPECT_EQ(served.second, thumbBytes());
  // One token for one matching thumbnail, held under the request's ticket.
  const auto held = books();
  ASSERT_THAT(held.searches, SizeIs(1));
  EXPECT_THAT(held.searches[0].tokens, ElementsAre(thumbnail.substr(1)));
  EXPECT_TRUE(log.has("receiver_api_request route=search status=200"));

  // With the image domain admitted by suffix, the second one is registered too.
  remotesource::ScopedVideoServiceHosts hosts({"youtube.com", "youtu.be", {"remote.test", "ggpht.com"}});
  EXPECT_TRUE(get("search", "q=dogs").json()["items"][1].contains("thumbnail"));
}

TEST_F(ReceiverAPIServiceTest, AVideoLinkLooksUpThatOneVideo) {
  const auto answer = get("search", "q=https%3A%2F%2Fyoutu.be%2FdQw4w9WgXcQ");
  ASSERT_EQ(answer.status, 200) << answer.body;
  const auto items = answer.json()["items"];
  ASSERT_THAT(items, SizeIs(1));
  EXPECT_EQ(items[0]["videoID"], "dQw4w9WgXcQ");
  EXPECT_EQ(items[0]["title"], "Default video");
  EXPECT_TRUE(items[0].contains("thumbnail"));
  // A bare id is searched as text.
  EXPECT_EQ(get("search", "q=dQw4w9WgXcQ").json()["items"][0]["title"], "First dQw4w9WgXcQ");
}

TEST_F(ReceiverAPIServiceTest, SourceFailuresRegisterNothing) {
  fake().fault("*", "/api/v1/search", {{"fault", "status"}, {"status", 404}});
  const auto answer = get("search", "q=cats");
  EXPECT_EQ(answer.status, 502);
  EXPECT_EQ(answer.body, R"({"error":"upstream_http","upstreamStatus":404})");
  EXPECT_THAT(books().searches, IsEmpty());
  // The ticket was spent all the same.
  EXPECT_EQ(books().lastTicket, 1);
}

// The first instance trickles its answer until the client's bound on a whole answer ends it, the
// second trickles a good one: the search outlasts the local side's limits and the margin together
// (the first attempt alone cannot end before the 3 s between bytes), and the tablet still gets the
// items rather than the server's "unavailable".
TEST_F(ReceiverAPIServiceTest, ASlowSearchThatFailsOverGetsItsItems) {
  rebuildOver({"a.remote.test", "b.remote.test"}, {3000ms, 5000ms}, 2500ms);
  fake().fault("a.remote.test", "/api/v1/search", {{"fault", "slow_body"}, {"chunk", 8}, {"delay", 0.2}});
  fake().fault("b.remote.test", "/api/v1/search",
               {{"fault", "slow_body"},
                {"json", {{{"type", "video"}, {"title", "Late"}, {"videoId", "vid0000late"}}}},
                {"chunk", 16},
                {"delay", 0.2}});
  const auto started = std::chrono::steady_clock::now();
  const auto answer = get("search", "q=slow");
  const auto took = std::chrono::steady_clock::now() - started;
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(answer.json(), nlohmann::json::parse(R"({"items":[{"title":"Late","videoID":"vid0000late"}]})"));
  EXPECT_GE(took, 3000ms);
  EXPECT_THAT(requestHosts(), ElementsAre("a.remote.test", "b.remote.test"));
  EXPECT_THAT(linesStartingWith("instance_switch from=a.remote.test to=b.remote.test policy=auto "
                                "reason=network_error "),
              SizeIs(1));
}

// The list holds one instance when the search starts, so the deadline first stated covers one
// attempt; the user adds a second while the first trickles to its bound. The search tries the
// new instance, and the tablet gets its items past the deadline first stated.
TEST_F(ReceiverAPIServiceTest, AnInstanceAddedDuringASearchIsWaitedFor) {
  rebuildOver({"a.remote.test"}, {3000ms, 4000ms}, 500ms);
  fake().fault("a.remote.test", "/api/v1/search", {{"fault", "slow_body"}, {"chunk", 8}, {"delay", 0.2}});
  fake().fault("b.remote.test", "/api/v1/search",
               {{"fault", "slow_body"},
                {"json", {{{"type", "video"}, {"title", "Late"}, {"videoId", "vid0000late"}}}},
                {"chunk", 8},
                {"delay", 0.2}});
  std::thread adder([this, manager = manager_] {
    fake().waitFor([](const nlohmann::json& e) { return e["event"] == "request" && e["host"] == "a.remote.test"; });
    platform::settings::UserDefaults defaults;
    const std::vector<remotesource::InvidiousInstance> both{{"a.remote.test", remotesource::ProxyPolicy::automatic},
                                                            {"b.remote.test", remotesource::ProxyPolicy::automatic}};
    testing::runBlocking([manager, &defaults, both]() -> runtime::Awaitable<void> {
      co_await manager->setUserInstances(both, defaults);
    });
  });
  const auto started = std::chrono::steady_clock::now();
  const auto answer = get("search", "q=slow");
  const auto took = std::chrono::steady_clock::now() - started;
  adder.join();
  ASSERT_EQ(answer.status, 200) << answer.body;
  EXPECT_EQ(answer.json(), nlohmann::json::parse(R"({"items":[{"title":"Late","videoID":"vid0000late"}]})"));
  EXPECT_GE(took, 4500ms);
  EXPECT_THAT(linesStartingWith("search_complete"), ElementsAre(::testing::HasSubstr("host=b.remote.test")));
}

// A tablet that gives up, and the server's deadline, each end the transfer to the instance at
// once, long before the client's own time-out between bytes would.
TEST_F(ReceiverAPIServiceTest, AnEndedRequestEndsItsTransferToTheInstance) {
  rebuildOver({"a.remote.test"}, {60'000ms, 120'000ms}, 100ms);
  fake().fault("a.remote.test", "/api/v1/search", {{"fault", "stall"}, {"seconds", 30}});
  const auto closed = [](std::string query) {
    return [query](const nlohmann::json& e) {
      return e["event"] == "closed" && e["path"].get<std::string>().find(query) != std::string::npos;
    };
  };
  const auto target = base() + "search?s=" + token() + "&q=gone";
  EXPECT_FALSE(test::run("curl -s --max-time 1 " + test::shellQuoted(target)).second);
  EXPECT_TRUE(fake().waitFor(closed("q=gone&"), 10s));

  server_->setAPIHandler(hook(), 200ms);
  const auto cut = get("search", "q=cut");
  EXPECT_EQ(cut.status, 503);
  EXPECT_EQ(cut.body, R"({"error":"unavailable"})");
  EXPECT_TRUE(fake().waitFor(closed("q=cut&"), 10s));
  // Neither was a failure of the instance, nor an answer the tablet got from the route.
  EXPECT_THAT(linesStartingWith("api_fail"), IsEmpty());
  EXPECT_THAT(linesStartingWith("receiver_api_request"), IsEmpty());
}

TEST_F(ReceiverAPIServiceTest, ResolveChecksVideoBeforeDeck) {
  EXPECT_EQ(get("resolve").body, R"({"error":"invalid_video_id"})");
  EXPECT_EQ(get("resolve", "v=short&d=x").body, R"({"error":"invalid_video_id"})");
  EXPECT_EQ(get("resolve", "v=file-ABCDEF0123456789abcdef01").status, 400);
  const auto deck = get("resolve", "v=muxed720abc&d=a");
  EXPECT_EQ(deck.status, 400);
  EXPECT_EQ(deck.body, R"({"detail":"d","error":"bad_request"})");
  EXPECT_EQ(books().lastTicket, 0);
}

TEST_F(ReceiverAPIServiceTest, ResolveDescribesMuxedSeparateAndPictureOnlyVideos) {
  // Muxed: the audio is the video's own; the sound track is still described when there is one.
  aliasVideo("muxed720abc", "muxed720");
  const auto muxed = get("resolve", "v=muxed720abc&d=A");
  ASSERT_EQ(muxed.status, 200) << muxed.body;
  const auto m = muxed.json();
  EXPECT_EQ(m["videoID"], "muxed720abc");
  EXPECT_EQ(m["title"], "Muxed 720");
  EXPECT_EQ(m["videoHasAudio"], true);
  EXPECT_FALSE(m.contains("audio"));
  EXPECT_EQ(m["durationSeconds"], 60);
  EXPECT_EQ(m["videoMimeType"], "video/mp4; codecs=\"avc1.64001F, mp4a.40.2\"");
  for (const auto& [key, value] : m.items()) EXPECT_FALSE(value.is_null()) << key;
  EXPECT_THAT(books().resolves["A"], SizeIs(1));

  fake().command({{"fixture", "video:separate001"},
                  {"json",
                   {{"title", "Separate"},
                    {"author", "Someone"},
                    {"videoThumbnails", {{{"quality", "maxres"}, {"url", "/vi/separate001/maxres.webp"}}}},
                    {"adaptiveFormats",
                     {{{"url", "https://localhost/videoplayback?itag=137&id=v"},
                       {"type", "video/mp4; codecs=\"avc1.4d400d\""},
                       {"qualityLabel", "180p"},
                       {"bitrate", "300000"},
                       {"itag", "137"},
                       {"clen", "1000"},
                       {"size", "320x180"}},
                      {{"url", "https://localhost/videoplayback?itag=140&id=a"},
                       {"type", "audio/mp4; codecs=\"mp4a.40.2\""},
                       {"bitrate", "96000"},
                       {"itag", "140"},
                       {"clen", "500"}}}}}}});
  const auto separate = get("resolve", "v=separate001");
  ASSERT_EQ(separate.status, 200) << separate.body;
  const auto s = separate.json();
  EXPECT_EQ(s["videoHasAudio"], false);
  EXPECT_EQ(s["audioCodec"], "mp4a.40.2");
  EXPECT_EQ(s["audioBitrate"], 96000);
  EXPECT_EQ(s["audioMimeType"], "audio/mp4; codecs=\"mp4a.40.2\"");
  EXPECT_EQ(s["videoCodec"], "avc1.4d400d");
  EXPECT_EQ(s["videoBitrate"], 300000);
  EXPECT_EQ(s["author"], "Someone");
  EXPECT_EQ(s["resolution"], "320x180");
  // Tokens in the order video, audio, thumbnail, under the no-deck key.
  const auto held = books().resolves["-"];
  ASSERT_THAT(held, SizeIs(1));
  EXPECT_EQ(held[0].tokens,
            (std::vector<std::string>{std::string(s["video"]).substr(1), std::string(s["audio"]).substr(1),
                                      std::string(s["thumbnail"]).substr(1)}));

  const auto pictures = get("resolve", "v=pictureOnly&d=B").json();
  EXPECT_EQ(pictures["videoHasAudio"], false);
  EXPECT_FALSE(pictures.contains("audio"));
  EXPECT_FALSE(pictures.contains("audioCodec"));

  fake().fault("*", "/api/v1/videos", {{"fault", "status"}, {"status", 404}});
  const auto failed = get("resolve", "v=gone0000001");
  EXPECT_EQ(failed.status, 502);
  EXPECT_EQ(failed.body, R"({"error":"upstream_http","upstreamStatus":404})");
}

TEST_F(ReceiverAPIServiceTest, OnlyTheNewestThreeSearchesKeepTheirThumbnails) {
  searchWithRelayableThumbnail();
  std::vector<std::string> thumbnails;
  for (int i = 0; i < 4; ++i) {
    thumbnails.push_back(get("search", "q=round" + std::to_string(i)).json()["items"][0]["thumbnail"]);
  }
  EXPECT_EQ(fetch(thumbnails[0]).first, 404);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(fetch(thumbnails[static_cast<std::size_t>(i)]).first, 200);
}

} // namespace
} // namespace pd::api
