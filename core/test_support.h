// Helpers shared by the capture core's tests: BMP files built byte by byte, JPEG files read
// back through libjpeg's decompressor, and a private work folder.
#pragma once

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <jpeglib.h>

#include "platform/files.h"

namespace qxcore::testing {

inline void PutLittleEndian(std::vector<uint8_t>& bytes, uint32_t value, int size) {
  for (int i = 0; i < size; ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Everything a BMP file says about itself; the defaults make a valid file.
struct BmpSpec {
  int32_t width = 0;
  int32_t height = 0;  // negative: rows stored top-down
  uint16_t bitCount = 24;
  uint32_t compression = 0;
  uint32_t coloursUsed = 0;               // 0: 2^bitCount for indexed depths
  std::vector<uint32_t> palette;          // 0x00RRGGBB, written as given
  long long pixelOffset = -1;             // -1: right after the colour table
  std::vector<std::vector<uint8_t>> rows; // file order, unpadded; padding is added as `padByte`
  uint8_t padByte = 0xEE;
};

inline std::vector<uint8_t> BuildBmp(const BmpSpec& spec) {
  std::vector<uint8_t> bytes;
  const uint32_t tableBytes = static_cast<uint32_t>(spec.palette.size()) * 4;
  const uint32_t offset = spec.pixelOffset >= 0 ? static_cast<uint32_t>(spec.pixelOffset)
                                                : 14 + 40 + tableBytes;
  bytes.push_back('B');
  bytes.push_back('M');
  PutLittleEndian(bytes, 0, 4);  // file size, patched below
  PutLittleEndian(bytes, 0, 4);
  PutLittleEndian(bytes, offset, 4);
  PutLittleEndian(bytes, 40, 4);
  PutLittleEndian(bytes, static_cast<uint32_t>(spec.width), 4);
  PutLittleEndian(bytes, static_cast<uint32_t>(spec.height), 4);
  PutLittleEndian(bytes, 1, 2);
  PutLittleEndian(bytes, spec.bitCount, 2);
  PutLittleEndian(bytes, spec.compression, 4);
  PutLittleEndian(bytes, 0, 4);
  PutLittleEndian(bytes, 2835, 4);
  PutLittleEndian(bytes, 2835, 4);
  PutLittleEndian(bytes, spec.coloursUsed, 4);
  PutLittleEndian(bytes, 0, 4);
  for (uint32_t colour : spec.palette) PutLittleEndian(bytes, colour, 4);
  while (bytes.size() < offset) bytes.push_back(0);
  for (const auto& row : spec.rows) {
    bytes.insert(bytes.end(), row.begin(), row.end());
    while ((bytes.size() - offset) % 4 != 0) bytes.push_back(spec.padByte);
  }
  const uint32_t size = static_cast<uint32_t>(bytes.size());
  for (int i = 0; i < 4; ++i) bytes[2 + i] = static_cast<uint8_t>(size >> (8 * i));
  return bytes;
}

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A decoded JPEG: rows top to bottom, `components` bytes per pixel.
struct DecodedJpeg {
  bool ok = false;
  int width = 0;
  int height = 0;
  int components = 0;
  bool progressive = false;
  std::vector<uint8_t> pixels;
};

namespace detail {
struct DecoderErrors {
  jpeg_error_mgr standard;
  std::jmp_buf recovery;
};
[[noreturn]] inline void DecoderFailed(j_common_ptr info) {
  std::longjmp(reinterpret_cast<DecoderErrors*>(info->err)->recovery, 1);
}
inline bool Decode(std::FILE* file, DecodedJpeg& result) {
  jpeg_decompress_struct decompressor;
  detail::DecoderErrors errors;
  decompressor.err = jpeg_std_error(&errors.standard);
  errors.standard.error_exit = DecoderFailed;
  if (setjmp(errors.recovery) != 0) {
    jpeg_destroy_decompress(&decompressor);
    return false;
  }
  jpeg_create_decompress(&decompressor);
  jpeg_stdio_src(&decompressor, file);
  jpeg_read_header(&decompressor, TRUE);
  result.progressive = decompressor.progressive_mode != 0;
  jpeg_start_decompress(&decompressor);
  result.width = static_cast<int>(decompressor.output_width);
  result.height = static_cast<int>(decompressor.output_height);
  result.components = decompressor.output_components;
  result.pixels.resize(static_cast<size_t>(result.width) * result.height * result.components);
  while (decompressor.output_scanline < decompressor.output_height) {
    JSAMPROW row = result.pixels.data() + static_cast<size_t>(decompressor.output_scanline) *
                                              result.width * result.components;
    jpeg_read_scanlines(&decompressor, &row, 1);
  }
  jpeg_finish_decompress(&decompressor);
  jpeg_destroy_decompress(&decompressor);
  return true;
}
}  // namespace detail

inline DecodedJpeg DecodeJpegFile(const std::string& path) {
  DecodedJpeg result;
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return result;
  result.ok = detail::Decode(file, result);
  std::fclose(file);
  return result;
}

// A private folder removed with everything in it when the object goes.
class WorkFolder {
 public:
  WorkFolder() : path_(qv::MakeWorkFolder("qxcore_test_")) {}
  ~WorkFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  // `name` inside the folder.
  std::string File(const std::string& name) const { return path_ + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline bool FileExists(const std::string& path) { return std::filesystem::exists(path); }

}  // namespace qxcore::testing
