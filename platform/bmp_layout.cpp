#include "platform/bmp_layout.h"

#include <bit>

namespace qv {
namespace {

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Read32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

bool KnownInfoSize(uint32_t size) {
  return size == 40 || size == 52 || size == 56 || size == 108 || size == 124;
}

unsigned DepthBit(int bitCount) {
  switch (bitCount) {
    case 1: return kBmpDepth1;
    case 4: return kBmpDepth4;
    case 8: return kBmpDepth8;
    case 16: return kBmpDepth16;
    case 24: return kBmpDepth24;
    case 32: return kBmpDepth32;
    default: return 0;
  }
}

}  // namespace

const char* DescribeBmpFault(BmpFault fault) {
  switch (fault) {
    case BmpFault::kNone: return "no fault";
    case BmpFault::kNotBmp: return "not a BMP file";
    case BmpFault::kTruncated: return "truncated BMP headers or colour table";
    case BmpFault::kHeaderSize: return "unsupported BMP header";
    case BmpFault::kDimensions: return "unusable picture size";
    case BmpFault::kBitCount: return "unsupported number of bits per pixel";
    case BmpFault::kCompression: return "compressed BMP files are not supported";
    case BmpFault::kMasks: return "unsupported BMP bit-field masks";
    case BmpFault::kColourTable: return "colour table larger than 256 entries";
    case BmpFault::kPixelOffset: return "pixel data starts inside the headers or colour table";
    case BmpFault::kTruncatedPixels: return "truncated pixel data";
  }
  return "unreadable BMP file";
}

BmpMasks DefaultBmpMasks(int bitCount) {
  if (bitCount == 16) return {0x7C00, 0x03E0, 0x001F};
  if (bitCount == 32) return {0xFF0000, 0xFF00, 0xFF};
  return {};
}

bool BmpChannel::Set(uint32_t mask, int bitCount) {
  if (mask == 0 || (bitCount < 32 && mask >> bitCount != 0)) return false;
  const int shift = std::countr_zero(mask);
  const uint32_t run = mask >> shift;
  if ((run & (run + 1)) != 0) return false;  // a gap in the run
  mask_ = mask;
  shift_ = shift;
  width_ = std::popcount(run);
  return true;
}

bool BmpPixelDecoder::Set(const BmpMasks& masks, int bitCount) {
  if (bitCount != 16 && bitCount != 32) return false;
  if ((masks.red & masks.green) != 0 || (masks.red & masks.blue) != 0 || (masks.green & masks.blue) != 0)
    return false;
  bytes_ = bitCount / 8;
  return red_.Set(masks.red, bitCount) && green_.Set(masks.green, bitCount) &&
         blue_.Set(masks.blue, bitCount);
}

BmpFault ParseBmpHeaders(const uint8_t* head, size_t headSize, uint64_t fileSize, unsigned depths,
                         BmpLayout* layout) {
  if (headSize >= 2 && (head[0] != 'B' || head[1] != 'M')) return BmpFault::kNotBmp;
  if (headSize < kBmpFileHeaderSize + 4) return BmpFault::kTruncated;
  const uint8_t* info = head + kBmpFileHeaderSize;
  BmpLayout result;
  result.infoSize = Read32(info);
  if (!KnownInfoSize(result.infoSize)) return BmpFault::kHeaderSize;
  if (headSize < kBmpFileHeaderSize + result.infoSize) return BmpFault::kTruncated;

  const int64_t width = static_cast<int32_t>(Read32(info + 4));
  const int64_t rawHeight = static_cast<int32_t>(Read32(info + 8));
  const int64_t height = rawHeight < 0 ? -rawHeight : rawHeight;
  if (width < 1 || width > kBmpMaxDimension || height < 1 || height > kBmpMaxDimension)
    return BmpFault::kDimensions;
  result.width = static_cast<int>(width);
  result.height = static_cast<int>(height);
  result.topDown = rawHeight < 0;

  result.bitCount = Read16(info + 14);
  if (Read16(info + 12) != 1 || (DepthBit(result.bitCount) & depths) == 0) return BmpFault::kBitCount;
  result.compression = Read32(info + 16);
  const bool maskedDepth = result.bitCount == 16 || result.bitCount == 32;
  uint64_t tableOffset = kBmpFileHeaderSize + result.infoSize;
  if (result.compression == kBmpCompressionBitfields && maskedDepth) {
    // A 40-byte header is followed by the three masks; longer ones hold them.
    const uint8_t* masks = info + 40;
    if (result.infoSize == 40) {
      tableOffset += 12;
      if (headSize < tableOffset) return BmpFault::kTruncated;
    }
    result.masks = {Read32(masks), Read32(masks + 4), Read32(masks + 8)};
    if (!BmpPixelDecoder().Set(result.masks, result.bitCount)) return BmpFault::kMasks;
  } else if (result.compression == kBmpCompressionRgb) {
    result.masks = DefaultBmpMasks(result.bitCount);
  } else {
    return BmpFault::kCompression;
  }

  const uint32_t coloursUsed = Read32(info + 32);
  if (coloursUsed > 256) return BmpFault::kColourTable;
  result.tableEntries = coloursUsed != 0 ? coloursUsed : result.bitCount <= 8 ? 1u << result.bitCount : 0;
  result.tableOffset = tableOffset;
  const uint64_t tableEnd = tableOffset + 4 * uint64_t{result.tableEntries};
  if (tableEnd > fileSize) return BmpFault::kTruncated;
  result.pixelOffset = Read32(head + 10);
  if (result.pixelOffset < tableEnd) return BmpFault::kPixelOffset;
  result.stride = (static_cast<uint64_t>(result.width) * result.bitCount + 31) / 32 * 4;
  if (result.pixelOffset > fileSize || result.stride * result.height > fileSize - result.pixelOffset)
    return BmpFault::kTruncatedPixels;
  *layout = result;
  return BmpFault::kNone;
}

}  // namespace qv
