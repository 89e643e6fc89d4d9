#include "ui/video/NV12Renderer.hpp"

#include "ui/video/VideoView.hpp" // fitFrame

#include <QOpenGLShaderProgram>
#include <QOpenGLVertexArrayObject>

#include <charconv>
#include <cmath>
#include <string>

namespace pd::ui::video {

using platform::media::VideoFrame;
using platform::media::VideoFramePtr;

namespace {

constexpr const char* kVertexShader = R"(#version 130
out vec2 uv;
void main() {
  vec2 corner = vec2(float(gl_VertexID & 1), float((gl_VertexID >> 1) & 1));
  uv = vec2(corner.x, 1.0 - corner.y);
  gl_Position = vec4(corner * 2.0 - 1.0, 0.0, 1.0);
}
)";

// The conversion is written into the shader as constants (see conversionDefinitions): a software
// renderer compiles them into its pixel loop, where values read from uniforms cost a quarter more.
constexpr const char* kFragmentShader = R"(
in vec2 uv;
uniform sampler2D lumaPlane;
uniform sampler2D chromaPlane;
void main() {
  float y = LUMA(texture(lumaPlane, uv).r);
  vec2 c = texture(chromaPlane, uv).rg - vec2(128.0 / 255.0);
  gl_FragColor = vec4(y + CR_TO_R * c.y, y - CB_TO_G * c.x - CR_TO_G * c.y, y + CB_TO_B * c.x, 1.0);
}
)";

// Texel for pixel: each luma texel holds four luma samples and each chroma texel two Cb,Cr pairs,
// sampled unfiltered at the pixel's centre; the pixel's place within its texel picks the sample.
// A software renderer samples four-byte texels far faster than one- and two-byte ones, and its
// normalised, unfiltered sampling faster than texelFetch, which makes this pass the cheaper one by
// about a third where it applies.
constexpr const char* kExactFragmentShader = R"(
in vec2 uv;
uniform sampler2D lumaPlane;
uniform sampler2D chromaPlane;
uniform float lumaTexelsPerRow;
void main() {
  // Pixel centres sit half a sample into the texel's quarter, well clear of truncation.
  int lane = int(fract(uv.x * lumaTexelsPerRow) * 4.0);
  float y = LUMA(texture(lumaPlane, uv)[lane]);
  vec4 pairs = texture(chromaPlane, uv);
  vec2 c = (lane < 2 ? pairs.rg : pairs.ba) - vec2(128.0 / 255.0);
  gl_FragColor = vec4(y + CR_TO_R * c.y, y - CB_TO_G * c.x - CR_TO_G * c.y, y + CB_TO_B * c.x, 1.0);
}
)";

// The shader's terms for a matrix and range, with chroma centred on zero: R = y + CR_TO_R Cr,
// G = y - CB_TO_G Cb - CR_TO_G Cr, B = y + CB_TO_B Cb. Every term follows from the matrix's weights
// of red and blue in luma; limited range stretches luma 16...235 and chroma 16...240 to the full
// scale.
std::string conversionDefinitions(platform::media::ColorMatrix matrix, platform::media::ColorRange range) {
  const double kr = platform::media::lumaWeights(matrix).red;
  const double kb = platform::media::lumaWeights(matrix).blue;
  const double kg = 1.0 - kr - kb;
  const bool limited = range == platform::media::ColorRange::limited;
  const double chromaScale = limited ? 255.0 / 224.0 : 1.0;
  // Written without the locale, which may want a decimal comma.
  const auto literal = [](double value) {
    char text[32];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 7);
    return std::string(text, written.ptr);
  };
  std::string out = "#version 130\n";
  out += limited ? "#define LUMA(v) ((v) * " + literal(255.0 / 219.0) + " - " + literal(16.0 / 219.0) + ")\n"
                 : std::string("#define LUMA(v) (v)\n");
  out += "#define CR_TO_R " + literal(2.0 * (1.0 - kr) * chromaScale) + "\n";
  out += "#define CB_TO_G " + literal(2.0 * kb * (1.0 - kb) / kg * chromaScale) + "\n";
  out += "#define CR_TO_G " + literal(2.0 * kr * (1.0 - kr) / kg * chromaScale) + "\n";
  out += "#define CB_TO_B " + literal(2.0 * (1.0 - kb) * chromaScale) + "\n";
  return out;
}

std::unique_ptr<QOpenGLShaderProgram> buildProgram(const std::string& fragmentShader) {
  auto program = std::make_unique<QOpenGLShaderProgram>();
  if (!program->addShaderFromSourceCode(QOpenGLShader::Vertex, kVertexShader) ||
      !program->addShaderFromSourceCode(QOpenGLShader::Fragment, QByteArray::fromStdString(fragmentShader)) ||
      !program->link()) {
    return nullptr;
  }
  program->bind();
  program->setUniformValue("lumaPlane", 0);
  program->setUniformValue("chromaPlane", 1);
  program->release();
  return program;
}

} // namespace

NV12Renderer::NV12Renderer() = default;
NV12Renderer::~NV12Renderer() = default;

bool NV12Renderer::initialise() {
  initializeOpenGLFunctions();
  glGenTextures(2, textures_);
  for (GLuint texture : textures_) {
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  }
  vertexArray_ = std::make_unique<QOpenGLVertexArrayObject>();
  vertexArray_->create();
  initialised_ = true;
  // What decoded frames mostly are; other conversions are built when a frame first needs them.
  ready_ = program(platform::media::ColorMatrix::bt709, platform::media::ColorRange::full, false) != nullptr;
  return ready_;
}

QOpenGLShaderProgram* NV12Renderer::program(platform::media::ColorMatrix matrix, platform::media::ColorRange range,
                                            bool exact) {
  const auto key = std::make_tuple(matrix, range, exact);
  auto found = programs_.find(key);
  if (found == programs_.end()) {
    // A program that does not build is kept as none, so it is not tried again on every frame.
    found = programs_
                .emplace(key, buildProgram(conversionDefinitions(matrix, range) +
                                           (exact ? kExactFragmentShader : kFragmentShader)))
                .first;
  }
  return found->second.get();
}

void NV12Renderer::release() {
  if (!initialised_) return;
  glDeleteTextures(2, textures_);
  programs_.clear();
  ready_ = false;
  vertexArray_.reset();
  uploaded_.reset();
  initialised_ = false;
}

void NV12Renderer::upload(const VideoFramePtr& frame, Layout layout) {
  if (!initialised_ || frame == nullptr || (frame == uploaded_ && layout == layout_)) return;
  // A frame of the size and layout already allocated only replaces the texels.
  const bool reallocate = uploaded_ == nullptr || layout != layout_ || uploaded_->width() != frame->width() ||
                          uploaded_->height() != frame->height();
  const bool packed = layout == Layout::packed;
  const auto plane = [&](GLuint texture, GLint internalFormat, GLenum format, int width, int height,
                         std::size_t rowTexels, const std::uint8_t* pixels) {
    glPixelStorei(GL_UNPACK_ROW_LENGTH, static_cast<GLint>(rowTexels));
    glBindTexture(GL_TEXTURE_2D, texture);
    if (reallocate) {
      const GLint filter = packed ? GL_NEAREST : GL_LINEAR;
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
      glTexImage2D(GL_TEXTURE_2D, 0, internalFormat, width, height, 0, format, GL_UNSIGNED_BYTE, pixels);
    } else {
      glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, format, GL_UNSIGNED_BYTE, pixels);
    }
  };
  glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
  if (packed) {
    plane(textures_[0], GL_RGBA8, GL_RGBA, frame->width() / 4, frame->height(), frame->lumaStride() / 4, frame->luma());
    plane(textures_[1], GL_RGBA8, GL_RGBA, frame->chromaWidth() / 2, frame->chromaHeight(), frame->chromaStride() / 4,
          frame->chroma());
  } else {
    plane(textures_[0], GL_R8, GL_RED, frame->width(), frame->height(), frame->lumaStride(), frame->luma());
    plane(textures_[1], GL_RG8, GL_RG, frame->chromaWidth(), frame->chromaHeight(), frame->chromaStride() / 2,
          frame->chroma());
  }
  glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  uploaded_ = frame;
  layout_ = layout;
}

void NV12Renderer::draw(const VideoFramePtr& shown, int targetWidth, int targetHeight) {
  const VideoFramePtr frame = ready_ ? shown : nullptr;
  const FittedRect fitted = frame ? fitFrame(frame->width(), frame->height(), targetWidth, targetHeight) : FittedRect{};
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

  // Texel for pixel, filtering would only average each texel with itself.
  const bool fits = width == frame->width() && height == frame->height() && frame->width() % 4 == 0;
  QOpenGLShaderProgram* exactProgram = fits ? program(frame->colorMatrix(), frame->colorRange(), true) : nullptr;
  QOpenGLShaderProgram* chosen =
      exactProgram != nullptr ? exactProgram : program(frame->colorMatrix(), frame->colorRange(), false);
  // Should a conversion not build, the picture is still shown, in BT.709 colours.
  if (chosen == nullptr)
    chosen = program(platform::media::ColorMatrix::bt709, platform::media::ColorRange::full, false);
  const bool exact = chosen == exactProgram;
  upload(frame, exact ? Layout::packed : Layout::planar);
  glViewport(x, y, width, height);
  chosen->bind();
  if (exact) glUniform1f(chosen->uniformLocation("lumaTexelsPerRow"), static_cast<GLfloat>(frame->width() / 4));
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_2D, textures_[0]);
  glActiveTexture(GL_TEXTURE1);
  glBindTexture(GL_TEXTURE_2D, textures_[1]);
  QOpenGLVertexArrayObject::Binder binder(vertexArray_.get());
  glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
  glActiveTexture(GL_TEXTURE0);
  chosen->release();
}

} // namespace pd::ui::video
