#include "core/avi_writer.h"

#include <array>

namespace qxcore {
namespace {

// Offsets of the fields patched when the file is closed.
constexpr long kRiffSizeAt = 4;
constexpr long kTotalFramesAt = 48;        // avih dwTotalFrames
constexpr long kSuggestedBufferAt = 60;    // avih dwSuggestedBufferSize
constexpr long kStreamLengthAt = 140;      // strh dwLength
constexpr long kStreamBufferAt = 144;      // strh dwSuggestedBufferSize
constexpr long kMoviSizeAt = 216;
constexpr long kMoviFourccAt = 220;
constexpr uint32_t kHeaderBytes = 224;     // everything before the first frame chunk

constexpr uint32_t kHasIndex = 0x10;       // AVIF_HASINDEX
constexpr uint32_t kKeyFrame = 0x10;       // AVIIF_KEYFRAME

uint32_t FourCc(const char (&code)[5]) {
  return uint32_t(uint8_t(code[0])) | uint32_t(uint8_t(code[1])) << 8 |
         uint32_t(uint8_t(code[2])) << 16 | uint32_t(uint8_t(code[3])) << 24;
}

class HeaderBuilder {
 public:
  void U32(uint32_t value) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(value >> (8 * i)));
  }
  void U16(uint16_t value) {
    bytes_.push_back(static_cast<uint8_t>(value));
    bytes_.push_back(static_cast<uint8_t>(value >> 8));
  }
  void Code(const char (&code)[5]) { U32(FourCc(code)); }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

AviWriter::~AviWriter() {
  if (file_ != nullptr) (void)Close();
}

bool AviWriter::WriteBytes(const void* data, size_t size) {
  if (failed_ || std::fwrite(data, 1, size, file_) != size) {
    failed_ = true;
    return false;
  }
  written_ += size;
  return true;
}

bool AviWriter::Write32(uint32_t value) {
  const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                            uint8_t(value >> 24)};
  return WriteBytes(bytes, 4);
}

bool AviWriter::PatchAt(long position, uint32_t value) {
  const uint8_t bytes[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                            uint8_t(value >> 24)};
  return std::fseek(file_, position, SEEK_SET) == 0 && std::fwrite(bytes, 1, 4, file_) == 4;
}

bool AviWriter::Open(const std::string& path, int width, int height,
                     uint32_t microSecondsPerFrame, FileCreation creation) {
  if (file_ != nullptr || width <= 0 || height <= 0 || microSecondsPerFrame == 0) return false;
  file_ = OpenOutputFile(path, creation);
  if (file_ == nullptr) return false;
  failed_ = false;
  written_ = 0;
  largestFrame_ = 0;
  index_.clear();

  const uint32_t w = static_cast<uint32_t>(width);
  const uint32_t h = static_cast<uint32_t>(height);
  // Frames per second as a rational: 1 000 000 / microseconds per frame.
  const uint32_t rate = 1000000;
  const uint32_t scale = microSecondsPerFrame;
  HeaderBuilder header;
  header.Code("RIFF");
  header.U32(0);  // patched
  header.Code("AVI ");
  header.Code("LIST");
  header.U32(4 + 8 + 56 + 8 + 4 + 8 + 56 + 8 + 40);
  header.Code("hdrl");
  header.Code("avih");
  header.U32(56);
  header.U32(microSecondsPerFrame);
  header.U32(0);  // max bytes per second: unknown
  header.U32(0);
  header.U32(kHasIndex);
  header.U32(0);  // total frames, patched
  header.U32(0);
  header.U32(1);  // streams
  header.U32(0);  // suggested buffer size, patched
  header.U32(w);
  header.U32(h);
  for (int i = 0; i < 4; ++i) header.U32(0);
  header.Code("LIST");
  header.U32(4 + 8 + 56 + 8 + 40);
  header.Code("strl");
  header.Code("strh");
  header.U32(56);
  header.Code("vids");
  header.Code("MJPG");
  header.U32(0);   // flags
  header.U16(0);   // priority
  header.U16(0);   // language
  header.U32(0);   // initial frames
  header.U32(scale);
  header.U32(rate);
  header.U32(0);   // start
  header.U32(0);   // length, patched
  header.U32(0);   // suggested buffer size, patched
  header.U32(0xFFFFFFFF);  // quality: default
  header.U32(0);   // sample size: varies per frame
  header.U16(0);
  header.U16(0);
  header.U16(static_cast<uint16_t>(w));
  header.U16(static_cast<uint16_t>(h));
  header.Code("strf");
  header.U32(40);
  header.U32(40);  // BITMAPINFOHEADER
  header.U32(w);
  header.U32(h);
  header.U16(1);
  header.U16(24);
  header.Code("MJPG");
  header.U32(w * h * 3);
  for (int i = 0; i < 4; ++i) header.U32(0);
  header.Code("LIST");
  header.U32(0);  // patched
  header.Code("movi");
  if (header.bytes().size() != kHeaderBytes || !WriteBytes(header.bytes().data(), kHeaderBytes)) {
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  return true;
}

bool AviWriter::AddFrame(const uint8_t* jpeg, size_t size) {
  if (file_ == nullptr || failed_ || jpeg == nullptr) return false;
  const uint64_t padded = size + (size & 1);  // chunks are word-aligned
  // This chunk, its index entry, the index header and the RIFF size must all stay in range.
  const uint64_t after = written_ + 8 + padded + 8 + 16 * (uint64_t{index_.size()} + 1);
  if (after > maxFileBytes_ || after > 0xFFFFFFF0u) return false;
  const uint32_t offset = static_cast<uint32_t>(written_ - kMoviFourccAt);
  if (!Write32(FourCc("00dc")) || !Write32(static_cast<uint32_t>(size)) ||
      !WriteBytes(jpeg, size)) {
    return false;
  }
  if ((size & 1) != 0) {
    const uint8_t zero = 0;
    if (!WriteBytes(&zero, 1)) return false;
  }
  index_.push_back({offset, static_cast<uint32_t>(size)});
  if (size > largestFrame_) largestFrame_ = static_cast<uint32_t>(size);
  return true;
}

bool AviWriter::Close() {
  if (file_ == nullptr) return false;
  bool ok = !failed_;
  const uint64_t moviEnd = written_;
  if (ok) ok = Write32(FourCc("idx1")) && Write32(static_cast<uint32_t>(index_.size() * 16));
  for (size_t i = 0; ok && i < index_.size(); ++i) {
    ok = Write32(FourCc("00dc")) && Write32(kKeyFrame) && Write32(index_[i].offset) &&
         Write32(index_[i].size);
  }
  if (ok) {
    const uint32_t frames = static_cast<uint32_t>(index_.size());
    const uint32_t buffer = largestFrame_ + 8;
    ok = PatchAt(kRiffSizeAt, static_cast<uint32_t>(written_ - 8)) &&
         PatchAt(kTotalFramesAt, frames) && PatchAt(kSuggestedBufferAt, buffer) &&
         PatchAt(kStreamLengthAt, frames) && PatchAt(kStreamBufferAt, buffer) &&
         PatchAt(kMoviSizeAt, static_cast<uint32_t>(moviEnd - kMoviFourccAt));
  }
  if (std::fclose(file_) != 0) ok = false;
  file_ = nullptr;
  return ok;
}

}  // namespace qxcore
