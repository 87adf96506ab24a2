// Tone, size and aspect of a 24-bit picture: the adjustments made before colour reduction.
// Every operation refuses (false, no output) a picture that is not 24 bits per pixel.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "app/image/bitmap.h"

namespace qv {

// The byte mapping of a contrast c and a brightness b. The contrast curve sends bytes below c
// to 0, bytes above 255 - c to 255, and stretches the rest linearly around the middle
// (c = 0: identity; negative c flattens). The brightness is then added and the sum clamped
// to 0..255. Any int is accepted: a contrast of 128 or more simply sends every byte to 0 or
// 255.
[[nodiscard]] std::array<uint8_t, 256> ToneTable(int contrast, int brightness);

// Applies ToneTable to every colour byte in place; row padding is not touched.
[[nodiscard]] bool AdjustTone(Bitmap* bitmap, int contrast, int brightness);

// How a source is brought to a profile's size: resize to resizeWidth x resizeHeight, then,
// when `crop` is set, cut the middle targetWidth x targetHeight.
struct ResizePlan {
  int resizeWidth = 0;
  int resizeHeight = 0;
  bool crop = false;
  int targetWidth = 0;
  int targetHeight = 0;
};

// The plan for a source of srcWidth x srcHeight and a profile's Width, Height and Aspect.
// Aspect 0 stretches to the target. Otherwise the picture is scaled by whole percent (integer
// arithmetic) so that it covers the target, and the overhang is cut equally from both sides.
// Empty when a size is 0 or negative, beyond kMaxBitmapDimension, or the source is so much
// smaller than the target that the scale falls below 1 percent.
[[nodiscard]] std::optional<ResizePlan> PlanResize(int srcWidth, int srcHeight, int width, int height,
                                                   int aspect);

// Resize and crop of `plan` in one pass that samples only the pixels the result keeps.
// Resize: output pixel (x, y) of the resized picture is source pixel
// (trunc(srcWidth / resizeWidth * x), trunc(srcHeight / resizeHeight * y)), the quotients
// taken in double precision, rows counted from the bottom. Crop, when plan.crop is set: the
// middle targetWidth x targetHeight of the resized picture, starting (resizeWidth -
// targetWidth) / 2 columns from the left and (resizeHeight - targetHeight) / 2 rows from the
// bottom. The header is the source's with the new size, no colour table and biSizeImage =
// width x height x 3 (the rows themselves are padded). False as well when the plan's sizes are
// outside 1..kMaxBitmapDimension or the cut is larger than the resized picture.
[[nodiscard]] bool ResizeAndCrop(const Bitmap& source, const ResizePlan& plan, Bitmap* out);

// The same from a 24-bit BMP file, reading only the rows the result keeps. False as well when
// a row cannot be read.
[[nodiscard]] bool ResizeAndCrop(const BmpFile& source, const ResizePlan& plan, Bitmap* out);

}  // namespace qv
