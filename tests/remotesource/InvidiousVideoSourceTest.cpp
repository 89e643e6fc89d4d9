#include "remotesource/InvidiousVideoSource.hpp"

#include "RemoteSourceTestSupport.hpp"
#include "platform/json/Document.hpp"
#include "platform/settings/UserDefaults.hpp"
#include "remotesource/VideoSourceError.hpp"

#include <gmock/gmock.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <new>

namespace pd::remotesource {
namespace {

using namespace std::chrono_literals;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing::runBlocking;
using E = VideoSourceError;

class InvidiousVideoSourceTest : public test::FakeRemoteSuite {
protected:
  std::shared_ptr<InvidiousVideoSource> makeSource(const std::vector<std::string>& hosts) {
    manager = makeManager(hosts);
    InvidiousVideoSource::Timing timing;
    timing.requestTimeout = 400ms;
    return std::make_shared<InvidiousVideoSource>(manager, makeClient(), timing);
  }

  std::vector<VideoSearchItem> search(const std::shared_ptr<InvidiousVideoSource>& source, std::string query) {
    return runBlocking([source, query]() -> runtime::Awaitable<std::vector<VideoSearchItem>> {
      co_return co_await source->search(query, "op1");
    });
  }

  E searchError(const std::shared_ptr<InvidiousVideoSource>& source, std::string query = "x") {
    try {
      search(source, query);
    } catch (const E& error) {
      return error;
    }
    ADD_FAILURE() << "the search did not fail";
    return E(E::Case::invalidQuery);
  }

  std::string current() {
    auto m = manager;
    return runBlocking([m]() -> runtime::Awaitable<std::string> { co_return (co_await m->currentInstance()).host; });
  }

  std::shared_ptr<InvidiousInstanceManager> manager;
};

TEST_F(InvidiousVideoSourceTest, SearchReturnsTheVideosOfTheCurrentInstanceWithEncodedQuery) {
  auto source = makeSource({"a.remote.test", "b.remote.test"});
  const auto items = search(source, "  rock & roll\n");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].videoID, "vid00000001");
  EXPECT_EQ(items[0].title, "First rock & roll");
  EXPECT_EQ(items[0].author, "Author One");
  EXPECT_EQ(items[0].lengthSeconds, 212);
  EXPECT_EQ(items[0].thumbnailURL, "https://a.remote.test/vi/vid00000001/mqdefault.jpg");
  EXPECT_EQ(items[1].thumbnailURL, "https://img.remote.test/vi/vid00000002/default.jpg");
  EXPECT_EQ(items[1].author, std::nullopt);
  EXPECT_THAT(requestsTo("a.remote.test"), ElementsAre("/api/v1/search?q=rock%20%26%20roll&type=video"));
  EXPECT_THAT(linesStartingWith("search_complete"), ElementsAre("search_complete count=2 host=a.remote.test op=op1"));

  EXPECT_TRUE(search(source, " \n\u3000").empty());
  EXPECT_THAT(requestHosts(), ElementsAre("a.remote.test"));
  EXPECT_EQ(searchError(source, "bad \xff").errorCase(), E::Case::invalidQuery);
}

TEST_F(InvidiousVideoSourceTest, BothInstancesAnswering503FailOverOnceThenAllFail) {
  auto source = makeSource({"a.remote.test", "b.remote.test"});
  fake().fault("*", "/api/v1/search", {{"fault", "status"}, {"status", 503}});
  EXPECT_EQ(searchError(source).errorCase(), E::Case::allInstancesFailed);
  EXPECT_THAT(requestHosts(), ElementsAre("a.remote.test", "b.remote.test"));
  EXPECT_THAT(linesStartingWith("api_fail"),
              ElementsAre("api_fail host=a.remote.test endpoint=search status=503 attempt=1/2 policy=auto "
                          "body_len=9 body=<private> op=op1",
                          "api_fail host=b.remote.test endpoint=search status=503 attempt=2/2 policy=auto "
                          "body_len=9 body=<private> op=op1"));
  EXPECT_THAT(linesStartingWith("instance_switch"),
              ElementsAre("instance_switch from=a.remote.test to=b.remote.test policy=auto reason=failover",
                          "instance_switch from=a.remote.test to=b.remote.test policy=auto reason=http_503 op=op1"));
  EXPECT_THAT(linesStartingWith("all_instances_fail"), ElementsAre("all_instances_fail total=2 tried=2"));
  EXPECT_EQ(current(), "b.remote.test"); // the last host the call moved to
}

TEST_F(InvidiousVideoSourceTest, NotFoundAndUndecodableAnswersEndAtTheFirstInstance) {
  auto source = makeSource({"a.remote.test", "b.remote.test"});
  fake().fault("a.remote.test", "/api/v1/search", {{"fault", "status"}, {"status", 404}, {"times", 1}});
  const auto notFound = searchError(source);
  EXPECT_EQ(notFound, E::httpError(404));
  EXPECT_TRUE(linesStartingWith("instance_switch").empty());

  fake().fault("a.remote.test", "/api/v1/search", {{"fault", "json"}, {"json", {{"not", "an array"}}}, {"times", 1}});
  EXPECT_EQ(searchError(source).errorCase(), E::Case::decodingError);
  EXPECT_THAT(linesStartingWith("api_decode_fail"),
              ElementsAre(HasSubstr("api_decode_fail host=a.remote.test endpoint=search "
                                    "err_domain=DecodingError.typeMismatch err_path=- err_code=0 error=<private>")));
  EXPECT_THAT(requestHosts(), ElementsAre("a.remote.test", "a.remote.test"));
}

TEST_F(InvidiousVideoSourceTest, UnusableAnswersAreInvalidResponsesThatFailOver) {
  auto source = makeSource({"a.remote.test", "b.remote.test", "c.remote.test"});
  fake().fault("a.remote.test", "/api/v1/search", {{"fault", "non_json"}});
  fake().fault("b.remote.test", "/api/v1/search", {{"fault", "empty"}});
  // Past the 16 MiB cap the transfer stops instead of holding the whole answer.
  fake().fault("c.remote.test", "/api/v1/search", {{"fault", "over_cap"}, {"bytes", 17 * 1024 * 1024}});
  EXPECT_EQ(searchError(source).errorCase(), E::Case::allInstancesFailed);
  const auto fails = linesStartingWith("api_fail");
  ASSERT_EQ(fails.size(), 3u);
  EXPECT_THAT(fails[0], HasSubstr("status=200 attempt=1/3 policy=auto reason=non_json body_len=21 op=op1"));
  EXPECT_THAT(fails[1], HasSubstr("status=200 attempt=2/3 policy=auto reason=empty_body op=op1"));
  EXPECT_THAT(fails[2],
              HasSubstr("host=c.remote.test endpoint=search status=0 attempt=3/3 policy=auto reason=invalid_response"));
  const auto switches = linesStartingWith("instance_switch");
  EXPECT_THAT(switches, ::testing::Contains(HasSubstr("reason=invalid_response op=op1")));
}

TEST_F(InvidiousVideoSourceTest, ErrorEnvelopeMovesToTheNextInstance) {
  auto source = makeSource({"a.remote.test", "b.remote.test"});
  fake().fault("a.remote.test", "/api/v1/search", {{"fault", "envelope"}, {"message", "rate limited"}});
  const auto items = search(source, "x");
  EXPECT_EQ(items.size(), 2u);
  EXPECT_THAT(linesStartingWith("api_fail"),
              ElementsAre("api_fail host=a.remote.test endpoint=search status=500 attempt=1/2 policy=auto "
                          "reason=invidious_error err_domain=invidious_api err_code=0 error=<private> op=op1"));
  EXPECT_THAT(linesStartingWith("search_complete"), ElementsAre("search_complete count=2 host=b.remote.test op=op1"));
  EXPECT_EQ(items[0].thumbnailURL, "https://b.remote.test/vi/vid00000001/mqdefault.jpg");
}

TEST_F(InvidiousVideoSourceTest, HostileAnswersEndInTheirErrorsAndToleratedShapes) {
  auto source = makeSource({"a.remote.test", "b.remote.test", "c.remote.test"});
  fake().fault("a.remote.test", "/api/v1/search",
               {{"fault", "raw"}, {"body", std::string(100000, '[') + std::string(100000, ']')}});
  fake().fault("b.remote.test", "/api/v1/search",
               {{"fault", "raw"}, {"body", "[{\"title\":\"\u00ff\",\"videoId\":\"v\"}]"}});
  fake().fault("c.remote.test", "/api/v1/search",
               {{"fault", "json"}, {"json", nlohmann::json::parse(R"([{"type":5,"title":3,"videoId":"x"},
                   {"videoId":"y","title":"","lengthSeconds":"12","videoThumbnails":[{"quality":"medium"}]},
                   {"type":"Video","videoId":"z","title":"t"}])")}});
  const auto items = search(source, "x");
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0], (VideoSearchItem{"y", "", std::nullopt, std::nullopt, std::nullopt}));
  EXPECT_THAT(linesStartingWith("api_fail"),
              ElementsAre(AllOf(HasSubstr("host=a.remote.test"), HasSubstr("reason=non_json")),
                          AllOf(HasSubstr("host=b.remote.test"), HasSubstr("reason=non_json"))));
}

TEST_F(InvidiousVideoSourceTest, StalledInstanceFailsOverAfterTheIdleTimeout) {
  auto source = makeSource({"a.remote.test", "b.remote.test"});
  fake().fault("a.remote.test", "/api/v1/search", {{"fault", "stall"}, {"seconds", 10}});
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(search(source, "x").size(), 2u);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 3s);
  EXPECT_THAT(linesStartingWith("api_fail"),
              ElementsAre(HasSubstr("api_fail host=a.remote.test endpoint=search status=0 attempt=1/2 policy=auto "
                                    "reason=network_error err_domain=curl err_code=28")));
  EXPECT_THAT(linesStartingWith("instance_switch"), ::testing::Contains(HasSubstr("reason=network_error op=op1")));
}

TEST_F(InvidiousVideoSourceTest, RedirectsAreFollowed) {
  auto source = makeSource({"a.remote.test"});
  fake().fault("a.remote.test", "/api/v1/search",
               {{"fault", "redirect"}, {"location", "https://b.remote.test/api/v1/search?q=moved"}, {"times", 1}});
  const auto items = search(source, "x");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].title, "First moved");
}

TEST_F(InvidiousVideoSourceTest, StartHostOutsideTheListGetsItsOwnAttempt) {
  auto source = makeSource({"a.remote.test", "b.remote.test"});
  fake().fault("*", "/api/v1/videos", {{"fault", "status"}, {"status", 502}});
  InvidiousVideoSource::RequestOptions options;
  options.endpoint = "videos";
  options.startHost = "HTTPS://Z.remote.test/";
  options.op = "op2";
  options.timeout = 400ms;
  std::vector<ProxyPolicy> policies;
  options.pathBuilder = [&policies](ProxyPolicy policy) {
    policies.push_back(policy);
    return std::string("/api/v1/videos/abc?local=") + (policy == ProxyPolicy::proxyOnly ? "true" : "false");
  };
  InvidiousVideoSource::Decode<int> decode = [](const InvidiousVideoSource::DecodeInput&) { return 1; };
  try {
    runBlocking([source, options, decode]() -> runtime::Awaitable<int> {
      co_return (co_await source->request<int>(options, decode)).first;
    });
    ADD_FAILURE() << "the request succeeded";
  } catch (const E& error) {
    EXPECT_EQ(error.errorCase(), E::Case::allInstancesFailed);
  }
  EXPECT_THAT(requestHosts(), ElementsAre("z.remote.test", "a.remote.test", "b.remote.test"));
  EXPECT_THAT(policies, ElementsAre(ProxyPolicy::automatic, ProxyPolicy::automatic, ProxyPolicy::automatic));
  const auto fails = linesStartingWith("api_fail");
  ASSERT_EQ(fails.size(), 3u);
  EXPECT_THAT(fails[0], HasSubstr("host=z.remote.test endpoint=videos status=502 attempt=1/2 policy=auto local=false"));
  EXPECT_THAT(fails[2], HasSubstr("attempt=3/2"));
}

TEST_F(InvidiousVideoSourceTest, StartHostThatIsNoAddressFailsOverWithoutARequest) {
  auto source = makeSource({"a.remote.test"});
  InvidiousVideoSource::RequestOptions options;
  options.path = "/api/v1/videos/abc?local=true";
  options.endpoint = "videos";
  options.startHost = "bad host";
  options.op = "op4";
  InvidiousVideoSource::Decode<std::string> decode = [](const InvidiousVideoSource::DecodeInput& input) {
    return std::string(input.baseURL);
  };
  fake().fault("a.remote.test", "/api/v1/videos", {{"fault", "json"}, {"json", {{"videoId", "abc"}}}});
  const auto [base, host] =
      runBlocking([source, options, decode]() -> runtime::Awaitable<std::pair<std::string, std::string>> {
        co_return co_await source->request<std::string>(options, decode);
      });
  EXPECT_EQ(base, "https://a.remote.test");
  EXPECT_EQ(host, "a.remote.test");
  EXPECT_THAT(linesStartingWith("api_fail"),
              ElementsAre("api_fail host=bad host endpoint=videos status=0 attempt=1/1 policy=auto local=true "
                          "reason=invalid_host op=op4"));
  EXPECT_THAT(requestHosts(), ElementsAre("a.remote.test"));
}

TEST_F(InvidiousVideoSourceTest, CancelledCallLogsNoFailureAndClosesTheConnection) {
  auto source = makeSource({"a.remote.test", "b.remote.test"});
  fake().fault("a.remote.test", "/api/v1/search", {{"fault", "stall"}, {"seconds", 10}});
  auto task =
      runtime::spawn(runtime::sharedPool().executor(), [source]() -> runtime::Awaitable<std::vector<VideoSearchItem>> {
        co_return co_await source->search("x", "op3");
      });
  ASSERT_TRUE(fake().waitFor([](const auto& e) { return e["event"] == "request"; }));
  task.cancel();
  ASSERT_TRUE(runtime::test::waitUntilFinished(task, 5s));
  EXPECT_THROW(task.state()->result(), runtime::CancellationError);
  EXPECT_TRUE(fake().waitFor([](const auto& e) { return e["event"] == "closed"; }, 5s));
  EXPECT_TRUE(linesStartingWith("api_fail").empty());
  EXPECT_TRUE(linesStartingWith("instance_switch").empty());
  EXPECT_THAT(requestHosts(), ElementsAre("a.remote.test"));
}

// A call may try every instance of the list, each until its bound on a whole answer: the longest
// call is that of the list as it stands, also after the user edits it.
TEST_F(InvidiousVideoSourceTest, TheLongestCallCoversEveryInstanceOfTheListAsItStands) {
  manager = makeManager({"a.remote.test"});
  const InvidiousVideoSource source(manager, makeClient(), {400ms, 2000ms});
  EXPECT_EQ(source.longestCall(), 2000ms);
  platform::settings::UserDefaults defaults;
  const std::vector<InvidiousInstance> three{{"a.remote.test", ProxyPolicy::automatic},
                                             {"b.remote.test", ProxyPolicy::automatic},
                                             {"c.remote.test", ProxyPolicy::automatic}};
  runBlocking(
      [m = manager, &defaults, three]() -> runtime::Awaitable<void> { co_await m->setUserInstances(three, defaults); });
  EXPECT_EQ(source.longestCall(), 6000ms);
}

TEST(InvidiousSearchDecodingTest, ThumbnailChoiceAndQueryEncoding) {
  using S = InvidiousVideoSource;
  const std::vector<S::Thumbnail> highMedium{
      {"high", "/h.jpg"}, {"medium", "/vi/x/mqdefault.jpg"}, {"medium", "/m2.jpg"}};
  EXPECT_EQ(S::pickThumbnail(highMedium, {"medium"}, "https://h.example:8443"),
            "https://h.example:8443/vi/x/mqdefault.jpg");
  EXPECT_EQ(S::pickThumbnail(std::vector<S::Thumbnail>{{"high", "https://cdn.example/h.jpg"}, {"default", "/d.jpg"}},
                             {"medium"}, "https://h.example"),
            "https://cdn.example/h.jpg");
  EXPECT_EQ(S::pickThumbnail(std::vector<S::Thumbnail>{{"medium", "not a url"}}, {"medium"}, "https://h.example"),
            std::nullopt);
  // An empty address names no image: resolved, it would be the instance's own front page.
  EXPECT_EQ(
      S::pickThumbnail(std::vector<S::Thumbnail>{{"medium", ""}, {"high", "/h.jpg"}}, {"medium"}, "https://h.example"),
      std::nullopt);
  EXPECT_EQ(S::pickThumbnail(std::vector<S::Thumbnail>{}, {"medium"}, "https://h.example"), std::nullopt);
  EXPECT_EQ(S::pickThumbnail(std::nullopt, {"medium"}, "https://h.example"), std::nullopt);

  EXPECT_EQ(S::percentEncodeQuery("rock & roll"), "rock%20%26%20roll");
  EXPECT_EQ(S::percentEncodeQuery("a+b=c?"), "a%2Bb%3Dc%3F");
  EXPECT_EQ(S::percentEncodeQuery("AZaz09!$'()*,-./:;@_~#%\xc3\xa9"), "AZaz09!$'()*,-./:;@_~%23%25%C3%A9");
  EXPECT_EQ(S::percentEncodeQuery("\xc3"), std::nullopt);
}

// Decodes a search answer of 500,000 empty objects and one video with no more than 16 MiB of
// address space beside the parsed answer: the exit code of a child that measures it.
int decodeHugeSearchAnswerWithin16MiB() {
  std::string body = "[";
  for (int i = 0; i < 500'000; ++i) body += "{},";
  body += R"({"videoId":"last","title":"Last"}])";
  const auto document = platform::json::Document::parse(body, InvidiousVideoSource::kMaxBodyBytes);
  std::size_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  rlimit previous{};
  if (pages == 0 || ::getrlimit(RLIMIT_AS, &previous) != 0) return 3;
  rlimit limit = previous;
  limit.rlim_cur = pages * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE)) + (std::size_t{16} << 20);
  if (::setrlimit(RLIMIT_AS, &limit) != 0) return 3;
  int code = 2;
  try {
    const auto items = InvidiousVideoSource::decodeSearch(document.root(), "https://h.example");
    if (items.size() == 1 && items[0].videoID == "last") code = 0;
  } catch (const std::bad_alloc&) {
    code = 1;
  }
  // Freeing the parsed answer takes memory of its own.
  ::setrlimit(RLIMIT_AS, &previous);
  return code;
}

// An instance may answer with millions of small elements: they are read one at a time, so the
// decoding costs the same few MiB whatever the answer's length.
TEST(InvidiousSearchDecodingTest, AHugeAnswerIsDecodedWithinAFixedBudget) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers reserve address space of their own";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::_Exit(decodeHugeSearchAnswerWithin16MiB()), ::testing::ExitedWithCode(0), "");
}

TEST(InvidiousSearchDecodingTest, SearchItemRecordCoding) {
  const VideoSearchItem bare{"v", "t", std::nullopt, std::nullopt, std::nullopt};
  EXPECT_EQ(bare.toJSON(), R"({"videoID":"v","title":"t"})");
  const auto decoded = VideoSearchItem::fromJSON(
      platform::json::Document::parse(R"({"videoID":"v","title":"t","author":null,"extra":1,"lengthSeconds":3})")
          .root());
  EXPECT_EQ(decoded, (VideoSearchItem{"v", "t", std::nullopt, 3, std::nullopt}));
  EXPECT_NE(decoded, (VideoSearchItem{"v", "t", std::nullopt, 3, "https://h/x.jpg"}));
  EXPECT_THROW(VideoSearchItem::fromJSON(platform::json::Document::parse(R"({"videoID":"v"})").root()),
               platform::json::DecodingError);
  EXPECT_THROW(VideoSearchItem::fromJSON(
                   platform::json::Document::parse(R"({"videoID":"v","title":"t","thumbnailURL":"a b"})").root()),
               platform::json::DecodingError);
}

} // namespace
} // namespace pd::remotesource
