// Sending a YouTube video, and the tempo analysis after any committed send.

#include "api/ReceiverAPIService.hpp"
#include "deckinput/LocalBPMDetectionService.hpp"
#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "platform/crypto/Random.hpp"
#include "relay/PreparedRemoteVideo.hpp"
#include "relay/RemoteVideoPreparer.hpp"
#include "remotesource/VideoSearchItem.hpp"
#include "runtime/MainThread.hpp"
#include "runtime/ThreadPools.hpp"
#include "sender/BroadcasterServices.hpp"
#include "sender/LocalVideoBroadcaster.hpp"
#include "sender/TemporaryCopies.hpp"

#include <system_error>

namespace pd::sender {

namespace {

using diagnostics::Log;

constexpr std::int64_t kAudioOnlyAnalysisBytes = 2'097'152;
constexpr std::string_view kBPMFailureStatus = "BPM 解析失敗（iPad 側で手動設定可）";

} // namespace

void LocalVideoBroadcaster::sendRemoteVideo(const remotesource::VideoSearchItem& item, Target target) {
  runtime::MainThread::assertMainThread();
  const auto link = dependencies_.link;
  if (!link->isAvailable() || !link->hasConnectedPeer()) {
    deck(target).status.set(link->isAvailable() ? "iPad が未接続です" : "内部エラー");
    return;
  }
  auto& serving = this->serving(target);
  const auto request = incrementCounter(serving.request);
  serving.remoteTask.cancel();
  serving.remoteTask = {};
  deck(target).status.set("「" + item.title + "」を準備中...");
  auto op = api::ReceiverAPIService::makeOperationID();
  Log::source().notice("remote_video_prepare_start video=%{public}s target=%{public}s op=%{public}s", item.videoID,
                       rawValue(target), op);
  serving.remoteTask = runtime::spawn(runtime::MainThread::executor(),
                                      [weak = weak_from_this(), link, videoID = item.videoID, title = item.title,
                                       target, request, op = std::move(op)]() -> runtime::Awaitable<void> {
                                        co_await sendRemote(weak, link, videoID, title, target, request, op);
                                      });
}

runtime::Awaitable<void> LocalVideoBroadcaster::sendRemote(std::weak_ptr<LocalVideoBroadcaster> weak,
                                                           std::shared_ptr<link::SenderLink> link, std::string videoID,
                                                           std::string title, Target target, std::int64_t request,
                                                           std::string op) {
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server;
  std::shared_ptr<relay::RemoteVideoPreparer> preparer;
  if (const auto self = weak.lock()) {
    server = self->httpServer_;
    preparer = self->services_->preparer;
  } else {
    co_return;
  }
  std::uint16_t port = 0;
  std::optional<relay::PreparedRemoteVideo> prepared;
  std::exception_ptr failure;
  try {
    port = co_await server->ensureReady();
    prepared = co_await preparer->prepareForBroadcast(videoID, port, op);
  } catch (const runtime::CancellationError&) {
    co_return;
  } catch (...) {
    failure = std::current_exception();
  }
  const auto self = weak.lock();
  if (failure) {
    if (!self || self->serving(target).request != request) co_return;
    self->deck(target).status.set("「" + title + "」: " + remotePrepareErrorText(failure));
    const auto fields = diagnostics::LogErrorFields::fields(failure, true);
    Log::source().error("remote_video_prepare_fail video=%{public}s target=%{public}s err_domain=%{public}s "
                        "err_code=%ld error=%s op=%{public}s",
                        videoID, rawValue(target), fields.domain, fields.code, fields.detail, op);
    co_return;
  }
  const auto release = [&] {
    for (const auto& token : prepared->tokens) server->unregister(token);
  };
  if (!self || self->serving(target).request != request || runtime::isCancelled()) {
    release();
    co_return;
  }
  auto& deck = self->deck(target);
  const auto host = link->localHostForPeer();
  if (!host) {
    release();
    deck.status.set("「" + title + "」を送れません（Mac の IP を取得できません）");
    co_return;
  }
  const auto url = "http://" + *host + ":" + std::to_string(port) + "/" + prepared->entryPath;
  if (!link->sendLoadVideo(std::string(rawValue(target)), url, prepared->title)) {
    release();
    deck.status.set("「" + title + "」の送信に失敗しました（iPad との接続を確認してください）");
    co_return;
  }
  const auto generation = self->commitServing(prepared->tokens, std::nullopt, url, prepared->title, target);
  Log::source().notice("remote_video_send video=%{public}s target=%{public}s kind=%{public}s op=%{public}s", videoID,
                       rawValue(target), relay::PreparedRemoteVideo::rawValue(prepared->kind), op);
  const std::string suffix = prepared->kind == relay::PreparedRemoteVideo::Kind::videoOnly ? "（音声なし）" : "";
  const Analysis analysis{target, generation, request, url};
  if (!prepared->analysisToken) {
    self->applyNoAnalysis(analysis, "送信しました" + suffix + " / 音声が無いため BPM は解析できません");
    co_return;
  }
  deck.status.set("送信しました" + suffix + " / BPM 解析中...");
  deck.isAnalyzing.set(true);
  self->startRemoteBPM(*prepared, port, analysis);
}

void LocalVideoBroadcaster::startLocalBPM(std::filesystem::path file, Analysis analysis) {
  runtime::spawnDetached(runtime::backgroundPool().executor(),
                         [weak = weak_from_this(), file = std::move(file), analysis]() -> runtime::Awaitable<void> {
                           const deckinput::LocalBPMDetectionService service;
                           const auto result = co_await service.detectBPM(file);
                           runtime::MainThread::post([weak, bpm = result.bpm, analysis] {
                             if (const auto self = weak.lock()) self->applyBPMResult(bpm, analysis, kBPMFailureStatus);
                           });
                         });
}

void LocalVideoBroadcaster::startRemoteBPM(const relay::PreparedRemoteVideo& prepared, std::uint16_t port,
                                           Analysis analysis) {
  std::optional<std::int64_t> count;
  if (prepared.analysisIsAudioOnly) {
    count = kAudioOnlyAnalysisBytes;
  } else if (prepared.analysisLength && *prepared.analysisLength >= 1 &&
             *prepared.analysisLength <= kLargestTemporaryVideoBytes) {
    count = prepared.analysisLength;
  }
  if (!count) {
    Log::bpm().notice("remote_bpm_skip target=%{public}s reason=muxed_too_large size_b=%lld", rawValue(analysis.target),
                      prepared.analysisLength.value_or(-1));
    applyNoAnalysis(analysis, "送信しました / この動画は BPM を自動解析できません（iPad 側で手動設定可）");
    return;
  }
  const auto source = "http://127.0.0.1:" + std::to_string(port) + "/" + *prepared.analysisToken;
  runtime::spawnDetached(
      runtime::backgroundPool().executor(),
      [weak = weak_from_this(), preparer = services_->preparer, caches = dependencies_.cachesDirectory, source,
       length = *count, analysis]() -> runtime::Awaitable<void> {
        std::optional<std::int64_t> bpm;
        std::optional<std::filesystem::path> file;
        try {
          file = sender::temporaryFolder(caches) /
                 (std::string(kRemoteBPMPrefix) + platform::crypto::makeUUIDString() + ".mp4");
          co_await preparer->fetchLocalRange(source, length, *file);
          const deckinput::LocalBPMDetectionService service;
          bpm = (co_await service.detectBPM(*file)).bpm;
        } catch (const std::exception& error) {
          const auto fields = diagnostics::LogErrorFields::fields(error, true);
          Log::bpm().error("remote_bpm_fetch_fail target=%{public}s err_domain=%{public}s err_code=%ld error=%s",
                           rawValue(analysis.target), fields.domain, fields.code, fields.detail);
        }
        if (file) {
          std::error_code ignored;
          std::filesystem::remove(*file, ignored);
        }
        runtime::MainThread::post([weak, bpm, analysis] {
          if (const auto self = weak.lock()) self->applyBPMResult(bpm, analysis, kBPMFailureStatus);
        });
      });
}

void LocalVideoBroadcaster::applyBPMResult(std::optional<std::int64_t> bpm, const Analysis& analysis,
                                           std::string_view failureStatus) {
  runtime::MainThread::assertMainThread();
  if (!bpm) {
    applyNoAnalysis(analysis, std::string(failureStatus));
    return;
  }
  const auto& serving = this->serving(analysis.target);
  if (serving.loadGeneration != analysis.generation) {
    Log::localvideo().notice("bpm_discard_stale target=%{public}s", rawValue(analysis.target));
    return;
  }
  auto& deck = this->deck(analysis.target);
  deck.isAnalyzing.set(false);
  deck.bpm.set(*bpm);
  const bool sent = dependencies_.link->sendVideoBPM(std::string(rawValue(analysis.target)), *bpm, analysis.url);
  if (serving.request == analysis.request) {
    deck.status.set("BPM: " + std::to_string(*bpm) + (sent ? "" : "（iPad へ送信失敗）"));
  }
}

// Also the outcome of an analysis that found nothing: a zero tempo, so the tablet stops waiting.
void LocalVideoBroadcaster::applyNoAnalysis(const Analysis& analysis, const std::string& status) {
  const auto& serving = this->serving(analysis.target);
  if (serving.loadGeneration != analysis.generation) {
    Log::localvideo().notice("bpm_discard_stale target=%{public}s", rawValue(analysis.target));
    return;
  }
  deck(analysis.target).isAnalyzing.set(false);
  dependencies_.link->sendVideoBPM(std::string(rawValue(analysis.target)), 0, analysis.url);
  if (serving.request == analysis.request) deck(analysis.target).status.set(status);
}

} // namespace pd::sender
