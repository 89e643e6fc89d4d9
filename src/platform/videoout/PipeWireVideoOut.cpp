#include "platform/videoout/FrameServer.hpp"

#include "platform/log/Logger.hpp"
#include "platform/media/RGBFrameConverter.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace pd::platform::videoout {
namespace {

using media::VideoFrame;
using namespace std::chrono_literals;

// Between attempts to reach a restarted daemon: short at first, since a daemon restarted by its
// session manager is back within a second, then every two seconds while it stays away.
constexpr std::chrono::milliseconds kFirstReconnectDelay = 250ms;
constexpr std::chrono::milliseconds kLongestReconnectDelay = 2s;

// Holds the event thread's lock for a scope. Nothing inside calls out of this library.
class LoopLock {
public:
  explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
  ~LoopLock() { pw_thread_loop_unlock(loop_); }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

private:
  pw_thread_loop* loop_;
};

// Rows of the shared buffers are aligned as most consumers lay them out by default.
std::uint32_t alignedStride(std::uint32_t bytes) { return (bytes + 3U) & ~3U; }

struct Layout {
  std::uint32_t stride = 0;
  std::uint32_t size = 0;
};

// Buffer layout for a negotiated format; sizes are bounded by VideoFrame::sizeAllowed, so the
// products fit in 32 bits.
Layout layoutFor(std::uint32_t format, std::uint32_t width, std::uint32_t height) {
  Layout layout;
  if (format == SPA_VIDEO_FORMAT_NV12) {
    layout.stride = alignedStride(width);
    layout.size = layout.stride * height + layout.stride * ((height + 1) / 2);
  } else {
    layout.stride = width * 4;
    layout.size = layout.stride * height;
  }
  return layout;
}

const spa_pod* buildEnumFormat(spa_pod_builder& builder, std::uint32_t width, std::uint32_t height) {
  spa_rectangle size = SPA_RECTANGLE(width, height);
  spa_fraction rate = SPA_FRACTION(30, 1);
  spa_fraction minRate = SPA_FRACTION(0, 1);
  spa_fraction maxRate = SPA_FRACTION(240, 1);
  return static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_BGRx),
      SPA_FORMAT_VIDEO_size, SPA_POD_Rectangle(&size), SPA_FORMAT_VIDEO_framerate,
      SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate)));
}

class NullFrameServer final : public FrameServer {
public:
  explicit NullFrameServer(std::string name) : name_(std::move(name)) {}
  std::optional<std::string> name() const override {
    std::lock_guard lock(mutex_);
    return name_;
  }
  void setName(const std::string& name) override {
    std::lock_guard lock(mutex_);
    if (name_) name_ = name;
  }
  bool hasClients() const override { return false; }
  PublishResult prepareFrame(const VideoFrame&, BufferInfo&) override {
    std::lock_guard lock(mutex_);
    return name_ ? PublishResult::noClient : PublishResult::stopped;
  }
  bool commitFrame() override { return false; }
  void abandonFrame() override {}
  void stop() override {
    std::lock_guard lock(mutex_);
    name_.reset();
  }
  std::optional<std::uint32_t> nodeId() const override { return std::nullopt; }

private:
  mutable std::mutex mutex_;
  std::optional<std::string> name_;
};

class NullVideoOut final : public VideoOut {
public:
  bool isConnected() const override { return false; }
  std::unique_ptr<FrameServer> createServer(const std::string& name) override {
    return std::make_unique<NullFrameServer>(name);
  }
};

class PipeWireVideoOut;

class PipeWireFrameServer final : public FrameServer {
public:
  PipeWireFrameServer(PipeWireVideoOut& owner, pw_thread_loop* loop, std::string name)
      : owner_(owner), loop_(loop), name_(name), streamName_(std::move(name)) {}

  ~PipeWireFrameServer() override;

  PipeWireFrameServer(const PipeWireFrameServer&) = delete;
  PipeWireFrameServer& operator=(const PipeWireFrameServer&) = delete;

  // Called with the loop lock held.
  bool connect(pw_core* core) {
    pw_properties* props =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Source", PW_KEY_MEDIA_ROLE, "Production",
                          PW_KEY_MEDIA_CLASS, "Video/Source", nullptr);
    pw_properties_set(props, PW_KEY_NODE_NAME, streamName_.c_str());
    pw_properties_set(props, PW_KEY_NODE_DESCRIPTION, streamName_.c_str());
    pw_properties_set(props, PW_KEY_MEDIA_NAME, streamName_.c_str());
    // A consumer that goes while it holds buffers (the one it still shows, or all of them when it
    // died) never gives them back, and the daemon hands the next consumer the same, smaller set:
    // after a few such departures none was left and the stream stayed dark for every consumer.
    // Suspended as soon as nobody is linked, the node gets a fresh set with its next consumer.
    pw_properties_set(props, PW_KEY_NODE_SUSPEND_ON_IDLE, "true");
    stream_ = pw_stream_new(core, streamName_.c_str(), props);
    if (stream_ == nullptr) return false;
    static constexpr pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = &PipeWireFrameServer::onStateChanged;
      e.param_changed = &PipeWireFrameServer::onParamChanged;
      e.remove_buffer = &PipeWireFrameServer::onRemoveBuffer;
      return e;
    }();
    pw_stream_add_listener(stream_, &listener_, &events, this);

    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[] = {buildEnumFormat(builder, offeredWidth_, offeredHeight_)};
    const int status =
        pw_stream_connect(stream_, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                          static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
    if (status < 0) {
      destroyStream();
      return false;
    }
    return true;
  }

  std::optional<std::string> name() const override {
    std::lock_guard lock(nameMutex_);
    if (stopped_.load()) return std::nullopt;
    return name_;
  }

  void setName(const std::string& name) override {
    {
      std::lock_guard lock(nameMutex_);
      if (stopped_.load() || name == name_) return;
      name_ = name;
    }
    LoopLock lock(loop_);
    // Kept for a node made again after the daemon restarts.
    streamName_ = name;
    if (stream_ == nullptr) return;
    const spa_dict_item items[] = {
        SPA_DICT_ITEM_INIT(PW_KEY_NODE_NAME, name.c_str()),
        SPA_DICT_ITEM_INIT(PW_KEY_NODE_DESCRIPTION, name.c_str()),
        SPA_DICT_ITEM_INIT(PW_KEY_MEDIA_NAME, name.c_str()),
    };
    const spa_dict dict = SPA_DICT_INIT_ARRAY(items);
    pw_stream_update_properties(stream_, &dict);
  }

  bool hasClients() const override { return streaming_.load(std::memory_order_acquire); }

  std::optional<std::uint32_t> nodeId() const override {
    const std::uint32_t id = nodeId_.load();
    if (id == SPA_ID_INVALID) return std::nullopt;
    return id;
  }

  void stop() override {
    if (stopped_.exchange(true)) return;
    LoopLock lock(loop_);
    destroyStream();
  }

  PublishResult prepareFrame(const VideoFrame& frame, BufferInfo& info) override {
    if (stopped_.load()) return PublishResult::stopped;
    const auto width = static_cast<std::uint32_t>(frame.width());
    const auto height = static_cast<std::uint32_t>(frame.height());
    LoopLock lock(loop_);
    if (stream_ == nullptr) return PublishResult::stopped;
    prepared_ = false;
    if (width != offeredWidth_ || height != offeredHeight_) {
      // Offer the new size; linked consumers renegotiate and take the frames after this one.
      offeredWidth_ = width;
      offeredHeight_ = height;
      std::uint8_t storage[1024];
      spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
      const spa_pod* params[] = {buildEnumFormat(builder, width, height)};
      pw_stream_update_params(stream_, params, 1);
      return streaming_.load() ? PublishResult::negotiationFailed : PublishResult::noClient;
    }
    if (!streaming_.load()) return PublishResult::noClient;
    if (format_ == SPA_VIDEO_FORMAT_UNKNOWN || width != formatWidth_ || height != formatHeight_) {
      return PublishResult::negotiationFailed;
    }
    // A buffer kept back from an abandoned frame serves before a new one is taken.
    pw_buffer* buffer = held_ != nullptr ? held_ : pw_stream_dequeue_buffer(stream_);
    held_ = nullptr;
    if (buffer == nullptr) return PublishResult::noBuffer;
    spa_buffer* spaBuffer = buffer->buffer;
    const Layout layout = layoutFor(format_, width, height);
    if (spaBuffer->n_datas < 1 || spaBuffer->datas[0].data == nullptr || spaBuffer->datas[0].maxsize < layout.size ||
        spaBuffer->datas[0].chunk == nullptr) {
      held_ = buffer;
      return PublishResult::negotiationFailed;
    }
    auto* out = static_cast<std::uint8_t*>(spaBuffer->datas[0].data);
    if (format_ == SPA_VIDEO_FORMAT_NV12) {
      copyNV12(frame, out, layout.stride);
    } else if (!rgb_.convert(frame, out, layout.stride)) {
      held_ = buffer;
      return PublishResult::negotiationFailed;
    }
    spa_chunk* chunk = spaBuffer->datas[0].chunk;
    chunk->offset = 0;
    chunk->size = layout.size;
    chunk->stride = static_cast<std::int32_t>(layout.stride);
    chunk->flags = 0;
    held_ = buffer;
    prepared_ = true;
    info.fourcc = format_ == SPA_VIDEO_FORMAT_NV12 ? fourcc('N', 'V', '1', '2') : fourcc('X', 'R', '2', '4');
    info.sharedMemory = spaBuffer->datas[0].type == SPA_DATA_MemFd;
    return PublishResult::published;
  }

  bool commitFrame() override {
    LoopLock lock(loop_);
    if (stream_ == nullptr || held_ == nullptr || !prepared_) return false;
    pw_stream_queue_buffer(stream_, held_);
    held_ = nullptr;
    prepared_ = false;
    pw_stream_trigger_process(stream_);
    return true;
  }

  void abandonFrame() override {
    LoopLock lock(loop_);
    prepared_ = false;
  }

  // Loop lock held. The daemon went away: the node and its consumers are gone with it, and so
  // is any frame prepared for them; committing it would report a frame nobody can receive.
  void markLost() {
    held_ = nullptr;
    prepared_ = false;
    streaming_.store(false, std::memory_order_release);
    nodeId_.store(SPA_ID_INVALID);
  }

  // Loop lock held. Drops the node of a daemon that went away.
  void detach() { destroyStream(); }

  // Loop lock held. Advertises the node again, under its current name, on a new connection; a
  // stopped server stays withdrawn. False when the node could not be made.
  bool attach(pw_core* core) {
    if (stopped_.load() || stream_ != nullptr) return true;
    format_ = SPA_VIDEO_FORMAT_UNKNOWN;
    return connect(core);
  }

  // Loop lock held.
  bool advertised() const { return stream_ != nullptr; }

private:
  static void copyNV12(const VideoFrame& frame, std::uint8_t* out, std::uint32_t stride) {
    const auto width = static_cast<std::size_t>(frame.width());
    const auto height = static_cast<std::size_t>(frame.height());
    const std::size_t chromaBytes = static_cast<std::size_t>(frame.chromaWidth()) * 2;
    const std::size_t chromaRows = static_cast<std::size_t>(frame.chromaHeight());
    for (std::size_t row = 0; row < height; ++row) {
      std::memcpy(out + row * stride, frame.luma() + row * frame.lumaStride(), width);
    }
    std::uint8_t* chroma = out + static_cast<std::size_t>(stride) * height;
    for (std::size_t row = 0; row < chromaRows; ++row) {
      std::memcpy(chroma + row * stride, frame.chroma() + row * frame.chromaStride(),
                  std::min<std::size_t>(chromaBytes, stride));
    }
  }

  static constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8U |
           static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16U |
           static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24U;
  }

  // Loop lock held (or on the loop thread).
  void destroyStream() {
    held_ = nullptr;
    prepared_ = false;
    if (stream_ == nullptr) return;
    spa_hook_remove(&listener_);
    pw_stream_destroy(stream_);
    stream_ = nullptr;
    streaming_.store(false);
    nodeId_.store(SPA_ID_INVALID);
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* self = static_cast<PipeWireFrameServer*>(data);
    self->streaming_.store(state == PW_STREAM_STATE_STREAMING, std::memory_order_release);
    if (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING) {
      self->nodeId_.store(pw_stream_get_node_id(self->stream_));
    }
  }

  // On the loop thread: a renegotiation takes the buffers back, the one held here included.
  static void onRemoveBuffer(void* data, pw_buffer* buffer) {
    auto* self = static_cast<PipeWireFrameServer*>(data);
    if (self->held_ == buffer) {
      self->held_ = nullptr;
      self->prepared_ = false;
    }
  }

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<PipeWireFrameServer*>(data);
    if (id != SPA_PARAM_Format) return;
    self->format_ = SPA_VIDEO_FORMAT_UNKNOWN;
    if (param == nullptr) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    // Anything outside what we offered is refused rather than trusted for buffer sizes.
    if (info.format != SPA_VIDEO_FORMAT_NV12 && info.format != SPA_VIDEO_FORMAT_BGRx) return;
    if (!VideoFrame::sizeAllowed(info.size.width, info.size.height)) return;
    self->format_ = info.format;
    self->formatWidth_ = info.size.width;
    self->formatHeight_ = info.size.height;
    const Layout layout = layoutFor(info.format, info.size.width, info.size.height);
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(4, 2, 8), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(static_cast<int>(layout.size)), SPA_PARAM_BUFFERS_stride,
        SPA_POD_Int(static_cast<int>(layout.stride)), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))))};
    pw_stream_update_params(self->stream_, params, 1);
  }

  PipeWireVideoOut& owner_;
  pw_thread_loop* loop_;
  mutable std::mutex nameMutex_;
  std::string name_;
  std::atomic<bool> stopped_{false};
  std::atomic<bool> streaming_{false};
  std::atomic<std::uint32_t> nodeId_{SPA_ID_INVALID};
  // Under the loop lock:
  std::string streamName_;
  pw_stream* stream_ = nullptr;
  spa_hook listener_{};
  std::uint32_t offeredWidth_ = 1920;
  std::uint32_t offeredHeight_ = 1080;
  std::uint32_t format_ = SPA_VIDEO_FORMAT_UNKNOWN;
  std::uint32_t formatWidth_ = 0;
  std::uint32_t formatHeight_ = 0;
  // A dequeued buffer not yet handed over: filled with a prepared frame, or kept for the next one.
  pw_buffer* held_ = nullptr;
  bool prepared_ = false;
  // Used by prepareFrame only, which runs on one thread at a time.
  media::RGBFrameConverter rgb_;
};

class PipeWireVideoOut final : public VideoOut {
public:
  explicit PipeWireVideoOut(const log::Logger& logger) : logger_(logger) {}
  ~PipeWireVideoOut() override {
    if (reconnector_.joinable()) {
      {
        LoopLock lock(loop_);
        quitting_ = true;
        pw_thread_loop_signal(loop_, false);
      }
      reconnector_.join();
    }
    if (loop_ != nullptr) pw_thread_loop_stop(loop_);
    if (retryTimer_ != nullptr) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), retryTimer_);
    disconnectCore();
    if (context_ != nullptr) pw_context_destroy(context_);
    if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
  }
  PipeWireVideoOut(const PipeWireVideoOut&) = delete;
  PipeWireVideoOut& operator=(const PipeWireVideoOut&) = delete;

  bool start() {
    loop_ = pw_thread_loop_new("pd-videoout", nullptr);
    if (loop_ == nullptr) return false;
    retryTimer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_), &PipeWireVideoOut::onRetryDue, this);
    if (retryTimer_ == nullptr) return false;
    context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
    if (context_ == nullptr) return false;
    if (pw_thread_loop_start(loop_) < 0) return false;
    {
      LoopLock lock(loop_);
      if (!connectCore()) return false;
    }
    reconnector_ = std::thread([this] { reconnectWhenLost(); });
    return true;
  }

  bool isConnected() const override { return true; }

  std::unique_ptr<FrameServer> createServer(const std::string& name) override {
    auto server = std::make_unique<PipeWireFrameServer>(*this, loop_, name);
    LoopLock lock(loop_);
    // While the daemon is away the server waits for the next connection to be advertised.
    if (core_ != nullptr && !lost_ && !server->connect(core_)) return nullptr;
    servers_.push_back(server.get());
    return server;
  }

  void setConnectionObserver(std::function<void()> observer) override {
    LoopLock lock(loop_);
    observer_ = std::move(observer);
  }

  // Loop lock held.
  void forget(PipeWireFrameServer* server) { std::erase(servers_, server); }

private:
  // Loop lock held.
  bool connectCore() {
    core_ = pw_context_connect(context_, nullptr, 0);
    if (core_ == nullptr) return false;
    static constexpr pw_core_events events = [] {
      pw_core_events e{};
      e.version = PW_VERSION_CORE_EVENTS;
      e.error = &PipeWireVideoOut::onCoreError;
      return e;
    }();
    pw_core_add_listener(core_, &coreListener_, &events, this);
    return true;
  }

  // Loop lock held, or the loop stopped.
  void disconnectCore() {
    if (core_ == nullptr) return;
    spa_hook_remove(&coreListener_);
    pw_core_disconnect(core_);
    core_ = nullptr;
  }

  // On the loop thread. Only a broken connection ends the core; other errors belong to one object.
  static void onCoreError(void* data, std::uint32_t id, int, int res, const char*) {
    auto* self = static_cast<PipeWireVideoOut*>(data);
    if (id != PW_ID_CORE || res != -EPIPE || self->lost_) return;
    self->lost_ = true;
    for (PipeWireFrameServer* server : self->servers_) server->markLost();
    pw_thread_loop_signal(self->loop_, false);
  }

  // On the loop thread, lock held.
  static void onRetryDue(void* data, std::uint64_t) {
    auto* self = static_cast<PipeWireVideoOut*>(data);
    self->retryDue_ = true;
    pw_thread_loop_signal(self->loop_, false);
  }

  // Loop lock held. True once every server is advertised on a new connection. A server whose node
  // could not be made is tried again on the same connection, without disturbing the others.
  bool reconnect() {
    if (lost_) {
      for (PipeWireFrameServer* server : servers_) server->detach();
      disconnectCore();
      if (!connectCore()) return false;
      lost_ = false;
    }
    bool all = true;
    for (PipeWireFrameServer* server : servers_) all = server->attach(core_) && all;
    return all;
  }

  // The reconnecting thread: logs and calls out only without the loop lock.
  void reconnectWhenLost() {
    for (;;) {
      std::function<void()> observer;
      {
        LoopLock lock(loop_);
        while (!lost_ && !quitting_) pw_thread_loop_wait(loop_);
        if (quitting_) return;
        observer = observer_;
      }
      logger_.error("syphon_daemon_lost err_code=%d", static_cast<int>(EPIPE));
      if (observer) observer();

      const auto lostAt = std::chrono::steady_clock::now();
      auto delay = kFirstReconnectDelay;
      long attempts = 0;
      std::size_t servers = 0;
      for (bool connected = false; !connected;) {
        LoopLock lock(loop_);
        // The loop's timers run on the monotonic clock. A timed wait on the loop would end by the
        // wall clock instead, so that setting the clock back would hold the retry up as long.
        const auto seconds = std::chrono::floor<std::chrono::seconds>(delay);
        timespec after{static_cast<time_t>(seconds.count()),
                       static_cast<long>(std::chrono::nanoseconds(delay - seconds).count())};
        retryDue_ = false;
        pw_loop_update_timer(pw_thread_loop_get_loop(loop_), retryTimer_, &after, nullptr, false);
        while (!quitting_ && !retryDue_) pw_thread_loop_wait(loop_);
        if (quitting_) return;
        ++attempts;
        connected = reconnect();
        servers = static_cast<std::size_t>(std::count_if(servers_.begin(), servers_.end(),
                                                         [](const PipeWireFrameServer* s) { return s->advertised(); }));
        observer = observer_;
        delay = std::min(delay * 2, kLongestReconnectDelay);
      }
      const auto after =
          std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - lostAt);
      logger_.notice("syphon_daemon_reconnected attempts=%ld after_ms=%lld servers=%zu", attempts,
                     static_cast<long long>(after.count()), servers);
      if (observer) observer();
    }
  }

  const log::Logger logger_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  std::thread reconnector_;
  spa_source* retryTimer_ = nullptr;
  // Under the loop lock:
  pw_core* core_ = nullptr;
  spa_hook coreListener_{};
  std::vector<PipeWireFrameServer*> servers_;
  std::function<void()> observer_;
  bool lost_ = false;
  bool quitting_ = false;
  bool retryDue_ = false;
};

PipeWireFrameServer::~PipeWireFrameServer() {
  stop();
  LoopLock lock(loop_);
  owner_.forget(this);
}

} // namespace

std::unique_ptr<VideoOut> VideoOut::open(const log::Logger& logger) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { pw_init(nullptr, nullptr); });
  auto out = std::make_unique<PipeWireVideoOut>(logger);
  if (out->start()) return out;
  out.reset();
  static std::atomic<bool> logged{false};
  if (!logged.exchange(true)) logger.notice("syphon_unavailable reason=no_pipewire_daemon");
  return std::make_unique<NullVideoOut>();
}

} // namespace pd::platform::videoout
