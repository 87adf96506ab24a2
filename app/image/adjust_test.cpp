#include "app/image/adjust.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <tuple>

#include "app/image/testing/resize_reference.h"
#include "app/image/testing/test_pictures.h"

namespace qv {
namespace {

using testing::Bgr;
using testing::CenterCrop;
using testing::Resize;
using testing::PixelAt;

TEST(ToneTable, ContrastCurveAndBrightness) {
  auto identity = ToneTable(0, 0);
  for (int v = 0; v < 256; ++v) EXPECT_EQ(identity[v], v);

  auto steep = ToneTable(16, 0);
  EXPECT_EQ(steep[15], 0);
  EXPECT_EQ(steep[16], 0);
  EXPECT_EQ(steep[72], 64);
  EXPECT_EQ(steep[128], 128);
  EXPECT_EQ(steep[239], 254);
  EXPECT_EQ(steep[240], 255);
  for (int v = 1; v < 256; ++v) EXPECT_GE(steep[v], steep[v - 1]);

  auto flat = ToneTable(-64, 0);
  EXPECT_EQ(flat[0], 42);
  EXPECT_EQ(flat[255], 212);

  auto brighter = ToneTable(0, 20);
  EXPECT_EQ(brighter[0], 20);
  EXPECT_EQ(brighter[235], 255);
  EXPECT_EQ(brighter[255], 255);
  auto darker = ToneTable(0, -20);
  EXPECT_EQ(darker[19], 0);
  EXPECT_EQ(darker[21], 1);
  for (int v = 0; v < 256; ++v) {
    EXPECT_EQ(ToneTable(0, 300)[v], 255);
    EXPECT_EQ(ToneTable(0, -300)[v], 0);
  }
}

// From a contrast of 128 on, the two limits of the curve cover every byte; the slope between
// them would divide by zero at 128. Extreme values must not overflow either.
TEST(ToneTable, ExtremeContrastsStayWithinTheLimits) {
  for (int contrast : {127, 128, 129, 200, 1000, INT_MAX}) {
    auto table = ToneTable(contrast, 0);
    for (int v = 0; v < 256; ++v) {
      if (contrast >= 128) {
        EXPECT_EQ(table[v], v < std::min(contrast, 256) ? 0 : 255) << contrast << " " << v;
      }
    }
    EXPECT_EQ(table[0], 0);
    if (contrast < 256) {
      EXPECT_EQ(table[255], 255);
    }
  }
  auto lowest = ToneTable(INT_MIN, INT_MAX);
  EXPECT_EQ(lowest[0], 255);
  auto flattest = ToneTable(INT_MIN, 0);
  EXPECT_EQ(flattest[0], 127);  // everything at the middle
  EXPECT_EQ(flattest[255], 128);
}

TEST(AdjustTone, ChangesColourBytesOnly) {
  Bitmap picture = Bitmap::Create(3, 2, 24);  // 9 bytes a row, 3 of padding
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 9; ++x) picture.row(y)[x] = static_cast<uint8_t>(72 + x);
  ASSERT_TRUE(AdjustTone(&picture, 16, 10));
  EXPECT_EQ(picture.row(0)[0], 74);
  EXPECT_EQ(picture.row(1)[8], 83);  // 80: 256 / 224 x 64 = 73, + 10
  EXPECT_EQ(picture.row(0)[9], 0);  // padding untouched
  EXPECT_EQ(picture.row(1)[11], 0);

  Bitmap indexed = Bitmap::Create(4, 4, 8, 256);
  EXPECT_FALSE(AdjustTone(&indexed, 0, 10));
}

TEST(Resize, NearestNeighbourSampling) {
  Bitmap source = Bitmap::Create(640, 480, 24);
  for (int y = 0; y < 480; ++y)
    for (int x = 0; x < 640; ++x) testing::SetPixel(source, x, y, {x & 0xFF, x >> 8, y & 0xFF});
  Bitmap half;
  ASSERT_TRUE(Resize(source, 320, 240, &half));
  EXPECT_EQ(half.width(), 320);
  EXPECT_EQ(half.height(), 240);
  EXPECT_EQ(half.info().biSizeImage, 320u * 240 * 3);
  for (int y : {0, 1, 100, 239})
    for (int x : {0, 1, 2, 159, 319}) EXPECT_EQ(PixelAt(half, x, y), PixelAt(source, 2 * x, 2 * y));

  // Shrinking by a ratio that is not whole: column x takes trunc(640 / 300 * x).
  Bitmap odd;
  ASSERT_TRUE(Resize(source, 300, 7, &odd));
  EXPECT_EQ(PixelAt(odd, 299, 6), PixelAt(source, 637, 411));
  EXPECT_EQ(PixelAt(odd, 151, 3), PixelAt(source, 322, 205));

  // Enlarging repeats pixels.
  Bitmap small = Bitmap::Create(2, 1, 24);
  testing::SetPixel(small, 0, 0, {1, 2, 3});
  testing::SetPixel(small, 1, 0, {4, 5, 6});
  Bitmap large;
  ASSERT_TRUE(Resize(small, 5, 2, &large));
  const Bgr expected[] = {{1, 2, 3}, {1, 2, 3}, {1, 2, 3}, {4, 5, 6}, {4, 5, 6}};
  for (int x = 0; x < 5; ++x) EXPECT_EQ(PixelAt(large, x, 1), expected[x]) << x;
}

// Widths that are not a multiple of 4 keep every row at its padded stride, with zero padding,
// while biSizeImage records the unpadded size.
TEST(Resize, OddWidthsArePaddedRows) {
  Bitmap source = testing::MakePhoto(64, 48);
  Bitmap resized;
  ASSERT_TRUE(Resize(source, 13, 5, &resized));
  EXPECT_EQ(resized.stride(), 40u);
  EXPECT_EQ(resized.bitsBlockSize(), 200u);
  EXPECT_EQ(resized.info().biSizeImage, 13u * 5 * 3);
  for (int y = 0; y < 5; ++y) {
    EXPECT_EQ(resized.row(y)[39], 0);
    EXPECT_EQ(PixelAt(resized, 12, y), PixelAt(source, static_cast<int>(64.0 / 13 * 12), static_cast<int>(48.0 / 5 * y)));
  }
  Bitmap cut;
  ASSERT_TRUE(CenterCrop(source, 13, 5, &cut));
  for (int y = 0; y < 5; ++y) EXPECT_EQ(cut.row(y)[39], 0);
}

TEST(CenterCrop, CutsTheMiddle) {
  Bitmap source = testing::MakePhoto(160, 121);
  Bitmap cut;
  ASSERT_TRUE(CenterCrop(source, 120, 120, &cut));
  EXPECT_EQ(cut.width(), 120);
  EXPECT_EQ(cut.height(), 120);
  for (int y : {0, 60, 119})
    for (int x : {0, 77, 119}) EXPECT_EQ(PixelAt(cut, x, y), PixelAt(source, x + 20, y));
  ASSERT_TRUE(CenterCrop(source, 100, 101, &cut));
  EXPECT_EQ(PixelAt(cut, 0, 0), PixelAt(source, 30, 10));
  EXPECT_FALSE(CenterCrop(source, 161, 100, &cut));
  EXPECT_FALSE(CenterCrop(source, 100, 122, &cut));
  EXPECT_TRUE(cut.empty());
}

TEST(PlanResize, AspectLockCoversTheTarget) {
  struct Case {
    int sourceWidth, sourceHeight, width, height, aspect;
    int resizeWidth, resizeHeight;
  };
  const Case cases[] = {
      {640, 480, 120, 120, 1, 160, 120},    // wider than the target: cut 20 columns a side
      {640, 480, 120, 128, 1, 170, 128},    // 48000 / 128 = 375 percent; 64000 / 375
      {640, 480, 96, 80, 1, 106, 80},
      {1920, 1080, 320, 240, 1, 426, 240},
      {640, 480, 320, 240, 1, 320, 240},    // the frame's own proportions: nothing to cut
      {480, 640, 120, 120, 1, 120, 160},    // taller: rows are cut
      {640, 480, 120, 120, 0, 120, 120},    // stretched
  };
  for (const Case& c : cases) {
    auto plan = PlanResize(c.sourceWidth, c.sourceHeight, c.width, c.height, c.aspect);
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->resizeWidth, c.resizeWidth) << c.width << "x" << c.height;
    EXPECT_EQ(plan->resizeHeight, c.resizeHeight) << c.width << "x" << c.height;
    EXPECT_EQ(plan->crop, c.aspect != 0);
  }
}

TEST(PlanResize, RefusesSizesItCannotMake) {
  EXPECT_FALSE(PlanResize(640, 480, 0, 120, 1));
  EXPECT_FALSE(PlanResize(640, 480, 120, -5, 0));
  EXPECT_FALSE(PlanResize(640, 480, 20000, 120, 0));
  EXPECT_FALSE(PlanResize(1, 480, 640, 120, 1));  // scale below one percent
  EXPECT_FALSE(PlanResize(16384, 2, 16384, 16384, 1));
}

// The one-pass resize and crop gives exactly what resizing and then cutting gives, for many
// shapes, and tone adjustment commutes with both because sampling only copies bytes.
TEST(ResizeAndCrop, EqualsResizeThenCrop) {
  Bitmap source = testing::MakePhoto(203, 151, 7);
  const int targets[][3] = {{120, 120, 1}, {120, 128, 1}, {96, 80, 1}, {33, 17, 1},
                            {320, 240, 1}, {50, 90, 0},   {203, 151, 1}, {1, 1, 1}};
  for (const auto& target : targets) {
    auto plan = PlanResize(source.width(), source.height(), target[0], target[1], target[2]);
    ASSERT_TRUE(plan);
    Bitmap resized, expected, fused;
    ASSERT_TRUE(Resize(source, plan->resizeWidth, plan->resizeHeight, &resized));
    if (plan->crop)
      ASSERT_TRUE(CenterCrop(resized, plan->targetWidth, plan->targetHeight, &expected));
    else
      expected = std::move(resized);
    ASSERT_TRUE(ResizeAndCrop(source, *plan, &fused));
    EXPECT_EQ(fused.width(), target[0]);
    EXPECT_EQ(fused.height(), target[1]);
    EXPECT_EQ(fused.bits(), expected.bits()) << target[0] << "x" << target[1];
    EXPECT_EQ(0, std::memcmp(&fused.info(), &expected.info(), sizeof(BitmapInfoHeader)));

    Bitmap toneFirst = source.Clone(), toneFirstResult, toneLast;
    ASSERT_TRUE(AdjustTone(&toneFirst, 24, -8));
    ASSERT_TRUE(ResizeAndCrop(toneFirst, *plan, &toneFirstResult));
    ASSERT_TRUE(AdjustTone(&fused, 24, -8));
    EXPECT_EQ(fused.bits(), toneFirstResult.bits());
  }
}

// Sampling a frame straight from its file reads the same pixels as sampling it in memory,
// whatever the row order of the file, and refuses a file cut short.
TEST(ResizeAndCrop, FromTheFileEqualsFromMemory) {
  testing::ScratchFolder folder;
  Bitmap frame = testing::MakePhoto(203, 151, 17);
  ASSERT_TRUE(SaveBmp(folder.File("frame.bmp"), frame));
  auto bytes = testing::ReadBytes(folder.File("frame.bmp"));
  const size_t stride = frame.stride();
  std::vector<uint8_t> topDown(bytes.begin(), bytes.begin() + 54);
  testing::PutLe32(topDown, 22, static_cast<uint32_t>(-151));
  for (int y = 150; y >= 0; --y)
    topDown.insert(topDown.end(), bytes.begin() + 54 + y * stride, bytes.begin() + 54 + (y + 1) * stride);
  testing::WriteBytes(folder.File("topdown.bmp"), topDown);

  for (const char* name : {"frame.bmp", "topdown.bmp"}) {
    BmpFile file;
    ASSERT_TRUE(file.Open(folder.File(name)));
    EXPECT_EQ(file.info().biHeight, 151);
    for (auto [width, height, aspect] : {std::tuple{120, 120, 1}, {33, 17, 1}, {400, 300, 0}}) {
      auto plan = PlanResize(203, 151, width, height, aspect);
      ASSERT_TRUE(plan);
      Bitmap fromFile, fromMemory;
      ASSERT_TRUE(ResizeAndCrop(file, *plan, &fromFile));
      ASSERT_TRUE(ResizeAndCrop(frame, *plan, &fromMemory));
      EXPECT_EQ(fromFile.bits(), fromMemory.bits()) << name << " " << width << "x" << height;
      EXPECT_EQ(0, std::memcmp(&fromFile.info(), &fromMemory.info(), sizeof(BitmapInfoHeader)));
    }
  }

  // The file shrinks after it was opened: the rows no longer there cannot be read.
  BmpFile file;
  ASSERT_TRUE(file.Open(folder.File("frame.bmp")));
  ASSERT_EQ(truncate(folder.File("frame.bmp").c_str(), 54 + 10 * static_cast<off_t>(stride)), 0);
  Bitmap out;
  EXPECT_FALSE(ResizeAndCrop(file, *PlanResize(203, 151, 120, 120, 1), &out));
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace qv
