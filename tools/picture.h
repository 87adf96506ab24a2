// Pictures for qvconvert: reading the BMP files the image pipeline writes, and encoding a
// picture as GIF, PNG, JPEG or BMP in memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvconvert {

struct Rgb {
  uint8_t red = 0, green = 0, blue = 0;
  bool operator==(const Rgb&) const = default;
};

// A picture with rows top to bottom and no row padding. A paletted picture holds one colour
// index per pixel (every index is inside `palette`, at most 256 entries); a true-colour one
// holds red, green, blue per pixel.
struct Picture {
  int width = 0;
  int height = 0;
  bool paletted = false;
  std::vector<Rgb> palette;
  std::vector<uint8_t> pixels;

  [[nodiscard]] Rgb ColourAt(int x, int y) const;
};

// Reads a BMP file of any layout platform/bmp_layout.h accepts at 8 bits per pixel (a paletted
// picture) or 24 bits. The file is untrusted: anything else (compression, other depths,
// truncation, colour indexes outside the table, sizes beyond 16384, a file that is not a
// regular one or is over 1 GiB) gives false and a message naming `path` in *error.
[[nodiscard]] bool ReadBmpFile(const std::string& path, Picture* picture, std::string* error);
// The same for the `size` bytes of a whole file at `data`; messages name `name`.
[[nodiscard]] bool ReadBmpBytes(const uint8_t* data, size_t size, const std::string& name, Picture* picture,
                                std::string* error);

// Encoders: false with a message in *error when the library refuses.
// GIF: a paletted picture keeps its colour table and indexes exactly (the table is padded with
// black to a power of two); a true-colour picture with at most 256 colours gets an exact
// table, else it is reduced to 256 colours by median cut.
[[nodiscard]] bool EncodeGif(const Picture& picture, std::vector<uint8_t>* out, std::string* error);
// PNG: paletted pictures as palette PNG, others as RGB, 8 bits per sample.
[[nodiscard]] bool EncodePng(const Picture& picture, std::vector<uint8_t>* out, std::string* error);
// JPEG: baseline colour JPEG at the given quality (1..100).
[[nodiscard]] bool EncodeJpeg(const Picture& picture, int quality, std::vector<uint8_t>* out, std::string* error);
// BMP: 8 bits with a 256-entry table (paletted) or 24 bits, bottom-up, rows padded to 4 bytes.
[[nodiscard]] bool EncodeBmp(const Picture& picture, std::vector<uint8_t>* out, std::string* error);

}  // namespace qvconvert
