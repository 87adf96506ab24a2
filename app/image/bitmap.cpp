#include "app/image/bitmap.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "platform/files.h"
#include "platform/text.h"

namespace qv {
namespace {

void SetError(std::string* error, const std::string& reason, const std::string& path) {
  if (error) *error = reason + path;
}

void Write16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void Write32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace

void RemoveFile(const std::string& path) { qv::RemoveRegularFile(path); }

void SortByProduct(RgbQuad* table, int count) {
  auto product = [](const RgbQuad& entry) { return int64_t{entry.rgbBlue} * entry.rgbGreen * entry.rgbRed; };
  std::stable_sort(table, table + count, [&](const RgbQuad& a, const RgbQuad& b) { return product(a) < product(b); });
}

namespace {

bool ValidDimension(int64_t value) { return value >= 1 && value <= kMaxBitmapDimension; }

}  // namespace

Bitmap Bitmap::Create(int width, int height, int bitCount, int paletteEntries) {
  if (!ValidDimension(width) || !ValidDimension(height) || paletteEntries < 0 || paletteEntries > 256)
    throw std::length_error("bitmap size out of range");
  Bitmap bitmap;
  bitmap.info_.biWidth = width;
  bitmap.info_.biHeight = height;
  bitmap.info_.biBitCount = static_cast<uint16_t>(bitCount);
  bitmap.palette_.assign(static_cast<size_t>(paletteEntries), RgbQuad{});
  bitmap.bits_.assign(RowStride(width, bitCount) * static_cast<size_t>(height), 0);
  bitmap.info_.biSizeImage = static_cast<uint32_t>(bitmap.bits_.size());
  return bitmap;
}

Bitmap Bitmap::Clone() const {
  Bitmap copy;
  copy.info_ = info_;
  copy.masks_ = masks_;
  copy.palette_ = palette_;
  copy.bits_ = bits_;
  return copy;
}

void Bitmap::Free() {
  info_ = BitmapInfoHeader{};
  masks_ = BmpMasks{};
  std::vector<RgbQuad>().swap(palette_);
  std::vector<uint8_t>().swap(bits_);
}

BmpFile::~BmpFile() { Close(); }

void BmpFile::Close() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

namespace {

std::string LoadRefusal(BmpFault fault) {
  switch (fault) {
    case BmpFault::kNotBmp: return SJIS("BMPファイルではありません: ");
    case BmpFault::kHeaderSize: return SJIS("対応していないBMPヘッダーです: ");
    case BmpFault::kDimensions: return SJIS("BMPの画像サイズが不正です: ");
    case BmpFault::kBitCount: return SJIS("対応していないビット数のBMPです: ");
    case BmpFault::kCompression: return SJIS("圧縮されたBMPには対応していません: ");
    case BmpFault::kMasks: return SJIS("対応していないビットマスクのBMPです: ");
    case BmpFault::kColourTable: return SJIS("BMPのカラーテーブルが大きすぎます: ");
    case BmpFault::kPixelOffset: return SJIS("BMPの画素データの位置が不正です: ");
    default: return SJIS("BMPファイルが途中で切れています: ");
  }
}

}  // namespace

bool BmpFile::Open(const std::string& path, std::string* error) {
  Close();
  palette_.clear();
  // Opened without blocking, so a named pipe in place of the file cannot hold the reader.
  fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  struct stat status {};
  if (fd_ < 0 || fstat(fd_, &status) != 0 || !S_ISREG(status.st_mode)) {
    Close();
    SetError(error, SJIS("画像ファイルを開けません: "), path);
    return false;
  }
  auto refuse = [&](const std::string& reason) {
    Close();
    palette_.clear();
    SetError(error, reason, path);
    return false;
  };
  const uint64_t fileSize = static_cast<uint64_t>(status.st_size);
  uint8_t head[kBmpHeadSize] = {};
  const size_t headSize = static_cast<size_t>(std::min<uint64_t>(fileSize, sizeof head));
  if (!qv::ReadAt(fd_, head, headSize, 0)) return refuse(SJIS("BMPファイルを読み込めません: "));
  BmpLayout layout;
  const BmpFault fault = ParseBmpHeaders(head, headSize, fileSize, kBmpAllDepths, &layout);
  if (fault != BmpFault::kNone) return refuse(LoadRefusal(fault));

  // Later header versions begin with the 40-byte header; the rest is not kept.
  std::memcpy(&info_, head + kFileHeaderSize, sizeof info_);
  info_.biSize = sizeof(BitmapInfoHeader);
  info_.biHeight = layout.height;
  masks_ = layout.compression == kCompressionBitfields ? layout.masks : BmpMasks{};
  pixelOffset_ = static_cast<int64_t>(layout.pixelOffset);
  stride_ = static_cast<size_t>(layout.stride);
  topDown_ = layout.topDown;
  palette_.resize(layout.tableEntries);
  if (!palette_.empty() && !qv::ReadAt(fd_, palette_.data(), 4 * palette_.size(), layout.tableOffset))
    return refuse(SJIS("BMPファイルを読み込めません: "));
  return true;
}

bool BmpFile::ReadRow(int y, uint8_t* row) const {
  if (fd_ < 0 || y < 0 || y >= info_.biHeight) return false;
  const int64_t fileRow = topDown_ ? info_.biHeight - 1 - y : y;
  return qv::ReadAt(fd_, row, stride_, static_cast<off_t>(pixelOffset_ + static_cast<int64_t>(stride_) * fileRow));
}

bool BmpFile::ReadAll(uint8_t* bits) const {
  if (fd_ < 0) return false;
  if (!topDown_) return qv::ReadAt(fd_, bits, stride_ * static_cast<size_t>(info_.biHeight), pixelOffset_);
  for (int y = 0; y < info_.biHeight; ++y)
    if (!ReadRow(y, bits + stride_ * static_cast<size_t>(y))) return false;
  return true;
}

bool LoadBmp(const std::string& path, Bitmap* out, std::string* error) {
  out->Free();
  BmpFile file;
  if (!file.Open(path, error)) return false;
  try {
    Bitmap bitmap;
    bitmap.info() = file.info();
    bitmap.masks() = file.masks();
    bitmap.palette() = file.palette();
    bitmap.bits().resize(file.stride() * static_cast<size_t>(file.info().biHeight));
    if (!file.ReadAll(bitmap.bits().data())) {
      SetError(error, SJIS("BMPファイルを読み込めません: "), path);
      return false;
    }
    *out = std::move(bitmap);
  } catch (const std::bad_alloc&) {
    SetError(error, SJIS("画像を読み込むメモリが足りません: "), path);
    return false;
  }
  return true;
}

bool SaveBmp(const std::string& path, const Bitmap& bitmap, std::string* error) {
  RemoveFile(path);  // a new file: ext4 flushes a rewritten one on close
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) {
    SetError(error, SJIS("画像ファイルを作成できません: "), path);
    return false;
  }
  uint8_t header[kFileHeaderSize] = {'B', 'M'};
  const size_t headerBlock = bitmap.headerBlockSize();
  Write32(header + 2, static_cast<uint32_t>(kFileHeaderSize + headerBlock + bitmap.bitsBlockSize()));
  Write16(header + 6, 0);
  Write16(header + 8, 0);
  Write32(header + 10, static_cast<uint32_t>(kFileHeaderSize + headerBlock));
  const auto& palette = bitmap.palette();
  const auto& bits = bitmap.bits();
  bool ok = std::fwrite(header, sizeof header, 1, file) == 1 &&
            std::fwrite(&bitmap.info(), sizeof(BitmapInfoHeader), 1, file) == 1 &&
            (!bitmap.hasMasks() || std::fwrite(&bitmap.masks(), sizeof(BmpMasks), 1, file) == 1) &&
            (palette.empty() || std::fwrite(palette.data(), 4 * palette.size(), 1, file) == 1) &&
            (bits.empty() || std::fwrite(bits.data(), bits.size(), 1, file) == 1);
  ok = (std::fclose(file) == 0) && ok;
  if (!ok) {
    RemoveFile(path);
    SetError(error, SJIS("画像ファイルに書き込めません: "), path);
  }
  return ok;
}

bool ConvertTo24Bits(const Bitmap& source, Bitmap* out, std::string* error) {
  out->Free();
  const int bitCount = source.bitCount();
  if (bitCount != 8 && bitCount != 16 && bitCount != 32) {
    if (error) *error = SJIS("24ビットに変換できないビット数の画像です。");
    return false;
  }
  const int width = source.width();
  const int height = source.height();
  if (source.bitsBlockSize() < source.stride() * static_cast<size_t>(height)) {
    if (error) *error = SJIS("画像データが足りません。");
    return false;
  }
  BmpPixelDecoder decoder;
  if (bitCount != 8 &&
      !decoder.Set(source.hasMasks() ? source.masks() : DefaultBmpMasks(bitCount), bitCount)) {
    if (error) *error = SJIS("対応していないビットマスクの画像です。");
    return false;
  }
  try {
    Bitmap result = Bitmap::Create(width, height, 24);
    const uint32_t bitsSize = result.info().biSizeImage;
    result.info() = source.info();
    result.info().biBitCount = 24;
    result.info().biCompression = kCompressionRgb;
    result.info().biSizeImage = bitsSize;
    // The result has no colour table, so it must not claim one.
    result.info().biClrUsed = 0;
    result.info().biClrImportant = 0;

    const size_t paletteSize = source.palette().size();
    for (int y = 0; y < height; ++y) {
      const uint8_t* in = source.row(y);
      uint8_t* pixel = result.row(y);
      if (bitCount == 8) {
        for (int x = 0; x < width; ++x, pixel += 3) {
          const uint8_t index = in[x];
          if (index >= paletteSize) {
            if (error) *error = SJIS("カラーテーブルの範囲外の色番号があります。");
            return false;
          }
          const RgbQuad& entry = source.palette()[index];
          pixel[0] = entry.rgbBlue;
          pixel[1] = entry.rgbGreen;
          pixel[2] = entry.rgbRed;
        }
      } else {
        const int bytes = bitCount / 8;
        for (int x = 0; x < width; ++x, pixel += 3) decoder.DecodeBgr(in + bytes * x, pixel);
      }
    }
    *out = std::move(result);
  } catch (const std::bad_alloc&) {
    if (error) *error = SJIS("画像を変換するメモリが足りません。");
    return false;
  }
  return true;
}

bool CopyPictureFile(const std::string& source, const std::string& destination, std::string* error) {
  FileDescriptor input(open(source.c_str(), O_RDONLY | O_CLOEXEC));
  if (input.get() < 0) {
    SetError(error, SJIS("画像ファイルを開けません: "), source);
    return false;
  }
  struct stat in {}, out {};
  if (fstat(input.get(), &in) == 0 && stat(destination.c_str(), &out) == 0 && in.st_dev == out.st_dev &&
      in.st_ino == out.st_ino)
    return true;  // already in place
  RemoveFile(destination);  // a new file: ext4 flushes a rewritten one on close
  const int output = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (output < 0) {
    SetError(error, SJIS("画像ファイルを作成できません: "), destination);
    return false;
  }
  bool ok = true;
  uint8_t buffer[65536];
  while (ok) {
    ssize_t n = read(input.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    for (ssize_t done = 0; done < n && ok;) {
      ssize_t written = write(output, buffer + done, static_cast<size_t>(n - done));
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0)
        ok = false;
      else
        done += written;
    }
  }
  ok = (close(output) == 0) && ok;
  if (!ok) {
    RemoveFile(destination);
    SetError(error, SJIS("画像ファイルをコピーできません: "), destination);
  }
  return ok;
}

}  // namespace qv
