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

#include <csignal>

#include <jpeglib.h>
#include <sys/resource.h>

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
  // A fresh file: truncating one that holds data makes some file systems flush it to disk.
  std::remove(path.c_str());
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

// While alive, writes that would make any file of this process longer than `bytes` fail with
// EFBIG (as on a full disk) instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = bytes;
    active_ = setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  [[nodiscard]] bool active() const { return active_; }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = nullptr;
  bool active_ = false;
};

// What a reader finds in an AVI file. `error` names the first inconsistency; empty when the
// file is sound: RIFF sizes match the file, every index entry points at its frame chunk.
struct AviSummary {
  std::string error;
  uint32_t microSecondsPerFrame = 0;
  uint32_t totalFrames = 0;
  uint32_t streams = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  std::string streamType;
  std::string handler;
  uint32_t scale = 0;
  uint32_t rate = 0;
  uint32_t length = 0;
  std::string compression;
  std::vector<std::vector<uint8_t>> frames;
  size_t indexEntries = 0;
};

inline AviSummary ParseAvi(const std::vector<uint8_t>& bytes) {
  AviSummary summary;
  auto u32 = [&](size_t at) -> uint32_t {
    if (at + 4 > bytes.size()) return 0;
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
  };
  auto code = [&](size_t at) {
    return at + 4 <= bytes.size() ? std::string(bytes.begin() + at, bytes.begin() + at + 4) : "";
  };
  auto fail = [&](const std::string& why) {
    summary.error = why;
    return summary;
  };
  if (code(0) != "RIFF" || code(8) != "AVI ") return fail("no RIFF AVI header");
  if (u32(4) + 8 != bytes.size()) return fail("RIFF size does not match the file");
  size_t moviStart = 0;
  std::vector<std::pair<size_t, uint32_t>> chunks;  // frame chunk offset from 'movi', size
  for (size_t at = 12; at + 8 <= bytes.size();) {
    const std::string id = code(at);
    const uint32_t size = u32(at + 4);
    if (at + 8 + size > bytes.size()) return fail("chunk " + id + " runs past the end");
    if (id == "LIST" && code(at + 8) == "hdrl") {
      for (size_t inner = at + 12; inner + 8 <= at + 8 + size;) {
        const std::string innerId = code(inner);
        const uint32_t innerSize = u32(inner + 4);
        if (innerId == "avih") {
          summary.microSecondsPerFrame = u32(inner + 8);
          summary.totalFrames = u32(inner + 24);
          summary.streams = u32(inner + 32);
          summary.width = u32(inner + 40);
          summary.height = u32(inner + 44);
        } else if (innerId == "LIST" && code(inner + 8) == "strl") {
          const size_t strh = inner + 12;
          if (code(strh) != "strh") return fail("no strh");
          summary.streamType = code(strh + 8);
          summary.handler = code(strh + 12);
          summary.scale = u32(strh + 28);
          summary.rate = u32(strh + 32);
          summary.length = u32(strh + 40);
          const size_t strf = strh + 8 + u32(strh + 4);
          if (code(strf) != "strf") return fail("no strf");
          summary.compression = code(strf + 8 + 16);
        }
        inner += 8 + innerSize + (innerSize & 1);
      }
    } else if (id == "LIST" && code(at + 8) == "movi") {
      moviStart = at + 8;
      for (size_t inner = at + 12; inner + 8 <= at + 8 + size;) {
        const uint32_t innerSize = u32(inner + 4);
        if (inner + 8 + innerSize > at + 8 + size) return fail("frame chunk runs past movi");
        if (code(inner) == "00dc") {
          summary.frames.emplace_back(bytes.begin() + inner + 8, bytes.begin() + inner + 8 + innerSize);
          chunks.emplace_back(inner - moviStart, innerSize);
        }
        inner += 8 + innerSize + (innerSize & 1);
      }
    } else if (id == "idx1") {
      summary.indexEntries = size / 16;
      if (summary.indexEntries != chunks.size()) return fail("index and frame counts differ");
      for (size_t entry = 0; entry < summary.indexEntries; ++entry) {
        const size_t base = at + 8 + entry * 16;
        if (code(base) != "00dc" || u32(base + 8) != chunks[entry].first ||
            u32(base + 12) != chunks[entry].second) {
          return fail("index entry " + std::to_string(entry) + " does not match its chunk");
        }
      }
    }
    at += 8 + size + (size & 1);
  }
  if (moviStart == 0) return fail("no movi list");
  return summary;
}

}  // namespace qxcore::testing
