#include "core/jpeg_writer.h"

#include <csetjmp>
#include <cstdio>

#include <sys/stat.h>

#include <jpeglib.h>

#include "platform/message_box.h"

namespace qxcore {
namespace {

// libjpeg's standard error manager ends the process on a fatal error; ours formats the
// message (and drops it) and jumps back to the writer's recovery point instead.
struct ErrorManager {
  jpeg_error_mgr standard;
  std::jmp_buf recovery;
};

[[noreturn]] void ReturnToRecoveryPoint(j_common_ptr info) {
  char message[JMSG_LENGTH_MAX];
  (*info->err->format_message)(info, message);
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->recovery, 1);
}

// Only plain data lives in this frame, as longjmp skips destructors.
bool Compress(std::FILE* file, const uint8_t* pixels, int width, int height, bool colour,
              int quality) {
  jpeg_compress_struct compressor;
  ErrorManager errors;
  compressor.err = jpeg_std_error(&errors.standard);
  errors.standard.error_exit = ReturnToRecoveryPoint;
  if (setjmp(errors.recovery) != 0) {
    jpeg_destroy_compress(&compressor);
    return false;
  }
  jpeg_create_compress(&compressor);
  jpeg_stdio_dest(&compressor, file);
  compressor.image_width = static_cast<JDIMENSION>(width);
  compressor.image_height = static_cast<JDIMENSION>(height);
  compressor.input_components = colour ? 3 : 1;
  compressor.in_color_space = colour ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(&compressor);
  jpeg_set_quality(&compressor, quality, TRUE);
  jpeg_start_compress(&compressor, TRUE);
  const size_t rowBytes = static_cast<size_t>(width) * (colour ? 3 : 1);
  for (int row = 0; row < height; ++row) {
    JSAMPROW rowPointer = const_cast<JSAMPROW>(pixels + static_cast<size_t>(row) * rowBytes);
    jpeg_write_scanlines(&compressor, &rowPointer, 1);
  }
  jpeg_finish_compress(&compressor);
  jpeg_destroy_compress(&compressor);
  return true;
}

}  // namespace

bool WriteJpegFile(const std::string& path, const uint8_t* pixels, int width, int height,
                   bool colour, int quality) {
  quality = quality < 0 ? 0 : quality > 100 ? 100 : quality;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    qv::ShowMessageBox("JpegFile :\nCan't open " + path + "\n");
    return false;
  }
  const bool compressed = Compress(file, pixels, width, height, colour, quality);
  const bool closed = std::fclose(file) == 0;
  if (!compressed || !closed) {
    // A half-written picture must not pass for a whole one. Only a regular file is ours to
    // remove (the destination may be a device such as /dev/full).
    struct stat status {};
    if (stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) std::remove(path.c_str());
    return false;
  }
  return true;
}

}  // namespace qxcore
