#include "core/jpeg_writer.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include "core/partial_file.h"
#include "platform/message_box.h"

namespace qxcore {
namespace {

// libjpeg's standard error manager ends the process on a fatal error; ours formats the
// message (and drops it) and jumps back to the encoder's recovery point instead.
struct ErrorManager {
  jpeg_error_mgr standard;
  std::jmp_buf recovery;
};

[[noreturn]] void ReturnToRecoveryPoint(j_common_ptr info) {
  char message[JMSG_LENGTH_MAX];
  (*info->err->format_message)(info, message);
  std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->recovery, 1);
}

struct Destination {
  std::FILE* file = nullptr;         // write here when set ...
  unsigned char* memory = nullptr;   // ... else into a buffer that libjpeg allocates
  unsigned long memorySize = 0;
};

int Clamp(int quality) { return quality < 0 ? 0 : quality > 100 ? 100 : quality; }

// Only plain data lives in this frame, as longjmp skips destructors.
bool Compress(Destination& destination, const uint8_t* pixels, int width, int height,
              JpegInput input, int quality) {
  jpeg_compress_struct compressor;
  ErrorManager errors;
  compressor.err = jpeg_std_error(&errors.standard);
  errors.standard.error_exit = ReturnToRecoveryPoint;
  if (setjmp(errors.recovery) != 0) {
    jpeg_destroy_compress(&compressor);
    return false;
  }
  jpeg_create_compress(&compressor);
  if (destination.file != nullptr) {
    jpeg_stdio_dest(&compressor, destination.file);
  } else {
    jpeg_mem_dest(&compressor, &destination.memory, &destination.memorySize);
  }
  compressor.image_width = static_cast<JDIMENSION>(width);
  compressor.image_height = static_cast<JDIMENSION>(height);
  compressor.input_components = input == JpegInput::kGrey ? 1 : 3;
  compressor.in_color_space = input == JpegInput::kGrey ? JCS_GRAYSCALE
                              : input == JpegInput::kBgr ? JCS_EXT_BGR
                                                         : JCS_RGB;
  jpeg_set_defaults(&compressor);
  jpeg_set_quality(&compressor, Clamp(quality), TRUE);
  jpeg_start_compress(&compressor, TRUE);
  const size_t rowBytes = static_cast<size_t>(width) * static_cast<size_t>(compressor.input_components);
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
  Destination destination;
  destination.file = std::fopen(path.c_str(), "wb");
  if (destination.file == nullptr) {
    qv::ShowMessageBox("JpegFile :\nCan't open " + path + "\n");
    return false;
  }
  const bool compressed = Compress(destination, pixels, width, height,
                                   colour ? JpegInput::kRgb : JpegInput::kGrey, quality);
  const bool closed = std::fclose(destination.file) == 0;
  if (!compressed || !closed) {
    // A half-written picture must not pass for a whole one.
    RemovePartialFile(path);
    return false;
  }
  return true;
}

bool EncodeJpeg(const uint8_t* pixels, int width, int height, JpegInput input, int quality,
                std::vector<uint8_t>& jpeg) {
  Destination destination;
  const bool compressed = Compress(destination, pixels, width, height, input, quality);
  if (compressed && destination.memory != nullptr) {
    jpeg.assign(destination.memory, destination.memory + destination.memorySize);
  } else {
    jpeg.clear();
  }
  std::free(destination.memory);
  return compressed && !jpeg.empty();
}

}  // namespace qxcore
