// Writing baseline JFIF JPEG pictures through libjpeg.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qxcore {

// Pixel layouts the encoder takes: rows top to bottom, no padding.
enum class JpegInput {
  kRgb,   // 3 bytes per pixel: red, green, blue
  kBgr,   // 3 bytes per pixel: blue, green, red (capture frames)
  kGrey,  // 1 byte per pixel
};

// Writes `width` x `height` pixels from `pixels` to `path` as a baseline JPEG with the
// library's default sampling and Huffman tables at `quality` (clamped to 0..100).
// A destination that cannot be opened shows the message box "JpegFile :\nCan't open PATH\n"
// and returns false. A libjpeg failure while writing returns false and removes the partly
// written file. Never ends the process.
[[nodiscard]] bool WriteJpegFile(const std::string& path, const uint8_t* pixels, int width,
                                 int height, bool colour, int quality);

// Encodes the picture into `jpeg` (replaced). An output buffer that would have to grow past
// `maxBytes` fails as an allocation would. False on a libjpeg failure (`jpeg` then empty).
[[nodiscard]] bool EncodeJpeg(const uint8_t* pixels, int width, int height, JpegInput input,
                              int quality, std::vector<uint8_t>& jpeg,
                              size_t maxBytes = SIZE_MAX);

}  // namespace qxcore
