// Writing frames as device-independent bitmaps.
#pragma once

#include <cstdint>
#include <string>

#include "core/output_file.h"

namespace qxcore {

// Writes `width` x `height` BGR pixels (rows top to bottom, no padding) to `path` as an
// uncompressed 24-bit BMP with a 40-byte info header, rows bottom-up and padded to 4 bytes.
// The file is created as `creation` says. False when the file cannot be written completely; a
// partly written file is removed.
[[nodiscard]] bool WriteBmp24(const std::string& path, const uint8_t* bgr, int width, int height,
                              FileCreation creation = FileCreation::kReplace);

}  // namespace qxcore
