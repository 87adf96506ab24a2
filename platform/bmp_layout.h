// The BMP layouts this system reads, described once for every BMP reader (the bitmap loader,
// the colour reduction's file reader, the capture core's BMP to JPEG and qvconvert).
//
// Accepted, by every reader (all integers little-endian):
// - the 14-byte file header starting "BM"; bfSize and biSizeImage are not relied on;
// - an info header of 40 bytes (BITMAPINFOHEADER), 52 or 56 bytes (the same with the red,
//   green, blue and then the alpha mask appended), 108 bytes (version 4) or 124 bytes
//   (version 5); the fields beyond the masks (colour space, gamma, profile) are ignored;
// - biPlanes 1; a width of 1 to 16384 and a height of 1 to 16384, negative for top-down rows;
// - 1, 4, 8, 16, 24 or 32 bits per pixel, of which each reader takes the depths it can carry
//   (its header says which);
// - BI_RGB at any depth (16 bits: 5-5-5, 32 bits: blue, green, red in the three low bytes);
//   BI_BITFIELDS at 16 and 32 bits only, with the red, green and blue masks in the info header
//   when it is longer than 40 bytes, else in the 12 bytes that follow it. Each mask is one
//   unbroken run of bits inside the pixel, the three do not overlap; a field narrower than 8
//   bits fills the high bits of its byte (a 5-bit 31 is 0xF8), a wider one keeps its top 8
//   bits. The alpha mask is not read: pictures here are opaque;
// - a colour table of biClrUsed entries (at most 256), or of 2^depth entries for 1, 4 and 8
//   bits when biClrUsed is 0, right after the info header (and the masks);
// - pixels at bfOffBits, which lies at or after the end of the colour table; rows padded to
//   4 bytes, all of them inside the file.
// Refused: any other header size (the 12-byte and 64-byte OS/2 headers among them), run-length,
// JPEG, PNG and alpha-bit-field compression, masks that break the rules above, more than 256
// table entries, bfOffBits inside the headers, masks or colour table, and files that end
// before the headers, masks, colour table or pixels do.
//
// The bytes parsed here are untrusted; nothing is read outside the buffer given.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qv {

inline constexpr size_t kBmpFileHeaderSize = 14;
// Bytes at the start of a file that hold every header, mask and field ParseBmpHeaders reads.
inline constexpr size_t kBmpHeadSize = kBmpFileHeaderSize + 124;
inline constexpr int kBmpMaxDimension = 16384;

inline constexpr uint32_t kBmpCompressionRgb = 0;        // BI_RGB
inline constexpr uint32_t kBmpCompressionBitfields = 3;  // BI_BITFIELDS

// Sets of depths a reader takes, one bit per depth.
enum BmpDepths : unsigned {
  kBmpDepth1 = 1u << 0,
  kBmpDepth4 = 1u << 1,
  kBmpDepth8 = 1u << 2,
  kBmpDepth16 = 1u << 3,
  kBmpDepth24 = 1u << 4,
  kBmpDepth32 = 1u << 5,
  kBmpAllDepths = 0x3Fu,
};

// Why a file was refused, in the order the checks are made.
enum class BmpFault {
  kNone,
  kNotBmp,             // no "BM" at the start
  kTruncated,          // the file ends inside the headers, masks or colour table
  kHeaderSize,         // an info header of another size
  kDimensions,         // a width or height of 0, a negative width, a side above 16384
  kBitCount,           // biPlanes not 1, or a depth the reader does not take
  kCompression,        // a compression other than the two above
  kMasks,              // bit-field masks that cannot be decoded
  kColourTable,        // more than 256 colour table entries
  kPixelOffset,        // bfOffBits inside the headers, masks or colour table
  kTruncatedPixels,    // the file ends before the last row does
};

// English words for a fault, for readers whose messages are English ("unsupported BMP header").
[[nodiscard]] const char* DescribeBmpFault(BmpFault fault);

struct BmpMasks {
  uint32_t red = 0;
  uint32_t green = 0;
  uint32_t blue = 0;
  bool operator==(const BmpMasks&) const = default;
};

// The masks of a BI_RGB picture: 16 bits 0x7C00, 0x03E0, 0x001F; 32 bits 0xFF0000, 0xFF00,
// 0xFF; all zero for other depths.
[[nodiscard]] BmpMasks DefaultBmpMasks(int bitCount);

// One colour channel of a 16- or 32-bit pixel.
class BmpChannel {
 public:
  BmpChannel() = default;
  // False when `mask` is empty, not one unbroken run of bits, or reaches beyond `bitCount`.
  [[nodiscard]] bool Set(uint32_t mask, int bitCount);
  // The channel of `pixel` as 8 bits (see the top of this header).
  [[nodiscard]] uint8_t Decode(uint32_t pixel) const {
    const uint32_t value = (pixel & mask_) >> shift_;
    return static_cast<uint8_t>(width_ >= 8 ? value >> (width_ - 8) : value << (8 - width_));
  }

 private:
  uint32_t mask_ = 0;
  int shift_ = 0;
  int width_ = 8;
};

// Decodes 16- or 32-bit pixels by their masks.
class BmpPixelDecoder {
 public:
  // False when the masks break the rules at the top of this header, or `bitCount` is neither
  // 16 nor 32.
  [[nodiscard]] bool Set(const BmpMasks& masks, int bitCount);
  // Writes blue, green, red of the pixel stored at `pixel` (2 or 4 bytes) to `bgr`.
  void DecodeBgr(const uint8_t* pixel, uint8_t* bgr) const {
    uint32_t value = uint32_t{pixel[0]} | uint32_t{pixel[1]} << 8;
    if (bytes_ == 4) value |= uint32_t{pixel[2]} << 16 | uint32_t{pixel[3]} << 24;
    bgr[0] = blue_.Decode(value);
    bgr[1] = green_.Decode(value);
    bgr[2] = red_.Decode(value);
  }

 private:
  BmpChannel red_, green_, blue_;
  int bytes_ = 4;
};

// What the headers of an accepted file say, in the terms a reader needs.
struct BmpLayout {
  uint32_t infoSize = 0;      // biSize: 40, 52, 56, 108 or 124
  int width = 0;
  int height = 0;             // number of rows, always positive
  bool topDown = false;       // the first row in the file is the top one
  int bitCount = 0;
  uint32_t compression = kBmpCompressionRgb;
  BmpMasks masks;             // 16 and 32 bits: the file's or the default masks
  uint32_t tableEntries = 0;  // colour table entries in the file (4 bytes each)
  uint64_t tableOffset = 0;   // file offset of the colour table
  uint64_t pixelOffset = 0;   // bfOffBits
  uint64_t stride = 0;        // bytes of one row, padded to 4
};

// Checks the headers of a BMP file against the accepted layouts and the reader's `depths`.
// `head` holds the first `headSize` bytes of the file (all of it, or at least kBmpHeadSize);
// `fileSize` is the length of the whole file, against which the colour table and the pixels
// are checked. Fills *layout and returns kNone, or returns the first fault found.
[[nodiscard]] BmpFault ParseBmpHeaders(const uint8_t* head, size_t headSize, uint64_t fileSize,
                                       unsigned depths, BmpLayout* layout);

}  // namespace qv
