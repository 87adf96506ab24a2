// The resize and the centre cut on their own, as the reference the one-pass ResizeAndCrop of
// the adjustment step is checked against.
#pragma once

#include <cstring>
#include <new>

#include "app/image/adjust.h"
#include "app/image/bitmap.h"

namespace qv::testing {

// Nearest-neighbour resize to width x height: ResizeAndCrop with a plan that cuts nothing.
[[nodiscard]] inline bool Resize(const Bitmap& source, int width, int height, Bitmap* out) {
  ResizePlan plan;
  plan.resizeWidth = width;
  plan.resizeHeight = height;
  return ResizeAndCrop(source, plan, out);
}

// The middle width x height of a 24-bit picture: it starts (srcWidth - width) / 2 columns from
// the left and (srcHeight - height) / 2 rows from the bottom; the header is the source's with
// the new size, no colour table and biSizeImage = width x height x 3. False for another depth,
// a size outside 1..kMaxBitmapDimension, or a picture smaller than the cut.
[[nodiscard]] inline bool CenterCrop(const Bitmap& source, int width, int height, Bitmap* out) {
  out->Free();
  if (!Is24BitPicture(source) || width < 1 || height < 1 || width > kMaxBitmapDimension ||
      height > kMaxBitmapDimension || width > source.width() || height > source.height())
    return false;
  try {
    Bitmap result = Bitmap::Create(width, height, 24);
    result.info() = source.info();
    result.info().biWidth = width;
    result.info().biHeight = height;
    result.info().biSizeImage = static_cast<uint32_t>(width) * static_cast<uint32_t>(height) * 3;
    result.info().biClrUsed = 0;
    result.info().biClrImportant = 0;
    const int startColumn = (source.width() - width) >> 1;
    const int startRow = (source.height() - height) >> 1;
    // Only the kept pixels are copied: the padding of the cut rows stays zero.
    for (int y = 0; y < height; ++y)
      std::memcpy(result.row(y), source.row(startRow + y) + static_cast<size_t>(startColumn) * 3,
                  static_cast<size_t>(width) * 3);
    *out = std::move(result);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace qv::testing
