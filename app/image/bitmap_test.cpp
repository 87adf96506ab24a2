#include "app/image/bitmap.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>

#include "app/image/testing/test_pictures.h"
#include "platform/testing/bmp_fixtures.h"

namespace qv {
namespace {

using testing::Bgr;
using testing::Le32;
using testing::PixelAt;
using testing::PutLe32;
using testing::ReadBytes;
using testing::ScratchFolder;
using testing::WriteBytes;

// A BMP file laid out by hand, the way other programs write them.
struct HandMadeBmp {
  int width = 4;
  int height = 2;
  int bitCount = 24;
  uint32_t compression = 0;
  uint32_t clrUsed = 0;
  uint32_t sizeImage = 0;  // 0: leave it 0
  size_t gap = 0;          // bytes between the colour table and the pixels
  std::vector<uint8_t> table;   // raw colour table bytes
  std::vector<uint8_t> pixels;  // raw pixel rows as they stand in the file

  std::vector<uint8_t> Bytes() const {
    std::vector<uint8_t> bytes(54, 0);
    bytes[0] = 'B';
    bytes[1] = 'M';
    const uint32_t offBits = static_cast<uint32_t>(54 + table.size() + gap);
    PutLe32(bytes, 2, static_cast<uint32_t>(offBits + pixels.size()));
    PutLe32(bytes, 10, offBits);
    PutLe32(bytes, 14, 40);
    PutLe32(bytes, 18, static_cast<uint32_t>(width));
    PutLe32(bytes, 22, static_cast<uint32_t>(height));
    bytes[26] = 1;
    bytes[28] = static_cast<uint8_t>(bitCount);
    PutLe32(bytes, 30, compression);
    PutLe32(bytes, 34, sizeImage);
    PutLe32(bytes, 46, clrUsed);
    bytes.insert(bytes.end(), table.begin(), table.end());
    bytes.insert(bytes.end(), gap, 0xEE);
    bytes.insert(bytes.end(), pixels.begin(), pixels.end());
    return bytes;
  }
};

// A 256-entry table where entry i is (blue i, green 255 - i, red i / 2).
std::vector<uint8_t> GradientTable(int entries) {
  std::vector<uint8_t> table;
  for (int i = 0; i < entries; ++i) {
    table.push_back(static_cast<uint8_t>(i));
    table.push_back(static_cast<uint8_t>(255 - i));
    table.push_back(static_cast<uint8_t>(i / 2));
    table.push_back(0);
  }
  return table;
}

TEST(BitmapFiles, SavedPicturesReloadIdenticallyWithTheirOffsets) {
  ScratchFolder folder;
  // 24-bit, width 5 so the rows carry padding.
  Bitmap photo = testing::MakePhoto(5, 3);
  ASSERT_TRUE(SaveBmp(folder.File("a.bmp"), photo));
  auto bytes = ReadBytes(folder.File("a.bmp"));
  ASSERT_EQ(bytes.size(), 14u + 40 + 16 * 3);
  EXPECT_EQ(Le32(bytes, 10), 54u);
  EXPECT_EQ(Le32(bytes, 2), bytes.size());
  Bitmap reloaded;
  ASSERT_TRUE(LoadBmp(folder.File("a.bmp"), &reloaded));
  EXPECT_EQ(0, std::memcmp(&reloaded.info(), &photo.info(), 40));
  EXPECT_EQ(reloaded.bits(), photo.bits());
  EXPECT_TRUE(reloaded.palette().empty());
  ASSERT_TRUE(SaveBmp(folder.File("b.bmp"), reloaded));
  EXPECT_EQ(ReadBytes(folder.File("b.bmp")), bytes);

  // 8-bit with a full table.
  Bitmap indexed = Bitmap::Create(6, 2, 8, 256);
  for (int i = 0; i < 256; ++i) indexed.palette()[i] = {uint8_t(i), uint8_t(255 - i), uint8_t(i / 3), 0};
  for (size_t i = 0; i < indexed.bits().size(); ++i) indexed.bits()[i] = static_cast<uint8_t>(i * 37);
  ASSERT_TRUE(SaveBmp(folder.File("c.bmp"), indexed));
  bytes = ReadBytes(folder.File("c.bmp"));
  EXPECT_EQ(Le32(bytes, 10), 1078u);
  EXPECT_EQ(bytes.size(), 1078u + 16);
  ASSERT_TRUE(LoadBmp(folder.File("c.bmp"), &reloaded));
  EXPECT_EQ(reloaded.headerBlockSize(), 1064u);
  EXPECT_EQ(reloaded.bits(), indexed.bits());
  EXPECT_EQ(0, std::memcmp(reloaded.palette().data(), indexed.palette().data(), 1024));
}

TEST(BitmapFiles, LoaderWorksOutSizesAndSkipsGaps) {
  ScratchFolder folder;
  HandMadeBmp file;
  file.width = 3;  // 9 bytes a row, padded to 12
  file.height = 2;
  for (int i = 0; i < 24; ++i) file.pixels.push_back(static_cast<uint8_t>(i % 12 < 9 ? 10 + i : 0));
  file.gap = 12;  // e.g. bit masks another writer left before the pixels
  WriteBytes(folder.File("gap.bmp"), file.Bytes());
  Bitmap bitmap;
  ASSERT_TRUE(LoadBmp(folder.File("gap.bmp"), &bitmap));
  EXPECT_EQ(bitmap.bits(), file.pixels);  // biSizeImage is 0: size from the dimensions
  EXPECT_EQ(PixelAt(bitmap, 0, 1), (Bgr{22, 23, 24}));

  // A top-down file is turned bottom-up.
  auto bytes = file.Bytes();
  PutLe32(bytes, 22, static_cast<uint32_t>(-2));
  WriteBytes(folder.File("topdown.bmp"), bytes);
  ASSERT_TRUE(LoadBmp(folder.File("topdown.bmp"), &bitmap));
  EXPECT_EQ(bitmap.height(), 2);
  EXPECT_EQ(PixelAt(bitmap, 0, 0), (Bgr{22, 23, 24}));
  EXPECT_EQ(PixelAt(bitmap, 0, 1), (Bgr{10, 11, 12}));
}

TEST(BitmapFiles, LoaderRefusesWhatItCannotHold) {
  ScratchFolder folder;
  HandMadeBmp good;
  good.pixels.assign(24, 7);
  auto refused = [&](std::vector<uint8_t> bytes) {
    WriteBytes(folder.File("bad.bmp"), bytes);
    Bitmap bitmap;
    std::string error;
    const bool loaded = LoadBmp(folder.File("bad.bmp"), &bitmap, &error);
    return !loaded && bitmap.empty() && !error.empty();
  };
  EXPECT_FALSE(refused(good.Bytes()));
  auto bytes = good.Bytes();
  bytes[0] = 'X';
  EXPECT_TRUE(refused(bytes));
  bytes = good.Bytes();
  PutLe32(bytes, 14, 64);  // another header size
  EXPECT_TRUE(refused(bytes));
  for (int32_t width : {0, -4, 16385, 0x7FFFFFFF}) {
    bytes = good.Bytes();
    PutLe32(bytes, 18, static_cast<uint32_t>(width));
    EXPECT_TRUE(refused(bytes)) << width;
  }
  for (int32_t height : {0, 16385, -16385, INT32_MIN}) {
    bytes = good.Bytes();
    PutLe32(bytes, 22, static_cast<uint32_t>(height));
    EXPECT_TRUE(refused(bytes)) << height;
  }
  // Large dimensions whose pixels the file does not hold.
  bytes = good.Bytes();
  PutLe32(bytes, 18, 16384);
  PutLe32(bytes, 22, 16384);
  EXPECT_TRUE(refused(bytes));
  bytes = good.Bytes();
  bytes[28] = 7;  // no such depth
  EXPECT_TRUE(refused(bytes));
  bytes = good.Bytes();
  PutLe32(bytes, 30, 1);  // run-length encoded
  EXPECT_TRUE(refused(bytes));
  bytes = good.Bytes();
  PutLe32(bytes, 46, 257);  // colour table larger than 256 entries
  EXPECT_TRUE(refused(bytes));
  bytes = good.Bytes();
  PutLe32(bytes, 46, 0xFFFFFFFF);
  EXPECT_TRUE(refused(bytes));
  Bitmap missing;
  EXPECT_FALSE(LoadBmp(folder.File("missing.bmp"), &missing));
}

// Every prefix of a valid file is refused or loaded, never read past its end (the sanitizer
// build watches the reads).
TEST(BitmapFiles, EveryTruncationIsRefusedCleanly) {
  ScratchFolder folder;
  HandMadeBmp indexed;
  indexed.width = 5;
  indexed.height = 3;
  indexed.bitCount = 8;
  indexed.table = GradientTable(256);
  indexed.pixels.assign(24, 3);
  HandMadeBmp rgb;
  rgb.width = 5;
  rgb.height = 3;
  rgb.pixels.assign(48, 9);
  for (const auto& file : {indexed.Bytes(), rgb.Bytes()}) {
    for (size_t length = 0; length < file.size(); ++length) {
      WriteBytes(folder.File("cut.bmp"), std::vector<uint8_t>(file.begin(), file.begin() + length));
      Bitmap bitmap;
      EXPECT_FALSE(LoadBmp(folder.File("cut.bmp"), &bitmap)) << length;
      EXPECT_TRUE(bitmap.empty());
    }
    WriteBytes(folder.File("whole.bmp"), file);
    Bitmap bitmap;
    EXPECT_TRUE(LoadBmp(folder.File("whole.bmp"), &bitmap));
  }
}

// Every layout other writers use reads back its known pixels after the 24-bit conversion, and
// again after a save (which keeps the bit-field masks); the rest is refused.
TEST(BitmapFiles, EveryAcceptedLayoutReadsBackItsPixels) {
  ScratchFolder folder;
  for (const auto& fixture : bmp_fixtures::Fixtures()) {
    WriteBytes(folder.File("f.bmp"), fixture.bytes);
    for (int pass = 0; pass < 2; ++pass) {
      Bitmap loaded, rgb;
      bool read = LoadBmp(folder.File("f.bmp"), &loaded);
      read = read && (loaded.bitCount() == 24 ? (rgb = loaded.Clone(), true) : ConvertTo24Bits(loaded, &rgb));
      std::vector<uint32_t> pixels;
      for (int y = rgb.height() - 1; y >= 0; --y)
        for (int x = 0; x < rgb.width(); ++x) {
          const Bgr p = PixelAt(rgb, x, y);
          pixels.push_back(uint32_t(p.red) << 16 | p.green << 8 | p.blue);
        }
      bmp_fixtures::ExpectReadBack(fixture, kBmpAllDepths, read, pixels);
      if (!read || !SaveBmp(folder.File("f.bmp"), loaded)) break;
      EXPECT_EQ(loaded.info().biSize, 40u);
    }
  }
}

TEST(BitmapConversion, EightBitPicturesTakeTheirTableColours) {
  ScratchFolder folder;
  HandMadeBmp file;
  file.width = 3;
  file.height = 1;
  file.bitCount = 8;
  file.table = GradientTable(256);
  file.pixels = {200, 0, 255, 0};
  WriteBytes(folder.File("i.bmp"), file.Bytes());
  Bitmap indexed, rgb;
  ASSERT_TRUE(LoadBmp(folder.File("i.bmp"), &indexed));
  ASSERT_TRUE(ConvertTo24Bits(indexed, &rgb));
  EXPECT_EQ(rgb.bitCount(), 24);
  EXPECT_EQ(rgb.info().biClrUsed, 0u);
  EXPECT_TRUE(rgb.palette().empty());
  EXPECT_EQ(rgb.info().biSizeImage, 12u);
  EXPECT_EQ(PixelAt(rgb, 0, 0), (Bgr{200, 55, 100}));
  EXPECT_EQ(PixelAt(rgb, 1, 0), (Bgr{0, 255, 0}));
  EXPECT_EQ(PixelAt(rgb, 2, 0), (Bgr{255, 0, 127}));

  // The converted picture saves and reloads as a plain 24-bit file, even when the source
  // counted its colours in biClrUsed.
  file.clrUsed = 256;
  WriteBytes(folder.File("i.bmp"), file.Bytes());
  ASSERT_TRUE(LoadBmp(folder.File("i.bmp"), &indexed));
  ASSERT_TRUE(ConvertTo24Bits(indexed, &rgb));
  ASSERT_TRUE(SaveBmp(folder.File("rgb.bmp"), rgb));
  Bitmap reloaded;
  ASSERT_TRUE(LoadBmp(folder.File("rgb.bmp"), &reloaded));
  EXPECT_EQ(reloaded.bits(), rgb.bits());

  // An index beyond a short table is refused rather than read from outside it.
  file.clrUsed = 16;
  file.table = GradientTable(16);
  file.pixels = {3, 15, 16, 0};
  WriteBytes(folder.File("short.bmp"), file.Bytes());
  ASSERT_TRUE(LoadBmp(folder.File("short.bmp"), &indexed));
  std::string error;
  EXPECT_FALSE(ConvertTo24Bits(indexed, &rgb, &error));
  EXPECT_TRUE(rgb.empty());
  EXPECT_FALSE(error.empty());
}

TEST(BitmapConversion, SixteenAndThirtyTwoBitPixelsUnpack) {
  ScratchFolder folder;
  HandMadeBmp file;
  file.width = 2;
  file.height = 1;
  file.bitCount = 16;
  const uint16_t a = 0x7C1F, b = 0x03E0;  // 5-5-5: red and blue full / green full
  file.pixels = {uint8_t(a), uint8_t(a >> 8), uint8_t(b), uint8_t(b >> 8)};
  WriteBytes(folder.File("555.bmp"), file.Bytes());
  Bitmap source, rgb;
  ASSERT_TRUE(LoadBmp(folder.File("555.bmp"), &source));
  ASSERT_TRUE(ConvertTo24Bits(source, &rgb));
  EXPECT_EQ(PixelAt(rgb, 0, 0), (Bgr{0xF8, 0x00, 0xF8}));
  EXPECT_EQ(PixelAt(rgb, 1, 0), (Bgr{0x00, 0xF8, 0x00}));

  // 5-6-5 with its masks before the pixels.
  file.compression = 3;
  file.table = {0x00, 0xF8, 0, 0, 0xE0, 0x07, 0, 0, 0x1F, 0, 0, 0};
  const uint16_t c = 0x07E0, d = 0xF81F;
  file.pixels = {uint8_t(c), uint8_t(c >> 8), uint8_t(d), uint8_t(d >> 8)};
  WriteBytes(folder.File("565.bmp"), file.Bytes());
  ASSERT_TRUE(LoadBmp(folder.File("565.bmp"), &source));
  ASSERT_TRUE(ConvertTo24Bits(source, &rgb));
  EXPECT_EQ(PixelAt(rgb, 0, 0), (Bgr{0x00, 0xFC, 0x00}));
  EXPECT_EQ(PixelAt(rgb, 1, 0), (Bgr{0xF8, 0x00, 0xF8}));

  file.bitCount = 32;
  file.compression = 0;
  file.table.clear();
  file.pixels = {1, 2, 3, 4, 5, 6, 7, 8};
  WriteBytes(folder.File("32.bmp"), file.Bytes());
  ASSERT_TRUE(LoadBmp(folder.File("32.bmp"), &source));
  ASSERT_TRUE(ConvertTo24Bits(source, &rgb));
  EXPECT_EQ(PixelAt(rgb, 0, 0), (Bgr{1, 2, 3}));
  EXPECT_EQ(PixelAt(rgb, 1, 0), (Bgr{5, 6, 7}));
}

TEST(BitmapConversion, OtherDepthsAreRefused) {
  ScratchFolder folder;
  HandMadeBmp file;
  file.width = 4;
  file.height = 1;
  file.bitCount = 4;
  file.table = GradientTable(16);
  file.pixels = {0x12, 0x34, 0, 0};
  WriteBytes(folder.File("4.bmp"), file.Bytes());
  Bitmap source, rgb;
  ASSERT_TRUE(LoadBmp(folder.File("4.bmp"), &source));
  EXPECT_EQ(source.palette().size(), 16u);
  EXPECT_FALSE(ConvertTo24Bits(source, &rgb));
  EXPECT_TRUE(rgb.empty());
  Bitmap photo = testing::MakePhoto(4, 4);
  EXPECT_FALSE(ConvertTo24Bits(photo, &rgb));
  // Bit fields whose masks were never set are not guessed.
  Bitmap masked = Bitmap::Create(4, 1, 16);
  masked.info().biCompression = kCompressionBitfields;
  EXPECT_FALSE(ConvertTo24Bits(masked, &rgb));
}

// Colour tables go out sorted by blue x green x red; entries of equal product (every entry
// with a zero channel among them) keep their order, and entries from `count` on stay where
// they are.
TEST(ColourTable, SortByProductIsStableAndStopsAtTheCount) {
  auto entry = [](int red, int green, int blue) {
    return RgbQuad{static_cast<uint8_t>(blue), static_cast<uint8_t>(green), static_cast<uint8_t>(red), 0};
  };
  auto reds = [](const std::vector<RgbQuad>& table) {
    std::vector<int> out;
    for (const RgbQuad& e : table) out.push_back(e.rgbRed);
    return out;
  };
  // Products: 8, 0, 8, 0, 1 | 0 (past the count).
  std::vector<RgbQuad> table = {entry(2, 2, 2), entry(9, 0, 5), entry(1, 2, 4), entry(7, 3, 0), entry(1, 1, 1),
                                entry(5, 0, 0)};
  SortByProduct(table.data(), 5);
  EXPECT_EQ(reds(table), (std::vector<int>{9, 7, 1, 2, 1, 5}));
  EXPECT_EQ(table[2].rgbGreen, 1);  // (1, 1, 1) before the two of product 8 ...
  EXPECT_EQ(table[3].rgbBlue, 2);   // ... which keep their order: (2, 2, 2), then (1, 2, 4)
  EXPECT_EQ(table[4].rgbBlue, 4);
  // The product, not the brightness: 1 x 1 x 200 comes before 10 x 10 x 10.
  std::vector<RgbQuad> mixed = {entry(10, 10, 10), entry(1, 1, 200), entry(255, 255, 255)};
  SortByProduct(mixed.data(), 3);
  EXPECT_EQ(reds(mixed), (std::vector<int>{1, 10, 255}));
}

TEST(BitmapFiles, SaveReportsFilesItCannotWrite) {
  ScratchFolder folder;
  Bitmap photo = testing::MakePhoto(4, 4);
  std::string error;
  EXPECT_FALSE(SaveBmp(folder.File("no/such/folder.bmp"), photo, &error));
  EXPECT_FALSE(error.empty());
  struct stat status {};
  if (stat("/dev/full", &status) == 0 && S_ISCHR(status.st_mode)) {
    EXPECT_FALSE(SaveBmp("/dev/full", photo));  // every write fails there
    ASSERT_EQ(stat("/dev/full", &status), 0);
    EXPECT_TRUE(S_ISCHR(status.st_mode));  // and the device stays
  }
}

TEST(BitmapFiles, CopyIsByteForByte) {
  ScratchFolder folder;
  std::vector<uint8_t> bytes(200000);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 300);
  WriteBytes(folder.File("src"), bytes);
  WriteBytes(folder.File("dst"), std::vector<uint8_t>(300000, 1));
  ASSERT_TRUE(CopyPictureFile(folder.File("src"), folder.File("dst")));
  EXPECT_EQ(ReadBytes(folder.File("dst")), bytes);
  EXPECT_FALSE(CopyPictureFile(folder.File("missing"), folder.File("dst2")));
  EXPECT_FALSE(testing::FileExists(folder.File("dst2")));
}

}  // namespace
}  // namespace qv
