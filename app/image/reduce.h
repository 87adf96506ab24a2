// Colour reduction of the adjusted picture before it is encoded.
#pragma once

#include <string>

#include "app/image/bitmap.h"
#include "app/settings/settings.h"

namespace qv {

// Selector values of the fixed reductions; any other value is a median-cut colour count.
inline constexpr int kPopularityPalette = 4096;    // 256 most frequent 4-bit-per-channel cells
inline constexpr int kTruncate15Bits = 32768;      // every channel cut to 5 bits
inline constexpr int kTruncate16Bits = 65536;      // blue and red to 5 bits, green to 6
inline constexpr int kNoReduction = 16777216;      // the picture is copied unchanged

// Maps a profile's ColorNum (the picture page's colour code) to a selector value or colour
// count: codes 1..32 give 8 x code colours, 33 the popularity palette, 34 and 35 the 15- and
// 16-bit truncations, 36 no reduction. Values above 36 (hand-edited files) are taken as they
// are when they are a selector or a count up to 256; other counts above 256 become 256.
// Values below 1 are taken as code 1 (8 colours).
[[nodiscard]] int ColorSelectorFromCode(int colorNum);

// Colours of the PNG written from a picture reduced with `selector`: 256 for the popularity
// palette, else the selector itself; above 256 the PNG is written in full colour.
[[nodiscard]] int PngColorCount(int selector);

// The popularity palette: an 8-bit picture whose 256-entry table holds the lower corners of
// the 256 most frequent 4-bit cells (ties: lower cell number first; empty cells fill up the
// table when fewer are occupied), sorted by blue x green x red; every pixel takes the nearest
// entry to its exact colour (first one on equal distance). False when not 24-bit.
[[nodiscard]] bool ReducePopularity(const Bitmap& source, Bitmap* out);

// A 24-bit copy with each channel cut to 5 bits (kTruncate15Bits) or blue and red to 5 and
// green to 6 bits (kTruncate16Bits). False when not 24-bit or for another selector.
[[nodiscard]] bool TruncateChannels(const Bitmap& source, int selector, Bitmap* out);

// Reduces the BMP file `source` into the BMP file `destination` as the profile's ColorNum
// (through ColorSelectorFromCode) and ColQuality ask: a fixed reduction, a byte-for-byte copy,
// or the median cut. True when the destination was written; otherwise false with a CP932
// reason in *error, and no destination file is left behind.
[[nodiscard]] bool ReduceColors(const std::string& source, const std::string& destination,
                                const PictSettings& profile, std::string* error = nullptr);

}  // namespace qv
