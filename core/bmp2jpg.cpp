#include "core/bmp_reader.h"
#include "core/jpeg_writer.h"
#include "core/qxdvcore.h"

int QXCoreBMP2JPG(const char* source, const char* destination, int quality) {
  if (source == nullptr || destination == nullptr) return 0;
  quality = quality < 0 ? 0 : quality > 100 ? 100 : quality;
  qxcore::RgbImage image;
  if (qxcore::ReadBmpAsRgb(source, image) != qxcore::kBmpOk) return 0;
  // The result reports the reading only: a destination that cannot be written has already
  // been reported to the user by the writer.
  (void)qxcore::WriteJpegFile(destination, image.pixels.data(), image.width, image.height,
                              true, quality);
  return 1;
}
