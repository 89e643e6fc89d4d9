#pragma once

// The relay in front of the fake remote's media role: every host goes to the fake on loopback,
// and the injected address policy treats loopback as a global address.

#include "diagnostics/LogThrottle.hpp"
#include "platform/http/HttpClient.hpp"
#include "relay/DestinationRules.hpp"
#include "relay/RemoteMediaRelay.hpp"
#include "runtime/Clock.hpp"
#include "runtime/TestSupport.hpp"
#include "runtime/ThreadPools.hpp"
#include "support/Blocking.hpp"
#include "support/FakeRemote.hpp"
#include "support/LogWindow.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>

namespace pd::relay {

using namespace std::chrono_literals;
using Bytes = RemoteMediaRelayInterface::Bytes;

inline Bytes patternBytes(std::int64_t from, std::int64_t count) {
  Bytes out(static_cast<std::size_t>(count));
  for (std::int64_t i = 0; i < count; ++i)
    out[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>((from + i) % 251);
  return out;
}

// The disk cache is another component; this records what the relay asks of it and keeps chunks
// in memory.
class RecordingDiskCache final : public RelayDiskCacheInterface {
public:
  runtime::Awaitable<Registration> registerDescriptor(Descriptor descriptor) override {
    if (holdRegistrations) {
      {
        std::scoped_lock lock(mutex_);
        ++heldRegistrations;
      }
      while (!holdRegistrations->isOpen()) co_await runtime::sleep(std::chrono::milliseconds(2));
    }
    std::scoped_lock lock(mutex_);
    registered.push_back({++lastID_, descriptor});
    co_return registered.back();
  }
  runtime::Awaitable<void> release(Registration registration) override {
    std::scoped_lock lock(mutex_);
    released.push_back(registration);
    co_return;
  }
  runtime::Awaitable<std::optional<Descriptor>> descriptor(Key) override { co_return std::nullopt; }
  runtime::Awaitable<SharedBytes> readChunk(Descriptor descriptor, std::int64_t index) override {
    if (holdReads) {
      {
        std::scoped_lock lock(mutex_);
        ++heldReads;
      }
      while (!holdReads->isOpen()) co_await runtime::sleep(std::chrono::milliseconds(2));
    }
    std::scoped_lock lock(mutex_);
    ++reads;
    const auto found = chunks.find({descriptor.key.videoID, index});
    if (found == chunks.end()) co_return nullptr;
    co_return std::make_shared<const Bytes>(found->second);
  }
  SharedBytes readChunkAtHand(const Descriptor& descriptor, std::int64_t index, ChunkPart, WholeChunk whole,
                              PartReadOn*) override {
    SharedBytes bytes;
    {
      std::scoped_lock lock(mutex_);
      ++readsAtHand;
      const auto found = chunks.find({descriptor.key.videoID, index});
      if (found == chunks.end()) return nullptr;
      bytes = std::make_shared<const Bytes>(found->second);
    }
    if (whole) whole(bytes);
    return bytes;
  }
  runtime::Awaitable<bool> writeChunk(Descriptor descriptor, std::int64_t index, SharedBytes data) override {
    if (holdWrites) {
      while (!holdWrites->isOpen()) co_await runtime::sleep(std::chrono::milliseconds(2));
    }
    std::scoped_lock lock(mutex_);
    chunks[{descriptor.key.videoID, index}] = *data;
    lastWritten = std::move(data);
    co_return true;
  }
  runtime::Awaitable<PrefetchStep> nextPrefetchChunk(Descriptor, std::int64_t) override {
    co_return PrefetchStep::stopped(PrefetchStep::Stop::unavailable);
  }

  std::size_t writes() {
    std::scoped_lock lock(mutex_);
    return chunks.size();
  }

  // When set, writes (reads) wait for it.
  std::shared_ptr<runtime::test::Latch> holdWrites;
  std::shared_ptr<runtime::test::Latch> holdReads;
  int heldReads = 0;
  // When set, registrations wait for it.
  std::shared_ptr<runtime::test::Latch> holdRegistrations;
  int heldRegistrations = 0;
  std::mutex mutex_;
  std::vector<Registration> registered;
  std::vector<Registration> released;
  std::map<std::pair<std::string, std::int64_t>, Bytes> chunks;
  SharedBytes lastWritten;
  int reads = 0;
  int readsAtHand = 0;

private:
  std::uint64_t lastID_ = 0;
};

// Prefetch is another component; this records what the relay tells it.
class RecordingPrefetch final : public RelayPrefetchInterface {
public:
  void schedulePrefetch(const Descriptor&, std::int64_t index) override { scheduled.push_back(index); }
  void stopPrefetch(const Descriptor&, std::string_view reason) override { stopped.emplace_back(reason); }
  runtime::Awaitable<void> resumePrefetch(Key) override {
    ++resumed;
    co_return;
  }
  void restartIfComplete(const Descriptor&, std::int64_t) override {}

  // Touched only on the relay's strand; tests read them once the relay is idle.
  std::vector<std::int64_t> scheduled;
  std::vector<std::string> stopped;
  std::atomic<int> resumed{0};
};

struct RelayFixture {
  explicit RelayFixture(std::int64_t chunkSize = 4096,
                        std::function<void(RemoteMediaRelay::Configuration&)> tweak = {}) {
    RemoteMediaRelay::Configuration configuration;
    configuration.client = client;
    configuration.chunkSize = chunkSize;
    configuration.requestTimeout = 5s;
    configuration.resourceTimeout = 10s;
    configuration.classify = [](const Address&) { return AddressClass::global; };
    if (tweak) tweak(configuration);
    relay = RemoteMediaRelay::create(std::move(configuration));
  }

  // A file of the media role and its address on a host the rules allow.
  std::string media(const std::string& name, std::int64_t size, const std::string& scheme = "https") {
    remote.command({{"media", name}, {"size", size}});
    return scheme + "://localhost/media/" + name;
  }

  std::shared_ptr<RemoteMedia> describe(std::string url, std::optional<std::int64_t> length) {
    auto media = std::make_shared<RemoteMedia>();
    media->url = std::move(url);
    media->contentLength = length;
    media->contentType = "video/mp4";
    media->allowedHosts = {"localhost"};
    return media;
  }

  // A stream the disk cache can name: itag 22 of the video id, its identity carrying the length.
  std::shared_ptr<RemoteMedia> describeCached(std::string url, std::int64_t length, std::string videoID) {
    auto media = describe(std::move(url), length);
    media->identity = remotesource::MediaIdentity{22, length, std::nullopt};
    media->cacheVideoID = std::move(videoID);
    return media;
  }
  void add(const std::string& token, std::shared_ptr<const RemoteMedia> media) {
    auto r = relay;
    testing::runBlocking([r, token, media]() -> runtime::Awaitable<void> { co_await r->registerMedia(token, media); });
  }
  void drop(const std::string& token) {
    auto r = relay;
    testing::runBlocking([r, token]() -> runtime::Awaitable<void> { co_await r->unregister(token); });
  }
  Bytes chunk(const std::string& token, std::int64_t index) {
    auto r = relay;
    return testing::runBlocking([r, token, index]() -> runtime::Awaitable<Bytes> {
      const auto shared = co_await r->chunk(token, index, false);
      co_return *shared;
    });
  }
  runtime::Task<Bytes> startChunk(const std::string& token, std::int64_t index, bool prefetch = false) {
    auto r = relay;
    return runtime::spawn(runtime::sharedPool().executor(), [r, token, index, prefetch]() -> runtime::Awaitable<Bytes> {
      const auto shared = co_await r->chunk(token, index, prefetch);
      co_return *shared;
    });
  }
  std::int64_t length(const std::string& token) {
    auto r = relay;
    return testing::runBlocking(
        [r, token]() -> runtime::Awaitable<std::int64_t> { co_return co_await r->totalLength(token); });
  }
  RemoteMediaRelay::Snapshot snapshot(const std::string& token = "") {
    auto r = relay;
    return testing::runBlocking(
        [r, token]() -> runtime::Awaitable<RemoteMediaRelay::Snapshot> { co_return co_await r->snapshot(token); });
  }
  bool waitUntil(const std::function<bool(const RemoteMediaRelay::Snapshot&)>& holds, const std::string& token = "") {
    for (int i = 0; i < 500; ++i) {
      if (holds(snapshot(token))) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }
  std::vector<nlohmann::json> mediaRequests() {
    std::vector<nlohmann::json> out;
    for (const auto& e : remote.events()) {
      if (e["event"] == "media") out.push_back(e);
    }
    return out;
  }
  // The next throttled failure line is written: its count starts afresh and its interval has passed.
  void freshThrottle() {
    diagnostics::LogThrottle::shared().reset("relay_upstream_fail");
    clock.advance(1s);
  }

  // One clock for the whole process: the shared log throttle remembers times across fixtures.
  static runtime::ManualClock& processClock() {
    static runtime::ManualClock clock;
    return clock;
  }
  runtime::ManualClock& clock = processClock();
  runtime::ScopedClock scopedClock{clock};
  testing::FakeRemote remote;
  std::shared_ptr<platform::http::Client> client =
      std::make_shared<platform::http::Client>(remote.clientConfiguration());
  std::shared_ptr<RemoteMediaRelay> relay;
};

// The relay error a task ended with, or nothing.
template <typename T>
std::optional<RelayError::Case> relayErrorIn(const runtime::Task<T>& task) {
  try {
    (void)task.state()->result();
  } catch (const RelayError& error) {
    return error.errorCase();
  } catch (...) {}
  return std::nullopt;
}

template <typename F>
std::optional<RelayError::Case> relayErrorOf(F&& call) {
  try {
    call();
  } catch (const RelayError& error) {
    return error.errorCase();
  }
  return std::nullopt;
}

} // namespace pd::relay
