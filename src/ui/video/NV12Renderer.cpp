#include "ui/video/NV12Renderer.hpp"

#include "ui/video/VideoView.hpp" // fitFrame

#include <QOpenGLShaderProgram>
#include <QOpenGLVertexArrayObject>

#include <cmath>

namespace pd::ui::video {

using platform::media::VideoFrame;
using platform::media::VideoFramePtr;

namespace {

// Full-range BT.709, as the decoder hands frames out: luma is used as it stands, chroma is
// centred on 128.
constexpr const char* kVertexShader = R"(#version 130
out vec2 uv;
void main() {
  vec2 corner = vec2(float(gl_VertexID & 1), float((gl_VertexID >> 1) & 1));
  uv = vec2(corner.x, 1.0 - corner.y);
  gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}
)";

constexpr const char* kFragmentShader = R"(#version 130
in vec2 uv;
uniform sampler2D lumaPlane;
uniform sampler2D chromaPlane;
void main() {
  float y = texture(lumaPlane, uv).r;
  vec2 c = texture(chromaPlane, uv).rg - vec2(128.0 / 255.0);
  gl_FragColor = vec4(y + 1.5748 * c.y, y - 0.1873 * c.x - 0.4681 * c.y, y + 1.8556 * c.x, 1.0);
}
)";

} // namespace

NV12Renderer::NV12Renderer() = default;
NV12Renderer::~NV12Renderer() = default;

bool NV12Renderer::initialise() {
  initializeOpenGLFunctions();
  glGenTextures(2, textures_);
  for (GLuint texture : textures_) {
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  }
  lumaFilter_ = GL_LINEAR;
  program_ = std::make_unique<QOpenGLShaderProgram>();
  if (!program_->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertexShader) ||
      !program_->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragmentShader) || !program_->link()) {
    program_.reset();
  } else {
    program_->bind();
    program_->setUniformValue("lumaPlane", 0);
    program_->setUniformValue("chromaPlane", 1);
    program_->release();
  }
  vertexArray_ = std::make_unique<QOpenGLVertexArrayObject>();
  vertexArray_->create();
  initialised_ = true;
  return program_ != nullptr;
}

void NV12Renderer::release() {
  if (!initialised_) return;
  glDeleteTextures(2, textures_);
  program_.reset();
  vertexArray_.reset();
  uploaded_.reset();
  initialised_ = false;
}

void NV12Renderer::upload(const VideoFramePtr& frame) {
  if (!initialised_ || frame == nullptr || frame == uploaded_) return;
  // A frame of the size already allocated only replaces the texels.
  const bool resized =
      uploaded_ == nullptr || uploaded_->width() != frame->width() || uploaded_->height() != frame->height();
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(frame->lumaStride()));
  glBindTexture(GL_TEXTURE_2D, textures_[0]);
  if (resized) {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, frame->width(), frame->height(), 0, GL_RED, GL_UNSIGNED_BYTE, frame->luma());
  } else {
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, frame->width(), frame->height(), GL_RED, GL_UNSIGNED_BYTE, frame->luma());
  }
  glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(frame->chromaStride() / 2));
  glBindTexture(GL_TEXTURE_2D, textures_[1]);
  if (resized) {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RG8, frame->chromaWidth(), frame->chromaHeight(), 0, GL_RG, GL_UNSIGNED_BYTE,
                 frame->chroma());
  } else {
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, frame->chromaWidth(), frame->chromaHeight(), GL_RG, GL_UNSIGNED_BYTE,
                    frame->chroma());
  }
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  uploaded_ = frame;
}

void NV12Renderer::draw(int targetWidth, int targetHeight, bool showFrame) {
  const VideoFramePtr frame = showFrame && program_ != nullptr ? uploaded_ : nullptr;
  const FittedRect fitted =
      frame ? fitFrame(frame->width(), frame->height(), targetWidth, targetHeight) : FittedRect{};
  const auto x = static_cast<GLint>(std::lround(fitted.x));
  const auto y = static_cast<GLint>(std::lround(fitted.y));
  const auto width = static_cast<GLsizei>(std::lround(fitted.width));
  const auto height = static_cast<GLsizei>(std::lround(fitted.height));
  // Only bars need clearing; a frame that fills the target overwrites every pixel.
  if (x > 0 || y > 0 || width < targetWidth || height < targetHeight) {
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
  }
  if (frame == nullptr || width <= 0 || height <= 0) return;

  // Luma texel for pixel, linear filtering would only average each texel with itself: nearest
  // gives the same picture for less work on a software renderer. Chroma, at half size, keeps
  // its interpolation.
  const GLint filter = width == frame->width() && height == frame->height() ? GL_NEAREST : GL_LINEAR;
  if (filter != lumaFilter_) {
    glBindTexture(GL_TEXTURE_2D, textures_[0]);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
    lumaFilter_ = filter;
  }
  glViewport(x, y, width, height);
  program_->bind();
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, textures_[0]);
  glActiveTexture(GL_TEXTURE1);
  glBindTexture(GL_TEXTURE_2D, textures_[1]);
  QOpenGLVertexArrayObject::Binder binder(vertexArray_.get());
  glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
  glActiveTexture(GL_TEXTURE0);
  program_->release();
}

} // namespace pd::ui::video
