// BMP files: the input is a whole file, given to the one header decoder and to every reader
// built on it: the bitmap loader (and its row-by-row form), the colour reduction's file reader
// under the median cut, the capture core's reader behind its BMP to JPEG, and the converter's.
// Each reader must take the file exactly when the decoder accepts it at the depths the reader
// takes (the two whose pixels index a colour table may still refuse an index beyond it), and
// what it gives back must have the decoder's size.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "app/image/bitmap.h"
#include "app/image/median_cut.h"
#include "core/bmp_reader.h"
#include "fuzz/fuzz_support.h"
#include "platform/bmp_layout.h"
#include "tools/picture.h"

using namespace qv::fuzz;

namespace {

constexpr unsigned kPalettedDepths = qv::kBmpDepth1 | qv::kBmpDepth4 | qv::kBmpDepth8;

// The decoder's verdict at `depths`, its layout checked against the file.
bool Accepts(const uint8_t* data, size_t size, unsigned depths, qv::BmpLayout* layout) {
  if (qv::ParseBmpHeaders(data, size, size, depths, layout) != qv::BmpFault::kNone) return false;
  Check(layout->width >= 1 && layout->width <= qv::kBmpMaxDimension && layout->height >= 1 &&
            layout->height <= qv::kBmpMaxDimension,
        "an accepted layout beyond the size limits");
  Check(layout->stride == qv::RowStride(layout->width, layout->bitCount), "an accepted layout's stride");
  Check(layout->tableEntries <= 256 && layout->tableOffset + 4 * uint64_t{layout->tableEntries} <= layout->pixelOffset,
        "an accepted colour table beyond 256 entries or over the pixels");
  Check(layout->pixelOffset + layout->stride * static_cast<uint64_t>(layout->height) <= size,
        "accepted pixels beyond the end of the file");
  return true;
}

void CheckBitmapLoader(const std::string& path, const qv::BmpLayout* layout) {
  qv::Bitmap bitmap;
  std::string error;
  bool loaded = qv::LoadBmp(path, &bitmap, &error);
  Check(loaded == (layout != nullptr), "the bitmap loader and the header decoder disagree");
  if (!loaded) {
    Check(bitmap.empty() && !error.empty(), "a refused bitmap without a reason or with pixels");
    return;
  }
  Check(bitmap.width() == layout->width && bitmap.height() == layout->height &&
            bitmap.bitsBlockSize() == layout->stride * static_cast<size_t>(layout->height),
        "a loaded bitmap of another size than its headers say");
  qv::Bitmap converted;
  if (bitmap.bitCount() >= 8 && bitmap.bitCount() != 24 && qv::ConvertTo24Bits(bitmap, &converted, &error)) {
    Check(qv::Is24BitPicture(converted) && converted.width() == bitmap.width(), "a 24-bit copy of another size");
  }

  qv::BmpFile file;
  Check(file.Open(path, &error), "the row reader refuses what the loader took");
  std::vector<uint8_t> bits(file.stride() * static_cast<size_t>(file.info().biHeight));
  Check(file.ReadAll(bits.data()) && bits == bitmap.bits(), "the row reader reads other rows than the loader");
}

void CheckMedianCutReader(const std::string& path, const qv::BmpLayout* layout) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  Check(fd >= 0, "the work file cannot be opened");
  qv::BmpFileRowReader reader(fd);
  qv::BitmapRowWriter writer;
  qv::MedianCutOptions options;
  options.precision = 0;  // the smallest histogram: the reader is under test here
  int result = qv::RunMedianCut(reader, writer, options);
  close(fd);
  Check((result == qv::kMedianCutDone) == (layout != nullptr), "the median cut's reader and the decoder disagree");
  if (layout) {
    Check(writer.bitmap().width() == layout->width && writer.bitmap().height() == layout->height,
          "the median cut's result of another size");
  }
}

void CheckCaptureCoreReader(const std::string& path, const qv::BmpLayout* layout) {
  qxcore::RgbImage image;
  std::string status = qxcore::ReadBmpAsRgb(path, image);
  if (status != qxcore::kBmpOk) {
    Check(image.pixels.empty(), "a refused picture with pixels");
    Check(layout == nullptr || (layout->bitCount <= 8 && status == qxcore::kBmpCorruptPalette),
          "the capture core's reader refuses what the decoder accepts");
    return;
  }
  Check(layout != nullptr, "the capture core's reader takes what the decoder refuses");
  Check(image.width == layout->width && image.height == layout->height &&
            image.pixels.size() == static_cast<size_t>(image.width) * static_cast<size_t>(image.height) * 3,
        "the capture core's picture of another size");
}

void CheckConverterReader(const uint8_t* data, size_t size, const qv::BmpLayout* layout) {
  qvconvert::Picture picture;
  std::string error;
  if (!qvconvert::ReadBmpBytes(data, size, "picture.bmp", &picture, &error)) {
    Check(!error.empty(), "the converter refuses a picture without a message");
    Check(layout == nullptr || layout->bitCount == 8, "the converter's reader refuses what the decoder accepts");
    return;
  }
  Check(layout != nullptr, "the converter's reader takes what the decoder refuses");
  const size_t pixels = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
  Check(picture.width == layout->width && picture.height == layout->height &&
            picture.pixels.size() == pixels * (picture.paletted ? 1 : 3),
        "the converter's picture of another size");
  if (picture.paletted) {
    for (uint8_t index : picture.pixels) Check(index < picture.palette.size(), "a colour index beyond the table");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string path = WriteWorkFile("picture.bmp", AsText(data, size));
  qv::BmpLayout all, core, converter, median;
  const bool any = Accepts(data, size, qv::kBmpAllDepths, &all);
  CheckBitmapLoader(path, any ? &all : nullptr);
  const bool byCore = Accepts(data, size, kPalettedDepths | qv::kBmpDepth24, &core);
  CheckCaptureCoreReader(path, byCore ? &core : nullptr);
  const bool byConverter = Accepts(data, size, qv::kBmpDepth8 | qv::kBmpDepth24, &converter);
  CheckConverterReader(data, size, byConverter ? &converter : nullptr);
  const bool byMedianCut = Accepts(data, size, qv::kBmpDepth24, &median);
  CheckMedianCutReader(path, byMedianCut ? &median : nullptr);
  return 0;
}
