#include "app/image/reduce.h"

#include <gtest/gtest.h>

#include <set>

#include "app/image/median_cut.h"
#include "app/image/testing/test_pictures.h"

namespace qv {
namespace {

using testing::Bgr;
using testing::PixelAt;
using testing::ReadBytes;
using testing::ScratchFolder;

TEST(ColorSelector, PageCodesMapToCountsAndSelectors) {
  EXPECT_EQ(ColorSelectorFromCode(1), 8);
  EXPECT_EQ(ColorSelectorFromCode(24), 192);
  EXPECT_EQ(ColorSelectorFromCode(32), 256);
  EXPECT_EQ(ColorSelectorFromCode(33), kPopularityPalette);
  EXPECT_EQ(ColorSelectorFromCode(34), kTruncate15Bits);
  EXPECT_EQ(ColorSelectorFromCode(35), kTruncate16Bits);
  EXPECT_EQ(ColorSelectorFromCode(36), kNoReduction);
  // Hand-edited values.
  EXPECT_EQ(ColorSelectorFromCode(37), 37);
  EXPECT_EQ(ColorSelectorFromCode(200), 200);
  EXPECT_EQ(ColorSelectorFromCode(256), 256);
  EXPECT_EQ(ColorSelectorFromCode(257), 256);
  EXPECT_EQ(ColorSelectorFromCode(4096), kPopularityPalette);
  EXPECT_EQ(ColorSelectorFromCode(32768), kTruncate15Bits);
  EXPECT_EQ(ColorSelectorFromCode(65536), kTruncate16Bits);
  EXPECT_EQ(ColorSelectorFromCode(16777216), kNoReduction);
  EXPECT_EQ(ColorSelectorFromCode(5000), 256);
  EXPECT_EQ(ColorSelectorFromCode(0), 8);
  EXPECT_EQ(ColorSelectorFromCode(-3), 8);

  EXPECT_EQ(PngColorCount(kPopularityPalette), 256);
  EXPECT_EQ(PngColorCount(192), 192);
  EXPECT_GT(PngColorCount(kNoReduction), 256);
  EXPECT_GT(PngColorCount(kTruncate15Bits), 256);
}

TEST(PopularityPalette, OneColourTakesItsCellCorner) {
  Bitmap white = Bitmap::Create(6, 3, 24);
  std::fill(white.bits().begin(), white.bits().end(), 255);
  Bitmap result;
  ASSERT_TRUE(ReducePopularity(white, &result));
  ASSERT_EQ(result.bitCount(), 8);
  ASSERT_EQ(result.palette().size(), 256u);
  EXPECT_EQ(result.info().biClrUsed, 0u);
  EXPECT_EQ(result.stride(), 8u);
  const uint8_t index = result.row(0)[0];
  const RgbQuad& entry = result.palette()[index];
  EXPECT_EQ(entry.rgbRed, 240);
  EXPECT_EQ(entry.rgbGreen, 240);
  EXPECT_EQ(entry.rgbBlue, 240);
  for (int y = 0; y < 3; ++y) {
    for (int x = 0; x < 6; ++x) EXPECT_EQ(result.row(y)[x], index);
    EXPECT_EQ(result.row(y)[6], 0);  // padding
  }
}

TEST(PopularityPalette, MostFrequentCellsMakeTheTable) {
  // 300 distinct cells, cell k used k + 1 times: the 44 rarest ones are left out.
  std::vector<Bgr> colours;
  for (int k = 0; k < 300; ++k) {
    const Bgr c{(k % 16) * 16 + 5, ((k / 16) % 16) * 16 + 5, (k / 256) * 16 + 5};
    for (int n = 0; n <= k; ++n) colours.push_back(c);
  }
  const int width = 300;
  const int height = static_cast<int>((colours.size() + width - 1) / width);
  Bitmap picture = Bitmap::Create(width, height, 24);
  for (size_t i = 0; i < colours.size(); ++i)
    testing::SetPixel(picture, static_cast<int>(i % width), static_cast<int>(i / width), colours[i]);
  // The rest of the last row repeats the most frequent colour.
  for (size_t i = colours.size(); i < static_cast<size_t>(width) * height; ++i)
    testing::SetPixel(picture, static_cast<int>(i % width), height - 1, colours.back());
  Bitmap result;
  ASSERT_TRUE(ReducePopularity(picture, &result));
  std::set<std::vector<int>> table;
  for (const RgbQuad& e : result.palette()) table.insert({e.rgbBlue, e.rgbGreen, e.rgbRed});
  EXPECT_EQ(table.size(), 256u);
  for (int k = 0; k < 300; ++k) {
    const std::vector<int> corner{(k % 16) * 16, ((k / 16) % 16) * 16, (k / 256) * 16};
    EXPECT_EQ(table.count(corner), k >= 44 ? 1u : 0u) << k;
  }
  // Sorted by blue x green x red.
  for (int k = 1; k < 256; ++k) {
    const RgbQuad& a = result.palette()[k - 1];
    const RgbQuad& b = result.palette()[k];
    EXPECT_LE(a.rgbBlue * a.rgbGreen * a.rgbRed, b.rgbBlue * b.rgbGreen * b.rgbRed);
  }
  // Every pixel takes the nearest entry: its own corner when that is in the table.
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const Bgr pixel = PixelAt(picture, x, y);
      const int k = (pixel.blue - 5) / 16 + (pixel.green - 5) / 16 * 16 + (pixel.red - 5) / 16 * 256;
      if (k < 44) continue;
      const RgbQuad& e = result.palette()[result.row(y)[x]];
      ASSERT_EQ((Bgr{e.rgbBlue, e.rgbGreen, e.rgbRed}), (Bgr{pixel.blue - 5, pixel.green - 5, pixel.red - 5}))
          << x << "," << y;
    }
}

TEST(TruncateChannels, CutsLowBits) {
  Bitmap picture = Bitmap::Create(3, 1, 24);
  std::fill(picture.bits().begin(), picture.bits().begin() + 9, 0xFF);
  Bitmap result;
  ASSERT_TRUE(TruncateChannels(picture, kTruncate15Bits, &result));
  EXPECT_EQ(PixelAt(result, 2, 0), (Bgr{0xF8, 0xF8, 0xF8}));
  ASSERT_TRUE(TruncateChannels(picture, kTruncate16Bits, &result));
  EXPECT_EQ(PixelAt(result, 0, 0), (Bgr{0xF8, 0xFC, 0xF8}));
  EXPECT_EQ(result.bitCount(), 24);
  EXPECT_FALSE(TruncateChannels(picture, 256, &result));
  Bitmap indexed = Bitmap::Create(3, 1, 8, 256);
  EXPECT_FALSE(TruncateChannels(indexed, kTruncate15Bits, &result));
  EXPECT_FALSE(ReducePopularity(indexed, &result));
}

class ReduceColorsFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    photo_ = testing::MakePhoto(30, 20, 11);
    ASSERT_TRUE(SaveBmp(source_, photo_));
  }
  PictSettings Profile(int colorNum, int colQuality = 2) {
    PictSettings profile;
    profile.ColorNum = colorNum;
    profile.ColQuality = colQuality;
    return profile;
  }
  ScratchFolder folder_;
  std::string source_ = folder_.File("QVTmp001.___");
  std::string destination_ = folder_.File("QVTmp002.___");
  Bitmap photo_;
};

TEST_F(ReduceColorsFiles, EachCodeWritesItsKindOfPicture) {
  Bitmap result;
  ASSERT_TRUE(ReduceColors(source_, destination_, Profile(36)));
  EXPECT_EQ(ReadBytes(destination_), ReadBytes(source_));

  ASSERT_TRUE(ReduceColors(source_, destination_, Profile(33)));
  ASSERT_TRUE(LoadBmp(destination_, &result));
  EXPECT_EQ(result.bitCount(), 8);
  EXPECT_EQ(testing::Le32(ReadBytes(destination_), 10), 1078u);

  ASSERT_TRUE(ReduceColors(source_, destination_, Profile(34)));
  ASSERT_TRUE(LoadBmp(destination_, &result));
  EXPECT_EQ(result.bitCount(), 24);
  for (int x = 0; x < 30; ++x) EXPECT_EQ(PixelAt(result, x, 5).green & 7, 0);

  ASSERT_TRUE(ReduceColors(source_, destination_, Profile(35)));
  ASSERT_TRUE(LoadBmp(destination_, &result));
  for (int x = 0; x < 30; ++x) {
    EXPECT_EQ(PixelAt(result, x, 5).green, PixelAt(photo_, x, 5).green & 0xFC);
    EXPECT_EQ(PixelAt(result, x, 5).red, PixelAt(photo_, x, 5).red & 0xF8);
  }

  ASSERT_TRUE(ReduceColors(source_, destination_, Profile(2)));  // 16 colours
  ASSERT_TRUE(LoadBmp(destination_, &result));
  EXPECT_EQ(result.bitCount(), 8);
  std::set<int> used(result.bits().begin(), result.bits().end());
  EXPECT_LE(used.size(), 16u);
  EXPECT_GT(used.size(), 8u);
}

TEST_F(ReduceColorsFiles, FailuresRemoveTheOldDestination) {
  std::string error;
  testing::WriteBytes(destination_, {1, 2, 3});
  EXPECT_FALSE(ReduceColors(source_, destination_, Profile(24, 5), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(testing::FileExists(destination_));

  for (int code : {33, 34, 24, 36}) {
    testing::WriteBytes(destination_, {1, 2, 3});
    error.clear();
    EXPECT_FALSE(ReduceColors(folder_.File("missing"), destination_, Profile(code), &error)) << code;
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(testing::FileExists(destination_)) << code;
  }
  Bitmap indexed = Bitmap::Create(4, 4, 8, 256);
  ASSERT_TRUE(SaveBmp(source_, indexed));
  for (int code : {33, 34, 35, 24}) {
    error.clear();
    EXPECT_FALSE(ReduceColors(source_, destination_, Profile(code), &error)) << code;
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(testing::FileExists(destination_));
  }
}

}  // namespace
}  // namespace qv
