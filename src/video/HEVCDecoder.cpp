#include "video/HEVCDecoder.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "platform/media/EncodedPacket.hpp"
#include "runtime/Clock.hpp"
#include "video/HEVCFormatDescription.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <variant>

namespace pd::video {
namespace {

using diagnostics::Log;
using diagnostics::LogThrottle;
using diagnostics::logThrottled;
using platform::log::Level;
using platform::media::EncodedPacket;
using platform::media::HEVCDecompressionSession;
using platform::media::VideoFramePtr;
using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;
using MonotonicTime = runtime::Clock::MonotonicTime;

constexpr int kTypeFirstRandomAccess = 16; // BLA_W_LP
constexpr int kTypeLastRandomAccess = 23; // RSV_IRAP_VCL23
constexpr int kTypeVPS = 32;
constexpr int kTypeSPS = 33;
constexpr int kTypePPS = 34;

// Failure lines: the first occurrence of a key and every 60th, never twice within 0.5 s.
constexpr diagnostics::ThrottleRule kFailureRule{60, std::chrono::milliseconds(500)};
// What "os_status" reads when the stored parameter sets give no format description.
constexpr int kStatusParameterSetsRefused = -1;

struct ThrottleKeys {
  std::string decodeSubmitFail;
  std::string formatDescCreateFail;
  std::string decoderCreateFail;
  std::string blockbufferCreateFail;
  std::string decodeCallbackFail;
  std::string queueFull;
  std::string spsRefused;

  explicit ThrottleKeys(const std::string& tag)
      : decodeSubmitFail("decode_submit_fail_" + tag),
        formatDescCreateFail("format_desc_create_fail_" + tag),
        decoderCreateFail("decoder_create_fail_" + tag),
        blockbufferCreateFail("blockbuffer_create_fail_" + tag),
        decodeCallbackFail("decode_cb_fail_" + tag),
        queueFull("decode_queue_full_" + tag),
        spsRefused("decode_sps_refused_" + tag) {}
};

// The key's count when a recovery line is due: 2 or more failures since the last success.
std::optional<std::int64_t> takeRecovery(const std::string& key) {
  const std::optional<std::int64_t> count = LogThrottle::shared().reset(key);
  return count && *count >= 2 ? count : std::nullopt;
}

long byteCount(const Bytes& bytes) { return static_cast<long>(bytes.size()); }

struct AccessUnitJob {
  std::shared_ptr<const HEVCFormatDescription> description; // as stored when the unit came
  EncodedPacket packet; // picture-bearing units only
  bool pictureBearing = false;
  bool randomAccess = false;
  bool afterGap = false; // units before it were dropped
  std::uint64_t epoch = 0;
  MonotonicTime submittedAt{};
};

struct ControlJob {
  enum class Kind { reset, barrier, stop };
  Kind kind = Kind::barrier;
  std::promise<void>* done = nullptr;
};

using Job = std::variant<AccessUnitJob, ControlJob>;

} // namespace

struct HEVCDecoder::Impl {
  explicit Impl(Options decoderOptions) : options(decoderOptions) {
    options.queueCapacity = std::max<std::size_t>(options.queueCapacity, 1);
  }

  Options options;
  std::string streamTag = "unknown";
  ThrottleKeys keys{streamTag};
  PixelBufferCallback onDecodedPixelBuffer;

  // The caller's side: touched only on the thread that calls decode() and reset().
  std::optional<Bytes> vps;
  std::optional<Bytes> sps;
  std::optional<Bytes> pps;
  std::shared_ptr<const HEVCFormatDescription> formatDescription;
  bool afterGap = false; // a picture was dropped: the next one starts the wait for a random-access one

  // The hand-over.
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Job> jobs;
  std::size_t queuedAccessUnits = 0;
  std::atomic<std::uint64_t> picturesShedAfterGaps{0};

  // The worker's side.
  std::unique_ptr<HEVCDecompressionSession> session;
  std::shared_ptr<const HEVCFormatDescription> sessionDescription; // the last one a unit brought
  std::optional<MonotonicTime> nextDecoderCreateRetryTime; // none: at once
  bool awaitingRandomAccess = true;
  std::optional<MonotonicTime> heldSince; // the first picture held back in this wait
  long heldPictures = 0;
  bool waitFollowsGap = false; // the pictures this wait holds back are counted as shed
  bool startedWithoutRandomAccess = false; // this session's line is written

  std::thread worker; // last: started once everything above exists

  // --- caller side ---

  void updateParameterSets(std::optional<ByteView> vpsCandidate, std::optional<ByteView> spsCandidate,
                           std::optional<ByteView> ppsCandidate);
  std::shared_ptr<const HEVCFormatDescription> createFormatDescription();
  bool enqueue(Job job, bool countsAgainstCapacity);
  void runControl(ControlJob::Kind kind);

  // --- worker side ---

  void run();
  void handleAccessUnit(AccessUnitJob& job);
  bool holdsBack(const AccessUnitJob& job);
  void awaitRandomAccess();
  void createSession();
  void tearDownSession();
  void noteSubmitSucceeded();
  void handleDecodedFrame(int status, VideoFramePtr frame,
                          std::optional<HEVCDecompressionSession::SourceFrameContext> context);
};

HEVCDecoder::HEVCDecoder() : HEVCDecoder(Options{}) {}

HEVCDecoder::HEVCDecoder(Options options) : impl_(std::make_unique<Impl>(options)) {
  impl_->worker = std::thread([impl = impl_.get()] { impl->run(); });
}

HEVCDecoder::~HEVCDecoder() {
  {
    std::scoped_lock lock(impl_->mutex);
    impl_->jobs.emplace_back(ControlJob{ControlJob::Kind::stop, nullptr});
  }
  impl_->wake.notify_one();
  impl_->worker.join();
}

void HEVCDecoder::setStreamTag(std::string tag) {
  impl_->keys = ThrottleKeys(tag);
  impl_->streamTag = std::move(tag);
}

const std::string& HEVCDecoder::streamTag() const noexcept { return impl_->streamTag; }

std::uint64_t HEVCDecoder::picturesShedAfterGaps() const noexcept {
  return impl_->picturesShedAfterGaps.load(std::memory_order_relaxed);
}

void HEVCDecoder::setOnDecodedPixelBuffer(PixelBufferCallback callback) {
  impl_->onDecodedPixelBuffer = std::move(callback);
}

void HEVCDecoder::decode(std::span<const std::uint8_t> accessUnit, std::uint64_t epoch) {
  Impl& d = *impl_;
  std::optional<ByteView> vpsCandidate;
  std::optional<ByteView> spsCandidate;
  std::optional<ByteView> ppsCandidate;
  bool pictureBearing = false;
  bool randomAccess = false;
  bool spsRefused = false;
  for (const NALUnit& unit : splitNALUnits(accessUnit)) {
    // Only the base layer is decoded: another layer's sets must not replace its own.
    if (unit.layerId != 0) continue;
    if (unit.type == kTypeVPS) vpsCandidate = unit.bytes;
    else if (unit.type == kTypeSPS) {
      // Only the last SPS is kept and checked through the format description, but FFmpeg reads
      // every one: an earlier one under another id, named by a PPS, would size the pictures.
      if (spsCandidate && !readSequenceParameterSet(*spsCandidate)) spsRefused = true;
      spsCandidate = unit.bytes;
    } else if (unit.type == kTypePPS) ppsCandidate = unit.bytes;
    else if (unit.type < 32) {
      pictureBearing = true;
      randomAccess = randomAccess || (unit.type >= kTypeFirstRandomAccess && unit.type <= kTypeLastRandomAccess);
    }
  }

  if (spsRefused) {
    logThrottled(Log::video(), Level::error, d.keys.spsRefused, kFailureRule,
                 "decode_drop reason=sps_refused stream=%{public}s occurrences=%ld", d.streamTag);
    // The pictures after it may refer to it, as after any other picture dropped here.
    if (pictureBearing) {
      d.afterGap = true;
      d.picturesShedAfterGaps.fetch_add(1, std::memory_order_relaxed);
    }
    return;
  }

  d.updateParameterSets(vpsCandidate, spsCandidate, ppsCandidate);
  if (!d.formatDescription && d.vps && d.sps && d.pps) d.formatDescription = d.createFormatDescription();

  AccessUnitJob job;
  job.description = d.formatDescription;
  job.pictureBearing = pictureBearing;
  job.randomAccess = randomAccess;
  job.epoch = epoch;
  job.submittedAt = runtime::Clock::current().monotonic();
  if (pictureBearing) {
    int status = 0;
    job.packet = EncodedPacket::copyOf(accessUnit, status);
    if (!job.packet) {
      logThrottled(Log::video(), Level::error, d.keys.blockbufferCreateFail, kFailureRule,
                   "blockbuffer_create_fail stream=%{public}s os_status=%d occurrences=%ld", d.streamTag, status);
      // The lost picture may be a reference, as much as one dropped for a full queue.
      d.afterGap = true;
      d.picturesShedAfterGaps.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    job.afterGap = d.afterGap;
  }

  const bool afterGap = job.afterGap;
  if (d.enqueue(std::move(job), true)) {
    if (afterGap) d.afterGap = false;
    return;
  }
  if (pictureBearing) {
    d.afterGap = true;
    d.picturesShedAfterGaps.fetch_add(1, std::memory_order_relaxed);
  }
  logThrottled(Log::video(), Level::error, d.keys.queueFull, kFailureRule,
               "decode_drop reason=queue_full stream=%{public}s occurrences=%ld", d.streamTag);
}

void HEVCDecoder::reset() {
  Impl& d = *impl_;
  d.runControl(ControlJob::Kind::reset);
  d.vps.reset();
  d.sps.reset();
  d.pps.reset();
  d.formatDescription.reset();
  d.afterGap = false;
  Log::video().notice("decoder_reset stream=%{public}s", d.streamTag);
}

void HEVCDecoder::waitForAsynchronousFrames() { impl_->runControl(ControlJob::Kind::barrier); }

// --- caller side ---

void HEVCDecoder::Impl::updateParameterSets(std::optional<ByteView> vpsCandidate, std::optional<ByteView> spsCandidate,
                                            std::optional<ByteView> ppsCandidate) {
  // The first set of a kind is stored quietly; a set with other bytes replaces the stored one
  // and is logged. Equal bytes change nothing.
  auto replaces = [](std::optional<Bytes>& stored, const std::optional<ByteView>& candidate) {
    if (!candidate) return false;
    if (!stored) {
      stored.emplace(candidate->begin(), candidate->end());
      return false;
    }
    return !std::equal(stored->begin(), stored->end(), candidate->begin(), candidate->end());
  };
  bool changed = false;
  if (replaces(vps, vpsCandidate)) {
    Log::video().notice("param_set_changed stream=%{public}s kind=vps old_b=%ld new_b=%ld applied=true", streamTag,
                        byteCount(*vps), static_cast<long>(vpsCandidate->size()));
    vps->assign(vpsCandidate->begin(), vpsCandidate->end());
    changed = true;
  }
  if (replaces(sps, spsCandidate)) {
    Log::video().notice("param_set_changed stream=%{public}s kind=sps old_b=%ld new_b=%ld applied=true", streamTag,
                        byteCount(*sps), static_cast<long>(spsCandidate->size()));
    sps->assign(spsCandidate->begin(), spsCandidate->end());
    changed = true;
  }
  if (replaces(pps, ppsCandidate)) {
    Log::video().notice("param_set_changed stream=%{public}s kind=pps old_b=%ld new_b=%ld applied=true", streamTag,
                        byteCount(*pps), static_cast<long>(ppsCandidate->size()));
    pps->assign(ppsCandidate->begin(), ppsCandidate->end());
    changed = true;
  }
  // Units queued before keep the old description; the worker rebuilds its decoder when the
  // first unit with the new one (or with none) reaches it.
  if (changed) formatDescription.reset();
}

std::shared_ptr<const HEVCFormatDescription> HEVCDecoder::Impl::createFormatDescription() {
  std::optional<HEVCFormatDescription> description = makeFormatDescription(*vps, *sps, *pps);
  if (description) {
    Log::video().notice("format_desc_create stream=%{public}s vps_b=%ld sps_b=%ld pps_b=%ld", streamTag,
                        byteCount(*vps), byteCount(*sps), byteCount(*pps));
    return std::make_shared<const HEVCFormatDescription>(std::move(*description));
  }
  logThrottled(Log::video(), Level::error, keys.formatDescCreateFail, kFailureRule,
               "format_desc_create_fail stream=%{public}s os_status=%d occurrences=%ld", streamTag,
               kStatusParameterSetsRefused);
  return nullptr;
}

bool HEVCDecoder::Impl::enqueue(Job job, bool countsAgainstCapacity) {
  {
    std::scoped_lock lock(mutex);
    if (countsAgainstCapacity) {
      if (queuedAccessUnits >= options.queueCapacity) return false;
      ++queuedAccessUnits;
    }
    jobs.push_back(std::move(job));
  }
  wake.notify_one();
  return true;
}

void HEVCDecoder::Impl::runControl(ControlJob::Kind kind) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  enqueue(ControlJob{kind, &done}, false);
  finished.wait();
}

// --- worker side ---

void HEVCDecoder::Impl::run() {
  for (;;) {
    Job job;
    {
      std::unique_lock lock(mutex);
      wake.wait(lock, [this] { return !jobs.empty(); });
      job = std::move(jobs.front());
      jobs.pop_front();
      if (std::holds_alternative<AccessUnitJob>(job)) --queuedAccessUnits;
    }
    if (auto* unit = std::get_if<AccessUnitJob>(&job)) {
      handleAccessUnit(*unit);
      continue;
    }
    const ControlJob control = std::get<ControlJob>(job);
    switch (control.kind) {
    case ControlJob::Kind::reset:
      tearDownSession();
      sessionDescription.reset();
      nextDecoderCreateRetryTime.reset();
      break;
    case ControlJob::Kind::barrier: break;
    case ControlJob::Kind::stop: tearDownSession(); return;
    }
    if (control.done != nullptr) control.done->set_value();
  }
}

void HEVCDecoder::Impl::handleAccessUnit(AccessUnitJob& job) {
  if (job.description != sessionDescription) {
    // New parameter sets (or none that describe a stream): the old decoder's pictures go out,
    // then it goes, and a new one is tried at once.
    tearDownSession();
    sessionDescription = job.description;
    nextDecoderCreateRetryTime.reset();
  }
  if (!session && sessionDescription) {
    const MonotonicTime now = runtime::Clock::current().monotonic();
    if (!nextDecoderCreateRetryTime || *nextDecoderCreateRetryTime <= now) {
      nextDecoderCreateRetryTime = now + kCreateRetryInterval;
      createSession();
    }
  }
  if (!job.pictureBearing || !session) return;

  if (job.afterGap) {
    session->waitForAsynchronousFrames();
    awaitRandomAccess();
    waitFollowsGap = true;
  }
  if (holdsBack(job)) return;

  const int status = session->decodeFrame(std::move(job.packet), {job.epoch, job.submittedAt});
  if (status == 0) {
    noteSubmitSucceeded();
    return;
  }
  logThrottled(Log::video(), Level::error, keys.decodeSubmitFail, kFailureRule,
               "decode_fail stream=%{public}s os_status=%d occurrences=%ld", streamTag, status);
}

bool HEVCDecoder::Impl::holdsBack(const AccessUnitJob& job) {
  if (!awaitingRandomAccess) return false;
  if (!job.randomAccess) {
    if (!heldSince) heldSince = job.submittedAt;
    const auto waited = job.submittedAt - *heldSince;
    if (waited < kRandomAccessGrace && heldPictures < kRandomAccessGracePictures) {
      ++heldPictures;
      if (waitFollowsGap) picturesShedAfterGaps.fetch_add(1, std::memory_order_relaxed);
      return true;
    }
    if (!startedWithoutRandomAccess) {
      startedWithoutRandomAccess = true;
      Log::video().notice("decode_start reason=no_sync_picture stream=%{public}s held=%ld waited_ms=%ld", streamTag,
                          heldPictures,
                          static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(waited).count()));
    }
  }
  awaitingRandomAccess = false;
  waitFollowsGap = false;
  heldSince.reset();
  heldPictures = 0;
  return false;
}

void HEVCDecoder::Impl::awaitRandomAccess() {
  awaitingRandomAccess = true;
  waitFollowsGap = false;
  heldSince.reset();
  heldPictures = 0;
}

void HEVCDecoder::Impl::createSession() {
  HEVCDecompressionSession::Options sessionOptions;
  sessionOptions.threadCount = options.threadCount;
  sessionOptions.allowHardware = options.allowHardware;
  sessionOptions.threading = options.threading;
  int status = 0;
  session = HEVCDecompressionSession::create(
      sessionDescription->configurationRecord, sessionOptions,
      [this](int outputStatus, VideoFramePtr frame,
             std::optional<HEVCDecompressionSession::SourceFrameContext> context) {
        handleDecodedFrame(outputStatus, std::move(frame), context);
      },
      status);
  if (session) {
    awaitRandomAccess();
    startedWithoutRandomAccess = false;
    Log::video().notice("decoder_create stream=%{public}s res=%dx%d hw=%{bool}d threads=%ld", streamTag,
                        sessionDescription->width, sessionDescription->height, session->usesHardware(),
                        static_cast<long>(session->threadCount()));
    return;
  }
  logThrottled(Log::video(), Level::fault, keys.decoderCreateFail, kFailureRule,
               "decoder_create_fail stream=%{public}s os_status=%d occurrences=%ld", streamTag, status);
}

void HEVCDecoder::Impl::tearDownSession() {
  if (!session) return;
  session->waitForAsynchronousFrames();
  session.reset();
  awaitRandomAccess();
}

void HEVCDecoder::Impl::noteSubmitSucceeded() {
  if (const auto count = takeRecovery(keys.decodeSubmitFail))
    Log::video().notice("decode_recovered stream=%{public}s after=%ld", streamTag, *count);
  if (const auto count = takeRecovery(keys.formatDescCreateFail))
    Log::video().notice("format_desc_create_recovered stream=%{public}s after=%ld", streamTag, *count);
  if (const auto count = takeRecovery(keys.decoderCreateFail))
    Log::video().notice("decoder_create_recovered stream=%{public}s after=%ld", streamTag, *count);
  if (const auto count = takeRecovery(keys.blockbufferCreateFail))
    Log::video().notice("blockbuffer_create_recovered stream=%{public}s after=%ld", streamTag, *count);
}

void HEVCDecoder::Impl::handleDecodedFrame(int status, VideoFramePtr frame,
                                           std::optional<HEVCDecompressionSession::SourceFrameContext> context) {
  if (status == 0 && frame) {
    if (const auto count = takeRecovery(keys.decodeCallbackFail))
      Log::video().notice("decode_recovered stream=%{public}s after=%ld", streamTag, *count);
    if (onDecodedPixelBuffer) onDecodedPixelBuffer(std::move(frame), context ? context->value : 0);
    return;
  }
  logThrottled(Log::video(), Level::error, keys.decodeCallbackFail, kFailureRule,
               "decode_fail stream=%{public}s os_status=%d occurrences=%ld", streamTag, status);
}

} // namespace pd::video
