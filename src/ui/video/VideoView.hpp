#pragma once

// Shows one video stream, drawing only on demand: when it is handed a different frame, when the
// application becomes active again and when the window system asks for a paint. There is no
// frame timer. Frames are scaled to fit with their aspect ratio kept and centred on black.
//
// The picture is drawn with OpenGL (NV12 planes uploaded once per new frame, converted in a
// shader) where a hardware OpenGL 3 context can be made, and with QPainter otherwise: under a
// software renderer the window system composes the OpenGL widget by reading it back, which costs
// many times what QPainter does, while widgets laid over the video (badges) must still show. The
// choice is made at run time, once per process, and logged.

#include "platform/media/VideoFrame.hpp"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <string>

namespace pd::ui::video {

// Where a frame lands in a target of the given size: scaled uniformly to fit, then centred.
struct FittedRect {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
};
FittedRect fitFrame(double frameWidth, double frameHeight, double targetWidth, double targetHeight) noexcept;

class VideoView : public QWidget {
public:
  // automatic: OpenGL where it is done in hardware. opengl: OpenGL wherever there is a context,
  // for comparing the two.
  enum class Renderer { automatic, painter, opengl };

  // `streamTag` names the stream in log lines only: "0", "1", "2" or "fs".
  explicit VideoView(std::string streamTag, QWidget* parent = nullptr, Renderer renderer = Renderer::automatic);
  ~VideoView() override;

  // Shows `frame` (nullptr: black). The same frame object again requests no redraw.
  void setFrame(platform::media::VideoFramePtr frame);
  const platform::media::VideoFramePtr& frame() const noexcept { return frame_; }

  bool usesOpenGL() const noexcept { return usesOpenGL_; }
  const std::string& streamTag() const noexcept { return streamTag_; }
  // Paints done so far; a paint without a new frame costs GPU time, so tests count them.
  std::uint64_t drawCount() const noexcept { return drawCount_; }
  // The picture as it is shown now.
  QImage grabImage();

  // True when this process can draw with OpenGL, and when that OpenGL is a software renderer;
  // probed once.
  static bool openGLAvailable();
  static bool softwareOpenGL();

private:
  class GLSurface;
  class PainterSurface;
  friend class GLSurface;
  friend class PainterSurface;

  void noteDraw(int width, int height);
  void noteSkip();

  std::string streamTag_;
  platform::media::VideoFramePtr frame_;
  bool usesOpenGL_ = false;
  std::uint64_t drawCount_ = 0;
  QWidget* surface_ = nullptr;
};

} // namespace pd::ui::video
