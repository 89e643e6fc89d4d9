#include "MediaServerTestSupport.hpp"
#include "platform/TestSupport.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>

namespace pd::mediaserver {
namespace {

using namespace pd::testing;
using namespace std::chrono_literals;

std::string tenBytes() { return "0123456789"; }

TEST(LocalVideoHTTPServerTest, FileRepliesAreExact) {
  TempDirectory dir;
  writeText(dir / "clip.mp4", tenBytes());
  writeText(dir / "empty.mov", "");
  ServerFixture f;
  const auto token = f.server->registerFile(dir / "clip.mp4");
  const auto empty = f.server->registerFile(dir / "empty.mov");

  EXPECT_EQ(get(f.port, token),
            "HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\nContent-Length: 10\r\nAccept-Ranges: bytes\r\n"
            "Connection: close\r\n\r\n0123456789");
  EXPECT_EQ(get(f.port, token, "Range: bytes=5-100\r\n"),
            "HTTP/1.1 206 Partial Content\r\nContent-Type: video/mp4\r\nContent-Length: 5\r\nAccept-Ranges: bytes\r\n"
            "Content-Range: bytes 5-9/10\r\nConnection: close\r\n\r\n56789");
  EXPECT_EQ(get(f.port, token, "Range: bytes=7-3\r\n", "HEAD"),
            "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */10\r\nContent-Length: 0\r\nConnection: "
            "close\r\n\r\n");
  EXPECT_EQ(get(f.port, token, "Range: bytes=-4\r\n", "HEAD"),
            "HTTP/1.1 206 Partial Content\r\nContent-Type: video/mp4\r\nContent-Length: 4\r\nAccept-Ranges: bytes\r\n"
            "Content-Range: bytes 6-9/10\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(get(f.port, empty), "HTTP/1.1 200 OK\r\nContent-Type: video/quicktime\r\nContent-Length: 0\r\n"
                                "Accept-Ranges: bytes\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(bodyOf(get(f.port, empty, "Range: bytes=0-\r\n")), "");
  EXPECT_EQ(get(f.port, "NOPE"), "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                 "Content-Length: 13\r\nConnection: close\r\n\r\n404 Not Found");
}

TEST(LocalVideoHTTPServerTest, CurlFetchesWholeAndRangedLikeTheFile) {
  TempDirectory dir;
  std::string content(3 * 262'144 + 17, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 7) % 256);
  writeText(dir / "big.bin", content);
  ServerFixture f;
  const auto token = f.server->registerFile(dir / "big.bin");
  const auto url = "http://127.0.0.1:" + std::to_string(f.port) + "/" + token;
  ASSERT_EQ(std::system(("curl -sf -o " + (dir / "whole").string() + " " + url).c_str()), 0);
  EXPECT_EQ(readText(dir / "whole"), content);
  ASSERT_EQ(std::system(("curl -sf -r 262140-524300 -o " + (dir / "part").string() + " " + url).c_str()), 0);
  EXPECT_EQ(readText(dir / "part"), content.substr(262'140, 524'300 - 262'140 + 1));
}

TEST(LocalVideoHTTPServerTest, RouterHandlesMethodsRoutesAndOddTargets) {
  TempDirectory dir;
  writeText(dir / "a.mp4", tenBytes());
  ServerFixture f;
  const auto token = f.server->registerFile(dir / "a.mp4");
  const auto status = [&](const std::string& request) { return statusLine(roundTrip(f.port, request)); };
  EXPECT_EQ(status("get /" + token + " HTTP/1.1\r\n\r\n"), "HTTP/1.1 200 OK");
  EXPECT_EQ(status("PUT /" + token + " HTTP/1.1\r\n\r\n"), "HTTP/1.1 405 Method Not Allowed");
  EXPECT_EQ(status("HEAD /search HTTP/1.1\r\n\r\n"), "HTTP/1.1 405 Method Not Allowed");
  EXPECT_EQ(status("GET /search?q=x HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(status("GET /Search HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(status("GET  /" + token + " HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(status("GET //" + token + " HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(status("GET /" + token + ".m3u8 HTTP/1.1\r\n\r\n"), "HTTP/1.1 404 Not Found");
  EXPECT_EQ(status("GET\r\n\r\n"), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(status("GET /\xff HTTP/1.1\r\n\r\n"), "HTTP/1.1 400 Bad Request");
  EXPECT_EQ(bodyOf(roundTrip(f.port, "GET /" + token + " HTTP/1.1\r\nrange :\t bytes=8- \r\n\r\n")), "89");
}

TEST(LocalVideoHTTPServerTest, ApiHookGetsDecodedQueryAndItsReplyGoesOutAsJson) {
  ServerFixture f;
  std::promise<std::map<std::string, std::string>> seen;
  f.server->setAPIHandler(
      [&seen](std::string route, std::map<std::string, std::string> query) -> runtime::Awaitable<ReceiverAPIResponse> {
        query["route"] = route;
        seen.set_value(query);
        co_return ReceiverAPIResponse{418, {'{', '}'}};
      },
      std::chrono::seconds(0));
  const auto reply = roundTrip(f.port, "GET /resolve?q=a+b%20c&q=x&v=%zz&s HTTP/1.1\r\n\r\n");
  EXPECT_EQ(reply, "HTTP/1.1 418 Error\r\nContent-Type: application/json; charset=utf-8\r\nContent-Length: 2\r\n"
                   "Cache-Control: no-store\r\nConnection: close\r\n\r\n{}");
  const auto query = seen.get_future().get();
  EXPECT_EQ(query, (std::map<std::string, std::string>{{"q", "a b c"}, {"v", "%zz"}, {"s", ""}, {"route", "resolve"}}));
}

TEST(LocalVideoHTTPServerTest, PlaylistsServeUtf8BytesAndHeadKeepsTheLength) {
  ServerFixture f;
  LogLines log;
  const std::string text = "#EXTM3U\n#EXT-X-名前\n";
  const auto token = f.server->registerPlaylist(text);
  const std::string header = "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.apple.mpegurl\r\nContent-Length: " +
                             std::to_string(text.size()) + "\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";
  EXPECT_EQ(get(f.port, token + ".m3u8"), header + text);
  EXPECT_EQ(get(f.port, token + ".m3u8", "Range: bytes=0-1\r\n", "HEAD"), header);
  f.server->unregister(token);
  EXPECT_EQ(statusLine(get(f.port, token + ".m3u8")), "HTTP/1.1 404 Not Found");
  // The counts are of file tokens, whatever kind was added or removed; the relay hears of every
  // removal, since it cannot tell the kinds apart.
  EXPECT_TRUE(log.waitFor({"http_registry_update action=remove", "count=0"}));
  EXPECT_TRUE(waitUntil([&] { return f.relay->wasUnregistered(token); }));
}

TEST(LocalVideoHTTPServerTest, HeadReadingEdgeCases) {
  TempDirectory dir;
  writeText(dir / "a.mp4", tenBytes());
  ServerFixture f;
  LogLines log;
  const auto token = f.server->registerFile(dir / "a.mp4");

  { // Trickled bytes and a pipelined second request: one reply, intact.
    RawClient client(f.port);
    const std::string request = "GET /" + token + " HTTP/1.1\r\n\r\nGET /" + token + " HTTP/1.1\r\n\r\n";
    for (char c : request.substr(0, 20)) {
      client.send(std::string(1, c));
      std::this_thread::sleep_for(5ms);
    }
    client.send(request.substr(20));
    const auto reply = client.read();
    EXPECT_EQ(bodyOf(reply), tenBytes());
    EXPECT_TRUE(client.closedByServer());
  }
  { // 70,000 bytes without a terminator: dropped, no reply.
    RawClient client(f.port);
    client.send("GET /" + token + " HTTP/1.1\r\nX: " + std::string(70'000, 'a'));
    EXPECT_EQ(client.read(), "");
    EXPECT_TRUE(log.waitFor({"reason=header_incomplete", "status=0"}));
  }
  { // Closed before a byte.
    RawClient client(f.port);
    client.close();
    EXPECT_TRUE(log.waitFor({"reason=empty_request"}));
  }
}

TEST(LocalVideoHTTPServerTest, SilentClientIsCutOffAtTheHeadDeadline) {
  LocalVideoHTTPServer::Timing timing;
  timing.headerDeadline = 400ms;
  ServerFixture f(timing);
  LogLines log;
  RawClient client(f.port);
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(client.read(), "");
  EXPECT_TRUE(client.closedByServer());
  EXPECT_LT(std::chrono::steady_clock::now() - started, LocalVideoHTTPServer::Timing{}.headerDeadline);
  EXPECT_TRUE(log.waitFor({"reason=header_timeout", "err_code=110"}));
}

TEST(LocalVideoHTTPServerTest, ThirtyThirdConnectionIsClosedUnanswered) {
  ServerFixture f;
  std::vector<std::unique_ptr<RawClient>> held;
  // Silent peers from four addresses: one address may hold only eight connections that read a head.
  const char* from[] = {"127.0.0.1", "127.0.0.2", "127.0.0.3", "127.0.0.4"};
  for (int i = 0; i < 32; ++i) held.push_back(std::make_unique<RawClient>(f.port, 0, from[i / 8]));
  std::this_thread::sleep_for(200ms);
  RawClient refused(f.port, 0, "127.0.0.5");
  refused.send("GET /x HTTP/1.1\r\n\r\n");
  EXPECT_EQ(refused.read(SIZE_MAX, 2s), "");
  EXPECT_TRUE(refused.closedByServer());
  held.front()->close();
  EXPECT_TRUE(waitUntil([&] { return statusLine(get(f.port, "x")) == "HTTP/1.1 404 Not Found"; }));
}

// A big sparse file: its transfer outlasts any socket buffer, and reading it costs nothing.
std::filesystem::path sparseFile(const TempDirectory& dir, const std::string& name) {
  const auto path = dir / name;
  std::ofstream(path).close();
  std::filesystem::resize_file(path, 512u << 20);
  return path;
}

TEST(LocalVideoHTTPServerTest, FileIOSlotsAreCappedAndComeBack) {
  TempDirectory dir;
  const auto big = sparseFile(dir, "big.mp4");
  LocalVideoHTTPServer::Timing timing;
  timing.sendDeadline = 1500ms;
  ServerFixture f(timing);
  LogLines log;
  const auto token = f.server->registerFile(big);
  const auto stalled = stalledReaders(f.port, token, LocalVideoHTTPServer::kMaxFileIOPerVolume);
  EXPECT_EQ(statusLine(get(f.port, token)), "HTTP/1.1 503 Service Unavailable");
  EXPECT_TRUE(log.waitFor({"reason=file_io_busy", "status=503"}));
  // A stalled reader is cut at the send deadline, which gives its slot back.
  EXPECT_TRUE(log.waitFor({"http_request_abort reason=send_fail"}, 10s));
  std::string reply;
  EXPECT_TRUE(waitUntil([&] {
    return statusLine(reply = get(f.port, token, "Range: bytes=0-3\r\n")) == "HTTP/1.1 206 Partial Content";
  })) << reply;
}

// Every thread of the process on one CPU, every one but the server's file-IO threads above the
// normal class there: a file-IO thread then runs only while nothing else of the process can, so a
// peer woken by the last byte of its reply, and the server's queue that takes the peer's next
// request, always get ahead of whatever that thread still had to do for the reply it sent.
// The file-IO threads stay in the normal class, not below it: the queue waits on locks they take,
// and a thread below the normal class holding one would wait for the CPU to have nothing else to
// do, which a loaded machine may not give it for seconds, stalling the queue and every reply.
// Without the right to raise threads, the file-IO threads go below the normal class instead.
class FileIOThreadsLastOnOneCpu {
public:
  FileIOThreadsLastOnOneCpu() {
    ::sched_getaffinity(0, sizeof original_, &original_);
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &original_)) {
        CPU_SET(cpu, &one);
        break;
      }
    }
    sched_param raised{};
    raised.sched_priority = ::sched_get_priority_min(SCHED_FIFO);
    bool mayRaise = true;
    forEachThread([&](pid_t thread, const std::string& name) {
      ::sched_setaffinity(thread, sizeof one, &one);
      if (name.find("fileio") == std::string::npos && mayRaise) {
        mayRaise = ::sched_setscheduler(thread, SCHED_FIFO, &raised) == 0;
      }
    });
    if (!mayRaise) {
      forEachThread([&](pid_t thread, const std::string& name) {
        sched_param lowest{};
        if (name.find("fileio") != std::string::npos) ::sched_setscheduler(thread, SCHED_IDLE, &lowest);
      });
    }
  }
  ~FileIOThreadsLastOnOneCpu() {
    forEachThread([&](pid_t thread, const std::string&) {
      ::sched_setaffinity(thread, sizeof original_, &original_);
      if (::sched_getscheduler(thread) != SCHED_OTHER) {
        sched_param normal{};
        ::sched_setscheduler(thread, SCHED_OTHER, &normal); // may be refused without privileges: harmless
      }
    });
  }
  FileIOThreadsLastOnOneCpu(const FileIOThreadsLastOnOneCpu&) = delete;
  FileIOThreadsLastOnOneCpu& operator=(const FileIOThreadsLastOnOneCpu&) = delete;

private:
  template <typename F>
  static void forEachThread(F f) {
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
      std::string name;
      std::getline(std::ifstream(entry.path() / "comm"), name);
      f(static_cast<pid_t>(std::stoi(entry.path().filename().string())), name);
    }
  }
  cpu_set_t original_{};
};

// A transfer's slot is free once its reply has ended: as many peers as one volume has slots, each
// asking again the moment its reply's last byte has come (as a player does, without waiting for
// the connection's end), are never refused, however late the server's threads run.
TEST(LocalVideoHTTPServerTest, ASlotIsFreeOnceItsReplyHasEnded) {
  TempDirectory dir;
  writeText(dir / "clip.mp4", std::string(200'000, 'x'));
  ServerFixture f;
  const auto token = f.server->registerFile(dir / "clip.mp4");
  const std::string request = "GET /" + token + " HTTP/1.1\r\nRange: bytes=1000-100999\r\n\r\n";
  const auto whole = roundTrip(f.port, request);
  ASSERT_EQ(bodyOf(whole), std::string(100'000, 'x'));
  FileIOThreadsLastOnOneCpu scheduling;
  std::atomic<int> refused{0};
  std::vector<std::thread> peers;
  for (std::int64_t p = 0; p < LocalVideoHTTPServer::kMaxFileIOPerVolume; ++p) {
    peers.emplace_back([&] {
      for (int i = 0; i < 50 && refused == 0; ++i) {
        RawClient client(f.port);
        client.send(request);
        if (const auto reply = client.read(whole.size()); reply != whole) {
          ADD_FAILURE() << statusLine(reply);
          ++refused;
        }
      }
    });
  }
  for (auto& peer : peers) peer.join();
  EXPECT_EQ(refused, 0);
}

// A transfer waits for room in a stalled reader's socket on its own file-IO thread; the server's
// end must wake it rather than wait out the send deadline, and close its connection. The send cut
// that way fails with EPIPE, which must not bring SIGPIPE's default end of the process with it.
// Every end races transfers that wake from their blocked sends and hand their sockets back to the
// queue as it stops: a socket let go on the wrong thread then corrupts the queue's event loop,
// which the rounds give a fair chance to show (a crash, or an error under the address sanitizer).
TEST(LocalVideoHTTPServerTest, EndingServerWakesTransfersWaitingOnStalledReaders) {
  TempDirectory dir;
  const auto big = sparseFile(dir, "big.mp4");
  for (int round = 0; round < 8; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ServerFixture f;
    const auto stalled = stalledReaders(f.port, f.server->registerFile(big), LocalVideoHTTPServer::kMaxFileIOPerVolume);
    const auto start = std::chrono::steady_clock::now();
    f.server.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, LocalVideoHTTPServer::Timing{}.sendDeadline);
    for (auto& client : stalled) {
      client->read();
      EXPECT_TRUE(client->closedByServer());
    }
  }
}

// Reads the header and the first megabyte, then lets `change` act before reading the rest; the
// body received.
std::string bodyAfterChange(std::uint16_t port, const std::string& token, const std::function<void()>& change) {
  RawClient client(port, 65536);
  client.send("GET /" + token + " HTTP/1.1\r\n\r\n");
  auto reply = client.read(1u << 20);
  change();
  reply += client.read(SIZE_MAX, 20s);
  return bodyOf(reply);
}

// Only the content the transfer started with: a run of 'x' of at most `size` bytes.
::testing::AssertionResult onlyTheFirstContent(const std::string& body, std::size_t size) {
  if (body.size() > size) return ::testing::AssertionFailure() << body.size() << " bytes, more than the file";
  if (const auto at = body.find_first_not_of('x'); at != std::string::npos) {
    return ::testing::AssertionFailure() << "a byte of another version at offset " << at << " of " << body.size();
  }
  return ::testing::AssertionSuccess();
}

// That content whole.
::testing::AssertionResult theWholeFirstContent(const std::string& body, std::size_t size) {
  if (body.size() != size) return ::testing::AssertionFailure() << body.size() << " bytes of " << size;
  return onlyTheFirstContent(body, size);
}

TEST(LocalVideoHTTPServerTest, FileChangesMidTransferEndIt) {
  TempDirectory dir;
  const std::size_t size = 16u << 20;
  const auto make = [&](const std::string& name) {
    writeText(dir / name, std::string(size, 'x'));
    return dir / name;
  };
  ServerFixture f;
  LogLines log;

  // Changed in place, the transfer ends: no byte of the new content may follow the bytes already
  // queued. Replaced by a rename, the open descriptor keeps the old file, sent whole and intact.
  const struct {
    const char* name;
    std::function<void(const std::filesystem::path&)> change;
    bool whole;
  } changes[] = {
      {"overwritten",
       [&](const auto& file) {
         std::fstream(file, std::ios::in | std::ios::out | std::ios::binary) << std::string(size, 'y');
       },
       false},
      {"truncated", [](const auto& file) { std::filesystem::resize_file(file, 100); }, false},
      {"rewritten", [&](const auto& file) { writeText(file, std::string(size - 1, 'y')); }, false},
      {"renamed",
       [&](const auto& file) {
         writeText(dir / "new", std::string(size, 'y'));
         std::filesystem::rename(dir / "new", file);
       },
       true},
  };
  for (const auto& c : changes) {
    SCOPED_TRACE(c.name);
    const auto file = make(std::string(c.name) + ".mp4");
    const auto body = bodyAfterChange(f.port, f.server->registerFile(file), [&] { c.change(file); });
    EXPECT_EQ(body.size() == size, c.whole) << body.size() << " of " << size << " bytes";
    EXPECT_TRUE(onlyTheFirstContent(body, size));
  }
  EXPECT_TRUE(log.waitFor({"reason=file_changed", "status=200"}));

  std::this_thread::sleep_for(600ms); // past the failure line's throttle interval
  const auto withdrawn = make("w.mp4");
  std::string withdrawnToken = f.server->registerFile(withdrawn);
  EXPECT_LT(bodyAfterChange(f.port, withdrawnToken, [&] { f.server->unregister(withdrawnToken); }).size(), size);
  EXPECT_TRUE(log.waitFor({"reason=token_revoked"}));

  // A change of the status-change time alone keeps a transfer without a verifier going...
  const auto chmodded = make("c.mp4");
  EXPECT_TRUE(theWholeFirstContent(
      bodyAfterChange(f.port, f.server->registerFile(chmodded), [&] { ::chmod(chmodded.c_str(), 0640); }), size));
  // ...and one with a verifier only while the verifier agrees.
  std::atomic<bool> verdict{true};
  const auto verified = make("v.mp4");
  const auto verifiedToken =
      f.server->registerFile(verified, [&](const std::filesystem::path&) { return verdict.load(); });
  EXPECT_TRUE(
      theWholeFirstContent(bodyAfterChange(f.port, verifiedToken, [&] { ::chmod(verified.c_str(), 0600); }), size));
  EXPECT_LT(bodyAfterChange(f.port, verifiedToken,
                            [&] {
                              verdict = false;
                              ::chmod(verified.c_str(), 0640);
                            })
                .size(),
            size);
  // A verifier that disagrees before the header is a 404 (logged once a completion has reset the
  // failure count and the throttle interval has passed).
  EXPECT_TRUE(theWholeFirstContent(bodyAfterChange(f.port, f.server->registerFile(chmodded), [] {}), size));
  std::this_thread::sleep_for(600ms);
  EXPECT_EQ(statusLine(get(f.port, verifiedToken)), "HTTP/1.1 404 Not Found");
  EXPECT_TRUE(log.waitFor({"reason=file_changed", "status=404"}));
}

// A FIFO put in the file's place after the stat step has no writer: opening it must not hold a
// file-IO thread, and it is no file to serve.
TEST(LocalVideoHTTPServerTest, FifoSwappedInAfterTheCheckIsNotServed) {
  TempDirectory dir;
  const auto clip = dir / "clip.mp4";
  writeText(clip, tenBytes());
  ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
  ServerFixture f;
  LogLines log;
  const auto token = f.server->registerFile(clip, [&](const std::filesystem::path&) {
    std::error_code once; // the first call only finds the FIFO
    std::filesystem::rename(dir / "fifo", clip, once);
    return true;
  });
  RawClient client(f.port);
  client.send("GET /" + token + " HTTP/1.1\r\n\r\n");
  const auto reply = client.read(SIZE_MAX, 3s);
  // A reader blocked in open() would hold the server's end for good: a writer lets it go.
  if (const int writer = ::open(clip.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); writer >= 0) ::close(writer);
  EXPECT_TRUE(client.closedByServer());
  EXPECT_EQ(reply.substr(0, 15), "HTTP/1.1 200 OK");
  EXPECT_EQ(bodyOf(reply), "");
  EXPECT_TRUE(log.waitFor({"reason=file_open_fail", "status=200"}));
}

TEST(LocalVideoHTTPServerTest, RecoveryLineCountsTheFailuresBeforeIt) {
  TempDirectory dir;
  writeText(dir / "a.mp4", tenBytes());
  ServerFixture f;
  const auto token = f.server->registerFile(dir / "a.mp4");
  get(f.port, token); // clears any count left by earlier tests
  LogLines log;
  for (int i = 0; i < 5; ++i) get(f.port, "missing");
  get(f.port, token);
  EXPECT_TRUE(log.waitFor({"http_request_recovered after=5"}));
  get(f.port, "missing");
  get(f.port, token);
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(log.waitFor({"http_request_recovered after=1"}));
}

TEST(LocalVideoHTTPServerTest, StatsLineSumsTheCountersSinceTheClockWasSet) {
  TempDirectory dir;
  writeText(dir / "a.mp4", tenBytes());
  LocalVideoHTTPServer::Timing timing;
  // Long enough that a loaded machine does not spread the first two requests over two intervals.
  timing.statsInterval = 1s;
  ServerFixture f(timing);
  LogLines log;
  const auto token = f.server->registerFile(dir / "a.mp4");
  get(f.port, token); // the first update only sets the clock
  get(f.port, "missing");
  std::this_thread::sleep_for(1100ms);
  get(f.port, token);
  EXPECT_TRUE(log.waitFor({"http_stats requests=3 size_b=10 fails=1"}));
}

TEST(LocalVideoHTTPServerTest, FirstReadyListenerDoesNotReportAPortChange) {
  // The hook is set before anything listens, so the first ready state could call it.
  auto changes = std::make_shared<std::atomic<int>>(0);
  auto s = LocalVideoHTTPServer::create(std::make_shared<ScriptedRelay>(1000));
  s->setOnPortChange([changes](std::uint16_t) { ++*changes; });
  const auto port = runTask<std::uint16_t>([s] { return s->ensureReady(); });
  EXPECT_NE(port, 0);
  EXPECT_EQ(runTask<std::uint16_t>([s] { return s->ensureReady(); }), port);
  EXPECT_EQ(changes->load(), 0);
}

} // namespace
} // namespace pd::mediaserver
