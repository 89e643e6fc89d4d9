#include "TestConsumer.hpp"

#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <mutex>
#include <string>

namespace pd::testing {

struct TestConsumer::State {
  Format format = Format::nv12;
  bool inspectPixels = true;
  bool keepsLastBuffer = false;
  pw_buffer* kept = nullptr; // on the loop thread only
  std::uint32_t sourceId = 0;
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  pw_proxy* link = nullptr;
  // On the loop thread only:
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  mutable std::mutex mutex;
  Snapshot snapshot;

  void makeLink() {
    const std::string output = std::to_string(sourceId);
    const std::string input = std::to_string(pw_stream_get_node_id(stream));
    pw_properties* props = pw_properties_new("link.output.node", output.c_str(), "link.input.node", input.c_str(),
                                             "object.linger", "false", nullptr);
    link = static_cast<pw_proxy*>(
        pw_core_create_object(core, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props->dict, 0));
    pw_properties_free(props);
  }

  static void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* self = static_cast<State*>(data);
    if (state == PW_STREAM_STATE_PAUSED && self->link == nullptr) self->makeLink();
  }

  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
    auto* self = static_cast<State*>(data);
    if (id != SPA_PARAM_Format || param == nullptr) return;
    spa_video_info_raw info{};
    if (spa_format_video_raw_parse(param, &info) < 0) return;
    self->width = info.size.width;
    self->height = info.size.height;
  }

  static void onProcess(void* data) {
    auto* self = static_cast<State*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(self->stream);
    if (buffer == nullptr) return;
    const spa_data& plane = buffer->buffer->datas[0];
    if (!self->inspectPixels) {
      std::lock_guard lock(self->mutex);
      ++self->snapshot.frames;
    } else if (plane.data != nullptr && plane.chunk->size > 0 && self->width > 0) {
      const auto* bytes = static_cast<const std::uint8_t*>(plane.data) + plane.chunk->offset;
      const auto stride = static_cast<std::size_t>(plane.chunk->stride);
      std::array<double, 3> sum{};
      std::array<std::size_t, 3> count{};
      if (self->format == Format::nv12) {
        for (std::uint32_t y = 0; y < self->height; ++y)
          for (std::uint32_t x = 0; x < self->width; ++x) sum[0] += bytes[y * stride + x];
        count[0] = std::size_t{self->width} * self->height;
        const std::uint8_t* chroma = bytes + stride * self->height;
        for (std::uint32_t y = 0; y < (self->height + 1) / 2; ++y)
          for (std::uint32_t x = 0; x < (self->width + 1) / 2; ++x) {
            sum[1] += chroma[y * stride + 2 * x];
            sum[2] += chroma[y * stride + 2 * x + 1];
          }
        count[1] = count[2] = std::size_t{(self->width + 1) / 2} * ((self->height + 1) / 2);
      } else {
        for (std::uint32_t y = 0; y < self->height; ++y)
          for (std::uint32_t x = 0; x < self->width; ++x)
            for (std::size_t c = 0; c < 3; ++c) sum[c] += bytes[y * stride + 4 * x + c];
        count[0] = count[1] = count[2] = std::size_t{self->width} * self->height;
      }
      std::lock_guard lock(self->mutex);
      ++self->snapshot.frames;
      self->snapshot.width = self->width;
      self->snapshot.height = self->height;
      for (std::size_t c = 0; c < 3; ++c) self->snapshot.mean[c] = sum[c] / static_cast<double>(count[c]);
    }
    if (!self->keepsLastBuffer) {
      pw_stream_queue_buffer(self->stream, buffer);
      return;
    }
    if (self->kept != nullptr) pw_stream_queue_buffer(self->stream, self->kept);
    self->kept = buffer;
  }
};

TestConsumer::TestConsumer(Format format, std::uint32_t sourceNodeId, bool inspectPixels, bool keepsLastBuffer)
    : state_(std::make_unique<State>()) {
  pw_init(nullptr, nullptr);
  State& s = *state_;
  s.format = format;
  s.inspectPixels = inspectPixels;
  s.keepsLastBuffer = keepsLastBuffer;
  s.sourceId = sourceNodeId;
  s.loop = pw_thread_loop_new("pd-test-consumer", nullptr);
  s.context = pw_context_new(pw_thread_loop_get_loop(s.loop), nullptr, 0);
  pw_thread_loop_start(s.loop);
  pw_thread_loop_lock(s.loop);
  s.core = pw_context_connect(s.context, nullptr, 0);
  if (s.core != nullptr) {
    s.stream = pw_stream_new(s.core, "pd-test-consumer",
                             pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                               PW_KEY_MEDIA_ROLE, "Camera", nullptr));
    static constexpr pw_stream_events events = [] {
      pw_stream_events e{};
      e.version = PW_VERSION_STREAM_EVENTS;
      e.state_changed = &State::onStateChanged;
      e.param_changed = &State::onParamChanged;
      e.process = &State::onProcess;
      return e;
    }();
    pw_stream_add_listener(s.stream, &s.listener, &events, &s);
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    spa_rectangle size = SPA_RECTANGLE(1920, 1080), minSize = SPA_RECTANGLE(1, 1),
                  maxSize = SPA_RECTANGLE(16384, 16384);
    spa_fraction rate = SPA_FRACTION(30, 1), minRate = SPA_FRACTION(0, 1), maxRate = SPA_FRACTION(1000, 1);
    const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
        SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
        SPA_POD_Id(format == Format::nv12 ? SPA_VIDEO_FORMAT_NV12 : SPA_VIDEO_FORMAT_BGRx), SPA_FORMAT_VIDEO_size,
        SPA_POD_CHOICE_RANGE_Rectangle(&size, &minSize, &maxSize), SPA_FORMAT_VIDEO_framerate,
        SPA_POD_CHOICE_RANGE_Fraction(&rate, &minRate, &maxRate)))};
    pw_stream_connect(s.stream, PW_DIRECTION_INPUT, PW_ID_ANY, PW_STREAM_FLAG_MAP_BUFFERS, params, 1);
  }
  pw_thread_loop_unlock(s.loop);
}

TestConsumer::~TestConsumer() {
  leave();
  pw_thread_loop_stop(state_->loop);
  if (state_->core != nullptr) pw_core_disconnect(state_->core);
  pw_context_destroy(state_->context);
  pw_thread_loop_destroy(state_->loop);
}

bool TestConsumer::linked() const { return snapshot().frames > 0; }

TestConsumer::Snapshot TestConsumer::snapshot() const {
  std::lock_guard lock(state_->mutex);
  return state_->snapshot;
}

void TestConsumer::leave() {
  State& s = *state_;
  pw_thread_loop_lock(s.loop);
  if (s.link != nullptr) {
    pw_proxy_destroy(s.link);
    s.link = nullptr;
  }
  if (s.stream != nullptr) {
    spa_hook_remove(&s.listener);
    pw_stream_destroy(s.stream); // a kept buffer goes with the stream, never back to the source
    s.stream = nullptr;
    s.kept = nullptr;
  }
  pw_thread_loop_unlock(s.loop);
}

} // namespace pd::testing
