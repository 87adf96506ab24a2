#include "core/bmp_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <new>

#include "platform/bmp_layout.h"
#include "platform/files.h"

namespace qxcore {
namespace {

constexpr unsigned kDepths = qv::kBmpDepth1 | qv::kBmpDepth4 | qv::kBmpDepth8 | qv::kBmpDepth24;

const char* StatusOf(qv::BmpFault fault) {
  switch (fault) {
    case qv::BmpFault::kNone: return kBmpOk;
    case qv::BmpFault::kTruncated: return kBmpHeaderReadError;
    case qv::BmpFault::kCompression:
    case qv::BmpFault::kMasks: return kBmpCompressed;
    case qv::BmpFault::kDimensions: return kBmpAllocFailed;
    case qv::BmpFault::kColourTable:
    case qv::BmpFault::kPixelOffset: return kBmpCorruptPalette;
    case qv::BmpFault::kTruncatedPixels: return kBmpPixelReadError;
    default: return kBmpNotValid;
  }
}

std::string ReadPixels(int fd, const qv::BmpLayout& layout,
                       const std::vector<std::array<uint8_t, 3>>& palette, RgbImage& image) {
  const int width = image.width;
  const int height = image.height;
  std::vector<uint8_t> row(layout.stride);
  for (int fileRow = 0; fileRow < height; ++fileRow) {
    if (!qv::ReadAt(fd, row.data(), row.size(), layout.pixelOffset + layout.stride * fileRow))
      return kBmpPixelReadError;
    // Rows are stored bottom-up unless the height is negative.
    const int imageRow = layout.topDown ? fileRow : height - 1 - fileRow;
    uint8_t* out = image.pixels.data() + static_cast<size_t>(imageRow) * width * 3;
    if (layout.bitCount == 24) {
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
    const unsigned bits = static_cast<unsigned>(layout.bitCount);
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
  // Opened without blocking, so a named pipe in place of the file cannot hold the reader.
  qv::FileDescriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat fileStatus {};
  if (file.get() < 0 || fstat(file.get(), &fileStatus) != 0 || !S_ISREG(fileStatus.st_mode))
    return kBmpCannotOpen + path;
  const uint64_t fileSize = static_cast<uint64_t>(fileStatus.st_size);
  uint8_t head[qv::kBmpHeadSize] = {};
  const size_t headSize = static_cast<size_t>(std::min<uint64_t>(fileSize, sizeof head));
  if (!qv::ReadAt(file.get(), head, headSize, 0)) return kBmpHeaderReadError;
  qv::BmpLayout layout;
  const qv::BmpFault fault = qv::ParseBmpHeaders(head, headSize, fileSize, kDepths, &layout);
  if (fault != qv::BmpFault::kNone) return StatusOf(fault);

  std::vector<std::array<uint8_t, 3>> palette;
  if (layout.bitCount <= 8) {
    std::vector<uint8_t> table;
    try {
      table.resize(size_t{layout.tableEntries} * 4);
      palette.resize(layout.tableEntries);
    } catch (const std::bad_alloc&) {
      return kBmpOutOfMemory;
    }
    if (!table.empty() && !qv::ReadAt(file.get(), table.data(), table.size(), layout.tableOffset))
      return kBmpHeaderReadError;
    for (size_t i = 0; i < palette.size(); ++i) {  // blue, green, red, reserved
      palette[i] = {table[4 * i + 2], table[4 * i + 1], table[4 * i]};
    }
  }

  RgbImage result;
  result.width = layout.width;
  result.height = layout.height;
  try {
    result.pixels.resize(static_cast<size_t>(result.width) * result.height * 3);
  } catch (const std::bad_alloc&) {
    return kBmpAllocFailed;
  }
  std::string status = ReadPixels(file.get(), layout, palette, result);
  if (status == kBmpOk) image = std::move(result);
  return status;
}

}  // namespace qxcore
