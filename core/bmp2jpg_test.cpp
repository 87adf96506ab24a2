#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/bmp_reader.h"
#include "core/jpeg_writer.h"
#include "core/qxdvcore.h"
#include "core/testing/test_support.h"
#include "platform/message_box.h"
#include "platform/testing/bmp_fixtures.h"

namespace qxcore {
namespace {

using testing::BmpSpec;
using testing::BuildBmp;
using testing::DecodeJpegFile;
using testing::FileExists;
using testing::WorkFolder;
using testing::WriteFileBytes;

// A smooth colour picture (so JPEG error stays small) with distinct columns and rows.
uint8_t Red(int x, int y) { return static_cast<uint8_t>(20 + x * 5 + y); }
uint8_t Green(int x, int y) { return static_cast<uint8_t>(200 - y * 6 + x); }
uint8_t Blue(int x, int y) { return static_cast<uint8_t>(30 + x * 3 + y * 4); }

// A 24-bit BMP of the picture above; file rows are bottom-up unless `topDown`.
BmpSpec Picture24(int width, int height, bool topDown = false) {
  BmpSpec spec;
  spec.width = width;
  spec.height = topDown ? -height : height;
  for (int fileRow = 0; fileRow < height; ++fileRow) {
    const int y = topDown ? fileRow : height - 1 - fileRow;
    std::vector<uint8_t> row;
    for (int x = 0; x < width; ++x) {
      row.push_back(Blue(x, y));
      row.push_back(Green(x, y));
      row.push_back(Red(x, y));
    }
    spec.rows.push_back(row);
  }
  return spec;
}

// An 8-bit BMP with a full 256-entry table (bfOffBits 1078): index = (x + 2y) % 256, and
// entry i has red i, green 255 - i, blue 128.
BmpSpec Picture8(int width, int height) {
  BmpSpec spec;
  spec.width = width;
  spec.height = height;
  spec.bitCount = 8;
  for (uint32_t i = 0; i < 256; ++i) spec.palette.push_back(i << 16 | (255 - i) << 8 | 128);
  for (int fileRow = 0; fileRow < height; ++fileRow) {
    const int y = height - 1 - fileRow;
    std::vector<uint8_t> row;
    for (int x = 0; x < width; ++x) row.push_back(static_cast<uint8_t>((x + 2 * y) % 256));
    spec.rows.push_back(row);
  }
  return spec;
}

// Mean and largest absolute difference between a decoded RGB picture and `expected`.
struct Difference {
  double mean = 0;
  int largest = 0;
};
Difference Compare(const testing::DecodedJpeg& decoded, const std::vector<uint8_t>& expected) {
  Difference result;
  if (decoded.pixels.size() != expected.size() || expected.empty()) return {1e9, 1 << 30};
  long long total = 0;
  for (size_t i = 0; i < expected.size(); ++i) {
    const int difference = std::abs(int{decoded.pixels[i]} - int{expected[i]});
    total += difference;
    result.largest = std::max(result.largest, difference);
  }
  result.mean = static_cast<double>(total) / static_cast<double>(expected.size());
  return result;
}

std::vector<uint8_t> ExpectedRgb24(int width, int height) {
  std::vector<uint8_t> pixels;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      pixels.push_back(Red(x, y));
      pixels.push_back(Green(x, y));
      pixels.push_back(Blue(x, y));
    }
  }
  return pixels;
}

class Bmp2JpgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(folder_.path().empty());
    previousSink_ = qv::SetMessageBoxSink(
        [this](const std::string& text, const std::string&) { boxes_.push_back(text); });
  }
  void TearDown() override { qv::SetMessageBoxSink(previousSink_); }

  std::string WriteBmp(const std::string& name, const BmpSpec& spec) {
    const std::string path = folder_.File(name);
    WriteFileBytes(path, BuildBmp(spec));
    return path;
  }

  WorkFolder folder_;
  std::vector<std::string> boxes_;
  qv::MessageBoxSink previousSink_;
};

TEST_F(Bmp2JpgTest, ReaderTurnsRowsTopDownAndDropsRowPadding) {
  // Width 5: 15 pixel bytes and one padding byte per row, which must not become a pixel.
  for (bool topDown : {false, true}) {
    RgbImage image;
    ASSERT_EQ(ReadBmpAsRgb(WriteBmp("pad.bmp", Picture24(5, 4, topDown)), image), kBmpOk);
    EXPECT_EQ(image.width, 5);
    EXPECT_EQ(image.height, 4);
    EXPECT_EQ(image.pixels, ExpectedRgb24(5, 4)) << "top-down " << topDown;
  }
}

TEST_F(Bmp2JpgTest, ReaderUnpacksIndexedDepthsFromTheHighBitDown) {
  // 1-bit: 10 pixels 1011001110 use entries 0 (black) and 1 (white); 4-bit: nibbles 0..6.
  BmpSpec oneBit;
  oneBit.width = 10;
  oneBit.height = 1;
  oneBit.bitCount = 1;
  oneBit.palette = {0x000000, 0xFFFFFF};
  oneBit.rows = {{0b10110011, 0b10000000}};
  RgbImage image;
  ASSERT_EQ(ReadBmpAsRgb(WriteBmp("one.bmp", oneBit), image), kBmpOk);
  const std::string bits = "1011001110";
  ASSERT_EQ(image.pixels.size(), 30u);
  for (size_t x = 0; x < bits.size(); ++x) {
    EXPECT_EQ(image.pixels[x * 3], bits[x] == '1' ? 255 : 0) << x;
  }

  BmpSpec fourBit;
  fourBit.width = 7;
  fourBit.height = 1;
  fourBit.bitCount = 4;
  for (uint32_t i = 0; i < 16; ++i) fourBit.palette.push_back(i * 0x100000 | i);
  fourBit.rows = {{0x01, 0x23, 0x45, 0x60}};
  ASSERT_EQ(ReadBmpAsRgb(WriteBmp("four.bmp", fourBit), image), kBmpOk);
  ASSERT_EQ(image.pixels.size(), 21u);
  for (int x = 0; x < 7; ++x) {
    EXPECT_EQ(image.pixels[x * 3], x * 16) << x;     // red
    EXPECT_EQ(image.pixels[x * 3 + 2], x) << x;      // blue
  }
}

TEST_F(Bmp2JpgTest, ReaderTakesEveryLayoutAtItsDepths) {
  for (const auto& fixture : qv::bmp_fixtures::Fixtures()) {
    WriteFileBytes(folder_.File("f.bmp"), fixture.bytes);
    RgbImage image;
    const bool read = ReadBmpAsRgb(folder_.File("f.bmp"), image) == kBmpOk;
    std::vector<uint32_t> pixels;
    for (size_t i = 0; i + 2 < image.pixels.size(); i += 3)
      pixels.push_back(uint32_t(image.pixels[i]) << 16 | image.pixels[i + 1] << 8 | image.pixels[i + 2]);
    qv::bmp_fixtures::ExpectReadBack(fixture, qv::kBmpDepth1 | qv::kBmpDepth4 | qv::kBmpDepth8 | qv::kBmpDepth24,
                                     read, pixels);
  }
}

TEST_F(Bmp2JpgTest, ConvertsTwentyFourBitPictureThatReadsBack) {
  const std::string source = WriteBmp("picture.bmp", Picture24(37, 21));
  const std::string destination = folder_.File("picture.jpg");
  ASSERT_EQ(QXCoreBMP2JPG(source.c_str(), destination.c_str(), 95), 1);
  const auto decoded = DecodeJpegFile(destination);
  ASSERT_TRUE(decoded.ok);
  EXPECT_FALSE(decoded.progressive);
  EXPECT_EQ(decoded.width, 37);
  EXPECT_EQ(decoded.height, 21);
  EXPECT_EQ(decoded.components, 3);
  const Difference difference = Compare(decoded, ExpectedRgb24(37, 21));
  EXPECT_LT(difference.mean, 4.0);
  EXPECT_LT(difference.largest, 40);
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(Bmp2JpgTest, ConvertsEightBitPictureToColour) {
  const int width = 40;
  const int height = 24;
  const std::string source = WriteBmp("eight.bmp", Picture8(width, height));
  ASSERT_EQ(testing::ReadFileBytes(source)[10], 0x36);  // bfOffBits 1078 = 0x436
  ASSERT_EQ(testing::ReadFileBytes(source)[11], 0x04);
  const std::string destination = folder_.File("eight.jpg");
  ASSERT_EQ(QXCoreBMP2JPG(source.c_str(), destination.c_str(), 100), 1);
  const auto decoded = DecodeJpegFile(destination);
  ASSERT_TRUE(decoded.ok);
  ASSERT_EQ(decoded.components, 3);
  std::vector<uint8_t> expected;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int index = (x + 2 * y) % 256;
      expected.insert(expected.end(), {static_cast<uint8_t>(index),
                                       static_cast<uint8_t>(255 - index), 128});
    }
  }
  EXPECT_LT(Compare(decoded, expected).mean, 4.0);
}

TEST_F(Bmp2JpgTest, QualityIsClampedToTheValidRange) {
  const std::string source = WriteBmp("q.bmp", Picture24(64, 48));
  auto convert = [&](int quality) {
    const std::string destination = folder_.File("q" + std::to_string(quality) + ".jpg");
    EXPECT_EQ(QXCoreBMP2JPG(source.c_str(), destination.c_str(), quality), 1);
    return testing::ReadFileBytes(destination);
  };
  EXPECT_EQ(convert(150), convert(100));
  EXPECT_EQ(convert(-5), convert(0));
  EXPECT_NE(convert(100), convert(90));
  EXPECT_NE(convert(0), convert(10));
  EXPECT_GT(convert(100).size(), convert(0).size());
}

TEST_F(Bmp2JpgTest, UnopenableDestinationShowsTheBoxAndStillReportsTheRead) {
  const std::string source = WriteBmp("m.bmp", Picture24(8, 8));
  const std::string destination = folder_.File("missing/folder/out.jpg");
  EXPECT_EQ(QXCoreBMP2JPG(source.c_str(), destination.c_str(), 75), 1);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], "JpegFile :\nCan't open " + destination + "\n");
  EXPECT_FALSE(FileExists(destination));
}

TEST_F(Bmp2JpgTest, WriterFailuresComeBackWithoutEndingTheProcess) {
  // libjpeg refuses an empty picture inside jpeg_start_compress: the error must return here
  // and leave no file behind.
  const std::string empty = folder_.File("empty.jpg");
  const uint8_t pixel[3] = {1, 2, 3};
  EXPECT_FALSE(WriteJpegFile(empty, pixel, 0, 1, true, 75));
  EXPECT_FALSE(FileExists(empty));
  // A disk that fills up fails inside the library's output manager.
  std::vector<uint8_t> noise(128 * 128 * 3);
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<uint8_t>(i * 7919 % 251);
  const std::string full = folder_.File("full.jpg");
  {
    testing::FileSizeLimit limit(2000);
    ASSERT_TRUE(limit.active());
    EXPECT_FALSE(WriteJpegFile(full, noise.data(), 128, 128, true, 100));
  }
  EXPECT_FALSE(FileExists(full));
  EXPECT_TRUE(WriteJpegFile(full, noise.data(), 128, 128, true, 100));
  EXPECT_GT(testing::ReadFileBytes(full).size(), 2000u);
  EXPECT_TRUE(boxes_.empty());
}

struct Refusal {
  const char* name;
  BmpSpec spec;
  std::string status;
};

std::vector<Refusal> Refusals() {
  std::vector<Refusal> refusals;
  auto add = [&](const char* name, BmpSpec spec, std::string status) {
    refusals.push_back({name, std::move(spec), std::move(status)});
  };
  BmpSpec spec = Picture24(4, 4);
  spec.compression = 1;
  add("rle", spec, kBmpCompressed);
  spec = Picture24(4, 4);
  spec.bitCount = 16;
  add("sixteen bits", spec, kBmpNotValid);
  spec = Picture24(4, 4);
  spec.bitCount = 32;
  add("thirty-two bits", spec, kBmpNotValid);
  spec = Picture24(4, 4);
  spec.width = 0;
  add("zero width", spec, kBmpAllocFailed);
  spec.width = -4;
  add("negative width", spec, kBmpAllocFailed);
  spec = Picture24(4, 4);
  spec.height = 0;
  add("zero height", spec, kBmpAllocFailed);
  spec.height = INT_MIN;
  add("lowest height", spec, kBmpAllocFailed);
  spec.height = 16385;
  add("height above limit", spec, kBmpAllocFailed);
  spec = Picture24(4, 4);
  spec.width = 16385;
  add("width above limit", spec, kBmpAllocFailed);
  // Within the limits, but far more pixels than the file holds: refused before allocation.
  spec = Picture24(4, 4);
  spec.width = 16384;
  spec.height = -16384;
  add("short of pixels", spec, kBmpPixelReadError);
  spec = Picture8(4, 4);
  spec.coloursUsed = 257;
  add("table above 256", spec, kBmpCorruptPalette);
  spec = Picture8(4, 4);
  spec.coloursUsed = 0xFFFFFFFF;
  add("huge table", spec, kBmpCorruptPalette);
  spec = Picture8(4, 4);
  spec.palette.resize(4);
  spec.coloursUsed = 4;  // indices up to 10 in the picture
  add("index beyond table", spec, kBmpCorruptPalette);
  spec = Picture8(4, 4);
  spec.pixelOffset = 100;
  add("pixels inside table", spec, kBmpCorruptPalette);
  return refusals;
}

TEST_F(Bmp2JpgTest, RefusesInconsistentFilesWithoutTouchingTheDestination) {
  const std::string destination = folder_.File("never.jpg");
  for (const Refusal& refusal : Refusals()) {
    const std::string source = WriteBmp("bad.bmp", refusal.spec);
    RgbImage image;
    EXPECT_EQ(ReadBmpAsRgb(source, image), refusal.status) << refusal.name;
    EXPECT_TRUE(image.pixels.empty()) << refusal.name;
    EXPECT_EQ(QXCoreBMP2JPG(source.c_str(), destination.c_str(), 75), 0) << refusal.name;
    EXPECT_FALSE(FileExists(destination)) << refusal.name;
  }
  RgbImage image;
  std::vector<uint8_t> farOffset = BuildBmp(Picture24(4, 4));
  farOffset[13] = 0x7F;  // bfOffBits far beyond the end of the file
  WriteFileBytes(folder_.File("far.bmp"), farOffset);
  EXPECT_EQ(ReadBmpAsRgb(folder_.File("far.bmp"), image), kBmpPixelReadError);
  const std::string missing = folder_.File("missing.bmp");
  EXPECT_EQ(ReadBmpAsRgb(missing, image), "Can't open file for reading :\n" + missing);
  std::vector<uint8_t> notBmp = BuildBmp(Picture24(4, 4));
  notBmp[1] = 'A';
  WriteFileBytes(folder_.File("ba.bmp"), notBmp);
  EXPECT_EQ(ReadBmpAsRgb(folder_.File("ba.bmp"), image), kBmpNotValid);
  EXPECT_EQ(QXCoreBMP2JPG(missing.c_str(), destination.c_str(), 75), 0);
  EXPECT_EQ(QXCoreBMP2JPG(nullptr, destination.c_str(), 75), 0);
  EXPECT_FALSE(FileExists(destination));
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(Bmp2JpgTest, EveryTruncationIsRefusedCleanly) {
  const std::string destination = folder_.File("cut.jpg");
  BmpSpec indexed = Picture8(7, 5);  // a short table keeps the number of prefixes small
  indexed.palette.resize(16);
  indexed.coloursUsed = 16;
  for (auto& row : indexed.rows) {
    for (auto& index : row) index %= 16;
  }
  for (const BmpSpec& spec : {Picture24(7, 5), indexed}) {
    const std::vector<uint8_t> whole = BuildBmp(spec);
    for (size_t length = 0; length < whole.size(); ++length) {
      const std::string source = folder_.File("cut.bmp");
      WriteFileBytes(source, std::vector<uint8_t>(whole.begin(), whole.begin() + length));
      RgbImage image;
      const std::string status = ReadBmpAsRgb(source, image);
      ASSERT_NE(status, kBmpOk) << "length " << length << " of " << whole.size();
      ASSERT_EQ(QXCoreBMP2JPG(source.c_str(), destination.c_str(), 50), 0) << length;
      ASSERT_FALSE(FileExists(destination)) << length;
    }
    const std::string source = folder_.File("whole.bmp");
    WriteFileBytes(source, whole);
    EXPECT_EQ(QXCoreBMP2JPG(source.c_str(), destination.c_str(), 50), 1);
    EXPECT_TRUE(DecodeJpegFile(destination).ok);
    std::remove(destination.c_str());
  }
}

TEST_F(Bmp2JpgTest, ReadsLaterHeaderVersionsAndPicturesFromOtherWriters) {
  // The Python imaging library writes the classic 40-byte header; ImageMagick writes a 124-byte
  // version 5 header before the colour table.
  const std::string python = "/usr/bin/python3";
  const std::string pilBmp = folder_.File("pil.bmp");
  const std::string script =
      python + " -c \"from PIL import Image; im = Image.new('RGB', (13, 9), (200, 40, 10)); "
               "im.convert('P', palette=Image.ADAPTIVE, colors=16).save('" +
      pilBmp + "')\" 2>/dev/null";
  if (std::system(script.c_str()) != 0) GTEST_SKIP() << "python3 with PIL is not available";
  RgbImage image;
  ASSERT_EQ(ReadBmpAsRgb(pilBmp, image), kBmpOk);
  ASSERT_EQ(image.width, 13);
  ASSERT_EQ(image.height, 9);
  EXPECT_EQ(image.pixels[0], 200);
  EXPECT_EQ(image.pixels[1], 40);
  EXPECT_EQ(image.pixels[2], 10);

  const std::string magickBmp = folder_.File("magick.bmp");
  const std::string convert = "convert -size 6x3 xc:'rgb(10,120,250)' -type Palette '" +
                              magickBmp + "' 2>/dev/null";
  if (std::system(convert.c_str()) != 0) GTEST_SKIP() << "ImageMagick is not available";
  ASSERT_EQ(ReadBmpAsRgb(magickBmp, image), kBmpOk);
  ASSERT_EQ(image.width, 6);
  EXPECT_EQ(image.pixels[3 * 5 + 0], 10);
  EXPECT_EQ(image.pixels[3 * 5 + 1], 120);
  EXPECT_EQ(image.pixels[3 * 5 + 2], 250);
}

}  // namespace
}  // namespace qxcore
