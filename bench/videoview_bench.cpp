// The video view's cost per new 1920x1080 frame: the NV12 upload, the shader's conversion and the
// window's composition, painted synchronously. Run under Xvfb (xvfb-run -a) for Mesa's software
// OpenGL; the QPainter fallback is measured beside it.

#include "ui/video/VideoView.hpp"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

using pd::ui::video::VideoView;

pd::platform::media::VideoFramePtr grayFrame(std::uint8_t luma) {
  auto frame = pd::platform::media::VideoFrame::allocate(1920, 1080);
  std::memset(frame->mutableLuma(), luma, frame->lumaStride() * 1080);
  std::memset(frame->mutableChroma(), 128, frame->chromaStride() * 540);
  return frame;
}

void drawNewFrames(benchmark::State& state, VideoView::Renderer renderer) {
  VideoView view("0", nullptr, renderer);
  if (renderer == VideoView::Renderer::automatic && !view.usesOpenGL()) {
    state.SkipWithError("no OpenGL: run under xvfb-run -a");
    return;
  }
  view.resize(1920, 1080);
  view.show();
  QApplication::processEvents();
  const pd::platform::media::VideoFramePtr frames[2] = {grayFrame(100), grayFrame(150)};
  std::size_t next = 0;
  for (auto _ : state) {
    // A new frame object each time, so that every paint uploads.
    view.setFrame(frames[next]);
    next ^= 1U;
    view.repaint();
  }
  state.counters["draws"] = static_cast<double>(view.drawCount());
}

void BM_DrawOpenGL(benchmark::State& state) { drawNewFrames(state, VideoView::Renderer::automatic); }
void BM_DrawPainter(benchmark::State& state) { drawNewFrames(state, VideoView::Renderer::painter); }

BENCHMARK(BM_DrawOpenGL)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DrawPainter)->Unit(benchmark::kMillisecond)->UseRealTime();

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
