// PNG writing of reply pictures through libpng.
#pragma once

#include <string>

#include "app/image/bitmap.h"

namespace qv {

// Writes `bitmap` as a PNG file at bit depth 8, rows top first, no interlace. With
// `colorCount` above 256 the picture must be 24-bit and becomes an RGB PNG (zlib memory level
// 9); otherwise it must be 8-bit and becomes a palette PNG whose palette always has 256
// entries (the picture's colour table, black beyond its end). `compressionLevel` is zlib's
// (0..9, -1 for zlib's default); libpng refuses others.
// False with a CP932 reason in *error on a mismatched picture, an unwritable file or any
// libpng error, and then no destination file is left behind.
[[nodiscard]] bool WritePng(const Bitmap& bitmap, const std::string& destination, int colorCount,
                            int compressionLevel, std::string* error = nullptr);

// LoadBmp of `source`, then WritePng.
[[nodiscard]] bool WritePngFile(const std::string& source, const std::string& destination,
                                int colorCount, int compressionLevel, std::string* error = nullptr);

}  // namespace qv
