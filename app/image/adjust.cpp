#include "app/image/adjust.h"

#include <algorithm>
#include <new>
#include <vector>

namespace qv {
namespace {

bool ValidSize(int64_t width, int64_t height) {
  return width >= 1 && width <= kMaxBitmapDimension && height >= 1 && height <= kMaxBitmapDimension;
}

// A picture of width x height with the source's header, no colour table and the unpadded
// image size that resized and cut pictures record.
Bitmap MakeOutput(const BitmapInfoHeader& sourceInfo, int width, int height) {
  Bitmap result = Bitmap::Create(width, height, 24);
  result.info() = sourceInfo;
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

// Which source pixels a resize-and-crop plan keeps: output pixel (x, y) is source pixel
// (columns[x], rows[y]).
struct SampleGrid {
  std::vector<int> columns;
  std::vector<int> rows;
};

// The grid of `plan` for a source of sourceWidth x sourceHeight; false when the plan does not
// fit it.
bool MakeGrid(int sourceWidth, int sourceHeight, const ResizePlan& plan, SampleGrid* grid) {
  if (!ValidSize(plan.resizeWidth, plan.resizeHeight)) return false;
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
  grid->columns.resize(static_cast<size_t>(width));
  grid->rows.resize(static_cast<size_t>(height));
  for (int x = 0; x < width; ++x)
    grid->columns[x] = std::min(SourceIndex(sourceWidth, plan.resizeWidth, startColumn + x), sourceWidth - 1);
  for (int y = 0; y < height; ++y)
    grid->rows[y] = std::min(SourceIndex(sourceHeight, plan.resizeHeight, startRow + y), sourceHeight - 1);
  return true;
}

// Copies the pixels of `grid` from the rows that `sourceRow` hands out into `out`.
template <class RowSource>
bool Sample(const SampleGrid& grid, RowSource sourceRow, Bitmap* out) {
  std::vector<size_t> offsets(grid.columns.size());
  for (size_t x = 0; x < offsets.size(); ++x) offsets[x] = static_cast<size_t>(grid.columns[x]) * 3;
  for (size_t y = 0; y < grid.rows.size(); ++y) {
    const uint8_t* in = sourceRow(grid.rows[y]);
    if (!in) return false;
    uint8_t* pixel = out->row(static_cast<int>(y));
    for (size_t offset : offsets) {
      pixel[0] = in[offset];
      pixel[1] = in[offset + 1];
      pixel[2] = in[offset + 2];
      pixel += 3;
    }
  }
  return true;
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
  SampleGrid grid;
  if (!Is24BitPicture(source)) return false;
  try {
    if (!MakeGrid(source.width(), source.height(), plan, &grid)) return false;
    Bitmap result = MakeOutput(source.info(), static_cast<int>(grid.columns.size()),
                               static_cast<int>(grid.rows.size()));
    (void)Sample(grid, [&](int y) { return source.row(y); }, &result);
    *out = std::move(result);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool ResizeAndCrop(const BmpFile& source, const ResizePlan& plan, Bitmap* out) {
  out->Free();
  const BitmapInfoHeader& info = source.info();
  if (info.biBitCount != 24) return false;
  try {
    SampleGrid grid;
    if (!MakeGrid(info.biWidth, info.biHeight, plan, &grid)) return false;
    Bitmap result = MakeOutput(info, static_cast<int>(grid.columns.size()), static_cast<int>(grid.rows.size()));
    // Rows come in rising order, often the same one several times when enlarging.
    std::vector<uint8_t> row(source.stride());
    int rowHeld = -1;
    const bool ok = Sample(
        grid,
        [&](int y) -> const uint8_t* {
          if (y != rowHeld) {
            if (!source.ReadRow(y, row.data())) return nullptr;
            rowHeld = y;
          }
          return row.data();
        },
        &result);
    if (!ok) return false;
    *out = std::move(result);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

}  // namespace qv
