// The median-cut colour quantiser with error diffusion.
//
// Colours are counted in a histogram of cells (N + 1 cells per channel, N = 2^(3 + precision));
// the occupied colour space is cut into boxes after Heckbert, "Color Image Quantization for
// Frame Buffer Display" (SIGGRAPH 1982): first the box of the largest extent while fewer than
// half the colours exist, then the box with the most occupied cells, always across its
// longest side. Each box's count-weighted mean becomes a table entry, and the pixels are mapped
// with serpentine error diffusion after Floyd and Steinberg ("An adaptive algorithm for spatial
// greyscale", 1976), the errors spread 8/16 ahead and 2/16, 4/16, 1/16 below.
//
// The engine reads a 24-bit picture row by row through a PixelRowReader and writes an 8-bit
// picture with a 256-entry colour table through an IndexRowWriter; readers and writers for
// BMP files and for in-memory bitmaps are provided.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "app/image/bitmap.h"

namespace qv {

// Results of the engine.
enum MedianCutResult : int {
  kMedianCutDone = 0,
  kMedianCutBadInput = 1,         // not an uncompressed 24-bit picture of a sane size
  kMedianCutOutOfMemory = 2,
  kMedianCutReadFailed = 3,       // a header or row cannot be read (e.g. the file is short)
  kMedianCutWriteFailed = 4,      // the header or a row cannot be written
  kMedianCutOpenFailed = 6,       // a file cannot be opened, or the precision is not 0..4
  kMedianCutCancelledCounting = -1,
  kMedianCutCancelledMapping = 255,
};

// Called after each counted row and after each written row with the row (1 = top) and the
// height; returning false cancels the run.
using MedianCutProgress = std::function<bool(int row, int height)>;

struct MedianCutOptions {
  int precision = 4;     // 0..4: 8, 16, 32, 64 or 128 histogram steps per channel
  int colorCount = 256;  // colours to make; taken as 1 below 1 and as 256 above 256
  MedianCutProgress progress;  // empty: never cancels
};

// Source of the picture. Rows are numbered from 1 at the top.
class PixelRowReader {
 public:
  virtual ~PixelRowReader() = default;
  // Fills *info (width, height > 0) and returns kMedianCutDone, or kMedianCutBadInput /
  // kMedianCutReadFailed.
  [[nodiscard]] virtual int ReadHeader(BitmapInfoHeader* info) = 0;
  // Fills `pixels` with width x 3 bytes (blue, green, red) of row `row`.
  [[nodiscard]] virtual bool ReadRow(int row, uint8_t* pixels) = 0;
};

// Destination of the result. Rows are numbered from 1 at the top.
class IndexRowWriter {
 public:
  virtual ~IndexRowWriter() = default;
  // `info` is the 8-bit header (biHeight positive, biSizeImage = stride x height).
  [[nodiscard]] virtual bool WriteHeader(const BitmapInfoHeader& info,
                                         const std::array<RgbQuad, 256>& table) = 0;
  // `indices` holds one stride (width rounded up to 4) of bytes, the padding zero.
  [[nodiscard]] virtual bool WriteRow(int row, const uint8_t* indices) = 0;
};

// Runs the quantiser. Returns a MedianCutResult; precision outside 0..4 gives
// kMedianCutOpenFailed before anything is read.
[[nodiscard]] int RunMedianCut(PixelRowReader& reader, IndexRowWriter& writer,
                               const MedianCutOptions& options);

// Runs the quantiser from the BMP file `source` to the 8-bit BMP file `destination`
// (bfOffBits 1078). On any result but kMedianCutDone no destination file is left behind.
[[nodiscard]] int RunMedianCutFiles(const std::string& source, const std::string& destination,
                                    const MedianCutOptions& options);

// Reads a 24-bit bitmap held in memory; the bitmap must outlive the reader.
class BitmapRowReader : public PixelRowReader {
 public:
  explicit BitmapRowReader(const Bitmap& bitmap) : bitmap_(bitmap) {}
  [[nodiscard]] int ReadHeader(BitmapInfoHeader* info) override;
  [[nodiscard]] bool ReadRow(int row, uint8_t* pixels) override;

 private:
  const Bitmap& bitmap_;
};

// Reads a 24-bit BMP file of any layout platform/bmp_layout.h accepts from the open file `fd`
// (not owned, read with positioned reads). ReadHeader gives kMedianCutBadInput for another
// depth or layout and kMedianCutReadFailed for a file that ends before its headers or pixels.
class BmpFileRowReader : public PixelRowReader {
 public:
  explicit BmpFileRowReader(int fd) : fd_(fd) {}
  [[nodiscard]] int ReadHeader(BitmapInfoHeader* info) override;
  [[nodiscard]] bool ReadRow(int row, uint8_t* pixels) override;

 private:
  int fd_;
  BmpLayout layout_;
};

// Collects the result as an 8-bit bitmap with a 256-entry colour table.
class BitmapRowWriter : public IndexRowWriter {
 public:
  [[nodiscard]] bool WriteHeader(const BitmapInfoHeader& info,
                                 const std::array<RgbQuad, 256>& table) override;
  [[nodiscard]] bool WriteRow(int row, const uint8_t* indices) override;
  // The collected picture; empty until WriteHeader succeeded.
  [[nodiscard]] Bitmap& bitmap() { return bitmap_; }

 private:
  Bitmap bitmap_;
};

}  // namespace qv
