#include "core/jpeg_writer.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>
#include <jerror.h>

#include "core/output_file.h"
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

// A destination manager that writes into a std::vector. The buffer belongs to the vector at
// every moment, so a failure part-way leaves nothing for the caller to free (libjpeg's own
// memory destination keeps its latest buffer to itself until the end).
struct VectorDestination {
  jpeg_destination_mgr manager;
  std::vector<uint8_t>* bytes;
  size_t limit;
};

constexpr size_t kFirstOutputBytes = 4096;

void StartVector(j_compress_ptr info) {
  auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
  bool allocated = true;
  try {
    destination->bytes->resize(std::min(kFirstOutputBytes, destination->limit));
  } catch (...) {
    allocated = false;
  }
  if (!allocated || destination->bytes->empty()) ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
  destination->manager.next_output_byte = destination->bytes->data();
  destination->manager.free_in_buffer = destination->bytes->size();
}

boolean GrowVector(j_compress_ptr info) {
  // Called when the whole buffer is full: double it, and go on after the old end.
  auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
  const size_t used = destination->bytes->size();
  const size_t grown = std::min(used * 2, destination->limit);
  bool allocated = grown > used;
  if (allocated) {
    try {
      destination->bytes->resize(grown);
    } catch (...) {
      allocated = false;
    }
  }
  if (!allocated) ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
  destination->manager.next_output_byte = destination->bytes->data() + used;
  destination->manager.free_in_buffer = grown - used;
  return TRUE;
}

void FinishVector(j_compress_ptr info) {
  auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
  destination->bytes->resize(destination->bytes->size() - destination->manager.free_in_buffer);
}

struct Destination {
  std::FILE* file = nullptr;            // write here when set ...
  VectorDestination* memory = nullptr;  // ... else into this vector
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
    destination.memory->manager.init_destination = StartVector;
    destination.memory->manager.empty_output_buffer = GrowVector;
    destination.memory->manager.term_destination = FinishVector;
    compressor.dest = &destination.memory->manager;
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
                std::vector<uint8_t>& jpeg, size_t maxBytes) {
  jpeg.clear();
  VectorDestination memory{};
  memory.bytes = &jpeg;
  memory.limit = maxBytes;
  Destination destination;
  destination.memory = &memory;
  if (!Compress(destination, pixels, width, height, input, quality)) {
    jpeg.clear();
    return false;
  }
  return !jpeg.empty();
}

}  // namespace qxcore
