// The video view's cost per new 1920x1080 frame, taken apart: upload and shader pass into a
// frame-sized framebuffer (what the view's OpenGL path does per new frame), the pass alone, a
// read-back of that framebuffer (what presenting costs where the window system copies pixels, as
// Xvfb does), and the whole widget painted for a new frame, composition into the window and
// flush included, at the frame's size and at half of it. The QPainter fallback is measured
// beside it. Run under Xvfb for Mesa's software OpenGL and report medians of repetitions:
//
//   xvfb-run -a -s "-screen 0 1920x1200x24" build/bench/videoview_bench
//       --benchmark_repetitions=5 --benchmark_report_aggregates_only
//
// cpu_ms_all_threads counts the renderer's worker threads too; on a busy machine it is the
// steadier figure. Medians of 8, llvmpipe (Mesa 22.3), an otherwise idle 8-core machine, and the
// same pinned to two cores:
//
//                              8 cores: real ms  cpu ms    2 cores: real ms
//   UploadAndDraw/1920            2.95           17.7           9.1
//   Draw/1920 (pass alone)        2.19           16.2           8.5   sampled by texelFetch
//                                                                     before: 2.88 real, 21.8 cpu
//   Draw/1280 (scaled)            1.77           13.1           7.2
//   Readback 1920x1080            0.34            0.35          0.35
//   DrawOpenGL/1920 (widget)     13.1            78.7          49.9
//   DrawOpenGL/960                4.4            23.4          13.9
//   DrawPainter/1920              5.8             5.0           5.8
//
// Upload is under a millisecond of it; the shader pass dominates what the view itself does, and Qt's
// composition of the widget's offscreen buffer into the window (two more full-size passes and the
// flush) dominates the whole paint. A native OpenGL window in a container, tried beside it on a
// loaded machine, painted the same frame for 30.6 ms of CPU against the widget's 132 ms, but cannot lie under other widgets or be
// clipped by them.
//
// So where the renderer is a software one, the view draws with QPainter (DrawAutomatic, labelled
// with the path it took). Whole paint of a new 1920x1080 frame, CPU ms over all threads, medians
// of 3, llvmpipe, pinned to four cores of an 8-core machine with a load of 5 to 8 from other work:
//
//                              before             after
//   DrawOpenGL/1920 (widget)    129.2              129.4   (the OpenGL path, still there)
//   DrawPainter/1920              8.3                4.2   (own NV12 to RGB loop, AVX2)
//   DrawAutomatic/1920          129.2 (OpenGL)       4.5   (QPainter)
//   DrawAutomatic/960            33.6 (OpenGL)       4.6   (QPainter)
//
// The shader pass alone (UploadAndDraw, Draw) stayed within 5 %, the noise of that machine.

#include "ui/video/NV12Renderer.hpp"
#include "ui/video/VideoView.hpp"

#include <QApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFramebufferObject>
#include <QOpenGLFunctions>

#include <benchmark/benchmark.h>

#include <sys/resource.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

namespace {

using pd::ui::video::NV12Renderer;
using pd::ui::video::VideoView;

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;

pd::platform::media::VideoFramePtr grayFrame(std::uint8_t luma) {
  auto frame = pd::platform::media::VideoFrame::allocate(kWidth, kHeight);
  std::memset(frame->mutableLuma(), luma, frame->lumaStride() * kHeight);
  std::memset(frame->mutableChroma(), 128, frame->chromaStride() * (kHeight / 2));
  return frame;
}

// CPU time of the whole process (the renderer's worker threads included), in milliseconds: on a
// busy machine wall time mostly measures the wait for a core, this measures the work.
double processCpuMs() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto ms = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
  };
  return ms(usage.ru_utime) + ms(usage.ru_stime);
}

// Adds the process's CPU time per iteration as the counter "cpu_ms_all_threads".
class ProcessCpu {
public:
  explicit ProcessCpu(benchmark::State& state) : state_(state), start_(processCpuMs()) {}
  ~ProcessCpu() {
    if (state_.iterations() > 0) {
      state_.counters["cpu_ms_all_threads"] = (processCpuMs() - start_) / static_cast<double>(state_.iterations());
    }
  }
  ProcessCpu(const ProcessCpu&) = delete;
  ProcessCpu& operator=(const ProcessCpu&) = delete;

private:
  benchmark::State& state_;
  double start_;
};

// A context on an offscreen surface drawing into a frame-sized framebuffer, as the view's
// surface does, without the window around it.
class OffscreenTarget {
public:
  OffscreenTarget() {
    surface_.create();
    if (!context_.create() || !context_.makeCurrent(&surface_)) return;
    functions_ = context_.functions();
    framebuffer_ = std::make_unique<QOpenGLFramebufferObject>(kWidth, kHeight);
    framebuffer_->bind();
    ready_ = renderer_.initialise();
  }
  ~OffscreenTarget() {
    if (functions_ == nullptr) return;
    renderer_.release();
    framebuffer_.reset();
    context_.doneCurrent();
  }
  bool ready() const { return ready_; }
  NV12Renderer& renderer() { return renderer_; }
  QOpenGLFunctions& gl() { return *functions_; }

private:
  QOffscreenSurface surface_;
  QOpenGLContext context_;
  QOpenGLFunctions* functions_ = nullptr;
  std::unique_ptr<QOpenGLFramebufferObject> framebuffer_;
  NV12Renderer renderer_;
  bool ready_ = false;
};

// A new frame each time (upload and draw), or the same one (the shader's pass alone), into a
// target of the given width at 16:9: 1920 draws texel for pixel, other widths scale.
void draw(benchmark::State& state, bool newFrames) {
  OffscreenTarget target;
  if (!target.ready()) {
    state.SkipWithError("no OpenGL: run under xvfb-run -a");
    return;
  }
  const int width = static_cast<int>(state.range(0));
  const pd::platform::media::VideoFramePtr frames[2] = {grayFrame(100), grayFrame(150)};
  std::size_t next = 0;
  target.renderer().draw(frames[0], width, width * kHeight / kWidth);
  ProcessCpu cpu(state);
  for (auto _ : state) {
    if (newFrames) next ^= 1U;
    target.renderer().draw(frames[next], width, width * kHeight / kWidth);
    target.gl().glFinish();
  }
}

void BM_UploadAndDraw(benchmark::State& state) { draw(state, true); }
void BM_Draw(benchmark::State& state) { draw(state, false); }

void BM_Readback(benchmark::State& state) {
  OffscreenTarget target;
  if (!target.ready()) {
    state.SkipWithError("no OpenGL: run under xvfb-run -a");
    return;
  }
  target.renderer().draw(grayFrame(100), kWidth, kHeight);
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(kWidth) * kHeight * 4);
  ProcessCpu cpu(state);
  for (auto _ : state) {
    target.gl().glReadPixels(0, 0, kWidth, kHeight, GL_RGBA, GL_UNSIGNED_BYTE, pixels.data());
    benchmark::DoNotOptimize(pixels.data());
  }
}

void drawNewFrames(benchmark::State& state, VideoView::Renderer renderer) {
  VideoView view("0", nullptr, renderer);
  if (renderer == VideoView::Renderer::opengl && !view.usesOpenGL()) {
    state.SkipWithError("no OpenGL: run under xvfb-run -a");
    return;
  }
  const int width = static_cast<int>(state.range(0));
  view.resize(width, width * kHeight / kWidth);
  view.show();
  // Until the window is mapped a repaint draws nothing.
  for (int round = 0; round < 200 && view.drawCount() == 0; ++round) {
    QApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  const pd::platform::media::VideoFramePtr frames[2] = {grayFrame(100), grayFrame(150)};
  std::size_t next = 0;
  const std::uint64_t drawsBefore = view.drawCount();
  ProcessCpu cpu(state);
  for (auto _ : state) {
    // A new frame object each time, so that every paint uploads.
    view.setFrame(frames[next]);
    next ^= 1U;
    // The update the new frame asked for: paint, composition into the window and its flush.
    const std::uint64_t drawn = view.drawCount();
    while (view.drawCount() == drawn) QApplication::processEvents(QEventLoop::AllEvents, 5);
  }
  state.counters["draws_per_iteration"] = static_cast<double>(view.drawCount() - drawsBefore) /
                                          static_cast<double>(std::max<std::int64_t>(state.iterations(), 1));
}

void BM_DrawOpenGL(benchmark::State& state) { drawNewFrames(state, VideoView::Renderer::opengl); }
void BM_DrawPainter(benchmark::State& state) { drawNewFrames(state, VideoView::Renderer::painter); }
// What the view chooses on this machine.
void BM_DrawAutomatic(benchmark::State& state) {
  state.SetLabel(VideoView::openGLAvailable() && !VideoView::softwareOpenGL() ? "opengl" : "painter");
  drawNewFrames(state, VideoView::Renderer::automatic);
}

BENCHMARK(BM_UploadAndDraw)->Arg(1920)->Arg(1280)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Draw)->Arg(1920)->Arg(1280)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Readback)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DrawOpenGL)->Arg(1920)->Arg(960)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DrawPainter)->Arg(1920)->Arg(960)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DrawAutomatic)->Arg(1920)->Arg(960)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "offscreen" : "xcb");
  }
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
