#include <gif_lib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/testing/bmp_fixtures.h"
#include "tools/picture.h"

namespace {

using qvconvert::Picture;
using qvconvert::Rgb;

void Put32(std::string* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(v >> (8 * i)));
}
void Put16(std::string* out, uint16_t v) {
  out->push_back(static_cast<char>(v));
  out->push_back(static_cast<char>(v >> 8));
}

// A BMP file as the image pipeline writes it: bottom-up rows padded to 4 bytes; 8-bit files
// with a 256-entry table (bfOffBits 1078), 24-bit files stored blue, green, red.
std::string MakeBmp(const Picture& picture, uint32_t compression = 0) {
  int bits = picture.paletted ? 8 : 24;
  uint32_t stride = ((picture.width * bits + 31) / 32) * 4;
  uint32_t offset = 54 + (picture.paletted ? 1024 : 0);
  std::string out = "BM";
  Put32(&out, offset + stride * picture.height);
  Put32(&out, 0);
  Put32(&out, offset);
  Put32(&out, 40);
  Put32(&out, picture.width);
  Put32(&out, picture.height);
  Put16(&out, 1);
  Put16(&out, static_cast<uint16_t>(bits));
  Put32(&out, compression);
  Put32(&out, stride * picture.height);
  Put32(&out, 2835);
  Put32(&out, 2835);
  Put32(&out, picture.paletted ? 256 : 0);
  Put32(&out, 0);
  if (picture.paletted) {
    for (int i = 0; i < 256; ++i) {
      const Rgb& c = picture.palette[i];
      out += {static_cast<char>(c.blue), static_cast<char>(c.green), static_cast<char>(c.red), 0};
    }
  }
  for (int y = picture.height - 1; y >= 0; --y) {
    size_t start = out.size();
    for (int x = 0; x < picture.width; ++x) {
      Rgb c = picture.ColourAt(x, y);
      if (picture.paletted) {
        out.push_back(static_cast<char>(picture.pixels[y * picture.width + x]));
      } else {
        out += {static_cast<char>(c.blue), static_cast<char>(c.green), static_cast<char>(c.red)};
      }
    }
    out.resize(start + stride, '\x55');  // padding bytes must not become pixels
  }
  return out;
}

// 13 x 7 (rows need padding), 256 distinct colours, every index used in some pattern.
Picture PalettedPicture() {
  Picture p;
  p.width = 13;
  p.height = 7;
  p.paletted = true;
  for (int i = 0; i < 256; ++i) {
    p.palette.push_back(Rgb{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>((i * 37) & 255)});
  }
  for (int i = 0; i < p.width * p.height; ++i) p.pixels.push_back(static_cast<uint8_t>((i * 53 + 7) & 255));
  return p;
}

// A smooth 24-bit picture with far more than 256 colours.
Picture GradientPicture(int width = 61, int height = 45) {
  Picture p;
  p.width = width;
  p.height = height;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      p.pixels.push_back(static_cast<uint8_t>(x * 255 / (width - 1)));
      p.pixels.push_back(static_cast<uint8_t>(y * 255 / (height - 1)));
      p.pixels.push_back(static_cast<uint8_t>((x + y) * 2));
    }
  }
  return p;
}

// A 24-bit picture of five colours.
Picture FewColoursPicture() {
  const Rgb colours[5] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}, {10, 20, 30}};
  Picture p;
  p.width = 10;
  p.height = 9;
  for (int i = 0; i < p.width * p.height; ++i) {
    const Rgb& c = colours[(i / 3) % 5];
    p.pixels.insert(p.pixels.end(), {c.red, c.green, c.blue});
  }
  return p;
}

class QvconvertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qv::MakeWorkFolder("QC");
    ASSERT_FALSE(folder_.empty());
    program_ = qv::ProgramFolder() + "qvconvert";
    ASSERT_TRUE(std::filesystem::exists(program_)) << program_;
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string Source(const Picture& picture, const std::string& name = "QVTmp002.___") {
    std::string path = folder_ + name;
    std::ofstream(path, std::ios::binary) << MakeBmp(picture);
    return path;
  }
  int Convert(const std::string& source, const std::string& destination) {
    qv::ProcessResult result = qv::RunProcess({program_, source, "/convert=" + destination, "/silent"});
    EXPECT_EQ(result.outcome, qv::ProcessOutcome::kExited);
    return result.exitCode;
  }
  // Files in the folder other than the given ones (half-written output, temporary names).
  std::vector<std::string> OtherFiles(const std::vector<std::string>& expected) {
    std::vector<std::string> others;
    for (auto& entry : std::filesystem::directory_iterator(folder_)) {
      std::string path = entry.path().string();
      if (std::find(expected.begin(), expected.end(), path) == expected.end()) others.push_back(path);
    }
    return others;
  }

  std::string folder_;
  std::string program_;
};

// Reads a GIF with giflib's own decoder.
struct DecodedGif {
  int width = 0, height = 0;
  std::vector<Rgb> table;
  std::vector<uint8_t> indexes;
};

bool ReadGif(const std::string& path, DecodedGif* out) {
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (!gif) return false;
  bool ok = DGifSlurp(gif) == GIF_OK && gif->ImageCount == 1;
  if (ok) {
    const SavedImage& image = gif->SavedImages[0];
    const ColorMapObject* map = image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
    out->width = image.ImageDesc.Width;
    out->height = image.ImageDesc.Height;
    for (int i = 0; map && i < map->ColorCount; ++i) {
      out->table.push_back(Rgb{map->Colors[i].Red, map->Colors[i].Green, map->Colors[i].Blue});
    }
    out->indexes.assign(image.RasterBits, image.RasterBits + out->width * out->height);
  }
  DGifCloseFile(gif, &error);
  return ok;
}

TEST_F(QvconvertTest, PalettedBmpKeepsItsPaletteInGif) {
  Picture picture = PalettedPicture();
  std::string source = Source(picture);
  std::string destination = folder_ + "QVTmp005.gif";
  ASSERT_EQ(Convert(source, destination), 0);
  DecodedGif gif;
  ASSERT_TRUE(ReadGif(destination, &gif));
  EXPECT_EQ(gif.width, 13);
  EXPECT_EQ(gif.height, 7);
  EXPECT_EQ(gif.table, picture.palette);
  EXPECT_EQ(gif.indexes, picture.pixels);
  EXPECT_TRUE(OtherFiles({source, destination}).empty());
}

TEST_F(QvconvertTest, TrueColourBmpIsReducedTo256ColoursInGif) {
  Picture few = FewColoursPicture();
  std::string destination = folder_ + "few.GIF";  // the extension's letter case does not matter
  ASSERT_EQ(Convert(Source(few, "few"), destination), 0);
  DecodedGif gif;
  ASSERT_TRUE(ReadGif(destination, &gif));
  ASSERT_EQ(gif.width * gif.height, few.width * few.height);
  for (int i = 0; i < few.width * few.height; ++i) {
    ASSERT_EQ(gif.table.at(gif.indexes[i]), few.ColourAt(i % few.width, i / few.width)) << i;
  }

  Picture gradient = GradientPicture();
  destination = folder_ + "gradient.gif";
  ASSERT_EQ(Convert(Source(gradient, "gradient"), destination), 0);
  gif = DecodedGif();
  ASSERT_TRUE(ReadGif(destination, &gif));
  EXPECT_EQ(gif.width, gradient.width);
  EXPECT_EQ(gif.height, gradient.height);
  EXPECT_LE(gif.table.size(), 256u);
  double error = 0;
  for (int i = 0; i < gradient.width * gradient.height; ++i) {
    Rgb got = gif.table.at(gif.indexes[i]);
    Rgb want = gradient.ColourAt(i % gradient.width, i / gradient.width);
    error += std::abs(got.red - want.red) + std::abs(got.green - want.green) + std::abs(got.blue - want.blue);
  }
  EXPECT_LT(error / (gradient.width * gradient.height * 3), 8.0);
}

// Decodes a file with Python's PIL and prints: format, mode, width, height; the palette
// (count then values); every pixel as RGB; for palette pictures every index.
const char kPilReader[] = R"(
import sys
from PIL import Image
im = Image.open(sys.argv[1])
im.load()
print(im.format, im.mode, im.size[0], im.size[1])
pal = im.getpalette() if im.mode == 'P' else []
print(len(pal) // 3, *pal)
print(*[v for px in im.convert('RGB').getdata() for v in px])
print(*(im.getdata() if im.mode == 'P' else []))
)";

struct PilView {
  std::string format, mode;
  int width = 0, height = 0;
  std::vector<Rgb> palette;
  std::vector<Rgb> pixels;
  std::vector<int> indexes;
};

bool PilAvailable() {
  return qv::RunProcess({"/usr/bin/python3", "-c", "import PIL.Image"}).Succeeded();
}

PilView ReadWithPil(const std::string& path) {
  qv::ProcessOptions options;
  options.captureOutput = true;
  options.outputLimit = 64 << 20;
  qv::ProcessResult result = qv::RunProcess({"/usr/bin/python3", "-c", kPilReader, path}, options);
  EXPECT_TRUE(result.Succeeded()) << path;
  std::istringstream lines(result.output);
  std::string line;
  PilView view;
  std::getline(lines, line);
  std::istringstream(line) >> view.format >> view.mode >> view.width >> view.height;
  std::getline(lines, line);
  std::istringstream palette(line);
  int count = 0, r, g, b;
  palette >> count;
  while (palette >> r >> g >> b) view.palette.push_back(Rgb{uint8_t(r), uint8_t(g), uint8_t(b)});
  EXPECT_EQ(static_cast<int>(view.palette.size()), count);
  std::getline(lines, line);
  std::istringstream pixels(line);
  while (pixels >> r >> g >> b) view.pixels.push_back(Rgb{uint8_t(r), uint8_t(g), uint8_t(b)});
  std::getline(lines, line);
  std::istringstream indexes(line);
  while (indexes >> r) view.indexes.push_back(r);
  return view;
}

std::vector<Rgb> PixelsOf(const Picture& picture) {
  std::vector<Rgb> pixels;
  for (int y = 0; y < picture.height; ++y) {
    for (int x = 0; x < picture.width; ++x) pixels.push_back(picture.ColourAt(x, y));
  }
  return pixels;
}

TEST_F(QvconvertTest, IndependentDecoderReadsEveryFormat) {
  if (!PilAvailable()) GTEST_SKIP() << "Python's PIL (python3-pil) is not installed";
  Picture paletted = PalettedPicture();
  Picture gradient = GradientPicture(33, 17);
  std::string palettedSource = Source(paletted, "paletted");
  std::string gradientSource = Source(gradient, "gradient");

  ASSERT_EQ(Convert(palettedSource, folder_ + "p.gif"), 0);
  PilView view = ReadWithPil(folder_ + "p.gif");
  EXPECT_EQ(view.format, "GIF");
  EXPECT_EQ(view.mode, "P");
  EXPECT_EQ(view.width, 13);
  EXPECT_EQ(view.height, 7);
  EXPECT_EQ(view.palette, paletted.palette);
  EXPECT_EQ(view.indexes, std::vector<int>(paletted.pixels.begin(), paletted.pixels.end()));

  ASSERT_EQ(Convert(gradientSource, folder_ + "g.gif"), 0);
  view = ReadWithPil(folder_ + "g.gif");
  EXPECT_EQ(view.format, "GIF");
  EXPECT_EQ(view.width, 33);
  EXPECT_EQ(view.height, 17);

  for (const char* name : {"p.png", "p.bmp"}) {
    ASSERT_EQ(Convert(palettedSource, folder_ + name), 0) << name;
    view = ReadWithPil(folder_ + name);
    EXPECT_EQ(view.mode, "P") << name;
    EXPECT_EQ(view.pixels, PixelsOf(paletted)) << name;
  }
  for (const char* name : {"g.png", "g.bmp"}) {
    ASSERT_EQ(Convert(gradientSource, folder_ + name), 0) << name;
    view = ReadWithPil(folder_ + name);
    EXPECT_EQ(view.mode, "RGB") << name;
    EXPECT_EQ(view.pixels, PixelsOf(gradient)) << name;
  }
  for (const char* name : {"g.jpg", "g.JPEG"}) {
    ASSERT_EQ(Convert(gradientSource, folder_ + name), 0) << name;
    view = ReadWithPil(folder_ + name);
    EXPECT_EQ(view.format, "JPEG") << name;
    EXPECT_EQ(view.width, 33);
    ASSERT_EQ(view.pixels.size(), 33u * 17u);
    std::vector<Rgb> want = PixelsOf(gradient);
    double error = 0;
    for (size_t i = 0; i < want.size(); ++i) {
      error += std::abs(view.pixels[i].red - want[i].red) + std::abs(view.pixels[i].green - want[i].green) +
               std::abs(view.pixels[i].blue - want[i].blue);
    }
    EXPECT_LT(error / (want.size() * 3), 6.0) << name;
  }
}

TEST_F(QvconvertTest, UnreadableInputGivesStatusOneAndNoOutput) {
  std::string destination = folder_ + "out.gif";
  std::string good = Source(PalettedPicture(), "good");
  std::vector<std::string> sources = {good};
  auto bad = [&](const std::string& name, const std::string& bytes) {
    std::string path = folder_ + name;
    std::ofstream(path, std::ios::binary) << bytes;
    sources.push_back(path);
    return path;
  };
  std::string valid = MakeBmp(PalettedPicture());
  std::string rle = MakeBmp(PalettedPicture(), 1);
  std::string sixteen = valid;
  sixteen[28] = 16;
  std::string outside = MakeBmp(PalettedPicture());
  outside[46] = 2;  // a two-colour table, but indexes up to 255
  outside[47] = 0;
  std::string huge = valid;
  huge[21] = 0x7F;  // width near 2^31

  std::string pipe = folder_ + "pipe";
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  sources.push_back(pipe);
  for (const std::string& source :
       {bad("empty", ""), bad("text", "hello, not a picture"), bad("truncated", valid.substr(0, valid.size() - 1)),
        bad("rle", rle), bad("sixteen", sixteen), bad("outside", outside), bad("huge", huge),
        folder_ + "missing", pipe, folder_}) {
    EXPECT_EQ(Convert(source, destination), 1) << source;
  }
  EXPECT_EQ(Convert(good, folder_ + "out.tiff"), 1);
  EXPECT_EQ(Convert(good, folder_ + "out"), 1);
  EXPECT_EQ(Convert(good, folder_ + "no/such/folder/out.gif"), 1);
  EXPECT_EQ(qv::RunProcess({program_}).exitCode, 1);
  EXPECT_EQ(qv::RunProcess({program_, good}).exitCode, 1);
  EXPECT_TRUE(OtherFiles(sources).empty());
}

TEST(BmpReader, TakesEveryLayoutAtEightAndTwentyFourBits) {
  for (const auto& fixture : qv::bmp_fixtures::Fixtures()) {
    Picture picture;
    std::string error;
    const bool read = qvconvert::ReadBmpBytes(fixture.bytes.data(), fixture.bytes.size(), "f", &picture, &error);
    EXPECT_NE(read, !error.empty()) << fixture.layout.name;
    std::vector<uint32_t> pixels;
    for (const Rgb& c : PixelsOf(picture)) pixels.push_back(uint32_t(c.red) << 16 | c.green << 8 | c.blue);
    qv::bmp_fixtures::ExpectReadBack(fixture, qv::kBmpDepth8 | qv::kBmpDepth24, read, pixels);
  }
}

TEST(BmpReader, EveryTruncationFailsCleanly) {
  std::string folder = qv::MakeWorkFolder("QT");
  ASSERT_FALSE(folder.empty());
  for (const Picture& picture : {PalettedPicture(), GradientPicture(5, 3)}) {
    std::string bytes = MakeBmp(picture);
    std::string path = folder + "cut";
    for (size_t length = 0; length < bytes.size(); ++length) {
      std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes.substr(0, length);
      Picture read;
      std::string error;
      EXPECT_FALSE(qvconvert::ReadBmpFile(path, &read, &error)) << length;
      EXPECT_FALSE(error.empty());
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    Picture read;
    std::string error;
    ASSERT_TRUE(qvconvert::ReadBmpFile(path, &read, &error)) << error;
    EXPECT_EQ(PixelsOf(read), PixelsOf(picture));
    // What we write reads back the same.
    std::vector<uint8_t> encoded;
    ASSERT_TRUE(qvconvert::EncodeBmp(read, &encoded, &error));
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(encoded.data()),
                                                                  encoded.size());
    Picture again;
    ASSERT_TRUE(qvconvert::ReadBmpFile(path, &again, &error));
    EXPECT_EQ(PixelsOf(again), PixelsOf(picture));
  }
  std::filesystem::remove_all(folder);
}

}  // namespace

TEST(JpegEncoder, OutputThatOutgrowsItsFirstBufferIsWholeAndAFailureLeavesNothing) {
  // Noise compresses badly, so the output passes the first buffer several times over.
  Picture noise;
  noise.width = 320;
  noise.height = 240;
  noise.pixels.resize(static_cast<size_t>(noise.width) * noise.height * 3);
  uint32_t state = 12345;
  for (uint8_t& byte : noise.pixels) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<uint8_t>(state >> 16);
  }
  std::vector<uint8_t> jpeg;
  std::string error;
  ASSERT_TRUE(qvconvert::EncodeJpeg(noise, 90, &jpeg, &error)) << error;
  ASSERT_GT(jpeg.size(), 4 * 4096u);
  EXPECT_EQ(jpeg[0], 0xFF);
  EXPECT_EQ(jpeg[1], 0xD8);
  EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
  EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);

  Picture empty;  // libjpeg refuses a picture without rows
  EXPECT_FALSE(qvconvert::EncodeJpeg(empty, 90, &jpeg, &error));
  EXPECT_TRUE(jpeg.empty());
  EXPECT_NE(error.find("JPEG writer: "), std::string::npos) << error;
}
