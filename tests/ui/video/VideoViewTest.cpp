#include "ui/video/VideoView.hpp"

#include "QtTestEnvironment.hpp"
#include "platform/log/LogStore.hpp"
#include "support/SolidFrame.hpp"

#include <QApplication>
#include <QElapsedTimer>
#include <QImage>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

namespace pd::ui::video {
namespace {

using platform::media::ColorMatrix;
using platform::media::ColorRange;
using platform::media::VideoFrame;
using platform::media::VideoFramePtr;

// OpenGL needs a real X server (Xvfb in the test runner); without one the views fall back to
// QPainter on the offscreen platform and the OpenGL cases say why they do not run.
const bool kPlatformChosen = pd::testing::preferTheDisplay();

using pd::testing::solidFrame;

// Mean R, G, B over a rectangle of the image.
std::array<double, 3> meanColour(const QImage& image, QRect area) {
  std::array<double, 3> sum{};
  const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) {
      const QRgb pixel = rgb.pixel(x, y);
      sum[0] += qRed(pixel);
      sum[1] += qGreen(pixel);
      sum[2] += qBlue(pixel);
    }
  const double count = static_cast<double>(area.width()) * area.height();
  return {sum[0] / count, sum[1] / count, sum[2] / count};
}

void settle(int milliseconds = 100) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < milliseconds) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

// Runs the event loop until `done` holds (ten seconds at most), then settles, so that a paint
// too many shows too.
bool settleUntil(const std::function<bool()>& done) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 10);
  settle();
  return done();
}

TEST(FitFrame, KeepsTheAspectAndCentres) {
  const FittedRect square = fitFrame(1920, 1080, 1000, 1000);
  EXPECT_DOUBLE_EQ(square.width, 1000);
  EXPECT_DOUBLE_EQ(square.height, 562.5);
  EXPECT_DOUBLE_EQ(square.x, 0);
  EXPECT_DOUBLE_EQ(square.y, 218.75);
  const FittedRect wide = fitFrame(1920, 1080, 1000, 500);
  EXPECT_NEAR(wide.width, 888.89, 0.01);
  EXPECT_DOUBLE_EQ(wide.height, 500);
  EXPECT_NEAR(wide.x, 55.56, 0.01);
  EXPECT_DOUBLE_EQ(wide.y, 0);
  const FittedRect empty = fitFrame(0, 1080, 1000, 500);
  EXPECT_EQ(empty.width, 0);
}

class VideoViewTest : public ::testing::TestWithParam<VideoView::Renderer> {
protected:
  void SetUp() override {
    if (GetParam() == VideoView::Renderer::opengl && !VideoView::openGLAvailable()) {
      const char* ci = std::getenv("CI");
      if (ci != nullptr && std::string(ci) == "true") FAIL() << "no OpenGL: run under xvfb-run";
      GTEST_SKIP() << "no OpenGL here: run under xvfb-run -a";
    }
  }
};

TEST_P(VideoViewTest, ShowsTheFrameLetterboxedInItsColours) {
  VideoView view("0", nullptr, GetParam());
  EXPECT_EQ(view.usesOpenGL(), GetParam() == VideoView::Renderer::opengl);
  view.resize(320, 320);
  view.show();
  settle();
  const QImage black = view.grabImage();
  ASSERT_FALSE(black.isNull());
  EXPECT_LT(meanColour(black, black.rect())[0], 1.0) << "no frame is black";

  // Y 120, Cb 100, Cr 170 in full-range BT.709 is about R 186, G 106, B 68.
  view.setFrame(solidFrame(1920, 1080, 120, 100, 170));
  settle();
  const QImage image = view.grabImage();
  const int w = image.width();
  const int h = image.height();
  const auto centre = meanColour(image, QRect(w / 4, h / 2 - h / 8, w / 2, h / 4));
  EXPECT_NEAR(centre[0], 186.1, 4.0);
  EXPECT_NEAR(centre[1], 105.6, 4.0);
  EXPECT_NEAR(centre[2], 68.0, 4.0);
  // 1920x1080 in a square: bands of about 22 % above and below stay black.
  const auto top = meanColour(image, QRect(0, 0, w, h / 8));
  EXPECT_LT(top[0] + top[1] + top[2], 3.0);
}

TEST_P(VideoViewTest, RepaintsOnlyForANewFrameObject) {
  VideoView view("fs", nullptr, GetParam());
  view.resize(160, 90);
  view.show();
  auto frame = solidFrame(64, 36, 200, 128, 128);
  view.setFrame(frame);
  ASSERT_TRUE(settleUntil([&] { return view.drawCount() >= 1; }));
  const std::uint64_t afterFirst = view.drawCount();

  view.setFrame(frame);
  settle(200);
  EXPECT_EQ(view.drawCount(), afterFirst) << "the same frame again, or no frame at all, costs no paint";

  view.setFrame(solidFrame(64, 36, 200, 128, 128));
  settleUntil([&] { return view.drawCount() > afterFirst; });
  EXPECT_EQ(view.drawCount(), afterFirst + 1) << "an identical picture in a new frame is drawn once";

  view.setFrame(nullptr);
  settleUntil([&] { return view.drawCount() > afterFirst + 1; });
  EXPECT_EQ(view.drawCount(), afterFirst + 2);
  const QImage image = view.grabImage();
  EXPECT_LT(meanColour(image, image.rect())[0], 1.0) << "dropping the frame shows black";
}

TEST_P(VideoViewTest, AFrameThatFillsTheViewIsShownTexelForTexelAndLeavesNothingInTheNextFramesBars) {
  VideoView view("1", nullptr, GetParam());
  view.resize(320, 180);
  view.show();
  settle();
  // Left half grey, 30 above and 120 below; right half luma 220 with chroma that changes from
  // one pair of columns to the next, coloured on even pairs and neutral on odd ones.
  auto quadrants = VideoFrame::allocate(320, 180);
  for (int row = 0; row < 180; ++row) {
    std::uint8_t* line = quadrants->mutableLuma() + static_cast<std::size_t>(row) * quadrants->lumaStride();
    std::memset(line, row < 90 ? 30 : 120, 160);
    std::memset(line + 160, 220, 160);
  }
  for (int row = 0; row < quadrants->chromaHeight(); ++row) {
    std::uint8_t* pairs = quadrants->mutableChroma() + static_cast<std::size_t>(row) * quadrants->chromaStride();
    for (int pair = 0; pair < quadrants->chromaWidth(); ++pair) {
      const bool coloured = pair >= 80 && pair % 2 == 0;
      pairs[2 * pair] = coloured ? 100 : 128;
      pairs[2 * pair + 1] = coloured ? 170 : 128;
    }
  }
  view.setFrame(quadrants);
  settle();
  QImage image = view.grabImage();
  const double scale = image.width() / 320.0;
  const auto area = [&](int x, int y, int w, int h) {
    return meanColour(image, QRect(static_cast<int>(x * scale), static_cast<int>(y * scale),
                                   static_cast<int>(w * scale), static_cast<int>(h * scale)));
  };
  EXPECT_NEAR(area(8, 8, 144, 74)[1], 30, 2.0) << "top left";
  EXPECT_NEAR(area(8, 98, 144, 74)[1], 120, 2.0) << "bottom left";
  if (GetParam() == VideoView::Renderer::opengl && scale == 1.0) {
    // Y 220, Cb 100, Cr 170: G about 205.6, B about 168; neutral: 220.
    const QRgb coloured = image.pixel(161, 40);
    const QRgb neutral = image.pixel(162, 40);
    EXPECT_NEAR(qGreen(coloured), 205.6, 3.0);
    EXPECT_NEAR(qBlue(coloured), 168.0, 3.0);
    EXPECT_NEAR(qGreen(neutral), 220, 3.0);
    EXPECT_NEAR(qBlue(neutral), 220, 3.0);
  }

  // A square frame next: the side bars must be black again, not what the last frame left there.
  view.setFrame(solidFrame(100, 100, 120, 100, 170));
  settle();
  image = view.grabImage();
  const auto left = meanColour(image, QRect(0, 0, image.width() / 8, image.height()));
  const auto right = meanColour(image, QRect(image.width() - image.width() / 8, 0, image.width() / 8, image.height()));
  EXPECT_LT(left[0] + left[1] + left[2], 3.0);
  EXPECT_LT(right[0] + right[1] + right[2], 3.0);
  EXPECT_NEAR(meanColour(image, QRect(image.width() / 2 - 10, image.height() / 2 - 10, 20, 20))[0], 186.1, 4.0);
}

// Every pixel of a frame shown at its own size takes its own luma sample and its own pair's
// chroma: a pattern that changes at every column and row, checked over the whole image, edges
// included, catches a sample taken from the neighbouring column, pair or row, or a flipped image.
TEST_P(VideoViewTest, AFrameShownTexelForTexelKeepsEverySampleInItsPlace) {
  constexpr int kWidth = 320;
  constexpr int kHeight = 180;
  VideoView view("2", nullptr, GetParam());
  view.resize(kWidth, kHeight);
  view.show();
  settle();
  const auto luma = [](int x, int y) { return 90 + 25 * (x % 4) + 20 * (y % 2) + (y < kHeight / 2 ? 0 : 10); };
  const auto cb = [](int pair, int row) { return 128 + (pair % 2 == 0 ? 12 : -12) + (row % 2 == 0 ? 8 : -8); };
  const auto cr = [](int pair, int row) { return 128 + 12 * (pair % 3 - 1) + (row < kHeight / 4 ? 10 : -10); };
  auto pattern = VideoFrame::allocate(kWidth, kHeight);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x)
      pattern->mutableLuma()[static_cast<std::size_t>(y) * pattern->lumaStride() + static_cast<std::size_t>(x)] =
          static_cast<std::uint8_t>(luma(x, y));
  for (int row = 0; row < pattern->chromaHeight(); ++row)
    for (int pair = 0; pair < pattern->chromaWidth(); ++pair) {
      std::uint8_t* at = pattern->mutableChroma() + static_cast<std::size_t>(row) * pattern->chromaStride() +
                         2 * static_cast<std::size_t>(pair);
      at[0] = static_cast<std::uint8_t>(cb(pair, row));
      at[1] = static_cast<std::uint8_t>(cr(pair, row));
    }
  view.setFrame(pattern);
  settle();
  const QImage image = view.grabImage().convertToFormat(QImage::Format_RGB32);
  if (image.width() != kWidth || image.height() != kHeight) GTEST_SKIP() << "the screen scales the view";
  int wrong = 0;
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      const double l = luma(x, y);
      const double u = cb(x / 2, y / 2) - 128.0;
      const double v = cr(x / 2, y / 2) - 128.0;
      const QRgb pixel = image.pixel(x, y);
      const bool close = std::abs(qRed(pixel) - (l + 1.5748 * v)) <= 2.5 &&
                         std::abs(qGreen(pixel) - (l - 0.1873 * u - 0.4681 * v)) <= 2.5 &&
                         std::abs(qBlue(pixel) - (l + 1.8556 * u)) <= 2.5;
      if (!close && ++wrong <= 5) {
        ADD_FAILURE() << "pixel " << x << "," << y << " is " << qRed(pixel) << "," << qGreen(pixel) << ","
                      << qBlue(pixel);
      }
    }
  EXPECT_EQ(wrong, 0);
}

// Each frame is converted with the matrix and range it carries. The expected colours follow from
// the standards' luma weights (Kr, Kb) alone; each case lies well apart from BT.709's answer.
TEST_P(VideoViewTest, ConvertsWithTheFramesMatrixAndRange) {
  struct Case {
    const char* name;
    ColorMatrix matrix;
    ColorRange range;
    double kr;
    double kb;
  };
  constexpr std::uint8_t kY = 100;
  constexpr std::uint8_t kCb = 90;
  constexpr std::uint8_t kCr = 200;
  VideoView view("0", nullptr, GetParam());
  view.resize(160, 90);
  view.show();
  settle();
  for (const Case c : {Case{"bt601 full", ColorMatrix::bt601, ColorRange::full, 0.299, 0.114},
                       Case{"bt601 limited", ColorMatrix::bt601, ColorRange::limited, 0.299, 0.114},
                       Case{"bt709 limited", ColorMatrix::bt709, ColorRange::limited, 0.2126, 0.0722},
                       Case{"bt2020 full", ColorMatrix::bt2020NonConstant, ColorRange::full, 0.2627, 0.0593}}) {
    auto frame = VideoFrame::allocate(64, 36);
    std::memset(frame->mutableLuma(), kY, frame->lumaStride() * 36);
    for (std::size_t i = 0; i < frame->chromaStride() * 18; i += 2) {
      frame->mutableChroma()[i] = kCb;
      frame->mutableChroma()[i + 1] = kCr;
    }
    frame->setColorimetry(c.matrix, c.range);
    view.setFrame(frame);
    settle();
    const bool limited = c.range == ColorRange::limited;
    const double y = limited ? (kY - 16) / 219.0 : kY / 255.0;
    const double cb = (kCb - 128) / (limited ? 224.0 : 255.0);
    const double cr = (kCr - 128) / (limited ? 224.0 : 255.0);
    const double kg = 1 - c.kr - c.kb;
    const double expected[3] = {255 * (y + 2 * (1 - c.kr) * cr),
                                255 * (y - 2 * c.kb * (1 - c.kb) / kg * cb - 2 * c.kr * (1 - c.kr) / kg * cr),
                                255 * (y + 2 * (1 - c.kb) * cb)};
    const QImage image = view.grabImage();
    const auto centre =
        meanColour(image, QRect(image.width() / 4, image.height() / 4, image.width() / 2, image.height() / 2));
    for (int channel = 0; channel < 3; ++channel)
      EXPECT_NEAR(centre[channel], std::clamp(expected[channel], 0.0, 255.0), 3.0) << c.name << " channel " << channel;
  }
}

// Mesa's software renderer paints the OpenGL widget through a read-back that costs far more than
// drawing with QPainter: views that may choose draw with QPainter there, and the choice is logged once.
TEST(VideoViewChoice, ASoftwareOpenGLRendererShowsVideoWithQPainter) {
  if (!VideoView::openGLAvailable()) GTEST_SKIP() << "no OpenGL here: run under xvfb-run -a";
  VideoView automatic("0");
  VideoView forced("1", nullptr, VideoView::Renderer::opengl);
  EXPECT_TRUE(forced.usesOpenGL());
  EXPECT_EQ(automatic.usesOpenGL(), !VideoView::softwareOpenGL());
  if (!VideoView::softwareOpenGL()) GTEST_SKIP() << "this machine's OpenGL is not a software renderer";
  int choices = 0;
  std::string line;
  for (const auto& entry : platform::log::LogStore::shared().entriesAfter(0)) {
    if (entry.category != "video" || !entry.message.starts_with("video_view ")) continue;
    ++choices;
    line = entry.message;
  }
  EXPECT_EQ(choices, 1);
  EXPECT_TRUE(line.starts_with("video_view renderer=painter reason=software_renderer gl_renderer=llvmpipe")) << line;
}

INSTANTIATE_TEST_SUITE_P(Renderers, VideoViewTest,
                         ::testing::Values(VideoView::Renderer::opengl, VideoView::Renderer::painter),
                         [](const auto& param) {
                           return std::string(param.param == VideoView::Renderer::opengl ? "OpenGL" : "Painter");
                         });

} // namespace
} // namespace pd::ui::video
