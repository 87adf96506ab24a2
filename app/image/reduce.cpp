#include "app/image/reduce.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <numeric>
#include <vector>

#include "app/image/median_cut.h"
#include "app/image/nearest_colour.h"
#include "platform/text.h"

namespace qv {
namespace {

bool IsSelector(int value) {
  return value == kPopularityPalette || value == kTruncate15Bits || value == kTruncate16Bits ||
         value == kNoReduction;
}

// Nearest table entry to exact colours, remembered per colour in a small direct-mapped cache:
// neighbouring pixels of a photograph repeat colours often.
class CachedNearest {
 public:
  explicit CachedNearest(const std::vector<RgbQuad>& table)
      : nearest_(table.data(), static_cast<int>(table.size())), keys_(kCacheSize, kEmpty), values_(kCacheSize, 0) {}

  uint8_t operator()(int blue, int green, int red) {
    const uint32_t key = static_cast<uint32_t>(red << 16 | green << 8 | blue);
    const uint32_t slot = (key * 2654435761u) >> (32 - kCacheBits);
    if (keys_[slot] != key) {
      keys_[slot] = key;
      values_[slot] = static_cast<uint8_t>(nearest_.Find(blue, green, red));
    }
    return values_[slot];
  }

 private:
  static constexpr int kCacheBits = 14;
  static constexpr size_t kCacheSize = size_t{1} << kCacheBits;
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;
  NearestColour nearest_;
  std::vector<uint32_t> keys_;
  std::vector<uint8_t> values_;
};

}  // namespace

int ColorSelectorFromCode(int colorNum) {
  if (colorNum < 1) return 8;
  if (colorNum <= 32) return colorNum * 8;
  switch (colorNum) {
    case 33: return kPopularityPalette;
    case 34: return kTruncate15Bits;
    case 35: return kTruncate16Bits;
    case 36: return kNoReduction;
    default: break;
  }
  if (IsSelector(colorNum) || colorNum <= 256) return colorNum;
  return 256;
}

int PngColorCount(int selector) { return selector == kPopularityPalette ? 256 : selector; }

bool ReducePopularity(const Bitmap& source, Bitmap* out) {
  out->Free();
  if (!Is24BitPicture(source)) return false;
  const int width = source.width(), height = source.height();
  try {
    std::vector<uint32_t> counts(4096, 0);
    for (int y = 0; y < height; ++y) {
      const uint8_t* p = source.row(y);
      for (int x = 0; x < width; ++x, p += 3) ++counts[(p[2] >> 4) << 8 | (p[1] >> 4) << 4 | p[0] >> 4];
    }
    std::vector<int> cells(4096);
    std::iota(cells.begin(), cells.end(), 0);
    std::stable_sort(cells.begin(), cells.end(), [&](int a, int b) { return counts[a] > counts[b]; });

    Bitmap result = Bitmap::Create(width, height, 8, 256);
    const uint32_t bitsSize = result.info().biSizeImage;
    result.info() = source.info();
    result.info().biBitCount = 8;
    result.info().biCompression = kCompressionRgb;
    result.info().biSizeImage = bitsSize;
    result.info().biClrUsed = 0;
    result.info().biClrImportant = 0;
    auto& table = result.palette();
    for (int k = 0; k < 256; ++k) {
      table[k].rgbRed = static_cast<uint8_t>((cells[k] >> 8) << 4);
      table[k].rgbGreen = static_cast<uint8_t>(((cells[k] >> 4) & 15) << 4);
      table[k].rgbBlue = static_cast<uint8_t>((cells[k] & 15) << 4);
    }
    SortByProduct(table.data(), static_cast<int>(table.size()));

    CachedNearest nearest(table);
    for (int y = 0; y < height; ++y) {
      const uint8_t* p = source.row(y);
      uint8_t* index = result.row(y);
      for (int x = 0; x < width; ++x, p += 3) index[x] = nearest(p[0], p[1], p[2]);
    }
    *out = std::move(result);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

bool TruncateChannels(const Bitmap& source, int selector, Bitmap* out) {
  out->Free();
  if (!Is24BitPicture(source) || (selector != kTruncate15Bits && selector != kTruncate16Bits))
    return false;
  try {
    Bitmap result = source.Clone();
    const uint8_t greenMask = selector == kTruncate15Bits ? 0xF8 : 0xFC;
    const uint8_t masks[3] = {0xF8, greenMask, 0xF8};
    const size_t rowBytes = static_cast<size_t>(source.width()) * 3;
    for (int y = 0; y < result.height(); ++y) {
      uint8_t* p = result.row(y);
      for (size_t i = 0; i < rowBytes; ++i) p[i] &= masks[i % 3];
    }
    *out = std::move(result);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

namespace {

bool ReduceInto(const std::string& source, const std::string& destination,
                const PictSettings& profile, std::string* error) {
  const int selector = ColorSelectorFromCode(profile.ColorNum);
  if (selector == kNoReduction) return CopyPictureFile(source, destination, error);

  if (selector == kPopularityPalette || selector == kTruncate15Bits || selector == kTruncate16Bits) {
    Bitmap picture, reduced;
    if (!LoadBmp(source, &picture, error)) return false;
    const bool ok = selector == kPopularityPalette ? ReducePopularity(picture, &reduced)
                                                   : TruncateChannels(picture, selector, &reduced);
    if (!ok) {
      if (error) *error = SJIS("減色できない画像です(24ビットではありません): ") + source;
      return false;
    }
    picture.Free();
    return SaveBmp(destination, reduced, error);
  }

  MedianCutOptions options;
  options.precision = profile.ColQuality;
  options.colorCount = selector;
  const int result = RunMedianCutFiles(source, destination, options);
  if (result == kMedianCutDone) return true;
  if (error) {
    char code[32];
    std::snprintf(code, sizeof code, " (%d)", result);
    switch (result) {
      case kMedianCutOpenFailed:
        *error = (profile.ColQuality < 0 || profile.ColQuality > 4)
                     ? SJIS("減色品質の設定が範囲外です(0から4)。")
                     : SJIS("減色する画像ファイルを開けません: ") + source;
        break;
      case kMedianCutBadInput:
        *error = SJIS("減色できない画像です(24ビットではありません): ") + source;
        break;
      case kMedianCutOutOfMemory:
        *error = SJIS("減色するメモリが足りません。");
        break;
      case kMedianCutReadFailed:
        *error = SJIS("減色する画像ファイルを読み込めません: ") + source;
        break;
      default:
        *error = SJIS("減色した画像ファイルに書き込めません: ") + destination + code;
        break;
    }
  }
  return false;
}

}  // namespace

bool ReduceColors(const std::string& source, const std::string& destination,
                  const PictSettings& profile, std::string* error) {
  if (ReduceInto(source, destination, profile, error)) return true;
  // Never leave an older picture under the destination name for the next step to pick up.
  RemoveFile(destination);
  return false;
}

}  // namespace qv
