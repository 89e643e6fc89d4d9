#pragma once

// Peers of the media server in tests: a scripted relay, a raw loopback client, and the log lines
// the server wrote; and the waits, tools and CI rule its test programs share.

#include "LibraryTestSupport.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "platform/log/LogStore.hpp"
#include "relay/RemoteMediaRelayInterface.hpp"
#include "runtime/ThreadPools.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace pd::testing {

// CI has every tool and privilege a case needs: there a missing one is a failure, not a skip.
inline bool onCi() {
  const char* ci = std::getenv("CI");
  return ci != nullptr && std::string(ci) == "true";
}

using mediaserver::test::waitUntil;

// What a shell command writes to its standard output.
inline std::string commandOutput(const std::string& command) {
  std::string out;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[65536];
    while (const auto n = std::fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
    ::pclose(pipe);
  }
  return out;
}

template <typename T>
T runTask(std::function<runtime::Awaitable<T>()> body) {
  std::promise<T> done;
  auto result = done.get_future();
  runtime::spawnDetached(runtime::sharedPool().executor(), [&done, body]() -> runtime::Awaitable<void> {
    try {
      done.set_value(co_await body());
    } catch (...) {
      done.set_exception(std::current_exception());
    }
  });
  return result.get();
}

// Relayed media in tests, scripted or behind the fake remote: each byte is (position mod 251).
inline std::string mediaBytes(std::int64_t from, std::int64_t to) {
  std::string out;
  for (auto p = from; p <= to; ++p) out.push_back(static_cast<char>(p % 251));
  return out;
}

// The relay stands in here because the real one fetches from the internet; its chunks follow a
// script, and its media is mediaBytes().
class ScriptedRelay final : public relay::RemoteMediaRelayInterface {
public:
  enum class Step { serve, yield, shortChunk, emptyChunk, block };

  explicit ScriptedRelay(std::int64_t chunkSize) : chunkSize_(chunkSize) {}

  static std::uint8_t byteAt(std::int64_t position) { return static_cast<std::uint8_t>(position % 251); }

  void setLength(std::int64_t total) {
    std::scoped_lock lock(mutex_);
    total_ = total;
  }
  void failLength() {
    std::scoped_lock lock(mutex_);
    lengthFails_ = true;
  }
  // Steps for successive calls for one chunk index; once used up, chunks are served.
  void script(std::int64_t index, std::vector<Step> steps) {
    std::scoped_lock lock(mutex_);
    script_[index] = std::move(steps);
  }
  void release() {
    std::scoped_lock lock(mutex_);
    released_ = true;
    cv_.notify_all();
  }
  // From now on open() answers as the real relay does: a first chunk the script serves at once
  // (in full or not) comes with the answers, a yielding or blocking one is a read started there.
  void openInOneVisit() {
    std::scoped_lock lock(mutex_);
    oneVisit_ = true;
  }
  std::vector<std::int64_t> calls() const {
    std::scoped_lock lock(mutex_);
    return calls_;
  }
  bool wasUnregistered(const std::string& token) const {
    std::scoped_lock lock(mutex_);
    return dropped_.contains(token);
  }

  runtime::Awaitable<void> registerMedia(std::string token, std::shared_ptr<const relay::RemoteMedia>) override {
    std::scoped_lock lock(mutex_);
    entries_.insert(token);
    co_return;
  }
  runtime::Awaitable<void> unregister(std::string token) override {
    std::scoped_lock lock(mutex_);
    entries_.erase(token);
    dropped_.insert(token);
    co_return;
  }
  runtime::Awaitable<bool> hasEntry(std::string token) override {
    std::scoped_lock lock(mutex_);
    co_return entries_.contains(token);
  }
  runtime::Awaitable<std::int64_t> totalLength(std::string) override {
    std::scoped_lock lock(mutex_);
    if (lengthFails_) throw relay::RelayError::upstreamStatus(503);
    co_return total_;
  }
  runtime::Awaitable<std::optional<std::string>> contentType(std::string) override {
    co_return std::optional<std::string>("Video/MP4; codecs=\"avc1\"");
  }
  runtime::Awaitable<Chunk> chunk(std::string token, std::int64_t index, bool) override {
    Step step = Step::serve;
    {
      std::unique_lock lock(mutex_);
      calls_.push_back(index);
      if (auto& steps = script_[index]; !steps.empty()) {
        step = steps.front();
        steps.erase(steps.begin());
      }
      if (step == Step::block) {
        cv_.wait_for(lock, std::chrono::seconds(10), [&] { return released_; });
      }
      if (!entries_.contains(token)) throw relay::RelayError::unknownToken();
    }
    if (step == Step::yield) throw relay::RelayError::prefetchYield();
    const auto begin = index * chunkSize_;
    auto size = std::min(chunkSize_, total_ - begin);
    if (step == Step::shortChunk) size /= 2;
    if (step == Step::emptyChunk) size = 0;
    Bytes data(static_cast<std::size_t>(std::max<std::int64_t>(size, 0)));
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = byteAt(begin + static_cast<std::int64_t>(i));
    co_return std::make_shared<const Bytes>(std::move(data));
  }
  std::int64_t chunkSize() const noexcept override { return chunkSize_; }
  runtime::Awaitable<Opening> open(std::string token, FirstChunkIndex firstChunkOf) override {
    auto opening = co_await RemoteMediaRelayInterface::open(token, firstChunkOf);
    const auto index = opening.held ? firstChunkOf(opening.total) : std::nullopt;
    bool startRead = false;
    {
      std::scoped_lock lock(mutex_);
      if (!oneVisit_ || !index) co_return opening;
      const auto& steps = script_[*index];
      startRead = !steps.empty() && (steps.front() == Step::yield || steps.front() == Step::block);
    }
    if (startRead) {
      opening.firstRead = runtime::spawn(runtime::sharedPool().executor(),
                                         [this, token, at = *index] { return chunk(token, at, false); });
    } else {
      auto bytes = co_await chunk(token, *index, false);
      opening.firstChunk = std::move(bytes);
    }
    co_return opening;
  }

private:
  const std::int64_t chunkSize_;
  mutable std::mutex mutex_;
  std::condition_variable cv_;
  std::int64_t total_ = 0;
  bool lengthFails_ = false;
  bool released_ = false;
  bool oneVisit_ = false;
  std::set<std::string> entries_;
  std::set<std::string> dropped_;
  std::map<std::int64_t, std::vector<Step>> script_;
  std::vector<std::int64_t> calls_;
};

// A raw loopback TCP client.
class RawClient {
public:
  // From another loopback address (such as 127.0.0.2) when `from` is given.
  explicit RawClient(std::uint16_t port, int receiveBuffer = 0, const char* from = nullptr) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    if (from) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      ::inet_pton(AF_INET, from, &local.sin_addr);
      ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  }
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  int descriptor() const { return fd_; }
  void send(const std::string& bytes) { (void)::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  // Reads up to `limit` bytes or until the server closes, waiting at most `timeout` overall.
  std::string read(std::size_t limit = SIZE_MAX, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::string out;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (out.size() < limit) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        timedOut_ = true;
        break;
      }
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        timedOut_ = true;
        break;
      }
      const auto n = ::recv(fd_, buffer, std::min(sizeof buffer, limit - out.size()), 0);
      if (n <= 0) {
        closedByServer_ = true;
        break;
      }
      out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
  }
  bool closedByServer() const { return closedByServer_; }
  bool timedOut() const { return timedOut_; }

private:
  int fd_ = -1;
  bool connected_ = false;
  bool closedByServer_ = false;
  bool timedOut_ = false;
};

inline std::string roundTrip(std::uint16_t port, const std::string& request) {
  RawClient client(port);
  client.send(request);
  return client.read();
}

inline std::string get(std::uint16_t port, const std::string& token, const std::string& extraHeaders = "",
                       const std::string& method = "GET") {
  return roundTrip(port, method + " /" + token + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n");
}

inline std::string statusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

// Readers of a big file, with small buffers, that stop after the status line: each transfer then
// holds its file-IO slot (taken before its header goes out) and soon blocks in a send.
inline std::vector<std::unique_ptr<RawClient>> stalledReaders(std::uint16_t port, const std::string& token,
                                                              std::int64_t n) {
  std::vector<std::unique_ptr<RawClient>> stalled;
  for (std::int64_t i = 0; i < n; ++i) {
    stalled.push_back(std::make_unique<RawClient>(port, 4096));
    stalled.back()->send("GET /" + token + " HTTP/1.1\r\n\r\n");
  }
  const std::string ok = "HTTP/1.1 200 OK";
  for (auto& client : stalled) EXPECT_EQ(client->read(ok.size()), ok);
  return stalled;
}

inline std::string bodyOf(const std::string& reply) {
  const auto at = reply.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : reply.substr(at + 4);
}

// Lines of the "localvideo" category logged since construction.
class LogLines {
public:
  LogLines() : from_(platform::log::LogStore::shared().lastSequence()) { platform::log::setDebugEnabled(true); }
  std::vector<std::string> all() const {
    std::vector<std::string> lines;
    for (const auto& entry : platform::log::LogStore::shared().entriesAfter(from_)) {
      if (entry.category == "localvideo") lines.push_back(entry.message);
    }
    return lines;
  }
  // Waits for a line containing every fragment.
  bool waitFor(const std::vector<std::string>& fragments,
               std::chrono::milliseconds limit = std::chrono::seconds(2)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
      for (const auto& line : all()) {
        bool all = true;
        for (const auto& f : fragments) all = all && line.find(f) != std::string::npos;
        if (all) return true;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
  }

private:
  std::uint64_t from_;
};

// A server on a loopback port with a scripted relay behind it.
struct ServerFixture {
  explicit ServerFixture(mediaserver::LocalVideoHTTPServer::Timing timing = {}, std::int64_t relayChunk = 1000)
      : relay(std::make_shared<ScriptedRelay>(relayChunk)),
        server(mediaserver::LocalVideoHTTPServer::create(relay, timing)) {
    auto s = server;
    port = runTask<std::uint16_t>([s] { return s->ensureReady(); });
  }
  std::shared_ptr<ScriptedRelay> relay;
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server;
  std::uint16_t port = 0;
};

} // namespace pd::testing
