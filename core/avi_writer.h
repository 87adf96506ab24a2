// A small RIFF AVI writer for one Motion-JPEG video stream: header list, 'movi' list of
// '00dc' chunks and an 'idx1' index, the layout every AVI 1.0 reader understands.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/output_file.h"

namespace qxcore {

class AviWriter {
 public:
  // Readers of the original format address at most 1 GiB; the stream ends there.
  static constexpr uint64_t kDefaultMaxFileBytes = uint64_t{1} << 30;

  explicit AviWriter(uint64_t maxFileBytes = kDefaultMaxFileBytes) : maxFileBytes_(maxFileBytes) {}
  ~AviWriter();
  AviWriter(const AviWriter&) = delete;
  AviWriter& operator=(const AviWriter&) = delete;

  // Creates `path` as `creation` says for `width` x `height` frames shown
  // `microSecondsPerFrame` apart. False when the file cannot be created.
  [[nodiscard]] bool Open(const std::string& path, int width, int height,
                          uint32_t microSecondsPerFrame,
                          FileCreation creation = FileCreation::kReplace);
  // Appends one JPEG frame. False when not open, on a write error, or when the frame would take
  // the file past its size limit (the file stays valid up to the frame before).
  [[nodiscard]] bool AddFrame(const uint8_t* jpeg, size_t size);
  // Writes the index and the final sizes and closes the file. False on a write error or when
  // not open. The destructor closes an open file the same way.
  [[nodiscard]] bool Close();

  [[nodiscard]] uint32_t frameCount() const { return static_cast<uint32_t>(index_.size()); }
  [[nodiscard]] bool isOpen() const { return file_ != nullptr; }

 private:
  struct IndexEntry {
    uint32_t offset;  // from the 'movi' fourcc
    uint32_t size;
  };

  bool WriteBytes(const void* data, size_t size);
  bool Write32(uint32_t value);
  bool PatchAt(long position, uint32_t value);

  uint64_t maxFileBytes_;
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  uint64_t written_ = 0;
  uint32_t largestFrame_ = 0;
  std::vector<IndexEntry> index_;
};

}  // namespace qxcore
