// Sending a file of this computer, the deck's serving state, and the tablet's load answers.

#include "diagnostics/Log.hpp"
#include "diagnostics/LogErrorFields.hpp"
#include "mediaserver/LocalVideoHTTPServer.hpp"
#include "runtime/MainThread.hpp"
#include "sender/BroadcasterServices.hpp"
#include "sender/LocalVideoBroadcaster.hpp"

#include <algorithm>

namespace pd::sender {

namespace {

using diagnostics::Log;
using Case = LocalVideoBroadcaster::PlaybackState::Case;

} // namespace

void LocalVideoBroadcaster::reportNotVideo(const std::string& fileName, Target target) {
  runtime::MainThread::assertMainThread();
  deck(target).status.set("動画ファイルではありません: " + fileName);
}

void LocalVideoBroadcaster::reportCopyRefused(const std::string& fileName, Target target, CopyRefusal refusal) {
  runtime::MainThread::assertMainThread();
  const auto limit = std::to_string(kLargestTemporaryVideoBytes / 1'048'576) + " MiB";
  deck(target).status.set(refusal == CopyRefusal::tooLarge ? "動画が大きすぎます（" + limit + " まで）: " + fileName
                                                           : "一時フォルダの空き容量が足りません: " + fileName);
}

void LocalVideoBroadcaster::sendLocalFile(const std::filesystem::path& file, Target target, bool isTemporaryCopy) {
  runtime::MainThread::assertMainThread();
  const auto& link = *dependencies_.link;
  if (!link.isAvailable() || !link.hasConnectedPeer()) {
    deck(target).status.set(link.isAvailable() ? "iPad が未接続です" : "内部エラー");
    if (isTemporaryCopy) deleteTempCopy(file);
    return;
  }
  auto& serving = this->serving(target);
  const auto request = incrementCounter(serving.request);
  serving.remoteTask.cancel();
  serving.remoteTask = {};
  deck(target).status.set("「" + file.filename().string() + "」を準備中...");
  // From here the send owns the copy: whichever way it ends, even with the broadcaster gone or
  // its task dropped unfinished, the copy is removed unless the deck took it.
  auto copy = isTemporaryCopy ? std::optional<OwnedTemporaryCopy>(std::in_place, file, dependencies_.cachesDirectory)
                              : std::nullopt;
  runtime::spawnDetached(
      runtime::MainThread::executor(),
      [weak = weak_from_this(), file, target, copy = std::move(copy), request]() mutable -> runtime::Awaitable<void> {
        co_await sendLocal(weak, file, target, std::move(copy), request);
      });
}

runtime::Awaitable<void> LocalVideoBroadcaster::sendLocal(std::weak_ptr<LocalVideoBroadcaster> weak,
                                                          std::filesystem::path file, Target target,
                                                          std::optional<OwnedTemporaryCopy> copy,
                                                          std::int64_t request) {
  std::shared_ptr<mediaserver::LocalVideoHTTPServer> server;
  std::shared_ptr<link::SenderLink> link;
  if (const auto self = weak.lock()) {
    server = self->httpServer_;
    link = self->dependencies_.link;
  } else {
    co_return;
  }
  const auto name = file.filename().string();
  std::uint16_t port = 0;
  std::exception_ptr failure;
  try {
    port = co_await server->ensureReady();
  } catch (...) {
    failure = std::current_exception();
  }
  const auto self = weak.lock();
  if (!self) co_return;
  auto& serving = self->serving(target);
  auto& deck = self->deck(target);
  if (failure) {
    if (serving.request != request) co_return;
    deck.status.set("「" + name + "」を送れません（HTTP サーバ起動失敗）");
    const auto fields = diagnostics::LogErrorFields::fields(failure, true);
    Log::localvideo().error("local_video_send_fail target=%{public}s err_domain=%{public}s err_code=%ld error=%s",
                            rawValue(target), fields.domain, fields.code, fields.detail);
    co_return;
  }
  if (serving.request != request) co_return;
  const auto host = link->localHostForPeer();
  if (!host) {
    deck.status.set("「" + name + "」を送れません（Mac の IP を取得できません）");
    co_return;
  }
  const auto token = server->registerFile(file);
  const auto url = "http://" + *host + ":" + std::to_string(port) + "/" + token;
  if (!link->sendLoadVideo(std::string(rawValue(target)), url, file.stem().string())) {
    server->unregister(token);
    copy.reset();
    deck.status.set("「" + name + "」の送信に失敗しました（iPad との接続を確認してください）");
    co_return;
  }
  const auto generation =
      self->commitServing({token}, copy ? std::optional(copy->release()) : std::nullopt, url, name, target);
  deck.status.set("送信しました / BPM 解析中...");
  deck.isAnalyzing.set(true);
  Log::localvideo().notice("local_video_send target=%{public}s", rawValue(target));
  self->startLocalBPM(file, {target, generation, request, url});
}

std::int64_t LocalVideoBroadcaster::commitServing(std::vector<std::string> tokens,
                                                  std::optional<std::filesystem::path> tempCopy, const std::string& url,
                                                  const std::string& title, Target target) {
  runtime::MainThread::assertMainThread();
  clearServing(target);
  auto& serving = this->serving(target);
  serving.activeTokens = std::move(tokens);
  serving.tempCopy = std::move(tempCopy);
  serving.servedURL = url;
  auto& deck = this->deck(target);
  deck.fileName.set(title);
  deck.bpm.set(std::nullopt);
  deck.isAnalyzing.set(false);
  const auto& link = *dependencies_.link;
  if (link.isAvailable() && hasFeature(link.peerFeatures(), "load_video_ack")) {
    deck.playback.set({Case::awaiting, std::nullopt});
    startAckTimeout(url, target);
  } else {
    serving.ackTimeoutTask.cancel();
    serving.ackTimeoutTask = {};
    deck.playback.set({Case::unconfirmed, std::nullopt});
  }
  return incrementCounter(serving.loadGeneration);
}

void LocalVideoBroadcaster::clearServing(Target target) {
  auto& serving = this->serving(target);
  const auto tokens = std::exchange(serving.activeTokens, {});
  const auto copy = std::exchange(serving.tempCopy, std::nullopt);
  serving.servedURL.reset();
  serving.ackTimeoutTask.cancel();
  serving.ackTimeoutTask = {};
  unregisterAll(tokens);
  if (copy) deleteTempCopy(*copy);
}

void LocalVideoBroadcaster::unregisterAll(const std::vector<std::string>& tokens) const {
  for (const auto& token : tokens) httpServer_->unregister(token);
}

void LocalVideoBroadcaster::startAckTimeout(const std::string& url, Target target) {
  auto& serving = this->serving(target);
  serving.ackTimeoutTask.cancel();
  const auto timeout = dependencies_.timing.ackTimeout;
  serving.ackTimeoutTask = runtime::spawn(
      runtime::MainThread::executor(), [weak = weak_from_this(), url, target, timeout]() -> runtime::Awaitable<void> {
        try {
          co_await runtime::sleep(timeout);
        } catch (const runtime::CancellationError&) {
          co_return;
        }
        const auto self = weak.lock();
        if (runtime::isCancelled() || !self || self->serving(target).servedURL != url ||
            self->deck(target).playback.get().state != Case::awaiting) {
          co_return;
        }
        Log::localvideo().notice("load_video_ack_timeout target=%{public}s after_s=%ld", rawValue(target),
                                 std::chrono::duration_cast<std::chrono::seconds>(timeout).count());
        self->deck(target).playback.set({Case::noResponse, std::nullopt});
      });
}

void LocalVideoBroadcaster::handleLoadVideoAck(const link::LoadVideoAck& ack) {
  runtime::MainThread::assertMainThread();
  const auto target = targetFromRaw(ack.target);
  if (!target) return;
  auto& serving = this->serving(*target);
  if (serving.servedURL != ack.url) {
    Log::localvideo().debug("load_video_ack_discard target=%{public}s reason=stale", ack.target);
    return;
  }
  auto& playback = deck(*target).playback;
  if (playback.get().state == Case::failed || playback.get().state == Case::replaced) {
    Log::localvideo().debug("load_video_ack_discard target=%{public}s reason=after_terminal", ack.target);
    return;
  }
  serving.ackTimeoutTask.cancel();
  serving.ackTimeoutTask = {};
  switch (ack.status) {
  case link::LoadVideoAck::Status::ready: playback.set({Case::ready, std::nullopt}); break;
  case link::LoadVideoAck::Status::failed: playback.set(PlaybackState::failed(ack.reason)); break;
  case link::LoadVideoAck::Status::replaced: playback.set({Case::replaced, std::nullopt}); break;
  }
}

} // namespace pd::sender
