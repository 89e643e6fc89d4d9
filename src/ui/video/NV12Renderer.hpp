#pragma once

// Draws NV12 frames with OpenGL 3: the two planes go to textures once per new frame, and a
// shader converts full-range BT.709 to RGB while drawing. Every call needs the context that
// initialise() ran in to be current; the owner calls release() in it before the context goes.

#include "platform/media/VideoFrame.hpp"

#include <QOpenGLFunctions>

#include <memory>

class QOpenGLShaderProgram;
class QOpenGLVertexArrayObject;

namespace pd::ui::video {

class NV12Renderer : protected QOpenGLFunctions {
public:
  NV12Renderer();
  ~NV12Renderer();
  NV12Renderer(const NV12Renderer&) = delete;
  NV12Renderer& operator=(const NV12Renderer&) = delete;

  // False when the shaders cannot be built; draw() then draws nothing.
  bool initialise();
  void release();
  bool ready() const noexcept { return program_ != nullptr; }

  // Uploads the planes unless this very frame is already in the textures.
  void upload(const platform::media::VideoFramePtr& frame);
  // Draws the uploaded frame into the bound framebuffer of the given size (device pixels),
  // scaled to fit and centred on black; without `showFrame`, or before any upload, only black.
  void draw(int targetWidth, int targetHeight, bool showFrame = true);

private:
  GLuint textures_[2] = {0, 0};
  std::unique_ptr<QOpenGLShaderProgram> program_;
  std::unique_ptr<QOpenGLVertexArrayObject> vertexArray_;
  platform::media::VideoFramePtr uploaded_;
  GLint lumaFilter_ = 0;
  bool initialised_ = false;
};

} // namespace pd::ui::video
