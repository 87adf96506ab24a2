// Writing baseline JFIF JPEG files through libjpeg.
#pragma once

#include <cstdint>
#include <string>

namespace qxcore {

// Writes `width` x `height` pixels from `pixels` (rows top to bottom, no padding; 3 bytes red,
// green, blue per pixel when `colour`, else 1 grey byte) to `path` as a baseline JPEG with the
// library's default sampling and Huffman tables at `quality` (0 to 100, clamped).
// A destination that cannot be opened shows the message box "JpegFile :\nCan't open PATH\n"
// and returns false. A libjpeg failure while writing returns false and removes the partly
// written file. Never exits the process.
[[nodiscard]] bool WriteJpegFile(const std::string& path, const uint8_t* pixels, int width,
                                 int height, bool colour, int quality);

}  // namespace qxcore
