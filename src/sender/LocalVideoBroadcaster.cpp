#include "sender/LocalVideoBroadcaster.hpp"

#include "api/ReceiverAPIService.hpp"
#include "api/SessionTokenStore.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "relay/RemoteMediaRelay.hpp"
#include "relay/RemoteVideoPreparer.hpp"
#include "remotesource/VideoSourceError.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/ThreadPools.hpp"
#include "runtime/Weak.hpp"
#include "sender/BroadcasterServices.hpp"
#include "sender/TemporaryCopies.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

namespace pd::sender {

namespace {

using diagnostics::Log;

constexpr std::string_view kUnavailableBody = R"({"error":"unavailable"})";

// Holds the service only while it answers: once the broadcaster is gone, the road says so.
runtime::Awaitable<mediaserver::ReceiverAPIResponse>
answerAPI(std::weak_ptr<api::ReceiverAPIService> api, std::string route, std::map<std::string, std::string> query) {
  const auto service = api.lock();
  if (!service) co_return mediaserver::ReceiverAPIResponse{503, {kUnavailableBody.begin(), kUnavailableBody.end()}};
  co_return co_await service->handle(std::move(route), std::move(query));
}

} // namespace

std::int64_t incrementCounter(std::int64_t& counter) {
  if (counter == std::numeric_limits<std::int64_t>::max()) {
    Log::localvideo().fault("counter_overflow");
    std::abort();
  }
  return ++counter;
}

bool hasFeature(const std::optional<std::vector<std::string>>& features, std::string_view word) {
  return features && std::find(features->begin(), features->end(), word) != features->end();
}

std::optional<LocalVideoBroadcaster::Target> LocalVideoBroadcaster::targetFromRaw(std::string_view raw) noexcept {
  if (raw == "A") return Target::a;
  if (raw == "B") return Target::b;
  return std::nullopt;
}

std::shared_ptr<LocalVideoBroadcaster> LocalVideoBroadcaster::create(Dependencies dependencies) {
  auto broadcaster = std::make_shared<LocalVideoBroadcaster>(std::move(dependencies));
  broadcaster->install();
  return broadcaster;
}

LocalVideoBroadcaster::LocalVideoBroadcaster(Dependencies dependencies)
    : dependencies_(std::move(dependencies)), services_(std::make_shared<BroadcasterServices>()) {
  runtime::MainThread::assertMainThread();
  relay::RemoteMediaRelay::Configuration relayConfiguration;
  relayConfiguration.client = dependencies_.httpClient;
  relayConfiguration.requestTimeout = std::chrono::seconds(15);
  relayConfiguration.resourceTimeout = std::chrono::seconds(30);
  relayConfiguration.cache = dependencies_.relayDiskCache;
  if (dependencies_.relayCacheEnabled) relayConfiguration.cacheEnabled = dependencies_.relayCacheEnabled;
  relayConfiguration.prefetchBytesPerSecond = 1'048'576.0;
  relayConfiguration.chunkSize = 2'097'152;
  httpServer_ = mediaserver::LocalVideoHTTPServer::create(relay::RemoteMediaRelay::create(relayConfiguration));
  services_->sessionTokens = std::make_shared<api::SessionTokenStore>();
  buildServices(*services_, httpServer_, dependencies_);
}

LocalVideoBroadcaster::~LocalVideoBroadcaster() {
  sourceEndpointTask_.cancel();
  for (auto* serving : {&servingA_, &servingB_}) {
    serving->ackTimeoutTask.cancel();
    serving->remoteTask.cancel();
  }
}

void LocalVideoBroadcaster::install() {
  const std::weak_ptr<LocalVideoBroadcaster> weak = weak_from_this();
  dependencies_.link->setCallbacks({
      runtime::weakCallback(weak, [](LocalVideoBroadcaster& self,
                                     const std::optional<std::string>& peerID) { self.handlePeerChanged(peerID); }),
      runtime::weakCallback(weak, [](LocalVideoBroadcaster& self) { self.startSourceEndpointAnnouncements(); }),
      runtime::weakCallback(
          weak, [](LocalVideoBroadcaster& self, const link::LoadVideoAck& ack) { self.handleLoadVideoAck(ack); }),
  });

  // The lambda only starts the coroutine: the server may replace or drop it while a request runs.
  // Without a service the road answers at once.
  // The longest wait is asked at each request: the YouTube side's grows with the instance list.
  const std::weak_ptr<api::ReceiverAPIService> service = services_->receiverAPI;
  httpServer_->setAPIHandler(
      [service](std::string route, std::map<std::string, std::string> query) {
        return answerAPI(service, std::move(route), std::move(query));
      },
      [service] {
        const auto api = service.lock();
        return api ? api->longestWait() : std::chrono::nanoseconds::zero();
      });
  // Called on the server's queue: only hands the restart to the main thread.
  httpServer_->setOnPortChange([weak](std::uint16_t) {
    runtime::MainThread::post([weak] {
      const auto self = weak.lock();
      if (self && self->isRemoteSourcePeerLinked()) self->startSourceEndpointAnnouncements();
    });
  });

  const auto caches = dependencies_.cachesDirectory;
  const auto keepSince = dependencies_.sweepKeepsSince.value_or(processStartTime());
  runtime::backgroundPool().post([caches, keepSince] {
    std::filesystem::path folder;
    try {
      folder = sender::temporaryFolder(caches);
    } catch (const std::exception&) {
      return;
    }
    sweepLeftovers(folder, keepSince);
  });
}

bool LocalVideoBroadcaster::isRemoteSourcePeerLinked() const {
  const auto& link = *dependencies_.link;
  return link.isAvailable() && link.hasConnectedPeer() && hasFeature(link.peerFeatures(), "remote_source");
}

std::string LocalVideoBroadcaster::sessionToken() const { return services_->sessionTokens->current().token; }
std::int64_t LocalVideoBroadcaster::sessionGeneration() const { return services_->sessionTokens->generation(); }

const std::shared_ptr<relay::RemoteVideoPreparer>& LocalVideoBroadcaster::remotePreparer() const noexcept {
  return services_->preparer;
}

std::optional<std::string> LocalVideoBroadcaster::servedURL(Target target) const {
  runtime::MainThread::assertMainThread();
  return serving(target).servedURL;
}

std::filesystem::path LocalVideoBroadcaster::temporaryFolder() const {
  return sender::temporaryFolder(dependencies_.cachesDirectory);
}

void LocalVideoBroadcaster::deleteTempCopy(const std::filesystem::path& copy) const {
  removeTemporaryCopyLater(copy, dependencies_.cachesDirectory);
}

void LocalVideoBroadcaster::handlePeerChanged(const std::optional<std::string>& peerID) {
  runtime::MainThread::assertMainThread();
  if (lastPeerID_ && (!peerID || *peerID != *lastPeerID_)) {
    services_->sessionTokens->rotate();
    Log::source().notice("session_token_rotate reason=peer_changed");
    const auto generation = services_->sessionTokens->generation();
    if (const auto api = services_->receiverAPI) {
      runtime::spawnDetached(runtime::MainThread::executor(), [api, generation]() -> runtime::Awaitable<void> {
        co_await api->revokeSourceTokens(generation);
      });
    }
    for (const auto target : {Target::a, Target::b}) {
      auto& serving = this->serving(target);
      serving.ackTimeoutTask.cancel();
      serving.ackTimeoutTask = {};
      serving.servedURL.reset();
      deck(target).playback.set({});
    }
  }
  lastPeerID_ = peerID.value_or("<unknown>");
}

void LocalVideoBroadcaster::startSourceEndpointAnnouncements() {
  runtime::MainThread::assertMainThread();
  sourceEndpointTask_.cancel();
  sourceEndpointTask_ =
      runtime::spawn(runtime::MainThread::executor(),
                     [weak = weak_from_this(), services = services_] { return announce(weak, services); });
}

runtime::Awaitable<void> LocalVideoBroadcaster::announce(std::weak_ptr<LocalVideoBroadcaster> weak,
                                                         std::shared_ptr<BroadcasterServices> services) {
  bool isRepeat = false;
  for (;;) {
    std::shared_ptr<mediaserver::LocalVideoHTTPServer> server;
    std::shared_ptr<link::SenderLink> link;
    std::chrono::nanoseconds period{};
    {
      const auto self = weak.lock();
      if (runtime::isCancelled() || !self || !self->isRemoteSourcePeerLinked()) co_return;
      server = self->httpServer_;
      link = self->dependencies_.link;
      period = self->dependencies_.timing.announcementPeriod;
    }
    try {
      const auto port = co_await server->ensureReady();
      if (runtime::isCancelled()) co_return;
      link->sendSourceEndpoint(port, services->sessionTokens->current().token, isRepeat);
    } catch (const runtime::CancellationError&) {
      co_return;
    } catch (const std::exception& error) {
      const auto fields = diagnostics::LogErrorFields::fields(error, true);
      Log::localvideo().error("source_endpoint_fail reason=http_server err_domain=%{public}s err_code=%ld error=%s",
                              fields.domain, fields.code, fields.detail);
    }
    isRepeat = true;
    server.reset();
    link.reset();
    try {
      co_await runtime::sleep(period);
    } catch (const runtime::CancellationError&) {
      // Straight to the next pass's check, which ends the loop.
    }
  }
}

std::string LocalVideoBroadcaster::remotePrepareErrorText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const remotesource::VideoSourceError& sourceError) {
    switch (sourceError.errorCase()) {
    case remotesource::VideoSourceError::Case::allInstancesFailed:
      return "動画の情報を取得できません（インスタンスに接続できません）";
    case remotesource::VideoSourceError::Case::noPlayableStream:
      return "再生できる形式がありません（別の動画を選んでください）";
    default: return "動画の情報を取得できません";
    }
  } catch (...) {
    return "準備に失敗しました（ネットワークを確認してください）";
  }
}

} // namespace pd::sender
