// The in-memory picture of the image pipeline and its BMP files.
//
// A picture is a device-independent bitmap held as two blocks: the header block (the 40-byte
// BITMAPINFOHEADER and its colour table) and the bits block (rows bottom-up, each padded with
// zero bytes to a multiple of 4; 24-bit pixels are blue, green, red). The BMP writer writes
// exactly these two blocks, so their sizes are the file's sizes.
//
// Every BMP file is untrusted input: the loader checks each header field against the file and
// refuses what it cannot hold safely, with a reason for the activity log.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/bmp_layout.h"

namespace qv {

static_assert(std::endian::native == std::endian::little,
              "BMP headers are copied as little-endian memory images");

// Largest width or height (in pixels) of any picture the pipeline accepts.
inline constexpr int kMaxBitmapDimension = kBmpMaxDimension;

inline constexpr uint32_t kCompressionRgb = kBmpCompressionRgb;
inline constexpr uint32_t kCompressionBitfields = kBmpCompressionBitfields;

// Size of the BMP file header (bfType, bfSize, bfReserved1, bfReserved2, bfOffBits).
inline constexpr size_t kFileHeaderSize = kBmpFileHeaderSize;

struct BitmapInfoHeader {
  uint32_t biSize = 40;
  int32_t biWidth = 0;
  int32_t biHeight = 0;  // positive: bottom-up rows
  uint16_t biPlanes = 1;
  uint16_t biBitCount = 0;
  uint32_t biCompression = kCompressionRgb;
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
};
static_assert(sizeof(BitmapInfoHeader) == 40);

struct RgbQuad {
  uint8_t rgbBlue = 0;
  uint8_t rgbGreen = 0;
  uint8_t rgbRed = 0;
  uint8_t rgbReserved = 0;
};
static_assert(sizeof(RgbQuad) == 4);

// Sorts the first `count` entries of a colour table by blue x green x red, ascending; entries
// of equal product keep their order.
void SortByProduct(RgbQuad* table, int count);

// Bytes of one row of `width` pixels at `bitCount` bits per pixel, padded to 4 bytes.
[[nodiscard]] constexpr size_t RowStride(int64_t width, int bitCount) {
  return static_cast<size_t>((width * bitCount + 31) / 32 * 4);
}

// One picture: header, colour table and pixel rows. Movable, not copyable by accident
// (Clone makes a copy on purpose). In memory, rows are always bottom-up and biHeight positive.
class Bitmap {
 public:
  Bitmap() = default;
  Bitmap(Bitmap&&) noexcept = default;
  Bitmap& operator=(Bitmap&&) noexcept = default;
  Bitmap(const Bitmap&) = delete;
  Bitmap& operator=(const Bitmap&) = delete;

  // A zero-filled picture of width x height (each 1..kMaxBitmapDimension) at `bitCount` bits
  // with `paletteEntries` black table entries; biSizeImage is the bits block size.
  // Throws std::bad_alloc when memory runs out.
  [[nodiscard]] static Bitmap Create(int width, int height, int bitCount, int paletteEntries = 0);

  [[nodiscard]] Bitmap Clone() const;

  [[nodiscard]] BitmapInfoHeader& info() { return info_; }
  [[nodiscard]] const BitmapInfoHeader& info() const { return info_; }
  [[nodiscard]] std::vector<RgbQuad>& palette() { return palette_; }
  [[nodiscard]] const std::vector<RgbQuad>& palette() const { return palette_; }
  [[nodiscard]] std::vector<uint8_t>& bits() { return bits_; }
  [[nodiscard]] const std::vector<uint8_t>& bits() const { return bits_; }
  // The red, green and blue masks of a BI_BITFIELDS picture; they stand between the header
  // and the colour table in the header block, as in the file.
  [[nodiscard]] BmpMasks& masks() { return masks_; }
  [[nodiscard]] const BmpMasks& masks() const { return masks_; }

  [[nodiscard]] int width() const { return info_.biWidth; }
  [[nodiscard]] int height() const { return info_.biHeight; }
  [[nodiscard]] int bitCount() const { return info_.biBitCount; }
  [[nodiscard]] size_t stride() const { return RowStride(info_.biWidth, info_.biBitCount); }
  // Row y, counted from the bottom row 0.
  [[nodiscard]] uint8_t* row(int y) { return bits_.data() + stride() * static_cast<size_t>(y); }
  [[nodiscard]] const uint8_t* row(int y) const {
    return bits_.data() + stride() * static_cast<size_t>(y);
  }

  // The header block: 40 bytes, 12 of masks for BI_BITFIELDS, and 4 per colour table entry.
  [[nodiscard]] size_t headerBlockSize() const {
    return sizeof(BitmapInfoHeader) + (hasMasks() ? sizeof(BmpMasks) : 0) + 4 * palette_.size();
  }
  [[nodiscard]] bool hasMasks() const { return info_.biCompression == kCompressionBitfields; }
  [[nodiscard]] size_t bitsBlockSize() const { return bits_.size(); }
  [[nodiscard]] bool empty() const { return bits_.empty(); }

  // Frees both blocks.
  void Free();

 private:
  BitmapInfoHeader info_;
  BmpMasks masks_;
  std::vector<RgbQuad> palette_;
  std::vector<uint8_t> bits_;
};
static_assert(sizeof(BmpMasks) == 12);

// An open BMP file whose headers passed the checks of LoadBmp (below); its rows are read on
// demand, so a caller that needs a few rows of a large frame reads only those.
class BmpFile {
 public:
  BmpFile() = default;
  ~BmpFile();
  BmpFile(const BmpFile&) = delete;
  BmpFile& operator=(const BmpFile&) = delete;

  // Opens and checks `path` and reads its colour table. False with a CP932 reason as LoadBmp.
  [[nodiscard]] bool Open(const std::string& path, std::string* error = nullptr);
  // The info header as a 40-byte one (biSize 40, whatever the file's version), biHeight made
  // positive (rows are numbered bottom-up whatever the file's order).
  [[nodiscard]] const BitmapInfoHeader& info() const { return info_; }
  // The masks of a BI_BITFIELDS file; zero otherwise.
  [[nodiscard]] const BmpMasks& masks() const { return masks_; }
  [[nodiscard]] const std::vector<RgbQuad>& palette() const { return palette_; }
  [[nodiscard]] size_t stride() const { return stride_; }
  // Reads row y (0 = bottom) into `row`, stride() bytes.
  [[nodiscard]] bool ReadRow(int y, uint8_t* row) const;
  // Reads every row, bottom-up, into `bits` of stride() x height bytes.
  [[nodiscard]] bool ReadAll(uint8_t* bits) const;

 private:
  void Close();

  int fd_ = -1;
  BitmapInfoHeader info_;
  BmpMasks masks_;
  std::vector<RgbQuad> palette_;
  size_t stride_ = 0;
  int64_t pixelOffset_ = 0;
  bool topDown_ = false;
};

// True when `bitmap` is a 24-bit picture whose bits block holds all its rows.
[[nodiscard]] inline bool Is24BitPicture(const Bitmap& bitmap) {
  return bitmap.bitCount() == 24 && !bitmap.empty() &&
         bitmap.bitsBlockSize() >= bitmap.stride() * static_cast<size_t>(bitmap.height());
}

// Loads a BMP of any layout platform/bmp_layout.h accepts, at 1, 4, 8, 16, 24 or 32 bits.
// The header is held as a 40-byte one (biSize 40); a BI_BITFIELDS picture keeps its masks.
// The colour table is 4 x biClrUsed bytes, or the full table of a 1-, 4- or 8-bit picture when
// biClrUsed is 0; the pixels are read from bfOffBits. The bits block is always stride x height
// bytes. A negative height (top-down rows) is turned bottom-up.
// Refused, with false and a CP932 reason in *error: a file that cannot be opened, is not "BM",
// has another header size, a width or height of 0 or beyond kMaxBitmapDimension, another
// depth or compression, masks it cannot decode, more than 256 table entries, pixels said to
// start inside the headers or table, or ends before its pixels do. On failure *out is left
// empty.
[[nodiscard]] bool LoadBmp(const std::string& path, Bitmap* out, std::string* error = nullptr);

// Writes "BM", bfSize = 14 + header block + bits block, bfOffBits = 14 + header block, then
// the header block and the bits block as held. False (and no file left behind) when the file
// cannot be created or written completely.
[[nodiscard]] bool SaveBmp(const std::string& path, const Bitmap& bitmap, std::string* error = nullptr);

// A 24-bit copy of an 8-, 16- or 32-bit picture; 16- and 32-bit pixels are decoded by the
// picture's masks with BI_BITFIELDS, else by the default ones (16 bits 5-5-5; 32 bits the
// fourth byte dropped), as platform/bmp_layout.h describes. The header is copied with 24 bits,
// BI_RGB, the new bits block size, and no colour table. False for any other depth, for masks
// that cannot be decoded, or for an 8-bit picture that uses a palette index beyond its table;
// *out is then left empty.
[[nodiscard]] bool ConvertTo24Bits(const Bitmap& source, Bitmap* out, std::string* error = nullptr);

// Removes `path` when it is a regular file or a symbolic link; a device, a folder or anything
// else is left alone. Writers remove their destination first so that it is created anew:
// ext4 flushes a file that was truncated and rewritten when it is closed.
void RemoveFile(const std::string& path);

// Copies the picture file `source` byte for byte over `destination` (nothing to do when both
// name the same file). False (and no partial destination left behind) when either file cannot
// be opened or written.
[[nodiscard]] bool CopyPictureFile(const std::string& source, const std::string& destination,
                                   std::string* error = nullptr);

}  // namespace qv
