#include "app/image/adjust.h"

#include <cstring>
#include <new>
#include <vector>

namespace qv {
namespace {

bool ValidSize(int64_t width, int64_t height) {
  return width >= 1 && width <= kMaxBitmapDimension && height >= 1 && height <= kMaxBitmapDimension;
}

bool Is24BitPicture(const Bitmap& bitmap) {
  return bitmap.bitCount() == 24 && !bitmap.empty() &&
         bitmap.bitsBlockSize() >= bitmap.stride() * static_cast<size_t>(bitmap.height());
}

// A picture of width x height with the source's header, no colour table and the unpadded
// image size that resized and cut pictures record.
Bitmap MakeOutput(const Bitmap& source, int width, int height) {
  Bitmap result = Bitmap::Create(width, height, 24);
  result.info() = source.info();
  result.info().biWidth = width;
  result.info().biHeight = height;
  result.info().biSizeImage = static_cast<uint32_t>(width) * static_cast<uint32_t>(height) * 3;
  result.info().biClrUsed = 0;
  result.info().biClrImportant = 0;
  return result;
}

// Source column or row of output position `position` when `sourceSize` is scaled to
// `targetSize`; the quotient is taken first, in double precision.
int SourceIndex(int sourceSize, int targetSize, int position) {
  const double ratio = static_cast<double>(sourceSize) / targetSize;
  return static_cast<int>(ratio * position);
}

// Copies the pixels (columns[x], rows[y]) of `source` into `out`, which is already sized.
void Sample(const Bitmap& source, const std::vector<int>& columns, const std::vector<int>& rows,
            Bitmap* out) {
  std::vector<size_t> offsets(columns.size());
  for (size_t x = 0; x < columns.size(); ++x) offsets[x] = static_cast<size_t>(columns[x]) * 3;
  for (size_t y = 0; y < rows.size(); ++y) {
    const uint8_t* in = source.row(rows[y]);
    uint8_t* pixel = out->row(static_cast<int>(y));
    for (size_t offset : offsets) {
      pixel[0] = in[offset];
      pixel[1] = in[offset + 1];
      pixel[2] = in[offset + 2];
      pixel += 3;
    }
  }
}

}  // namespace

std::array<uint8_t, 256> ToneTable(int contrast, int brightness) {
  std::array<uint8_t, 256> table{};
  const int64_t c = contrast;
  // Only a contrast below 128 can reach the linear part; from 128 on every byte is caught by
  // the two limits, and the slope's divisor would be 0 or negative.
  const double slope = c < 128 ? 256.0 / (static_cast<double>(128 - c) * 2.0) : 0.0;
  for (int64_t v = 0; v < 256; ++v) {
    int64_t t;
    if (v < c) {
      t = 0;
    } else if (v > 255 - c) {
      t = 255;
    } else {
      t = static_cast<int64_t>(slope * static_cast<double>(v - c)) & 0xFF;
    }
    const int64_t u = t + brightness;
    table[static_cast<size_t>(v)] = static_cast<uint8_t>(u >= 255 ? 255 : u <= 0 ? 0 : u);
  }
  return table;
}

bool AdjustTone(Bitmap* bitmap, int contrast, int brightness) {
  if (!Is24BitPicture(*bitmap)) return false;
  const auto table = ToneTable(contrast, brightness);
  const size_t rowBytes = static_cast<size_t>(bitmap->width()) * 3;
  for (int y = 0; y < bitmap->height(); ++y) {
    uint8_t* p = bitmap->row(y);
    for (size_t i = 0; i < rowBytes; ++i) p[i] = table[p[i]];
  }
  return true;
}

bool Resize(const Bitmap& source, int width, int height, Bitmap* out) {
  ResizePlan plan;
  plan.resizeWidth = width;
  plan.resizeHeight = height;
  return ResizeAndCrop(source, plan, out);
}

bool CenterCrop(const Bitmap& source, int width, int height, Bitmap* out) {
  out->Free();
  if (!Is24BitPicture(source) || !ValidSize(width, height) || width > source.width() ||
      height > source.height())
    return false;
  try {
    Bitmap result = MakeOutput(source, width, height);
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

std::optional<ResizePlan> PlanResize(int srcWidth, int srcHeight, int width, int height, int aspect) {
  if (!ValidSize(srcWidth, srcHeight) || !ValidSize(width, height)) return std::nullopt;
  ResizePlan plan;
  plan.targetWidth = width;
  plan.targetHeight = height;
  if (aspect == 0) {
    plan.resizeWidth = width;
    plan.resizeHeight = height;
    return plan;
  }
  const int64_t widthPercent = int64_t{srcWidth} * 100 / width;
  const int64_t heightPercent = int64_t{srcHeight} * 100 / height;
  if (widthPercent == 0 || heightPercent == 0) return std::nullopt;
  int64_t resizeWidth, resizeHeight;
  if (widthPercent < heightPercent) {
    resizeWidth = width;
    resizeHeight = int64_t{srcHeight} * 100 / widthPercent;
  } else {
    resizeWidth = int64_t{srcWidth} * 100 / heightPercent;
    resizeHeight = height;
  }
  if (!ValidSize(resizeWidth, resizeHeight)) return std::nullopt;
  plan.resizeWidth = static_cast<int>(resizeWidth);
  plan.resizeHeight = static_cast<int>(resizeHeight);
  plan.crop = true;
  return plan;
}

bool ResizeAndCrop(const Bitmap& source, const ResizePlan& plan, Bitmap* out) {
  out->Free();
  if (!Is24BitPicture(source) || !ValidSize(plan.resizeWidth, plan.resizeHeight)) return false;
  int width = plan.resizeWidth, height = plan.resizeHeight;
  int startColumn = 0, startRow = 0;
  if (plan.crop) {
    if (!ValidSize(plan.targetWidth, plan.targetHeight) || plan.targetWidth > plan.resizeWidth ||
        plan.targetHeight > plan.resizeHeight)
      return false;
    width = plan.targetWidth;
    height = plan.targetHeight;
    startColumn = (plan.resizeWidth - width) >> 1;
    startRow = (plan.resizeHeight - height) >> 1;
  }
  try {
    std::vector<int> columns(static_cast<size_t>(width)), rows(static_cast<size_t>(height));
    for (int x = 0; x < width; ++x)
      columns[x] = SourceIndex(source.width(), plan.resizeWidth, startColumn + x);
    for (int y = 0; y < height; ++y)
      rows[y] = SourceIndex(source.height(), plan.resizeHeight, startRow + y);
    Bitmap result = MakeOutput(source, width, height);
    Sample(source, columns, rows, &result);
    *out = std::move(result);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace qv
