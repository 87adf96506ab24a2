#include "core/bmp_reader.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>

namespace qxcore {
namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

// BMP fields are little-endian whatever the machine.
uint32_t LittleEndian32(const uint8_t* bytes) {
  return uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
         uint32_t{bytes[3]} << 24;
}
uint16_t LittleEndian16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] | bytes[1] << 8);
}

struct BmpHeaders {
  uint32_t pixelOffset = 0;  // bfOffBits
  uint32_t infoSize = 0;     // biSize
  int32_t width = 0;
  int32_t height = 0;
  uint16_t bitCount = 0;
  uint32_t compression = 0;
  uint32_t coloursUsed = 0;
};

constexpr size_t kFileHeaderSize = 14;
constexpr size_t kInfoHeaderSize = 40;

// Reads the file header after the signature and the 40-byte info header.
bool ReadHeaders(std::FILE* file, BmpHeaders& headers) {
  std::array<uint8_t, kFileHeaderSize - 2 + kInfoHeaderSize> bytes{};
  if (std::fread(bytes.data(), 1, bytes.size(), file) != bytes.size()) return false;
  const uint8_t* info = bytes.data() + (kFileHeaderSize - 2);
  headers.pixelOffset = LittleEndian32(bytes.data() + 8);
  headers.infoSize = LittleEndian32(info);
  headers.width = static_cast<int32_t>(LittleEndian32(info + 4));
  headers.height = static_cast<int32_t>(LittleEndian32(info + 8));
  headers.bitCount = LittleEndian16(info + 14);
  headers.compression = LittleEndian32(info + 16);
  headers.coloursUsed = LittleEndian32(info + 32);
  return true;
}

bool SkipBytes(std::FILE* file, uint64_t count) {
  uint8_t scratch[256];
  while (count > 0) {
    const size_t chunk = count < sizeof scratch ? static_cast<size_t>(count) : sizeof scratch;
    if (std::fread(scratch, 1, chunk, file) != chunk) return false;
    count -= chunk;
  }
  return true;
}

// Length of the file in bytes, or -1.
long long FileLength(std::FILE* file) {
  const long position = std::ftell(file);
  if (position < 0 || std::fseek(file, 0, SEEK_END) != 0) return -1;
  const long length = std::ftell(file);
  if (std::fseek(file, position, SEEK_SET) != 0) return -1;
  return length;
}

std::string ReadPixels(std::FILE* file, const BmpHeaders& headers,
                       const std::vector<std::array<uint8_t, 3>>& palette, size_t rowBytes,
                       RgbImage& image) {
  const int width = image.width;
  const int height = image.height;
  const bool topDown = headers.height < 0;
  std::vector<uint8_t> row(rowBytes);
  for (int fileRow = 0; fileRow < height; ++fileRow) {
    if (std::fread(row.data(), 1, rowBytes, file) != rowBytes) return kBmpPixelReadError;
    // Rows are stored bottom-up unless the height is negative.
    const int imageRow = topDown ? fileRow : height - 1 - fileRow;
    uint8_t* out = image.pixels.data() + static_cast<size_t>(imageRow) * width * 3;
    if (headers.bitCount == 24) {
      for (int x = 0; x < width; ++x) {
        const uint8_t* pixel = row.data() + static_cast<size_t>(x) * 3;
        out[0] = pixel[2];
        out[1] = pixel[1];
        out[2] = pixel[0];
        out += 3;
      }
      continue;
    }
    // Indexed pixels are packed from the most significant bit down.
    const unsigned bits = headers.bitCount;
    const unsigned mask = (1u << bits) - 1;
    for (int x = 0; x < width; ++x) {
      const size_t bitPosition = static_cast<size_t>(x) * bits;
      const unsigned shift = 8 - bits - static_cast<unsigned>(bitPosition % 8);
      const unsigned index = (row[bitPosition / 8] >> shift) & mask;
      if (index >= palette.size()) return kBmpCorruptPalette;
      out[0] = palette[index][0];
      out[1] = palette[index][1];
      out[2] = palette[index][2];
      out += 3;
    }
  }
  return kBmpOk;
}

}  // namespace

std::string ReadBmpAsRgb(const std::string& path, RgbImage& image) {
  image = RgbImage{};
  FilePointer file(std::fopen(path.c_str(), "rb"));
  if (!file) return kBmpCannotOpen + path;

  char signature[2] = {};
  if (std::fread(signature, 1, 2, file.get()) != 2 || signature[0] != 'B' || signature[1] != 'M') {
    return kBmpNotValid;
  }
  BmpHeaders headers;
  if (!ReadHeaders(file.get(), headers)) return kBmpHeaderReadError;
  uint64_t bytesRead = kFileHeaderSize + kInfoHeaderSize;
  if (headers.infoSize < kInfoHeaderSize) return kBmpNotValid;
  if (headers.compression != 0) return kBmpCompressed;
  const unsigned bits = headers.bitCount;
  if (bits != 1 && bits != 4 && bits != 8 && bits != 24) return kBmpNotValid;

  const int64_t height = headers.height < 0 ? -int64_t{headers.height} : int64_t{headers.height};
  if (headers.width <= 0 || headers.width > kMaxBmpDimension || height == 0 ||
      height > kMaxBmpDimension) {
    return kBmpAllocFailed;
  }

  // Later header versions (V4, V5) carry more fields before the colour table.
  if (!SkipBytes(file.get(), headers.infoSize - kInfoHeaderSize)) return kBmpHeaderReadError;
  bytesRead += headers.infoSize - kInfoHeaderSize;

  std::vector<std::array<uint8_t, 3>> palette;
  if (bits <= 8) {
    const uint32_t entries = headers.coloursUsed != 0 ? headers.coloursUsed : 1u << bits;
    if (entries > 256) return kBmpCorruptPalette;
    try {
      palette.resize(entries);
    } catch (const std::bad_alloc&) {
      return kBmpOutOfMemory;
    }
    for (auto& colour : palette) {
      uint8_t quad[4];  // blue, green, red, reserved
      if (std::fread(quad, 1, 4, file.get()) != 4) return kBmpHeaderReadError;
      colour = {quad[2], quad[1], quad[0]};
    }
    bytesRead += uint64_t{entries} * 4;
  }

  if (headers.pixelOffset < bytesRead) return kBmpCorruptPalette;
  // Each row is padded to a multiple of 4 bytes.
  const size_t rowBytes = (static_cast<size_t>(headers.width) * bits + 31) / 32 * 4;
  const long long fileLength = FileLength(file.get());
  if (fileLength < 0 ||
      static_cast<uint64_t>(fileLength) < headers.pixelOffset + rowBytes * height) {
    return kBmpPixelReadError;
  }
  if (std::fseek(file.get(), static_cast<long>(headers.pixelOffset), SEEK_SET) != 0) {
    return kBmpPixelReadError;
  }

  RgbImage result;
  result.width = headers.width;
  result.height = static_cast<int>(height);
  try {
    result.pixels.resize(static_cast<size_t>(result.width) * result.height * 3);
  } catch (const std::bad_alloc&) {
    return kBmpAllocFailed;
  }
  std::string status = ReadPixels(file.get(), headers, palette, rowBytes, result);
  if (status == kBmpOk) image = std::move(result);
  return status;
}

}  // namespace qxcore
