#include "ui/video/VideoView.hpp"

#include "diagnostics/Log.hpp"
#include "diagnostics/ThrottledLog.hpp"
#include "platform/media/RGBFrameConverter.hpp"
#include "ui/video/NV12Renderer.hpp"

#include <QGuiApplication>
#include <QOffscreenSurface>
#include <QOpenGLContext>
#include <QOpenGLFunctions>
#include <QOpenGLWidget>
#include <QPaintEvent>
#include <QPainter>
#include <QVBoxLayout>

#include <cmath>
#include <string>

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

struct OpenGLProbe {
  bool available = false;
  bool software = false;
};

// Mesa's software rasterisers, by the names they give as the renderer.
bool isSoftwareRenderer(const std::string& renderer) {
  return renderer.find("llvmpipe") != std::string::npos || renderer.find("softpipe") != std::string::npos ||
         renderer.find("Software Rasterizer") != std::string::npos;
}

const OpenGLProbe& openGLProbe() {
  static const OpenGLProbe probe = [] {
    OpenGLProbe result;
    std::string renderer;
    if (QGuiApplication::instance() != nullptr) {
      QOpenGLContext context;
      QOffscreenSurface surface;
      surface.create();
      if (context.create() && context.makeCurrent(&surface)) {
        // The shaders need GLSL 1.30 and one- and two-channel textures: desktop OpenGL 3.
        result.available = !context.isOpenGLES() && context.format().majorVersion() >= 3;
        const auto* name = reinterpret_cast<const char*>(context.functions()->glGetString(GL_RENDERER));
        renderer = name != nullptr ? name : "";
        result.software = isSoftwareRenderer(renderer);
        context.doneCurrent();
      }
    }
    if (!result.available) {
      diagnostics::Log::video().notice("video_view renderer=painter reason=no_opengl");
    } else if (result.software) {
      diagnostics::Log::video().notice("video_view renderer=painter reason=software_renderer gl_renderer=%{public}s",
                                       renderer);
    } else {
      diagnostics::Log::video().notice("video_view renderer=opengl");
    }
    return result;
  }();
  return probe;
}

} // namespace

bool VideoView::openGLAvailable() { return openGLProbe().available; }
bool VideoView::softwareOpenGL() { return openGLProbe().software; }

class VideoView::GLSurface final : public QOpenGLWidget {
public:
  explicit GLSurface(VideoView& owner) : QOpenGLWidget(&owner), owner_(owner) {}
  ~GLSurface() override {
    if (!initialised_) return;
    makeCurrent();
    renderer_.release();
    doneCurrent();
  }
  GLSurface(const GLSurface&) = delete;
  GLSurface& operator=(const GLSurface&) = delete;

protected:
  void initializeGL() override {
    renderer_.initialise();
    initialised_ = true;
  }

  void paintGL() override {
    ++owner_.drawCount_;
    const VideoFramePtr& frame = owner_.frame_;
    if (frame != nullptr && !renderer_.ready()) owner_.noteSkip();
    if (frame != nullptr && renderer_.ready()) owner_.noteDraw(frame->width(), frame->height());
    const double ratio = devicePixelRatioF();
    renderer_.draw(frame, static_cast<int>(std::lround(width() * ratio)),
                   static_cast<int>(std::lround(height() * ratio)));
  }

private:
  VideoView& owner_;
  bool initialised_ = false;
  NV12Renderer renderer_;
};

class VideoView::PainterSurface final : public QWidget {
public:
  explicit PainterSurface(VideoView& owner) : QWidget(&owner), owner_(owner) { setAttribute(Qt::WA_OpaquePaintEvent); }

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
  usesOpenGL_ = (renderer == Renderer::automatic && openGLAvailable() && !softwareOpenGL()) ||
                (renderer == Renderer::opengl && openGLAvailable());
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
  diagnostics::logThrottled(diagnostics::Log::app(), platform::log::Level::debug, "metal_draw_" + streamTag_,
                            {30, std::chrono::milliseconds(500)},
                            "frame_draw stream=%{public}s res=%ldx%ld occurrences=%ld", streamTag_,
                            static_cast<long>(width), static_cast<long>(height));
}

void VideoView::noteSkip() {
  diagnostics::logThrottled(diagnostics::Log::app(), platform::log::Level::debug, "metal_draw_skip_" + streamTag_,
                            {120, std::chrono::milliseconds(500)},
                            "metal_draw_skip stream=%{public}s reason=queue_or_drawable_nil occurrences=%ld",
                            streamTag_);
}

} // namespace pd::ui::video
