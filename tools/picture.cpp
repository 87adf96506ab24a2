#include "tools/picture.h"

#include <gif_lib.h>
#include <jpeglib.h>
#include <jerror.h>
#include <png.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "platform/bmp_layout.h"

namespace qvconvert {
namespace {

// More than the largest picture accepted needs (16384 x 16384 at 24 bits is 768 MiB); it keeps
// a hostile file from filling the memory.
constexpr int64_t kMaxFileBytes = int64_t{1} << 30;

void PutU32(std::vector<uint8_t>* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}
void PutU16(std::vector<uint8_t>* out, uint16_t value) {
  out->push_back(static_cast<uint8_t>(value));
  out->push_back(static_cast<uint8_t>(value >> 8));
}

bool Fail(std::string* error, const std::string& message) {
  *error = message;
  return false;
}

// Rows of red, green, blue bytes, whatever the picture holds.
std::vector<uint8_t> RgbRows(const Picture& picture) {
  if (!picture.paletted) return picture.pixels;
  std::vector<uint8_t> rgb;
  rgb.reserve(picture.pixels.size() * 3);
  for (uint8_t index : picture.pixels) {
    const Rgb& c = picture.palette[index];
    rgb.insert(rgb.end(), {c.red, c.green, c.blue});
  }
  return rgb;
}

}  // namespace

Rgb Picture::ColourAt(int x, int y) const {
  size_t at = static_cast<size_t>(y) * width + x;
  if (paletted) return palette[pixels[at]];
  return Rgb{pixels[at * 3], pixels[at * 3 + 1], pixels[at * 3 + 2]};
}

bool ReadBmpFile(const std::string& path, Picture* picture, std::string* error) {
  // Opened without blocking, so a named pipe in place of the file cannot hold us.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return Fail(error, "cannot open " + path + ": " + std::strerror(errno));
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return Fail(error, path + " is not a file");
  }
  if (st.st_size > kMaxFileBytes) {
    close(fd);
    return Fail(error, path + " is too large for a picture");
  }
  std::vector<uint8_t> data;
  try {
    data.resize(static_cast<size_t>(st.st_size));
  } catch (const std::bad_alloc&) {
    close(fd);
    return Fail(error, path + ": not enough memory to read it");
  }
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = read(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  close(fd);
  data.resize(done);  // a file that shrank while being read is simply shorter
  return ReadBmpBytes(data.data(), data.size(), path, picture, error);
}

bool ReadBmpBytes(const uint8_t* data, size_t size, const std::string& name, Picture* picture,
                  std::string* error) {
  qv::BmpLayout layout;
  const qv::BmpFault fault = qv::ParseBmpHeaders(data, size, size, qv::kBmpDepth8 | qv::kBmpDepth24, &layout);
  if (fault == qv::BmpFault::kBitCount) return Fail(error, name + ": only 8-bit and 24-bit BMP files are supported");
  if (fault != qv::BmpFault::kNone) return Fail(error, name + ": " + qv::DescribeBmpFault(fault));

  Picture result;
  result.width = layout.width;
  result.height = layout.height;
  result.paletted = layout.bitCount == 8;
  for (size_t i = 0; i < layout.tableEntries && result.paletted; ++i) {
    const uint8_t* entry = data + layout.tableOffset + i * 4;  // blue, green, red, reserved
    result.palette.push_back(Rgb{entry[2], entry[1], entry[0]});
  }
  const size_t rowBytes = static_cast<size_t>(layout.width) * (layout.bitCount / 8);
  try {
    result.pixels.resize(rowBytes * layout.height);
  } catch (const std::bad_alloc&) {
    return Fail(error, name + ": not enough memory for the picture");
  }
  for (int row = 0; row < layout.height; ++row) {
    const size_t fileRow = static_cast<size_t>(layout.topDown ? row : layout.height - 1 - row);
    const uint8_t* source = data + layout.pixelOffset + layout.stride * fileRow;
    uint8_t* target = &result.pixels[rowBytes * row];
    if (result.paletted) {
      for (int x = 0; x < layout.width; ++x) {
        if (source[x] >= result.palette.size()) return Fail(error, name + ": colour index outside the colour table");
        target[x] = source[x];
      }
    } else {
      for (int x = 0; x < layout.width; ++x) {  // stored blue, green, red
        target[x * 3] = source[x * 3 + 2];
        target[x * 3 + 1] = source[x * 3 + 1];
        target[x * 3 + 2] = source[x * 3];
      }
    }
  }
  *picture = std::move(result);
  return true;
}

// ---- GIF --------------------------------------------------------------------------------

namespace {

int AppendToVector(GifFileType* gif, const GifByteType* bytes, int length) {
  auto* out = static_cast<std::vector<uint8_t>*>(gif->UserData);
  out->insert(out->end(), bytes, bytes + length);
  return length;
}

// A table with exactly the picture's colours when there are at most 256 of them.
bool ExactTable(const Picture& picture, std::vector<Rgb>* table, std::vector<uint8_t>* indexes) {
  std::unordered_map<uint32_t, uint8_t> seen;
  indexes->resize(static_cast<size_t>(picture.width) * picture.height);
  for (size_t i = 0; i < indexes->size(); ++i) {
    const uint8_t* p = &picture.pixels[i * 3];
    uint32_t key = (p[0] << 16) | (p[1] << 8) | p[2];
    auto found = seen.find(key);
    if (found == seen.end()) {
      if (seen.size() == 256) return false;
      found = seen.emplace(key, static_cast<uint8_t>(seen.size())).first;
      table->push_back(Rgb{p[0], p[1], p[2]});
    }
    (*indexes)[i] = found->second;
  }
  return true;
}

}  // namespace

bool EncodeGif(const Picture& picture, std::vector<uint8_t>* out, std::string* error) {
  std::vector<Rgb> table;
  std::vector<uint8_t> indexes;
  if (picture.paletted) {
    table = picture.palette;
    indexes = picture.pixels;
  } else if (!ExactTable(picture, &table, &indexes)) {
    size_t count = static_cast<size_t>(picture.width) * picture.height;
    std::vector<GifByteType> red(count), green(count), blue(count);
    for (size_t i = 0; i < count; ++i) {
      red[i] = picture.pixels[i * 3];
      green[i] = picture.pixels[i * 3 + 1];
      blue[i] = picture.pixels[i * 3 + 2];
    }
    int tableSize = 256;
    std::vector<GifColorType> quantized(256);
    indexes.assign(count, 0);
    if (GifQuantizeBuffer(picture.width, picture.height, &tableSize, red.data(), green.data(), blue.data(),
                          indexes.data(), quantized.data()) != GIF_OK) {
      return Fail(error, "cannot reduce the picture to 256 colours");
    }
    table.clear();
    for (int i = 0; i < tableSize; ++i) table.push_back(Rgb{quantized[i].Red, quantized[i].Green, quantized[i].Blue});
  }
  // A GIF colour table has a power-of-two size from 2 to 256 entries.
  int tableSize = 2;
  while (tableSize < static_cast<int>(table.size())) tableSize *= 2;
  std::vector<GifColorType> colours(tableSize, GifColorType{0, 0, 0});
  for (size_t i = 0; i < table.size(); ++i) colours[i] = GifColorType{table[i].red, table[i].green, table[i].blue};

  out->clear();
  int status = 0;
  GifFileType* gif = EGifOpen(out, AppendToVector, &status);
  if (!gif) return Fail(error, std::string("GIF writer: ") + GifErrorString(status));
  ColorMapObject* map = GifMakeMapObject(tableSize, colours.data());
  bool ok = map && EGifPutScreenDesc(gif, picture.width, picture.height, 8, 0, map) == GIF_OK &&
            EGifPutImageDesc(gif, 0, 0, picture.width, picture.height, false, nullptr) == GIF_OK;
  for (int row = 0; ok && row < picture.height; ++row) {
    ok = EGifPutLine(gif, &indexes[static_cast<size_t>(row) * picture.width], picture.width) == GIF_OK;
  }
  std::string message = ok ? std::string() : std::string("GIF writer: ") + GifErrorString(gif->Error);
  if (map) GifFreeMapObject(map);
  if (EGifCloseFile(gif, &status) != GIF_OK && ok) {
    ok = false;
    message = std::string("GIF writer: ") + GifErrorString(status);
  }
  if (!ok) return Fail(error, message);
  return true;
}

// ---- PNG --------------------------------------------------------------------------------

namespace {

void PngWrite(png_structp png, png_bytep bytes, png_size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), bytes, bytes + length);
}
void PngFlush(png_structp) {}

// Runs the libpng calls; libpng reports errors by longjmp, so this frame holds no objects
// with destructors.
bool WritePngRows(png_structp png, png_infop info, const Picture& picture, const png_color* palette, int paletteSize,
                  png_bytep* rows) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_IHDR(png, info, picture.width, picture.height, 8,
               picture.paletted ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (picture.paletted) png_set_PLTE(png, info, palette, paletteSize);
  png_write_info(png, info);
  png_write_image(png, rows);
  png_write_end(png, info);
  return true;
}

}  // namespace

bool EncodePng(const Picture& picture, std::vector<uint8_t>* out, std::string* error) {
  out->clear();
  std::vector<png_color> palette;
  for (const Rgb& c : picture.palette) palette.push_back(png_color{c.red, c.green, c.blue});
  size_t rowBytes = static_cast<size_t>(picture.width) * (picture.paletted ? 1 : 3);
  std::vector<png_bytep> rows(picture.height);
  for (int y = 0; y < picture.height; ++y) {
    rows[y] = const_cast<png_bytep>(&picture.pixels[rowBytes * y]);
  }
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!png || !info) {
    png_destroy_write_struct(&png, &info);
    return Fail(error, "PNG writer: out of memory");
  }
  png_set_write_fn(png, out, PngWrite, PngFlush);
  bool ok = WritePngRows(png, info, picture, palette.data(), static_cast<int>(palette.size()), rows.data());
  png_destroy_write_struct(&png, &info);
  if (!ok) return Fail(error, "PNG writer failed");
  return true;
}

// ---- JPEG -------------------------------------------------------------------------------

namespace {

struct JpegError {
  jpeg_error_mgr manager;
  jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

// The library's own exit would end the program; come back to the caller instead.
void JpegErrorExit(j_common_ptr info) {
  auto* error = reinterpret_cast<JpegError*>(info->err);
  (*info->err->format_message)(info, error->message);
  longjmp(error->jump, 1);
}

// Writes into a std::vector that owns the buffer at every moment, so a failure part-way leaves
// nothing to free twice (libjpeg's memory destination frees its buffers as it grows them and
// hands the last one out only at the end).
struct VectorDestination {
  jpeg_destination_mgr manager;
  std::vector<uint8_t>* bytes;
};

constexpr size_t kFirstJpegBytes = 4096;

void StartVector(j_compress_ptr info) {
  auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
  bool allocated = true;
  try {
    destination->bytes->resize(kFirstJpegBytes);
  } catch (...) {
    allocated = false;
  }
  if (!allocated) ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
  destination->manager.next_output_byte = destination->bytes->data();
  destination->manager.free_in_buffer = destination->bytes->size();
}

boolean GrowVector(j_compress_ptr info) {
  // Called when the whole buffer is full: double it and go on after the old end.
  auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
  const size_t used = destination->bytes->size();
  bool allocated = true;
  try {
    destination->bytes->resize(used * 2);
  } catch (...) {
    allocated = false;
  }
  if (!allocated) ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
  destination->manager.next_output_byte = destination->bytes->data() + used;
  destination->manager.free_in_buffer = destination->bytes->size() - used;
  return TRUE;
}

void FinishVector(j_compress_ptr info) {
  auto* destination = reinterpret_cast<VectorDestination*>(info->dest);
  destination->bytes->resize(destination->bytes->size() - destination->manager.free_in_buffer);
}

// libjpeg reports errors by longjmp, so this frame holds no objects with destructors.
bool CompressJpeg(jpeg_compress_struct* info, JpegError* error, const uint8_t* rgb, int width, int height,
                  int quality, VectorDestination* destination) {
  if (setjmp(error->jump)) return false;
  jpeg_create_compress(info);
  destination->manager.init_destination = StartVector;
  destination->manager.empty_output_buffer = GrowVector;
  destination->manager.term_destination = FinishVector;
  info->dest = &destination->manager;
  info->image_width = width;
  info->image_height = height;
  info->input_components = 3;
  info->in_color_space = JCS_RGB;
  jpeg_set_defaults(info);
  jpeg_set_quality(info, quality, TRUE);
  jpeg_start_compress(info, TRUE);
  while (info->next_scanline < info->image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb + static_cast<size_t>(info->next_scanline) * width * 3);
    jpeg_write_scanlines(info, &row, 1);
  }
  jpeg_finish_compress(info);
  return true;
}

}  // namespace

bool EncodeJpeg(const Picture& picture, int quality, std::vector<uint8_t>* out, std::string* error) {
  std::vector<uint8_t> rgb = RgbRows(picture);
  jpeg_compress_struct info;
  JpegError jpegError;
  std::memset(&info, 0, sizeof info);
  info.err = jpeg_std_error(&jpegError.manager);
  jpegError.manager.error_exit = JpegErrorExit;
  jpegError.message[0] = '\0';
  VectorDestination destination{};
  destination.bytes = out;
  bool ok = CompressJpeg(&info, &jpegError, rgb.data(), picture.width, picture.height, quality, &destination);
  jpeg_destroy_compress(&info);
  if (!ok) {
    out->clear();
    return Fail(error, std::string("JPEG writer: ") + jpegError.message);
  }
  return true;
}

// ---- BMP --------------------------------------------------------------------------------

bool EncodeBmp(const Picture& picture, std::vector<uint8_t>* out, std::string*) {
  int bits = picture.paletted ? 8 : 24;
  uint32_t stride = ((static_cast<uint32_t>(picture.width) * bits + 31) / 32) * 4;
  uint32_t tableBytes = picture.paletted ? 256 * 4 : 0;
  uint32_t offset = 14 + 40 + tableBytes;
  uint32_t imageBytes = stride * picture.height;
  out->clear();
  out->reserve(offset + imageBytes);
  out->push_back('B');
  out->push_back('M');
  PutU32(out, offset + imageBytes);
  PutU32(out, 0);
  PutU32(out, offset);
  PutU32(out, 40);
  PutU32(out, static_cast<uint32_t>(picture.width));
  PutU32(out, static_cast<uint32_t>(picture.height));  // positive: bottom-up
  PutU16(out, 1);
  PutU16(out, static_cast<uint16_t>(bits));
  PutU32(out, 0);  // no compression
  PutU32(out, imageBytes);
  PutU32(out, 0);
  PutU32(out, 0);
  PutU32(out, picture.paletted ? 256 : 0);
  PutU32(out, 0);
  if (picture.paletted) {
    for (size_t i = 0; i < 256; ++i) {
      Rgb c = i < picture.palette.size() ? picture.palette[i] : Rgb{};
      out->insert(out->end(), {c.blue, c.green, c.red, 0});
    }
  }
  for (int row = picture.height - 1; row >= 0; --row) {
    size_t start = out->size();
    for (int x = 0; x < picture.width; ++x) {
      size_t at = static_cast<size_t>(row) * picture.width + x;
      if (picture.paletted) {
        out->push_back(picture.pixels[at]);
      } else {
        out->insert(out->end(), {picture.pixels[at * 3 + 2], picture.pixels[at * 3 + 1], picture.pixels[at * 3]});
      }
    }
    out->resize(start + stride, 0);
  }
  return true;
}

}  // namespace qvconvert
