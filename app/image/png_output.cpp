#include "app/image/png_output.h"

#include <png.h>

#include <cstdio>

#include "platform/text.h"

namespace qv {
namespace {

struct PngErrorState {
  std::string message;
};

// libpng's error callback must not return: it goes back to the recovery point of WriteImage.
[[noreturn]] void OnPngError(png_structp png, png_const_charp message) {
  auto* state = static_cast<PngErrorState*>(png_get_error_ptr(png));
  if (state) state->message = message ? message : "";
  png_longjmp(png, 1);
}

void OnPngWarning(png_structp, png_const_charp) {}

// Everything between setjmp and its longjmp lives in this function; it holds only plain
// pointers, so a jump back skips no destructor.
bool WriteImage(std::FILE* file, const Bitmap& bitmap, bool palette, const png_color* colors,
                int compressionLevel, PngErrorState* state) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, state, OnPngError, OnPngWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_init_io(png, file);
  png_set_compression_level(png, compressionLevel);
  const auto width = static_cast<png_uint_32>(bitmap.width());
  const auto height = static_cast<png_uint_32>(bitmap.height());
  if (palette) {
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_PALETTE, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_PLTE(png, info, colors, 256);
  } else {
    png_set_compression_mem_level(png, 9);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  }
  png_write_info(png, info);
  png_set_packing(png);
  png_set_bgr(png);
  // BMP rows are bottom-up, PNG rows top-down.
  for (int y = bitmap.height() - 1; y >= 0; --y) png_write_row(png, bitmap.row(y));
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

bool WritePng(const Bitmap& bitmap, const std::string& destination, int colorCount,
              int compressionLevel, std::string* error) {
  const bool palette = colorCount <= 256;
  const int needed = palette ? 8 : 24;
  if (bitmap.empty() || bitmap.bitCount() != needed ||
      bitmap.bitsBlockSize() < bitmap.stride() * static_cast<size_t>(bitmap.height())) {
    if (error)
      *error = palette ? SJIS("PNGに書き込む画像が256色ではありません: ") + destination
                       : SJIS("PNGに書き込む画像が24ビットではありません: ") + destination;
    return false;
  }
  png_color colors[256] = {};
  for (size_t k = 0; k < bitmap.palette().size() && k < 256; ++k) {
    colors[k].red = bitmap.palette()[k].rgbRed;
    colors[k].green = bitmap.palette()[k].rgbGreen;
    colors[k].blue = bitmap.palette()[k].rgbBlue;
  }
  RemoveFile(destination);  // a new file: ext4 flushes a rewritten one on close
  std::FILE* file = std::fopen(destination.c_str(), "wb");
  if (!file) {
    if (error) *error = SJIS("PNGファイルを作成できません: ") + destination;
    return false;
  }
  PngErrorState state;
  bool ok = WriteImage(file, bitmap, palette, colors, compressionLevel, &state);
  ok = (std::fclose(file) == 0) && ok;
  if (!ok) {
    RemoveFile(destination);
    if (error) {
      *error = SJIS("PNGファイルを書き込めません: ") + destination;
      if (!state.message.empty()) *error += " (" + state.message + ")";
    }
  }
  return ok;
}

bool WritePngFile(const std::string& source, const std::string& destination, int colorCount,
                  int compressionLevel, std::string* error) {
  Bitmap bitmap;
  if (!LoadBmp(source, &bitmap, error)) return false;
  return WritePng(bitmap, destination, colorCount, compressionLevel, error);
}

}  // namespace qv
