// The local-folder side over clips made with the ffmpeg tool: search with thumbnails, resolve
// with duration, thumbnail and tempo, the bpm route, and requests whose client goes away.

#include "APIRig.hpp"
#include "BPMTestSupport.hpp"
#include "platform/log/Logger.hpp"
#include "support/HungMount.hpp"
#include "support/LogWindow.hpp"

#include <gmock/gmock.h>
#include <unicode/locid.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <regex>
#include <thread>

namespace pd::api {
namespace {

using namespace std::chrono_literals;
using test::run;
using test::shellQuoted;
using ::testing::SizeIs;
using ::testing::UnorderedElementsAre;

// Clips made once: pictures with a click track at 120 beats per minute, in three containers, two
// sharing a stem, and one whose name is not UTF-8.
class Clips : public ::testing::Environment {
public:
  static inline std::unique_ptr<testing::TempDirectory> folder;
  static std::filesystem::path at(const std::string& name) { return folder->path() / name; }
  static inline const std::vector<std::string> names = {"clip.mp4", "a.mp4", "a.mov", "b.m4v", "\xFF\xFE.mp4"};

  void SetUp() override {
    folder = std::make_unique<testing::TempDirectory>();
    const std::string make = "ffmpeg -nostdin -y -v error -f lavfi -i testsrc2=rate=25:size=320x240 -f lavfi -i "
                             "\"aevalsrc='if(lt(mod(t,0.5),0.02),sin(2*PI*1000*t),0)':s=44100\" -t 12 "
                             "-c:v libx264 -pix_fmt yuv420p -c:a aac ";
    run(make + shellQuoted(at("clip.mp4").string()));
    for (const auto& name : names) {
      if (name != "clip.mp4") std::filesystem::copy_file(at("clip.mp4"), at(name));
    }
  }
  void TearDown() override { folder.reset(); }
};
const auto* const kClips = ::testing::AddGlobalTestEnvironment(new Clips);

class LocalRoutesTest : public test::APIRig {
protected:
  void SetUp() override {
    APIRig::SetUp();
    for (const auto& name : Clips::names) std::filesystem::copy_file(Clips::at(name), folder_ / name);
    setSearchSource("localFiles");
    setSearchFolder(folder_.path().string());
  }
  void TearDown() override {
    gate_.close();
    platform::log::setDebugEnabled(false);
  }

  // The id the library gives a file of the folder.
  std::string idOf(const std::string& name) {
    const auto items = get("search", "q=" + name).json()["items"];
    for (const auto& item : items) {
      if (item["title"] == std::filesystem::path(name).stem().string()) return item["videoID"];
    }
    throw std::runtime_error("no id for " + name);
  }
  // The server's registry size, from its own line after a probe registration; a missing line
  // fails the test, so that two calls never agree on nothing.
  std::int64_t registered() {
    platform::log::setDebugEnabled(true);
    testing::LogWindow log;
    server_->unregister(server_->registerFile(folder_ / "clip.mp4"));
    static const std::regex count("http_registry_update action=add .* count=([0-9]+)");
    for (const auto& line : log.lines()) {
      std::smatch match;
      if (std::regex_search(line, match, count)) return std::stoll(match[1]) - 1;
    }
    ADD_FAILURE() << "no registry line for the probe registration";
    return -1;
  }
  static double probedDuration(const std::filesystem::path& file) {
    return std::stod(
        run("ffprobe -v error -show_entries format=duration -of csv=p=0 " + shellQuoted(file.string())).first);
  }

  test::GatedDetector gate_;
};

TEST_F(LocalRoutesTest, SearchAnswersFilesWithJPEGThumbnailsInLibraryOrder) {
  testing::LogWindow log;
  const auto answer = get("search", "q=a");
  ASSERT_EQ(answer.status, 200) << answer.body;
  const auto items = answer.json()["items"];
  ASSERT_THAT(items, SizeIs(2));
  EXPECT_EQ(items[0]["title"], "a");
  EXPECT_EQ(items[1]["title"], "a");
  EXPECT_NE(items[0]["videoID"], items[1]["videoID"]);
  std::vector<std::string> thumbnailTokens;
  for (const auto& item : items) {
    EXPECT_TRUE(std::regex_match(std::string(item["videoID"]), std::regex("file-[0-9a-f]{24}")));
    EXPECT_EQ(item.size(), 3U) << item.dump();
    ASSERT_TRUE(item.contains("thumbnail")) << answer.body;
    thumbnailTokens.push_back(std::string(item.at("thumbnail")).substr(1));
    const auto [status, bytes] = fetch(item.at("thumbnail"));
    ASSERT_EQ(status, 200);
    const auto file = folder_ / "thumbnail.jpg";
    std::ofstream(file, std::ios::binary) << bytes;
    EXPECT_EQ(run("ffprobe -v error -show_entries stream=codec_name -of csv=p=0 " + shellQuoted(file.string())).first,
              "mjpeg\n");
  }
  EXPECT_EQ(log.count("local_search_complete count=2 op="), 1U);
  // The tokens held for revocation are the ones handed out, not merely as many.
  EXPECT_EQ(books().searches.back().tokens, thumbnailTokens);

  // A name that is not UTF-8 still gives valid JSON.
  const auto odd = get("search", "q=%EF%BF%BD");
  ASSERT_EQ(odd.status, 200) << odd.body;
  EXPECT_EQ(odd.json()["items"][0]["title"], "\xEF\xBF\xBD\xEF\xBF\xBD");

  const auto none = get("search", "q=nothing-here");
  EXPECT_EQ(none.body, R"({"items":[]})");
  EXPECT_EQ(log.count("local_search_complete count=0 op="), 1U);
}

TEST_F(LocalRoutesTest, KanaMatchWhateverTheirNormalisationForm) {
  // Names from some file systems and copy tools hold a voiced kana as the base kana and a
  // combining mark, while what the tablet types holds the composed character; and the other way round.
  const std::string decomposed = "\xE3\x81\x8B\xE3\x82\x99"; // ka + combining voiced mark
  const std::string composed = "\xE3\x81\x8C"; // ga
  std::ofstream(folder_ / (decomposed + "nbaru.mp4")) << "x";
  std::ofstream(folder_ / (composed + "kko.mov")) << "x";
  const auto percentEncoded = [](const std::string& text) {
    std::string out;
    for (const unsigned char c : text) {
      static constexpr char kHex[] = "0123456789ABCDEF";
      out += {'%', kHex[c >> 4], kHex[c & 15]};
    }
    return out;
  };
  for (const auto& typed : {composed, decomposed}) {
    const auto answer = get("search", "q=" + percentEncoded(typed));
    ASSERT_EQ(answer.status, 200) << answer.body;
    std::vector<std::string> titles;
    const auto items = answer.json()["items"];
    for (const auto& item : items) titles.push_back(item["title"]);
    EXPECT_THAT(titles, UnorderedElementsAre(decomposed + "nbaru", composed + "kko")) << answer.body;
  }
}

TEST_F(LocalRoutesTest, NamesSortAsAFileBrowserListsThemUnderAPOSIXLocale) {
  // As a service started without a language: LANG=C or C.UTF-8.
  const icu::Locale before = icu::Locale::getDefault();
  UErrorCode status = U_ZERO_ERROR;
  icu::Locale::setDefault(icu::Locale("en_US_POSIX"), status);
  ASSERT_TRUE(U_SUCCESS(status));
  const std::unique_ptr<const icu::Locale, void (*)(const icu::Locale*)> restore(
      &before, [](const icu::Locale* locale) {
        UErrorCode ignored = U_ZERO_ERROR;
        icu::Locale::setDefault(*locale, ignored);
      });
  library_ = mediaserver::MacLocalVideoLibrary::create(
      {[folder = folder_.path().string()] { return std::optional<std::string>(folder); },
       [] { return std::optional<std::string>("localFiles"); },
       caches_.path(),
       {},
       {}});
  build({});
  for (const auto* name : {"Fruit Zebra.mp4", "fruit banana.mov", "fruit apple 10.mp4", "Fruit apple 9.m4v"}) {
    std::ofstream(folder_ / name) << "x";
  }
  const auto answer = get("search", "q=fruit");
  ASSERT_EQ(answer.status, 200) << answer.body;
  std::vector<std::string> titles;
  const auto items = answer.json()["items"];
  for (const auto& item : items) titles.push_back(item["title"]);
  EXPECT_EQ(titles, (std::vector<std::string>{"Fruit apple 9", "fruit apple 10", "fruit banana", "Fruit Zebra"}));
}

TEST_F(LocalRoutesTest, TheSourceSettingIsExactAndTheFolderMustBeSet) {
  setSearchSource("LocalFiles");
  EXPECT_EQ(get("search", "q=a").json()["items"][0]["title"], "First a");
  setSearchSource("localFiles");
  setSearchFolder(std::nullopt);
  testing::LogWindow log;
  const auto unset = get("search", "q=a");
  EXPECT_EQ(unset.status, 503);
  EXPECT_EQ(unset.body, R"({"error":"local_folder_not_set"})");
  EXPECT_EQ(get("resolve", "v=file-0123456789abcdef01234567").body, R"({"error":"local_folder_not_set"})");
  EXPECT_EQ(log.count("local_"), 0U);
}

TEST_F(LocalRoutesTest, ResolveServesTheFileWithItsDurationThumbnailAndTempo) {
  const auto id = idOf("clip.mp4");
  const auto answer = get("resolve", "v=" + id + "&d=A");
  ASSERT_EQ(answer.status, 200) << answer.body;
  const auto body = answer.json();
  EXPECT_EQ(body["videoID"], id);
  EXPECT_EQ(body["title"], "clip");
  EXPECT_EQ(body["videoHasAudio"], true);
  EXPECT_NEAR(body["durationSeconds"].get<double>(), probedDuration(folder_ / "clip.mp4"), 0.05);
  EXPECT_EQ(fetch(body["thumbnail"]).second.substr(0, 2), "\xFF\xD8");
  EXPECT_NE(body.contains("bpm"), body.contains("bpmPending"));
  EXPECT_EQ(books().resolves["A"].front().tokens,
            (std::vector<std::string>{std::string(body["video"]).substr(1), std::string(body["thumbnail"]).substr(1)}));

  // The bytes served are the file's, range by range.
  const std::string url = base() + std::string(body["video"]).substr(1);
  const auto part = folder_ / "part";
  ASSERT_TRUE(run("curl -sf -r 1000-99999 -o " + shellQuoted(part.string()) + " " + shellQuoted(url)).second);
  EXPECT_TRUE(run("cmp -s -i 1000:0 -n 99000 " + shellQuoted((folder_ / "clip.mp4").string()) + " " +
                  shellQuoted(part.string()))
                  .second);

  // The tempo arrives through the bpm route once the analysis has run.
  std::optional<std::int64_t> tempo;
  for (int i = 0; i < 60 && !tempo; ++i) {
    const auto bpm = get("bpm", "v=" + id).json();
    if (bpm.contains("bpm")) tempo = bpm["bpm"].get<std::int64_t>();
    else std::this_thread::sleep_for(500ms);
  }
  ASSERT_TRUE(tempo);
  EXPECT_NEAR(static_cast<double>(*tempo), 120.0, 2.0);

  // Edited after the resolve: the server stops serving it.
  std::ofstream(folder_ / "clip.mp4", std::ios::app) << "appended";
  EXPECT_NE(fetch(body["video"]).first, 200);
}

TEST_F(LocalRoutesTest, AFolderThatDoesNotAnswerInTimeIsATimeout) {
  // The folder hangs until the case ends. One that answers, as a folder of a few files soon does,
  // can beat even a tiny limit on a loaded machine and be answered local_file_not_found.
  auto mount = std::make_shared<testing::HungMount>();
  const std::unique_ptr<testing::HungMount, void (*)(testing::HungMount*)> releaseAtEnd(
      mount.get(), [](testing::HungMount* hung) { hung->release(); });
  // Settings held by value: a hung call may finish after the fixture is gone.
  library_ = mediaserver::MacLocalVideoLibrary::create(
      {[folder = folder_.path().string()] { return std::optional<std::string>(folder); },
       [] { return std::optional<std::string>("localFiles"); },
       caches_.path(),
       {},
       [mount] { mount->enter(); }});
  ReceiverAPIService::Timing timing;
  timing.localSearchLimit = 1ms;
  timing.lookupLimit = 1ms;
  build(timing);
  testing::LogWindow log;
  const auto search = get("search", "q=a");
  EXPECT_EQ(search.status, 503);
  EXPECT_EQ(search.body, R"({"error":"local_folder_timeout"})");
  EXPECT_EQ(log.count("local_search_timeout op="), 1U);
  const auto resolve = get("resolve", "v=file-0123456789abcdef01234567");
  EXPECT_EQ(resolve.body, R"({"error":"local_folder_timeout"})");
  const auto bpm = get("bpm", "v=file-0123456789abcdef01234567");
  EXPECT_EQ(bpm.body, R"({"error":"local_folder_timeout"})");
  // The lookup itself writes no line of its own.
  EXPECT_EQ(log.count("local_"), 1U);
  // The released calls run on into the shared pool's queues. They must be done before the case
  // ends: run alone, the program would end those queues under them.
  mount->release();
  std::weak_ptr<mediaserver::MacLocalVideoLibrary> released = library_;
  library_ = mediaserver::MacLocalVideoLibrary::create({{}, {}, caches_.path(), {}, {}});
  build(timing);
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (!released.expired() && std::chrono::steady_clock::now() < limit) std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(released.expired()) << "the released calls still run";
}

TEST_F(LocalRoutesTest, ResolveOfAMissingFileRegistersNothing) {
  const auto before = registered();
  const auto answer = get("resolve", "v=file-0123456789abcdef01234567");
  EXPECT_EQ(answer.status, 404);
  EXPECT_EQ(answer.body, R"({"error":"local_file_not_found"})");
  EXPECT_EQ(registered(), before);
}

TEST_F(LocalRoutesTest, ATempoNotReadyInTimeIsPendingThenAnswered) {
  build({}, {}, LocalBPMCache::create({gate_.detector(), {}, {}, {}}));
  testing::LogWindow log;
  const auto id = idOf("b.m4v");
  const auto answer = get("resolve", "v=" + id).json();
  EXPECT_EQ(answer["bpmPending"], true);
  EXPECT_FALSE(answer.contains("bpm"));
  EXPECT_EQ(log.count("local_resolve_complete bpm=0 pending=true op="), 1U);
  gate_.release("b", 128);
  EXPECT_EQ(get("bpm", "v=" + id).body, R"({"bpm":128})");
  const auto again = get("resolve", "v=" + id).json();
  EXPECT_EQ(again["bpm"], 128);
  EXPECT_FALSE(again.contains("bpmPending"));
  EXPECT_EQ(log.count("local_resolve_complete bpm=128 pending=false op="), 1U);
}

TEST_F(LocalRoutesTest, AClientThatGoesAwayMidResolveLeavesNoTokenRegistered) {
  build({}, {}, LocalBPMCache::create({gate_.detector(), {}, {}, {}}));
  const auto id = idOf("clip.mp4");
  const auto before = registered();
  testing::LogWindow log;
  // The tempo wait holds the request for 2 s; the client leaves after 1.
  run("curl -s --max-time 1 " + shellQuoted(base() + "resolve?s=" + token() + "&v=" + id));
  for (int i = 0; i < 100 && !log.has("local_resolve_cancelled op="); ++i) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(log.count("local_resolve_cancelled op="), 1U);
  EXPECT_EQ(registered(), before);
  EXPECT_TRUE(books().resolves.empty());
}

// The running program's limits, every one a tenth as long, so that each wait keeps its share of
// the whole: a look-up of 11 s (within its 15) and a tempo that never comes (its wait is 20) make
// the bpm route answer "pending" at 31 s, on its own, and the tablet gets that answer, not the
// server's "unavailable" of a deadline shorter than the route's waits.
TEST_F(LocalRoutesTest, ABPMRequestWithinTheRoutesOwnLimitsGetsTheRoutesAnswer) {
  constexpr int kScale = 10;
  ReceiverAPIService::Timing timing;
  for (auto* limit : {&timing.localSearchLimit, &timing.lookupLimit, &timing.thumbnailLimit, &timing.thumbnailDeadline,
                      &timing.durationLimit, &timing.resolveBPMLimit, &timing.bpmLimit, &timing.guardCheckLimit}) {
    *limit /= kScale;
  }
  LocalBPMCache::Timing cacheTiming;
  cacheTiming.watchdog /= kScale;
  build(timing, {}, LocalBPMCache::create({gate_.detector(), {}, cacheTiming, {}}));
  mediaserver::LocalVideoHTTPServer::Timing serverTiming;
  serverTiming.apiDeadlineMargin /= kScale;
  const auto server = mediaserver::LocalVideoHTTPServer::create(relay_, serverTiming);
  server->setAPIHandler(
      [service = service_](std::string route, std::map<std::string, std::string> query) {
        return service->handle(std::move(route), std::move(query));
      },
      // The local side's waits alone: the YouTube side's, far longer here, would hide a shortfall.
      timing.longestWait());
  const auto port = testing::runBlocking(
      [server]() -> runtime::Awaitable<std::uint16_t> { co_return co_await server->ensureReady(); });
  const auto id = idOf("clip.mp4");
  // The search behind idOf leaves thumbnail jobs running, and on a busy machine one of them would
  // take the delay meant for the look-up: ask again until every thumbnail has been made.
  for (int i = 0; i < 200; ++i) {
    const auto items = get("search", "q=clip.mp4").json()["items"];
    if (std::all_of(items.begin(), items.end(), [](const auto& item) { return item.contains("thumbnail"); })) break;
    std::this_thread::sleep_for(50ms);
  }
  testing::LogWindow log;

  nextFileWorkDelay_ = 11'000ms / kScale;
  const auto started = std::chrono::steady_clock::now();
  const auto out = run("curl -s -w '\\n%{http_code}' " +
                       shellQuoted("http://127.0.0.1:" + std::to_string(port) + "/bpm?s=" + token() + "&v=" + id))
                       .first;
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(out, "{\"pending\":true}\n200");
  EXPECT_GE(took, 31'000ms / kScale);
  EXPECT_EQ(log.count("local_bpm_complete pending=true op="), 1U);
  // One line for the request, and it tells what was sent.
  EXPECT_EQ(log.count("receiver_api_request "), 1U);
  EXPECT_EQ(log.count("receiver_api_request route=bpm status=200 "), 1U);
  EXPECT_EQ(log.count("http_request_fail "), 0U);
}

// A request the server ends (its peer left, or its deadline passed) has no answer sent: the
// service writes no request line for it, and the server's own line tells what it did.
TEST_F(LocalRoutesTest, ARequestTheServerEndedWritesNoRequestLine) {
  build({}, {}, LocalBPMCache::create({gate_.detector(), {}, {}, {}}));
  const auto id = idOf("clip.mp4");
  testing::LogWindow log;
  auto request = runtime::spawn(
      runtime::sharedPool().executor(),
      [service = service_, query = std::map<std::string, std::string>{{"s", token()}, {"v", id}}]() mutable {
        return service->handle("bpm", std::move(query));
      });
  ASSERT_TRUE(gate_.waitForStarts(1));
  request.cancel();
  ASSERT_TRUE(runtime::test::waitUntilFinished(request, 5s));
  EXPECT_EQ(log.count("receiver_api_request "), 0U);
}

} // namespace
} // namespace pd::api
