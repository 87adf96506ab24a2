// BMP files of the layouts the BMP readers accept and of some they must refuse, made byte by
// byte with known pixels, so that the tests of every reader read the same files.
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

#include "platform/bmp_layout.h"

namespace qv::bmp_fixtures {

// Every fixture holds this 3 x 2 picture, 0xRRGGBB, top row first.
inline constexpr int kWidth = 3;
inline constexpr int kHeight = 2;
inline constexpr uint32_t kPicture[kWidth * kHeight] = {0xFF0000, 0x00FF00, 0x0000FF,
                                                        0xFFFFFF, 0x000000, 0x804020};

struct Layout {
  const char* name;
  uint32_t infoSize = 40;    // 12: the OS/2 header; else the 40-byte fields, masks from 52 on
  int bitCount = 24;
  uint32_t compression = kBmpCompressionRgb;
  BmpMasks masks = {};       // written for BI_BITFIELDS; pixels use DefaultBmpMasks otherwise
  bool topDown = false;
  uint32_t coloursUsed = 0;  // 8 bits: 0 writes all 256 entries
  bool accepted = true;      // false: every reader must refuse the file
};

struct Fixture {
  Layout layout;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> expected;  // 0xRRGGBB, top-down, as a reader gives the picture back
};

// Channel `level` in the field `mask`: its top bits when the field is narrower than 8.
inline uint32_t Field(uint32_t level, uint32_t mask) {
  const int width = std::popcount(mask);
  if (width == 0) return 0;
  return ((width >= 8 ? level << (width - 8) : level >> (8 - width)) << std::countr_zero(mask)) & mask;
}

inline std::vector<uint8_t> MakeBmp(const Layout& layout) {
  const bool bitfields = layout.compression == kBmpCompressionBitfields;
  const BmpMasks masks = bitfields ? layout.masks : DefaultBmpMasks(layout.bitCount);
  const uint32_t entries = layout.bitCount != 8 ? 0 : layout.coloursUsed ? layout.coloursUsed : 256;
  const uint32_t headers = 14 + layout.infoSize + (bitfields && layout.infoSize == 40 ? 12 : 0);
  const int size = layout.infoSize == 12 ? 2 : 4;  // of the width and height fields
  const uint32_t height = static_cast<uint32_t>(layout.topDown ? -kHeight : kHeight);
  std::vector<uint8_t> bytes;
  auto put = [&](uint32_t value, int count) {
    for (int i = 0; i < count; ++i) bytes.push_back(static_cast<uint8_t>(i < 4 ? value >> (8 * i) : 0));
  };
  put('B' | 'M' << 8, 2);
  put(0, 8);  // bfSize (set below) and the reserved fields
  put(headers + 4 * entries, 4);
  put(layout.infoSize, 4);
  put(kWidth, size);
  put(height, size);
  put(1, 2);
  put(static_cast<uint32_t>(layout.bitCount), 2);
  if (layout.infoSize > 12) {
    put(layout.compression, 4);
    put(0, 12);  // biSizeImage and the resolution
    put(layout.coloursUsed, 4);
    put(0, 4);
    if (headers > 14 + 40) {
      put(layout.masks.red, 4);
      put(layout.masks.green, 4);
      put(layout.masks.blue, 4);
    }
    bytes.resize(headers, 0);
  }
  for (uint32_t i = 0; i < entries; ++i) put(i < 6 ? kPicture[i] : 0, 4);  // index = 3 x row + column
  for (int fileRow = 0; fileRow < kHeight; ++fileRow) {
    const int y = layout.topDown ? fileRow : kHeight - 1 - fileRow;
    for (int x = 0; x < kWidth; ++x) {
      const uint32_t c = kPicture[kWidth * y + x];
      if (layout.bitCount == 8)
        put(static_cast<uint32_t>(kWidth * y + x), 1);
      else if (layout.bitCount == 24)
        put(c, 3);
      else
        put(Field(c >> 16, masks.red) | Field(c >> 8 & 0xFF, masks.green) | Field(c & 0xFF, masks.blue),
            layout.bitCount / 8);
    }
    while ((bytes.size() - headers - 4 * entries) % 4 != 0) put(0xA5, 1);  // padding is never a pixel
  }
  for (int i = 0; i < 4; ++i) bytes[2 + i] = static_cast<uint8_t>(bytes.size() >> (8 * i));
  return bytes;
}

inline std::vector<Fixture> Fixtures() {
  const uint32_t fields = kBmpCompressionBitfields;
  const Layout layouts[] = {
      {.name = "24 bits, 40-byte header"},
      {.name = "24 bits, version 5 header, top-down", .infoSize = 124, .topDown = true},
      {.name = "8 bits, version 4 header, 6-entry table", .infoSize = 108, .bitCount = 8, .coloursUsed = 6},
      {.name = "8 bits, version 5 header", .infoSize = 124, .bitCount = 8},
      {.name = "8 bits, 56-byte header, top-down", .infoSize = 56, .bitCount = 8, .topDown = true},
      {.name = "16 bits, 5-6-5", .bitCount = 16, .compression = fields, .masks = {0xF800, 0x07E0, 0x001F}},
      {.name = "16 bits, 5-5-5", .bitCount = 16, .compression = fields, .masks = {0x7C00, 0x03E0, 0x001F}},
      {.name = "16 bits, default 5-5-5", .bitCount = 16},
      {.name = "16 bits, 5-6-5 blue high, 52-byte header", .infoSize = 52, .bitCount = 16, .compression = fields,
       .masks = {0x001F, 0x07E0, 0xF800}},
      {.name = "16 bits, 4-4-4, version 4 header", .infoSize = 108, .bitCount = 16, .compression = fields,
       .masks = {0x0F00, 0x00F0, 0x000F}},
      {.name = "32 bits, 8-8-8", .bitCount = 32, .compression = fields, .masks = {0xFF0000, 0xFF00, 0xFF}},
      {.name = "32 bits, default", .bitCount = 32},
      {.name = "32 bits, red in the high byte, version 4 header", .infoSize = 108, .bitCount = 32,
       .compression = fields, .masks = {0xFF000000, 0xFF0000, 0xFF00}},
      {.name = "32 bits, blue-green-red, 56-byte header", .infoSize = 56, .bitCount = 32, .compression = fields,
       .masks = {0xFF, 0xFF00, 0xFF0000}},
      {.name = "32 bits, 10-10-10, version 5 header, top-down", .infoSize = 124, .bitCount = 32,
       .compression = fields, .masks = {0x3FF00000, 0xFFC00, 0x3FF}, .topDown = true},
      // Refused by every reader.
      {.name = "16 bits, red mask with a gap", .bitCount = 16, .compression = fields,
       .masks = {0xF001, 0x07E0, 0x001E}, .accepted = false},
      {.name = "16 bits, overlapping masks", .bitCount = 16, .compression = fields,
       .masks = {0xF800, 0x0FE0, 0x001F}, .accepted = false},
      {.name = "32 bits, empty green mask", .infoSize = 108, .bitCount = 32, .compression = fields,
       .masks = {0xFF0000, 0, 0xFF}, .accepted = false},
      {.name = "16 bits, mask beyond the pixel", .bitCount = 16, .compression = fields,
       .masks = {0x1F0000, 0x07E0, 0x001F}, .accepted = false},
      {.name = "24 bits with bit fields", .compression = fields, .masks = {0xFF0000, 0xFF00, 0xFF}, .accepted = false},
      {.name = "24 bits, 12-byte OS/2 header", .infoSize = 12, .accepted = false},
      {.name = "24 bits, 64-byte OS/2 header", .infoSize = 64, .accepted = false},
  };
  std::vector<Fixture> fixtures;
  for (const Layout& layout : layouts) {
    Fixture fixture{layout, MakeBmp(layout), {}};
    const bool masked = layout.bitCount == 16 || layout.bitCount == 32;
    const BmpMasks masks = layout.compression == fields ? layout.masks : DefaultBmpMasks(layout.bitCount);
    // A field keeps the top bits of each level: 5 bits give 0xF8 for 0xFF.
    auto kept = [](uint32_t mask) { return std::popcount(mask) >= 8 ? 0xFFu : 0xFFu << (8 - std::popcount(mask)) & 0xFF; };
    const uint32_t keep = masked ? kept(masks.red) << 16 | kept(masks.green) << 8 | kept(masks.blue) : 0xFFFFFF;
    for (uint32_t c : kPicture) fixture.expected.push_back(c & keep);
    fixtures.push_back(std::move(fixture));
  }
  return fixtures;
}

// Checks what a reader taking the depths `depths` made of `fixture`: the known pixels when it
// must read the file, else a refusal.
inline void ExpectReadBack(const Fixture& fixture, unsigned depths, bool read, const std::vector<uint32_t>& pixels) {
  const unsigned depth = fixture.layout.bitCount == 8    ? kBmpDepth8
                         : fixture.layout.bitCount == 16 ? kBmpDepth16
                         : fixture.layout.bitCount == 24 ? kBmpDepth24
                                                         : kBmpDepth32;
  if (fixture.layout.accepted && (depths & depth) != 0) {
    EXPECT_TRUE(read) << fixture.layout.name;
    EXPECT_EQ(pixels, fixture.expected) << fixture.layout.name;
  } else {
    EXPECT_FALSE(read) << fixture.layout.name;
  }
}

}  // namespace qv::bmp_fixtures
