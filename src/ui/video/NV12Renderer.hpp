#pragma once

// Draws NV12 frames with OpenGL 3: the two planes go to textures once per new frame, and a
// shader converts them to RGB with the frame's matrix and range while drawing. Every call needs
// the context that initialise() ran in to be current; the owner calls release() in it before the
// context goes.

#include "platform/media/VideoFrame.hpp"

#include <QOpenGLFunctions>

#include <map>
#include <memory>
#include <tuple>

class QOpenGLShaderProgram;
class QOpenGLVertexArrayObject;

namespace pd::ui::video {

class NV12Renderer : protected QOpenGLFunctions {
public:
  NV12Renderer();
  ~NV12Renderer();
  NV12Renderer(const NV12Renderer&) = delete;
  NV12Renderer& operator=(const NV12Renderer&) = delete;

  // False when the shaders cannot be built; draw() then draws only black.
  bool initialise();
  void release();
  bool ready() const noexcept { return ready_; }

  // Draws `frame` into the bound framebuffer of the given size (device pixels), scaled to fit
  // and centred on black; nullptr draws only black. The planes are uploaded when the frame is
  // not the one drawn last.
  void draw(const platform::media::VideoFramePtr& frame, int targetWidth, int targetHeight);

private:
  // How the planes lie in the textures: one- and two-byte texels for filtered drawing, or four
  // bytes to the texel for drawing texel for pixel.
  enum class Layout { planar, packed };
  void upload(const platform::media::VideoFramePtr& frame, Layout layout);
  // The program converting with this matrix and range, texel for pixel (exact) or filtered;
  // nullptr when it does not build.
  QOpenGLShaderProgram* program(platform::media::ColorMatrix matrix, platform::media::ColorRange range, bool exact);

  GLuint textures_[2] = {0, 0};
  std::map<std::tuple<platform::media::ColorMatrix, platform::media::ColorRange, bool>,
           std::unique_ptr<QOpenGLShaderProgram>>
      programs_;
  bool ready_ = false;
  std::unique_ptr<QOpenGLVertexArrayObject> vertexArray_;
  platform::media::VideoFramePtr uploaded_;
  Layout layout_ = Layout::planar;
  bool initialised_ = false;
};

} // namespace pd::ui::video
