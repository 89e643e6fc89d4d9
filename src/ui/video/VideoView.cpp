#include "ui/video/VideoView.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/LogThrottle.hpp"
#include "platform/media/RGBFrameConverter.hpp"

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLShaderProgram>
#include <QOpenGLVertexArrayObject>
#include <QOpenGLWidget>
#include <QPaintEvent>
#include <QPainter>
#include <QVBoxLayout>

#include <cmath>

namespace pd::ui::video {

using platform::media::VideoFrame;
using platform::media::VideoFramePtr;

FittedRect fitFrame(double frameWidth, double frameHeight, double targetWidth, double targetHeight) noexcept {
  if (!(frameWidth > 0) || !(frameHeight > 0) || !(targetWidth > 0) || !(targetHeight > 0)) return {};
  const double horizontal = targetWidth / frameWidth;
  const double vertical = targetHeight / frameHeight;
  const double scale = vertical < horizontal ? vertical : horizontal;
  FittedRect rect;
  // The side that fits takes the target's size exactly, so rounding never leaves a seam.
  rect.width = scale == horizontal ? targetWidth : frameWidth * scale;
  rect.height = scale == horizontal ? frameHeight * scale : targetHeight;
  rect.x = (targetWidth - rect.width) * 0.5;
  rect.y = (targetHeight - rect.height) * 0.5;
  return rect;
}

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

bool VideoView::openGLAvailable() {
  static const bool available = [] {
    bool usable = false;
    if (QGuiApplication::instance() != nullptr) {
      QOpenGLContext context;
      QOffscreenSurface surface;
      surface.create();
      if (context.create() && context.makeCurrent(&surface)) {
        // The shaders need GLSL 1.30 and one- and two-channel textures: desktop OpenGL 3.
        usable = !context.isOpenGLES() && context.format().majorVersion() >= 3;
        context.doneCurrent();
      }
    }
    if (usable) {
      diagnostics::Log::video().notice("video_view renderer=opengl");
    } else {
      diagnostics::Log::video().notice("video_view renderer=painter reason=no_opengl");
    }
    return usable;
  }();
  return available;
}

class VideoView::GLSurface final : public QOpenGLWidget, protected QOpenGLFunctions {
public:
  explicit GLSurface(VideoView& owner) : QOpenGLWidget(&owner), owner_(owner) {}
  ~GLSurface() override {
    if (!initialised_) return;
    makeCurrent();
    glDeleteTextures(2, textures_);
    program_.reset();
    vertexArray_.reset();
    doneCurrent();
  }
  GLSurface(const GLSurface&) = delete;
  GLSurface& operator=(const GLSurface&) = delete;

protected:
  void initializeGL() override {
    initializeOpenGLFunctions();
    glGenTextures(2, textures_);
    for (GLuint texture : textures_) {
      glBindTexture(GL_TEXTURE_2D, texture);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
    }
    program_ = std::make_unique<QOpenGLShaderProgram>();
    if (!program_->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertexShader) ||
        !program_->addShaderFromSourceCode(QOpenGLShader::Fragment, kFragmentShader) || !program_->link()) {
      program_.reset();
    }
    vertexArray_ = std::make_unique<QOpenGLVertexArrayObject>();
    vertexArray_->create();
    initialised_ = true;
  }

  void paintGL() override {
    ++owner_.drawCount_;
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    const VideoFramePtr& frame = owner_.frame_;
    if (frame == nullptr) return;
    if (program_ == nullptr) {
      owner_.noteSkip();
      return;
    }
    owner_.noteDraw(frame->width(), frame->height());
    if (frame != uploaded_) upload(*frame);

    const double ratio = devicePixelRatioF();
    const FittedRect fitted = fitFrame(frame->width(), frame->height(), width() * ratio, height() * ratio);
    glViewport(static_cast<GLint>(std::lround(fitted.x)), static_cast<GLint>(std::lround(fitted.y)),
               static_cast<GLsizei>(std::lround(fitted.width)), static_cast<GLsizei>(std::lround(fitted.height)));
    program_->bind();
    program_->setUniformValue("lumaPlane", 0);
    program_->setUniformValue("chromaPlane", 1);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, textures_[0]);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, textures_[1]);
    QOpenGLVertexArrayObject::Binder binder(vertexArray_.get());
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    glActiveTexture(GL_TEXTURE0);
    program_->release();
  }

private:
  // Once per new frame; a frame of the same size reuses the textures' storage.
  void upload(const VideoFrame& frame) {
    const bool resized = uploaded_ == nullptr || uploaded_->width() != frame.width() ||
                         uploaded_->height() != frame.height();
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(frame.lumaStride()));
    glBindTexture(GL_TEXTURE_2D, textures_[0]);
    if (resized) {
      glTexImage2D(GL_TEXTURE_2D, 0, GL_R8, frame.width(), frame.height(), 0, GL_RED, GL_UNSIGNED_BYTE, frame.luma());
    } else {
      glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, frame.width(), frame.height(), GL_RED, GL_UNSIGNED_BYTE, frame.luma());
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(frame.chromaStride() / 2));
    glBindTexture(GL_TEXTURE_2D, textures_[1]);
    if (resized) {
      glTexImage2D(GL_TEXTURE_2D, 0, GL_RG8, frame.chromaWidth(), frame.chromaHeight(), 0, GL_RG, GL_UNSIGNED_BYTE,
                   frame.chroma());
    } else {
      glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, frame.chromaWidth(), frame.chromaHeight(), GL_RG, GL_UNSIGNED_BYTE,
                      frame.chroma());
    }
    glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    uploaded_ = owner_.frame_;
  }

  VideoView& owner_;
  bool initialised_ = false;
  GLuint textures_[2] = {0, 0};
  std::unique_ptr<QOpenGLShaderProgram> program_;
  std::unique_ptr<QOpenGLVertexArrayObject> vertexArray_;
  VideoFramePtr uploaded_;
};

class VideoView::PainterSurface final : public QWidget {
public:
  explicit PainterSurface(VideoView& owner) : QWidget(&owner), owner_(owner) {
    setAttribute(Qt::WA_OpaquePaintEvent);
  }

protected:
  void paintEvent(QPaintEvent*) override {
    ++owner_.drawCount_;
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const VideoFramePtr& frame = owner_.frame_;
    if (frame == nullptr) return;
    owner_.noteDraw(frame->width(), frame->height());
    if (frame != converted_) {
      image_ = QImage(frame->width(), frame->height(), QImage::Format_RGB32);
      if (image_.isNull() ||
          !converter_.convert(*frame, image_.bits(), static_cast<std::size_t>(image_.bytesPerLine()))) {
        image_ = QImage();
        owner_.noteSkip();
        return;
      }
      converted_ = frame;
    }
    const FittedRect fitted = fitFrame(frame->width(), frame->height(), width(), height());
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRectF(fitted.x, fitted.y, fitted.width, fitted.height), image_);
  }

private:
  VideoView& owner_;
  platform::media::RGBFrameConverter converter_;
  VideoFramePtr converted_;
  QImage image_;
};

VideoView::VideoView(std::string streamTag, QWidget* parent, Renderer renderer)
    : QWidget(parent), streamTag_(std::move(streamTag)) {
  usesOpenGL_ = renderer == Renderer::automatic && openGLAvailable();
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  if (usesOpenGL_) {
    surface_ = new GLSurface(*this);
  } else {
    surface_ = new PainterSurface(*this);
  }
  layout->addWidget(surface_);
  // Coming back to the foreground repaints, as the compositor may have dropped our contents.
  connect(qGuiApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
    if (state == Qt::ApplicationActive) {
      surface_->update();
      diagnostics::Log::app().notice("lifecycle event=foreground action=redraw_request");
    } else if (state == Qt::ApplicationInactive) {
      diagnostics::Log::app().notice("lifecycle event=background action=none");
    }
  });
}

VideoView::~VideoView() = default;

void VideoView::setFrame(VideoFramePtr frame) {
  if (frame == frame_) return;
  frame_ = std::move(frame);
  surface_->update();
}

QImage VideoView::grabImage() {
  if (usesOpenGL_) return static_cast<GLSurface*>(surface_)->grabFramebuffer();
  return surface_->grab().toImage();
}

void VideoView::noteDraw(int width, int height) {
  const auto count = diagnostics::LogThrottle::shared().shouldEmit("metal_draw_" + streamTag_, 30, 0.5);
  if (count) {
    diagnostics::Log::app().debug("frame_draw stream=%{public}s res=%ldx%ld occurrences=%ld", streamTag_,
                                  static_cast<long>(width), static_cast<long>(height), static_cast<long>(*count));
  }
}

void VideoView::noteSkip() {
  const auto count = diagnostics::LogThrottle::shared().shouldEmit("metal_draw_skip_" + streamTag_, 120, 0.5);
  if (count) {
    diagnostics::Log::app().debug("metal_draw_skip stream=%{public}s reason=queue_or_drawable_nil occurrences=%ld",
                                  streamTag_, static_cast<long>(*count));
  }
}

} // namespace pd::ui::video
