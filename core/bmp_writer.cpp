#include "core/bmp_writer.h"

#include "core/output_file.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace qxcore {
namespace {

void Put(std::vector<uint8_t>& bytes, uint32_t value, int size) {
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

bool WriteBmp24(const std::string& path, const uint8_t* bgr, int width, int height,
                FileCreation creation) {
  if (bgr == nullptr || width <= 0 || height <= 0) return false;
  const size_t rowBytes = (static_cast<size_t>(width) * 3 + 3) / 4 * 4;
  const size_t imageBytes = rowBytes * static_cast<size_t>(height);
  const size_t headerBytes = 14 + 40;
  if (headerBytes + imageBytes > 0xFFFFFFFFu) return false;

  std::vector<uint8_t> header;
  header.reserve(headerBytes);
  header.push_back('B');
  header.push_back('M');
  Put(header, static_cast<uint32_t>(headerBytes + imageBytes), 4);
  Put(header, 0, 4);
  Put(header, static_cast<uint32_t>(headerBytes), 4);
  Put(header, 40, 4);
  Put(header, static_cast<uint32_t>(width), 4);
  Put(header, static_cast<uint32_t>(height), 4);  // positive: rows bottom-up
  Put(header, 1, 2);
  Put(header, 24, 2);
  Put(header, 0, 4);
  Put(header, static_cast<uint32_t>(imageBytes), 4);
  Put(header, 0, 4);
  Put(header, 0, 4);
  Put(header, 0, 4);
  Put(header, 0, 4);

  std::FILE* file = OpenOutputFile(path, creation);
  if (file == nullptr) return false;
  bool written = std::fwrite(header.data(), 1, header.size(), file) == header.size();
  std::vector<uint8_t> row(rowBytes, 0);
  for (int y = height - 1; written && y >= 0; --y) {
    const uint8_t* source = bgr + static_cast<size_t>(y) * width * 3;
    std::copy(source, source + static_cast<size_t>(width) * 3, row.begin());
    written = std::fwrite(row.data(), 1, rowBytes, file) == rowBytes;
  }
  if (std::fclose(file) != 0) written = false;
  if (!written) RemovePartialFile(path);
  return written;
}

}  // namespace qxcore
