#include "app/image/picture_output.h"

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <jpeglib.h>
#include <png.h>
#include <sys/stat.h>

#include <cmath>
#include <csetjmp>
#include <cstdlib>
#include <fstream>
#include <cstdio>
#include <set>

#include "app/image/adjust.h"
#include "app/image/bitmap.h"
#include "app/image/reduce.h"
#include "app/image/testing/resize_reference.h"
#include "app/image/testing/test_pictures.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace qv {
namespace {

using testing::ReadBytes;
using testing::CenterCrop;
using testing::Resize;
using testing::ScratchFolder;

// The four profiles a fresh settings file holds.
void DefaultProfiles(PictSettings (&profiles)[kProfileCount]) {
  profiles[0] = {PICT_PNG, 7, 120, 120, 1, 4, 24, 0, 0};
  profiles[1] = {PICT_JPEG, 12, 120, 128, 1, 4, 36, 0, 0};
  profiles[2] = {PICT_GIF, 3, 96, 80, 1, 4, 32, 0, 0};
  profiles[3] = {PICT_JPEG, 20, 320, 240, 1, 4, 36, 0, 0};
}

// A PNG read back through libpng's own reader.
struct PngPicture {
  bool ok = false;
  int width = 0, height = 0;
  bool colormap = false;
  int colormapEntries = 0;
  std::vector<uint8_t> indices;  // colormap pictures: one index a pixel, top row first
  std::vector<uint8_t> colormapRgb;
  std::vector<uint8_t> rgb;  // full-colour pictures: red, green, blue, top row first
};

PngPicture ReadPng(const std::string& path) {
  PngPicture result;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&image, path.c_str())) return result;
  result.width = static_cast<int>(image.width);
  result.height = static_cast<int>(image.height);
  result.colormap = (image.format & PNG_FORMAT_FLAG_COLORMAP) != 0;
  result.colormapEntries = static_cast<int>(image.colormap_entries);
  if (result.colormap) {
    image.format = PNG_FORMAT_RGB_COLORMAP;
    result.indices.resize(PNG_IMAGE_SIZE(image));
    result.colormapRgb.resize(PNG_IMAGE_COLORMAP_SIZE(image));
    result.ok = png_image_finish_read(&image, nullptr, result.indices.data(), 0, result.colormapRgb.data()) != 0;
  } else {
    image.format = PNG_FORMAT_RGB;
    result.rgb.resize(PNG_IMAGE_SIZE(image));
    result.ok = png_image_finish_read(&image, nullptr, result.rgb.data(), 0, nullptr) != 0;
  }
  png_image_free(&image);
  return result;
}

// A JPEG read back through libjpeg's decompressor.
struct JpegPicture {
  bool ok = false;
  int width = 0, height = 0, components = 0;
  int firstQuantizer = 0;    // luminance table, DC coefficient
  std::vector<uint8_t> rgb;  // top row first
};

struct JpegError {
  jpeg_error_mgr manager;
  std::jmp_buf jump;
};

[[noreturn]] void OnJpegError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JpegError*>(info->err)->jump, 1);
}

JpegPicture ReadJpeg(const std::string& path) {
  JpegPicture result;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return result;
  jpeg_decompress_struct info{};
  JpegError error{};
  info.err = jpeg_std_error(&error.manager);
  error.manager.error_exit = OnJpegError;
  std::vector<uint8_t>* pixels = &result.rgb;
  if (setjmp(error.jump)) {
    jpeg_destroy_decompress(&info);
    std::fclose(file);
    result.ok = false;
    return result;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  result.firstQuantizer = info.quant_tbl_ptrs[0] ? info.quant_tbl_ptrs[0]->quantval[0] : 0;
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  result.width = static_cast<int>(info.output_width);
  result.height = static_cast<int>(info.output_height);
  result.components = info.num_components;
  pixels->resize(static_cast<size_t>(result.width) * result.height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = pixels->data() + static_cast<size_t>(info.output_scanline) * result.width * 3;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  std::fclose(file);
  result.ok = true;
  return result;
}

// A GIF read back through giflib: its first picture as red, green, blue rows, top row first.
struct GifPicture {
  bool ok = false;
  int width = 0, height = 0;
  int colours = 0;  // entries of the colour map used
  std::vector<uint8_t> rgb;
};

GifPicture ReadGif(const std::string& path) {
  GifPicture result;
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (!gif) return result;
  if (DGifSlurp(gif) == GIF_OK && gif->ImageCount > 0) {
    const SavedImage& image = gif->SavedImages[0];
    const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
    result.width = image.ImageDesc.Width;
    result.height = image.ImageDesc.Height;
    if (map) {
      result.colours = map->ColorCount;
      std::set<int> used;
      for (int i = 0; i < result.width * result.height; ++i) {
        const int index = image.RasterBits[i];
        if (index >= map->ColorCount) return result;
        used.insert(index);
        result.rgb.push_back(map->Colors[index].Red);
        result.rgb.push_back(map->Colors[index].Green);
        result.rgb.push_back(map->Colors[index].Blue);
      }
      result.colours = static_cast<int>(used.size());
      result.ok = true;
    }
  }
  DGifCloseFile(gif, &error);
  return result;
}

// Mean absolute difference between a 24-bit bitmap and red-green-blue rows, top row first.
double MeanDifference(const Bitmap& bitmap, const std::vector<uint8_t>& rgb) {
  double sum = 0;
  for (int y = 0; y < bitmap.height(); ++y) {
    const uint8_t* p = bitmap.row(bitmap.height() - 1 - y);
    const uint8_t* q = rgb.data() + static_cast<size_t>(y) * bitmap.width() * 3;
    for (int x = 0; x < bitmap.width(); ++x)
      for (int c = 0; c < 3; ++c) sum += std::abs(int{p[x * 3 + c]} - int{q[x * 3 + 2 - c]});
  }
  return sum / (static_cast<double>(bitmap.width()) * bitmap.height() * 3);
}

class PictureOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    previousSink_ = SetMessageBoxSink([this](const std::string& text, const std::string&) { boxes_.push_back(text); });
  }
  void TearDown() override { SetMessageBoxSink(previousSink_); }

  // A shell script standing in for the converter: it honours "SOURCE /convert=DEST /silent"
  // by writing a GIF through PIL.
  std::string FakeConverter(bool works = true) {
    const std::string path = folder_.File(works ? "convert-ok" : "convert-broken");
    std::ofstream script(path);
    if (works)
      script << "#!/bin/sh\n"
                "[ \"$3\" = /silent ] || exit 3\n"
                "exec /usr/bin/python3 -c 'import sys; from PIL import Image; "
                "Image.open(sys.argv[1]).save(sys.argv[2])' \"$1\" \"${2#/convert=}\"\n";
    else
      script << "#!/bin/sh\nexit 1\n";
    script.close();
    chmod(path.c_str(), 0755);
    return path;
  }

  static bool HavePil() { return std::system("/usr/bin/python3 -c 'import PIL' 2>/dev/null") == 0; }

  ScratchFolder folder_;
  MessageBoxSink previousSink_;
  std::vector<std::string> boxes_;
};

TEST_F(PictureOutput, NamesFollowTheCycleTimeAndFormats) {
  PictSettings profiles[kProfileCount];
  DefaultProfiles(profiles);
  std::tm start{};
  start.tm_year = 2003 - 1900;
  start.tm_mon = 11;
  start.tm_mday = 24;
  start.tm_hour = 15;
  start.tm_min = 30;
  start.tm_sec = 59;
  PictureNames names = MakeNames("/w/", profiles, "/opt/qvconvert", start);
  const char* expected[] = {"png", "jpg", "gif", "jpg"};
  for (int i = 0; i < kProfileCount; ++i) {
    EXPECT_EQ(names.attachmentName[i], std::string("200312241530.") + expected[i]);
    EXPECT_EQ(names.outputPath[i], "/w/QVTmp00" + std::to_string(i + 3) + "." + expected[i]);
  }
  // Without a converter the GIF profile is written, and named, as JPEG.
  names = MakeNames("/w/", profiles, "", start);
  EXPECT_EQ(names.outputPath[2], "/w/QVTmp005.jpg");
  EXPECT_EQ(names.attachmentName[2], "200312241530.jpg");
  profiles[1].Type = PICT_BMP;
  profiles[3].Type = 9;
  names = MakeNames("/w/", profiles, "", start);
  EXPECT_EQ(names.outputPath[1], "/w/QVTmp004.bmp");
  EXPECT_EQ(names.attachmentName[3], "200312241530.dat");
}

TEST_F(PictureOutput, AdjustMatchesToneThenResizeThenCrop) {
  Bitmap frame = testing::MakePhoto(640, 480, 21);
  ASSERT_TRUE(SaveBmp(folder_.File(kCapturedFrameFile), frame));
  PictSettings profile{PICT_PNG, 7, 120, 120, 1, 4, 24, 16, -3};
  ASSERT_TRUE(AdjustPicture(folder_.File(kCapturedFrameFile), folder_.File(kAdjustedFile), profile));

  Bitmap toned = frame.Clone(), resized, expected, adjusted;
  ASSERT_TRUE(AdjustTone(&toned, 16, -3));
  ASSERT_TRUE(Resize(toned, 160, 120, &resized));
  ASSERT_TRUE(CenterCrop(resized, 120, 120, &expected));
  ASSERT_TRUE(LoadBmp(folder_.File(kAdjustedFile), &adjusted));
  EXPECT_EQ(adjusted.width(), 120);
  EXPECT_EQ(adjusted.height(), 120);
  EXPECT_EQ(adjusted.bitCount(), 24);
  EXPECT_EQ(adjusted.bits(), expected.bits());

  // An 8-bit frame is converted first.
  Bitmap indexed = Bitmap::Create(64, 48, 8, 256);
  for (int i = 0; i < 256; ++i) indexed.palette()[i] = {uint8_t(i), 0, uint8_t(255 - i), 0};
  for (size_t i = 0; i < indexed.bits().size(); ++i) indexed.bits()[i] = static_cast<uint8_t>(i);
  ASSERT_TRUE(SaveBmp(folder_.File(kCapturedFrameFile), indexed));
  profile = {PICT_PNG, 7, 32, 24, 0, 4, 24, 0, 0};
  ASSERT_TRUE(AdjustPicture(folder_.File(kCapturedFrameFile), folder_.File(kAdjustedFile), profile));
  ASSERT_TRUE(LoadBmp(folder_.File(kAdjustedFile), &adjusted));
  EXPECT_EQ(testing::PixelAt(adjusted, 1, 1), (testing::Bgr{130, 0, 125}));  // index 2 x 64 + 2
}

TEST_F(PictureOutput, AdjustRefusesWhatItCannotMake) {
  ASSERT_TRUE(SaveBmp(folder_.File(kCapturedFrameFile), testing::MakePhoto(64, 48)));
  for (auto [width, height] : {std::pair{0, 120}, {120, -1}, {20000, 120}}) {
    testing::WriteBytes(folder_.File(kAdjustedFile), {1});
    PictSettings profile{PICT_PNG, 7, width, height, 1, 4, 24, 0, 0};
    std::string error;
    EXPECT_FALSE(AdjustPicture(folder_.File(kCapturedFrameFile), folder_.File(kAdjustedFile), profile, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(testing::FileExists(folder_.File(kAdjustedFile)));
  }
  PictSettings profile{PICT_PNG, 7, 32, 32, 1, 4, 24, 0, 0};
  EXPECT_FALSE(AdjustPicture(folder_.File("missing"), folder_.File(kAdjustedFile), profile));
  Bitmap fourBit = Bitmap::Create(8, 8, 4, 16);
  ASSERT_TRUE(SaveBmp(folder_.File("4bit"), fourBit));
  EXPECT_FALSE(AdjustPicture(folder_.File("4bit"), folder_.File(kAdjustedFile), profile));
}

TEST_F(PictureOutput, PngPaletteAndFullColourReadBack) {
  Bitmap adjusted = testing::MakePhoto(120, 120, 4);
  ASSERT_TRUE(SaveBmp(folder_.File(kAdjustedFile), adjusted));
  PictSettings profile{PICT_PNG, 7, 120, 120, 1, 4, 24, 0, 0};  // 192 colours
  ASSERT_TRUE(ReduceColors(folder_.File(kAdjustedFile), folder_.File(kReducedFile), profile));
  ASSERT_TRUE(EncodePicture(folder_.File(kReducedFile), folder_.File("out.png"), profile, ""));
  Bitmap reduced;
  ASSERT_TRUE(LoadBmp(folder_.File(kReducedFile), &reduced));
  PngPicture png = ReadPng(folder_.File("out.png"));
  ASSERT_TRUE(png.ok);
  EXPECT_EQ(png.width, 120);
  EXPECT_EQ(png.height, 120);
  EXPECT_TRUE(png.colormap);
  EXPECT_EQ(png.colormapEntries, 256);
  std::set<int> used;
  for (int y = 0; y < 120; ++y)
    for (int x = 0; x < 120; ++x) {
      const int index = png.indices[static_cast<size_t>(y) * 120 + x];
      used.insert(index);
      const RgbQuad& entry = reduced.palette()[reduced.row(119 - y)[x]];
      ASSERT_EQ(png.colormapRgb[index * 3], entry.rgbRed) << x << "," << y;
      ASSERT_EQ(png.colormapRgb[index * 3 + 1], entry.rgbGreen);
      ASSERT_EQ(png.colormapRgb[index * 3 + 2], entry.rgbBlue);
    }
  EXPECT_LE(used.size(), 192u);
  EXPECT_GT(used.size(), 150u);

  // Full colour: an RGB PNG with the very pixels, odd width included.
  Bitmap odd = testing::MakePhoto(37, 9, 8);
  ASSERT_TRUE(SaveBmp(folder_.File(kReducedFile), odd));
  profile.ColorNum = 36;
  profile.PictQuality = 9;
  ASSERT_TRUE(EncodePicture(folder_.File(kReducedFile), folder_.File("rgb.png"), profile, ""));
  png = ReadPng(folder_.File("rgb.png"));
  ASSERT_TRUE(png.ok);
  EXPECT_FALSE(png.colormap);
  EXPECT_EQ(png.width, 37);
  EXPECT_EQ(MeanDifference(odd, png.rgb), 0.0);
}

TEST_F(PictureOutput, PngErrorsLeaveNoFile) {
  Bitmap picture = testing::MakePhoto(16, 16);
  ASSERT_TRUE(SaveBmp(folder_.File(kReducedFile), picture));
  // zlib has no level 20, but a profile switched from JPEG to PNG keeps its JPEG quality: the
  // level is held to 9 and the picture is still made.
  PictSettings profile{PICT_PNG, 20, 16, 16, 1, 4, 36, 0, 0};
  std::string error;
  EXPECT_TRUE(EncodePicture(folder_.File(kReducedFile), folder_.File("out.png"), profile, "", &error)) << error;
  EXPECT_TRUE(testing::FileExists(folder_.File("out.png")));
  RemoveFile(folder_.File("out.png"));
  // A palette PNG asked of a 24-bit picture.
  profile = {PICT_PNG, 5, 16, 16, 1, 4, 24, 0, 0};
  EXPECT_FALSE(EncodePicture(folder_.File(kReducedFile), folder_.File("out.png"), profile, "", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(testing::FileExists(folder_.File("out.png")));
}

TEST_F(PictureOutput, JpegQualityFollowsTheProfile) {
  Bitmap picture = testing::MakePhoto(120, 128, 6);
  ASSERT_TRUE(SaveBmp(folder_.File(kReducedFile), picture));
  // libjpeg scales the standard luminance DC step 16 by the quality: 1 at 100, 13 at 60.
  const std::pair<int, int> cases[] = {{20, 1}, {12, 13}, {52, 1}};
  for (auto [pictQuality, quantizer] : cases) {
    PictSettings profile{PICT_JPEG, pictQuality, 120, 128, 1, 4, 36, 0, 0};
    ASSERT_TRUE(EncodePicture(folder_.File(kReducedFile), folder_.File("out.jpg"), profile, ""));
    JpegPicture jpeg = ReadJpeg(folder_.File("out.jpg"));
    ASSERT_TRUE(jpeg.ok);
    EXPECT_EQ(jpeg.width, 120);
    EXPECT_EQ(jpeg.height, 128);
    EXPECT_EQ(jpeg.components, 3);
    EXPECT_EQ(jpeg.firstQuantizer, quantizer) << pictQuality;
    // Chroma subsampling blurs the fine stripes; a swapped channel or a flipped picture would
    // be off by tens.
    EXPECT_LT(MeanDifference(picture, jpeg.rgb), 10.0);
  }
  // A GIF profile without a converter is written as JPEG.
  PictSettings gif{PICT_GIF, 12, 120, 128, 1, 4, 36, 0, 0};
  ASSERT_TRUE(EncodePicture(folder_.File(kReducedFile), folder_.File("gif.jpg"), gif, ""));
  EXPECT_EQ(ReadJpeg(folder_.File("gif.jpg")).firstQuantizer, 13);

  // An 8-bit reduced picture becomes a colour JPEG too.
  Bitmap indexed = Bitmap::Create(16, 16, 8, 256);
  for (int i = 0; i < 256; ++i) indexed.palette()[i] = {0, 0, 255, 0};
  ASSERT_TRUE(SaveBmp(folder_.File(kReducedFile), indexed));
  ASSERT_TRUE(EncodePicture(folder_.File(kReducedFile), folder_.File("red.jpg"), gif, ""));
  JpegPicture red = ReadJpeg(folder_.File("red.jpg"));
  ASSERT_TRUE(red.ok);
  EXPECT_GT(red.rgb[0], 240);
  EXPECT_LT(red.rgb[1], 15);

  std::string error;
  testing::WriteBytes(folder_.File("not.bmp"), {'n', 'o'});
  testing::WriteBytes(folder_.File("stale.jpg"), {1, 2});
  EXPECT_FALSE(EncodePicture(folder_.File("not.bmp"), folder_.File("stale.jpg"), gif, "", &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(testing::FileExists(folder_.File("stale.jpg")));
}

TEST_F(PictureOutput, BmpIsCopiedAndUnknownTypesWriteNothing) {
  Bitmap indexed = Bitmap::Create(16, 4, 8, 256);
  indexed.bits()[5] = 77;
  ASSERT_TRUE(SaveBmp(folder_.File(kReducedFile), indexed));
  PictSettings profile{PICT_BMP, 0, 16, 4, 1, 4, 24, 0, 0};
  ASSERT_TRUE(EncodePicture(folder_.File(kReducedFile), folder_.File("out.bmp"), profile, ""));
  EXPECT_EQ(ReadBytes(folder_.File("out.bmp")), ReadBytes(folder_.File(kReducedFile)));
  profile.Type = 7;
  testing::WriteBytes(folder_.File("out.dat"), {1});
  EXPECT_FALSE(EncodePicture(folder_.File(kReducedFile), folder_.File("out.dat"), profile, ""));
  EXPECT_FALSE(testing::FileExists(folder_.File("out.dat")));
}

TEST_F(PictureOutput, GifGoesThroughTheConverter) {
  if (!HavePil()) GTEST_SKIP() << "Python's PIL is not installed";
  Bitmap picture = testing::MakePhoto(96, 80, 2);
  ASSERT_TRUE(SaveBmp(folder_.File(kAdjustedFile), picture));
  PictSettings profile{PICT_GIF, 3, 96, 80, 1, 4, 32, 0, 0};
  ASSERT_TRUE(ReduceColors(folder_.File(kAdjustedFile), folder_.File(kReducedFile), profile));
  ASSERT_TRUE(EncodePicture(folder_.File(kReducedFile), folder_.File("out.gif"), profile, FakeConverter()));
  GifPicture gif = ReadGif(folder_.File("out.gif"));
  ASSERT_TRUE(gif.ok);
  EXPECT_EQ(gif.width, 96);
  EXPECT_EQ(gif.height, 80);
  EXPECT_LE(gif.colours, 256);
  Bitmap reduced, expected;
  ASSERT_TRUE(LoadBmp(folder_.File(kReducedFile), &reduced));
  ASSERT_TRUE(ConvertTo24Bits(reduced, &expected));
  EXPECT_EQ(MeanDifference(expected, gif.rgb), 0.0);

  std::string error;
  EXPECT_FALSE(EncodePicture(folder_.File(kReducedFile), folder_.File("bad.gif"), profile,
                             FakeConverter(false), &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(testing::FileExists(folder_.File("bad.gif")));
}

// The whole chain of a cycle for the four default profiles, and a failing profile in between
// that must not send the picture of its neighbour.
TEST_F(PictureOutput, CycleBuildsEveryProfile) {
  const std::string work = folder_.path();
  ASSERT_TRUE(SaveBmp(work + kCapturedFrameFile, testing::MakePhoto(640, 480, 13)));
  PictSettings profiles[kProfileCount];
  DefaultProfiles(profiles);
  const std::string converter = HavePil() ? FakeConverter() : "";
  PictureNames names = MakeNames(work, profiles, converter);
  RecordingLogSink log;
  for (int k = 0; k < kProfileCount; ++k)
    EXPECT_TRUE(BuildProfilePicture(work, names, k, profiles[k], converter, &log)) << k;
  EXPECT_TRUE(log.lines().empty());

  PngPicture png = ReadPng(names.outputPath[0]);
  ASSERT_TRUE(png.ok);
  EXPECT_EQ(png.width, 120);
  EXPECT_TRUE(png.colormap);
  JpegPicture jpeg = ReadJpeg(names.outputPath[1]);
  ASSERT_TRUE(jpeg.ok);
  EXPECT_EQ(jpeg.width, 120);
  EXPECT_EQ(jpeg.height, 128);
  jpeg = ReadJpeg(names.outputPath[3]);
  ASSERT_TRUE(jpeg.ok);
  EXPECT_EQ(jpeg.width, 320);
  EXPECT_EQ(jpeg.height, 240);
  if (!converter.empty()) {
    GifPicture gif = ReadGif(names.outputPath[2]);
    ASSERT_TRUE(gif.ok);
    EXPECT_EQ(gif.width, 96);
    EXPECT_EQ(gif.height, 80);
  } else {
    EXPECT_EQ(ReadJpeg(names.outputPath[2]).width, 96);
  }

  // Profile 1 fails at its first step: its old output goes, and profile 2 still gets its own
  // size rather than the work file profile 0 left behind.
  profiles[1].Width = 0;
  for (int k = 0; k < 3; ++k) (void)BuildProfilePicture(work, names, k, profiles[k], converter, &log);
  EXPECT_FALSE(testing::FileExists(names.outputPath[1]));
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_NE(log.lines()[0].find(SJIS("[画像]")), std::string::npos);
  EXPECT_TRUE(testing::FileExists(names.outputPath[2]));
  EXPECT_TRUE(boxes_.empty());
}

}  // namespace
}  // namespace qv
