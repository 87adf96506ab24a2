#include "app/image/median_cut.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <set>

#include "app/image/testing/test_pictures.h"
#include "platform/testing/bmp_fixtures.h"

namespace qv {
namespace {

using testing::Bgr;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::SetPixel;

struct Rgb {
  int red, green, blue;
  bool operator==(const Rgb&) const = default;
};

Rgb EntryOf(const Bitmap& result, int index) {
  const RgbQuad& q = result.palette()[index];
  return {q.rgbRed, q.rgbGreen, q.rgbBlue};
}

// Runs the engine on an in-memory picture; the result code must be 0.
Bitmap Quantize(const Bitmap& picture, int colorCount, int precision) {
  BitmapRowReader reader(picture);
  BitmapRowWriter writer;
  MedianCutOptions options;
  options.colorCount = colorCount;
  options.precision = precision;
  EXPECT_EQ(RunMedianCut(reader, writer, options), kMedianCutDone);
  return std::move(writer.bitmap());
}

// A picture made of the given colours (red, green, blue), each `repeat` pixels, in one row.
Bitmap PictureOf(const std::vector<Rgb>& colours, int repeat = 1) {
  Bitmap picture = Bitmap::Create(static_cast<int>(colours.size()) * repeat, 1, 24);
  for (size_t i = 0; i < colours.size(); ++i)
    for (int k = 0; k < repeat; ++k)
      SetPixel(picture, static_cast<int>(i) * repeat + k, 0, {colours[i].blue, colours[i].green, colours[i].red});
  return picture;
}

TEST(MedianCut, OneColourIsTheCountWeightedMeanAtCellPrecision) {
  // At precision 0 the cells of 200, 100, 10 are at levels 192, 96, 0 and those of 50, 60, 70
  // all at 64; the first colour counts three times.
  Bitmap picture = PictureOf({{200, 100, 10}, {200, 100, 10}, {200, 100, 10}, {50, 60, 70}});
  Bitmap result = Quantize(picture, 1, 0);
  EXPECT_EQ(EntryOf(result, 0), (Rgb{160, 88, 16}));
  for (int k = 1; k < 256; ++k) EXPECT_EQ(EntryOf(result, k), (Rgb{0, 0, 0})) << k;
  for (int x = 0; x < 4; ++x) EXPECT_EQ(result.row(0)[x], 0);
}

TEST(MedianCut, FewerCellsThanColoursLeavesTheRestBlack) {
  // Colours exactly on cell levels, so the mapping leaves no error to spread.
  const std::vector<Rgb> colours = {{224, 32, 0}, {0, 255, 64}, {96, 96, 96}};
  Bitmap picture = PictureOf(colours, 5);
  Bitmap result = Quantize(picture, 8, 0);
  std::set<std::vector<int>> entries;
  int black = 0;
  for (int k = 0; k < 8; ++k) {
    Rgb entry = EntryOf(result, k);
    if (entry == Rgb{0, 0, 0}) ++black;
    entries.insert({entry.red, entry.green, entry.blue});
  }
  EXPECT_EQ(black, 5);
  for (const Rgb& c : colours) EXPECT_TRUE(entries.count({c.red, c.green, c.blue}));
  for (int x = 0; x < picture.width(); ++x) EXPECT_EQ(EntryOf(result, result.row(0)[x]), colours[x / 5]);
  // Entries are ordered by blue x green x red.
  for (int k = 1; k < 8; ++k) {
    Rgb a = EntryOf(result, k - 1), b = EntryOf(result, k);
    EXPECT_LE(a.red * a.green * a.blue, b.red * b.green * b.blue);
  }
}

TEST(MedianCut, SplitsAcrossTheLongestSideGreenFirst) {
  // All three sides equally long: the cut goes across green.
  Bitmap result = Quantize(PictureOf({{0, 0, 0}, {255, 0, 255}, {0, 255, 255}, {255, 255, 0}}), 2, 0);
  EXPECT_EQ(EntryOf(result, 0), (Rgb{128, 0, 128}));
  EXPECT_EQ(EntryOf(result, 1), (Rgb{128, 255, 128}));
  // Green short, red and blue equal: the cut goes across blue.
  result = Quantize(PictureOf({{0, 0, 0}, {255, 0, 255}, {0, 32, 255}, {255, 32, 0}}), 2, 0);
  EXPECT_EQ(EntryOf(result, 0), (Rgb{128, 16, 0}));
  EXPECT_EQ(EntryOf(result, 1), (Rgb{128, 16, 255}));
  // Red longest.
  result = Quantize(PictureOf({{0, 0, 0}, {255, 32, 32}, {0, 32, 0}, {255, 0, 32}}), 2, 0);
  EXPECT_EQ(EntryOf(result, 0), (Rgb{0, 16, 0}));
  EXPECT_EQ(EntryOf(result, 1), (Rgb{255, 16, 32}));
}

TEST(MedianCut, EqualExtentsSplitTheLowerBox) {
  // The first cut (across blue) leaves two boxes of equal extent, one green step pair each;
  // the lower-numbered one, holding the dark pair, is split next.
  Bitmap result = Quantize(PictureOf({{0, 0, 0}, {0, 64, 0}, {255, 0, 255}, {255, 64, 255}}), 3, 0);
  std::set<std::vector<int>> entries;
  for (int k = 0; k < 3; ++k) {
    Rgb entry = EntryOf(result, k);
    entries.insert({entry.red, entry.green, entry.blue});
  }
  EXPECT_EQ(entries, (std::set<std::vector<int>>{{0, 0, 0}, {0, 64, 0}, {255, 32, 255}}));
}

TEST(MedianCut, GreyRampSplitsIntoWeightedMeans) {
  // A ramp of every grey once, 8 steps a channel: the 9 diagonal cells hold 16, 32 x 7, 16
  // pixels. The cuts: 0-4 | 5-8, then 0-2 | 3-4, then 5-6 | 7-8.
  Bitmap ramp = Bitmap::Create(256, 1, 24);
  for (int v = 0; v < 256; ++v) SetPixel(ramp, v, 0, {v, v, v});
  Bitmap result = Quantize(ramp, 4, 0);
  const int expected[] = {38, 112, 176, 234};
  for (int k = 0; k < 4; ++k) EXPECT_EQ(EntryOf(result, k), (Rgb{expected[k], expected[k], expected[k]})) << k;
}

// Grey 111, 100, 112 at 8 steps a channel: cells 3, 3, 4 make the table 96, 128. Scanned right
// to left (the top row), 112 is first and sits halfway: the lower entry wins, is remembered for
// cell 4, and so the error-raised 117 at the left end maps to 96 as well. Scanned left to right
// (the second row), 117 is the first to reach cell 4 and maps to 128.
TEST(MedianCut, RowsAlternateDirectionStartingRightToLeft) {
  auto grey = [](int v) { return testing::Bgr{v, v, v}; };
  Bitmap oneRow = Bitmap::Create(3, 1, 24);
  const int pattern[] = {111, 100, 112};
  for (int x = 0; x < 3; ++x) SetPixel(oneRow, x, 0, grey(pattern[x]));
  Bitmap result = Quantize(oneRow, 2, 0);
  ASSERT_EQ(EntryOf(result, 0), (Rgb{96, 96, 96}));
  ASSERT_EQ(EntryOf(result, 1), (Rgb{128, 128, 128}));
  EXPECT_EQ(std::vector<int>(result.row(0), result.row(0) + 3), (std::vector<int>{0, 0, 0}));

  // The same pattern under a top row that maps without error.
  Bitmap twoRows = Bitmap::Create(3, 2, 24);
  for (int x = 0; x < 3; ++x) {
    SetPixel(twoRows, x, 1, grey(96));
    SetPixel(twoRows, x, 0, grey(pattern[x]));
  }
  result = Quantize(twoRows, 2, 0);
  ASSERT_EQ(EntryOf(result, 1), (Rgb{128, 128, 128}));
  EXPECT_EQ(std::vector<int>(result.row(0), result.row(0) + 3), (std::vector<int>{0, 0, 1}));
}

// The error carried to the neighbours keeps the local average of the picture: block means of
// the mapped picture stay close to those of a smooth ramp, though it has only four colours
// (without the diffusion a block would sit on one entry, up to 32 away).
TEST(MedianCut, ErrorDiffusionKeepsLocalAverages) {
  Bitmap ramp = Bitmap::Create(256, 64, 24);
  for (int y = 0; y < 64; ++y)
    for (int x = 0; x < 256; ++x) SetPixel(ramp, x, y, {x, x, x});
  Bitmap result = Quantize(ramp, 4, 4);
  const int darkest = result.palette()[0].rgbGreen, brightest = result.palette()[3].rgbGreen;
  ASSERT_LT(darkest, 48);
  ASSERT_GT(brightest, 208);
  double worst = 0;
  // Blocks within the range of the table: outside it no mix of entries can reach the value.
  for (int block = 0; block < 16; ++block) {
    if (block * 16 < darkest || block * 16 + 15 > brightest) continue;
    double in = 0, out = 0;
    for (int y = 16; y < 48; ++y)
      for (int x = block * 16; x < block * 16 + 16; ++x) {
        in += ramp.row(y)[x * 3 + 1];
        out += result.palette()[result.row(y)[x]].rgbGreen;
      }
    worst = std::max(worst, std::fabs(in - out) / (32 * 16));
  }
  EXPECT_LT(worst, 3.5);
}

TEST(MedianCut, PhotographKeepsItsDetailAt256Colours) {
  Bitmap photo = testing::MakePhoto(160, 120, 3);
  Bitmap result = Quantize(photo, 256, 4);
  Bitmap back;
  ASSERT_TRUE(ConvertTo24Bits(result, &back));
  EXPECT_GT(testing::Psnr(photo, back), 30.0);
  std::set<int> used(result.bits().begin(), result.bits().end());
  EXPECT_GT(used.size(), 200u);
}

TEST(MedianCut, ColourCountsAreClampedToTheTable) {
  Bitmap photo = testing::MakePhoto(40, 30, 5);
  Bitmap many = Quantize(photo, 100000, 2);
  Bitmap most = Quantize(photo, 256, 2);
  EXPECT_EQ(many.bits(), most.bits());
  EXPECT_EQ(0, std::memcmp(many.palette().data(), most.palette().data(), 1024));
  Bitmap none = Quantize(photo, 0, 2);
  Bitmap one = Quantize(photo, 1, 2);
  EXPECT_EQ(none.bits(), one.bits());
}

TEST(MedianCutFiles, WritesAnEightBitBmp) {
  ScratchFolder folder;
  Bitmap photo = testing::MakePhoto(37, 11, 9);  // odd width: padded rows in and out
  ASSERT_TRUE(SaveBmp(folder.File("in.bmp"), photo));
  MedianCutOptions options;
  options.colorCount = 64;
  options.precision = 3;
  ASSERT_EQ(RunMedianCutFiles(folder.File("in.bmp"), folder.File("out.bmp"), options), kMedianCutDone);
  auto bytes = ReadBytes(folder.File("out.bmp"));
  ASSERT_EQ(bytes.size(), 1078u + 40 * 11);
  EXPECT_EQ(testing::Le32(bytes, 2), bytes.size());
  EXPECT_EQ(testing::Le32(bytes, 10), 1078u);
  Bitmap loaded;
  ASSERT_TRUE(LoadBmp(folder.File("out.bmp"), &loaded));
  EXPECT_EQ(loaded.bitCount(), 8);
  EXPECT_EQ(loaded.info().biSizeImage, 40u * 11);
  Bitmap inMemory = Quantize(photo, 64, 3);
  EXPECT_EQ(loaded.bits(), inMemory.bits());
  for (int y = 0; y < 11; ++y)
    for (int x = 37; x < 40; ++x) EXPECT_EQ(loaded.row(y)[x], 0);

  // A top-down twin and a file with a gap before its pixels give the same picture.
  auto source = ReadBytes(folder.File("in.bmp"));
  std::vector<uint8_t> topDown(source.begin(), source.begin() + 54);
  testing::PutLe32(topDown, 22, static_cast<uint32_t>(-11));
  for (int y = 10; y >= 0; --y)
    topDown.insert(topDown.end(), source.begin() + 54 + y * 112, source.begin() + 54 + (y + 1) * 112);
  testing::WriteBytes(folder.File("topdown.bmp"), topDown);
  std::vector<uint8_t> gap(source.begin(), source.begin() + 54);
  testing::PutLe32(gap, 10, 54 + 20);
  gap.insert(gap.end(), 20, 0xAB);
  gap.insert(gap.end(), source.begin() + 54, source.end());
  testing::WriteBytes(folder.File("gap.bmp"), gap);
  for (const char* name : {"topdown.bmp", "gap.bmp"}) {
    ASSERT_EQ(RunMedianCutFiles(folder.File(name), folder.File("twin.bmp"), options), kMedianCutDone) << name;
    EXPECT_EQ(ReadBytes(folder.File("twin.bmp")), bytes) << name;
  }
}

TEST(MedianCutFiles, ReaderTakesEveryLayoutAtTwentyFourBits) {
  ScratchFolder folder;
  for (const auto& fixture : bmp_fixtures::Fixtures()) {
    testing::WriteBytes(folder.File("f.bmp"), fixture.bytes);
    const int fd = open(folder.File("f.bmp").c_str(), O_RDONLY | O_CLOEXEC);
    BmpFileRowReader reader(fd);
    BitmapInfoHeader info;
    const int result = reader.ReadHeader(&info);
    EXPECT_TRUE(result == kMedianCutDone || result == kMedianCutBadInput) << fixture.layout.name;
    std::vector<uint32_t> pixels;
    uint8_t row[3 * bmp_fixtures::kWidth];
    for (int r = 1; result == kMedianCutDone && r <= info.biHeight && reader.ReadRow(r, row); ++r)
      for (int x = 0; x < info.biWidth; ++x) pixels.push_back(uint32_t(row[3 * x + 2]) << 16 | row[3 * x + 1] << 8 | row[3 * x]);
    bmp_fixtures::ExpectReadBack(fixture, kBmpDepth24, result == kMedianCutDone, pixels);
    close(fd);
  }
}

TEST(MedianCutFiles, ResultCodesLeaveNoFileBehind) {
  ScratchFolder folder;
  const std::string out = folder.File("out.bmp");
  Bitmap photo = testing::MakePhoto(8, 6);
  ASSERT_TRUE(SaveBmp(folder.File("in.bmp"), photo));
  MedianCutOptions options;
  options.precision = 5;
  EXPECT_EQ(RunMedianCutFiles(folder.File("in.bmp"), out, options), kMedianCutOpenFailed);
  EXPECT_FALSE(testing::FileExists(out));
  options.precision = -1;
  EXPECT_EQ(RunMedianCutFiles(folder.File("in.bmp"), out, options), kMedianCutOpenFailed);
  options.precision = 2;
  EXPECT_EQ(RunMedianCutFiles(folder.File("missing.bmp"), out, options), kMedianCutOpenFailed);
  EXPECT_EQ(RunMedianCutFiles(folder.File("in.bmp"), folder.File("no/dir/out.bmp"), options),
            kMedianCutOpenFailed);

  Bitmap indexed = Bitmap::Create(8, 6, 8, 256);
  ASSERT_TRUE(SaveBmp(folder.File("indexed.bmp"), indexed));
  EXPECT_EQ(RunMedianCutFiles(folder.File("indexed.bmp"), out, options), kMedianCutBadInput);
  EXPECT_FALSE(testing::FileExists(out));

  // Every shortened copy of the file is refused.
  auto bytes = ReadBytes(folder.File("in.bmp"));
  for (size_t length = 0; length < bytes.size(); ++length) {
    testing::WriteBytes(folder.File("cut.bmp"), std::vector<uint8_t>(bytes.begin(), bytes.begin() + length));
    const int result = RunMedianCutFiles(folder.File("cut.bmp"), out, options);
    EXPECT_TRUE(result == kMedianCutReadFailed || result == kMedianCutBadInput) << length << " " << result;
    EXPECT_FALSE(testing::FileExists(out));
  }
  // Oversized dimensions.
  for (uint32_t width : {0u, 16385u, 0x80000000u}) {
    auto bad = bytes;
    testing::PutLe32(bad, 18, width);
    testing::WriteBytes(folder.File("bad.bmp"), bad);
    EXPECT_EQ(RunMedianCutFiles(folder.File("bad.bmp"), out, options), kMedianCutBadInput) << width;
  }
  auto huge = bytes;
  testing::PutLe32(huge, 18, 16384);
  testing::PutLe32(huge, 22, 16384);
  testing::WriteBytes(folder.File("huge.bmp"), huge);
  EXPECT_EQ(RunMedianCutFiles(folder.File("huge.bmp"), out, options), kMedianCutReadFailed);
}

TEST(MedianCutFiles, ProgressHookSeesEveryRowAndCanCancel) {
  ScratchFolder folder;
  const std::string out = folder.File("out.bmp");
  ASSERT_TRUE(SaveBmp(folder.File("in.bmp"), testing::MakePhoto(8, 6)));
  std::vector<int> rows;
  MedianCutOptions options;
  options.precision = 1;
  options.progress = [&](int row, int height) {
    EXPECT_EQ(height, 6);
    rows.push_back(row);
    return true;
  };
  ASSERT_EQ(RunMedianCutFiles(folder.File("in.bmp"), out, options), kMedianCutDone);
  EXPECT_EQ(rows, (std::vector<int>{1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5, 6}));

  int calls = 0;
  options.progress = [&](int, int) { return ++calls < 3; };
  EXPECT_EQ(RunMedianCutFiles(folder.File("in.bmp"), out, options), kMedianCutCancelledCounting);
  EXPECT_FALSE(testing::FileExists(out));
  calls = 0;
  options.progress = [&](int, int) { return ++calls < 8; };
  EXPECT_EQ(RunMedianCutFiles(folder.File("in.bmp"), out, options), kMedianCutCancelledMapping);
  EXPECT_FALSE(testing::FileExists(out));
}

}  // namespace
}  // namespace qv
