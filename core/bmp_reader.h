// Reading BMP files into a top-down RGB buffer. The file is untrusted: its headers are checked
// by platform/bmp_layout.h, against its limits and against the file's length, before anything
// is allocated or indexed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qxcore {

// Status texts of ReadBmpAsRgb.
inline constexpr const char* kBmpOk = "OK";
inline constexpr const char* kBmpCannotOpen = "Can't open file for reading :\n";  // + path
inline constexpr const char* kBmpNotValid = "Not a valid BMP File";
inline constexpr const char* kBmpHeaderReadError = "Read Error!";
inline constexpr const char* kBmpCompressed = "This is a compressed file.";
inline constexpr const char* kBmpOutOfMemory = "Out of memory";
inline constexpr const char* kBmpCorruptPalette = "Corrupt palette";
inline constexpr const char* kBmpAllocFailed = "Memory alloc Failed";
inline constexpr const char* kBmpPixelReadError = "Read Error";

// Width x height x 3 bytes, rows top to bottom without padding, each pixel red, green, blue.
struct RgbImage {
  std::vector<uint8_t> pixels;
  int width = 0;
  int height = 0;
};

// Reads the BMP at `path` into `image` and returns "OK", or one of the status texts above
// (image left empty). Accepted: the layouts of platform/bmp_layout.h at 1, 4, 8 and 24 bits.
// - "Can't open file for reading :\n" + path: the file cannot be opened or is not a regular
//   file;
// - "Not a valid BMP File": no "BM" signature, an info header of another size, biPlanes not 1,
//   or another depth;
// - "Read Error!": the file ends inside the headers or the colour table;
// - "This is a compressed file.": any compression;
// - "Corrupt palette": a colour table of more than 256 entries, pixel data starting inside the
//   headers or the colour table, or a pixel index beyond the table;
// - "Out of memory": the colour table cannot be allocated;
// - "Memory alloc Failed": a width or height of 0, below 0 (width) or above 16384, or a buffer
//   that cannot be allocated;
// - "Read Error": the file ends before the last row (checked before the buffer is allocated).
// A negative height means the rows are stored top-down.
[[nodiscard]] std::string ReadBmpAsRgb(const std::string& path, RgbImage& image);

}  // namespace qxcore
