#include "platform/media/VideoFrame.hpp"
#include "platform/media/VideoFrameConverter.hpp"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>

namespace pd::platform::media {
namespace {

struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using Picture = std::unique_ptr<AVFrame, FrameDeleter>;

// A picture whose planes are filled with one value each (16-bit formats take the value as is).
Picture makePicture(AVPixelFormat format, int width, int height, int y, int u, int v,
                    AVColorRange range = AVCOL_RANGE_UNSPECIFIED) {
  Picture picture(av_frame_alloc());
  picture->format = format;
  picture->width = width;
  picture->height = height;
  picture->color_range = range;
  EXPECT_GE(av_frame_get_buffer(picture.get(), 0), 0);
  const bool wide = format == AV_PIX_FMT_YUV420P10 || format == AV_PIX_FMT_P010;
  const bool semiPlanar = format == AV_PIX_FMT_NV12 || format == AV_PIX_FMT_P010;
  const bool fullChroma = format == AV_PIX_FMT_YUV444P;
  const int chromaWidth = fullChroma ? width : (width + 1) / 2;
  const int chromaHeight = fullChroma ? height : (height + 1) / 2;
  auto fill = [&](int plane, int rows, int samples, auto value) {
    for (int r = 0; r < rows; ++r) {
      std::uint8_t* line = picture->data[plane] + static_cast<std::ptrdiff_t>(r) * picture->linesize[plane];
      for (int x = 0; x < samples; ++x) {
        const int sample = value(x);
        if (wide) {
          const auto word = static_cast<std::uint16_t>(sample);
          std::memcpy(line + 2 * x, &word, 2);
        } else {
          line[x] = static_cast<std::uint8_t>(sample);
        }
      }
    }
  };
  fill(0, height, width, [&](int) { return y; });
  if (semiPlanar) {
    fill(1, chromaHeight, 2 * chromaWidth, [&](int x) { return x % 2 == 0 ? u : v; });
  } else {
    fill(1, chromaHeight, chromaWidth, [&](int) { return u; });
    fill(2, chromaHeight, chromaWidth, [&](int) { return v; });
  }
  return picture;
}

struct Expected {
  int y;
  int u;
  int v;
};

// Every sample of the frame, Cb before Cr, within one step of what is expected.
void expectFlat(const VideoFrame& frame, Expected expected) {
  for (int r = 0; r < frame.height(); ++r)
    for (int x = 0; x < frame.width(); ++x)
      ASSERT_NEAR(frame.luma()[static_cast<std::size_t>(r) * frame.lumaStride() + static_cast<std::size_t>(x)],
                  expected.y, 1)
          << "luma " << x << "," << r;
  for (int r = 0; r < frame.chromaHeight(); ++r) {
    const std::uint8_t* line = frame.chroma() + static_cast<std::size_t>(r) * frame.chromaStride();
    for (int x = 0; x < frame.chromaWidth(); ++x) {
      ASSERT_NEAR(line[2 * x], expected.u, 1) << "Cb " << x << "," << r;
      ASSERT_NEAR(line[2 * x + 1], expected.v, 1) << "Cr " << x << "," << r;
    }
  }
}

TEST(VideoFrameTest, PlanesAreAlignedAndApartWithRoundedUpChroma) {
  const auto frame = VideoFrame::allocate(101, 51);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->chromaWidth(), 51);
  EXPECT_EQ(frame->chromaHeight(), 26);
  EXPECT_EQ(frame->lumaStride() % VideoFrame::kRowAlignment, 0u);
  EXPECT_EQ(frame->chromaStride() % VideoFrame::kRowAlignment, 0u);
  EXPECT_GE(frame->chromaStride(), 102u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(frame->luma()) % VideoFrame::kRowAlignment, 0u);
  EXPECT_GE(frame->chroma(), frame->luma() + frame->lumaStride() * 51);

  EXPECT_FALSE(VideoFrame::allocate(0, 10));
  EXPECT_FALSE(VideoFrame::allocate(10, -1));
  EXPECT_FALSE(VideoFrame::allocate(VideoFrame::kMaxDimension + 1, 2));
}

TEST(VideoFrameConverterTest, EveryFormatComesOutAsFullRangeEightBit) {
  struct Case {
    const char* name;
    AVPixelFormat format;
    int width;
    int height;
    Expected in;
    AVColorRange range;
    Expected out;
  };
  constexpr AVColorRange unspecified = AVCOL_RANGE_UNSPECIFIED;
  constexpr AVColorRange full = AVCOL_RANGE_JPEG;
  const Case cases[] = {
      // Limited-range 8 bit is expanded: video black, white and the chroma extremes map onto the
      // full byte range, and samples outside the range saturate instead of wrapping.
      {"limited black", AV_PIX_FMT_YUV420P, 5, 3, {16, 16, 240}, unspecified, {0, 0, 255}},
      {"limited white", AV_PIX_FMT_YUV420P, 6, 4, {235, 128, 128}, unspecified, {255, 128, 128}},
      {"limited mid", AV_PIX_FMT_YUV420P, 6, 4, {126, 72, 184}, unspecified, {128, 64, 192}},
      {"limited NV12", AV_PIX_FMT_NV12, 7, 5, {235, 16, 240}, unspecified, {255, 0, 255}},
      {"limited above", AV_PIX_FMT_YUV420P, 4, 2, {255, 0, 255}, unspecified, {255, 0, 255}},
      {"limited below", AV_PIX_FMT_YUV420P, 4, 2, {0, 0, 255}, unspecified, {0, 0, 255}},
      // Full-range 8 bit is copied, whether the format or the frame says so.
      {"full by format", AV_PIX_FMT_YUVJ420P, 5, 3, {16, 20, 230}, unspecified, {16, 20, 230}},
      {"full by frame", AV_PIX_FMT_YUV420P, 5, 3, {16, 20, 230}, full, {16, 20, 230}},
      {"full NV12", AV_PIX_FMT_NV12, 5, 3, {250, 3, 252}, full, {250, 3, 252}},
      // Ten bits are reduced to eight; P010 keeps its ten bits at the top of each word.
      {"10-bit limited black", AV_PIX_FMT_YUV420P10, 5, 3, {64, 64, 960}, unspecified, {0, 0, 255}},
      {"10-bit limited white", AV_PIX_FMT_YUV420P10, 5, 3, {940, 512, 512}, unspecified, {255, 128, 128}},
      {"10-bit full extremes", AV_PIX_FMT_YUV420P10, 5, 3, {1023, 0, 512}, full, {255, 0, 128}},
      {"10-bit full mid", AV_PIX_FMT_YUV420P10, 5, 3, {400, 600, 512}, full, {100, 150, 128}},
      {"P010 limited", AV_PIX_FMT_P010, 5, 3, {940 << 6, 64 << 6, 960 << 6}, unspecified, {255, 0, 255}},
      {"P010 full", AV_PIX_FMT_P010, 5, 3, {400 << 6, 600 << 6, 512 << 6}, full, {100, 150, 128}},
      // Other formats are converted with their range.
      {"4:4:4 limited", AV_PIX_FMT_YUV444P, 6, 4, {235, 16, 240}, unspecified, {255, 0, 255}},
      {"4:4:4 full", AV_PIX_FMT_YUV444P, 6, 4, {64, 100, 200}, full, {64, 100, 200}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    VideoFrameConverter converter;
    int status = 1;
    const auto frame = converter.convert(*makePicture(c.format, c.width, c.height, c.in.y, c.in.u, c.in.v, c.range),
                                         runtime::Clock::MonotonicTime{}, status);
    EXPECT_EQ(status, 0);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->width(), c.width);
    EXPECT_EQ(frame->height(), c.height);
    expectFlat(*frame, c.out);
  }
}

// What a hardware surface looks like once copied back: the left and top of its window still to go.
TEST(VideoFrameConverterTest, AWindowThePictureStillCarriesIsCroppedToTheSample) {
  for (const AVPixelFormat format : {AV_PIX_FMT_NV12, AV_PIX_FMT_P010}) {
    SCOPED_TRACE(format == AV_PIX_FMT_NV12 ? "NV12" : "P010");
    const bool wide = format == AV_PIX_FMT_P010;
    Picture picture = makePicture(format, 16, 8, 0, 128, 128, AVCOL_RANGE_JPEG);
    // Luma counts 8 * column + row; chroma pairs name their column and row.
    const auto put = [&](int plane, int x, int y, int value) {
      std::uint8_t* at = picture->data[plane] + static_cast<std::ptrdiff_t>(y) * picture->linesize[plane];
      const auto word = static_cast<std::uint16_t>(4 * value << 6); // the same level in ten bits
      if (wide) std::memcpy(at + 2 * x, &word, 2);
      else at[x] = static_cast<std::uint8_t>(value);
    };
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 16; ++x) put(0, x, y, 8 * x + y);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 8; ++x) {
        put(1, 2 * x, y, 16 * x);
        put(1, 2 * x + 1, y, 16 * y);
      }
    picture->crop_left = 6;
    picture->crop_top = 2;
    picture->crop_right = 2;
    VideoFrameConverter converter;
    int status = 1;
    const auto frame = converter.convert(*picture, runtime::Clock::MonotonicTime{}, status);
    ASSERT_TRUE(frame);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(frame->width(), 8);
    ASSERT_EQ(frame->height(), 6);
    for (int y = 0; y < 6; ++y)
      for (int x = 0; x < 8; ++x)
        EXPECT_NEAR(frame->luma()[static_cast<std::size_t>(y) * frame->lumaStride() + static_cast<std::size_t>(x)],
                    8 * (x + 6) + y + 2, 1)
            << x << "," << y;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 4; ++x) {
        const std::uint8_t* pair = frame->chroma() + static_cast<std::size_t>(y) * frame->chromaStride() + 2 * x;
        EXPECT_NEAR(pair[0], 16 * (x + 3), 1) << x << "," << y;
        EXPECT_NEAR(pair[1], 16 * (y + 1), 1) << x << "," << y;
      }
  }
}

TEST(VideoFrameConverterTest, PicturesBeyondTheBoundsAreRefused) {
  VideoFrameConverter converter;
  Picture picture(av_frame_alloc());
  picture->format = AV_PIX_FMT_YUV420P;
  picture->width = VideoFrame::kMaxDimension + 2;
  picture->height = 2;
  int status = 0;
  EXPECT_FALSE(converter.convert(*picture, runtime::Clock::MonotonicTime{}, status));
  EXPECT_EQ(status, AVERROR(EINVAL));
  // Each side within bounds, but more pixels than any HEVC level allows.
  picture->width = 16384;
  picture->height = 2184;
  status = 0;
  EXPECT_FALSE(converter.convert(*picture, runtime::Clock::MonotonicTime{}, status));
  EXPECT_EQ(status, AVERROR(EINVAL));
}

} // namespace
} // namespace pd::platform::media
