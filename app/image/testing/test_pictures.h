// Helpers of the image tests: a private scratch folder, synthetic pictures with the structure
// of a photograph (smooth shading, edges, fine texture, sensor noise) and raw file access.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "app/image/bitmap.h"
#include "platform/files.h"

namespace qv::testing {

// A folder of its own for one test, removed with everything in it at the end.
class ScratchFolder {
 public:
  ScratchFolder() : path_(MakeWorkFolder("qvimg")) {}
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  // The folder, with a trailing '/'.
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
  // A new file each time: ext4 flushes a truncated-and-rewritten file to disk on close.
  unlink(path.c_str());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline bool FileExists(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0;
}

inline uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

inline void PutLe32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

struct Bgr {
  int blue, green, red;
  bool operator==(const Bgr&) const = default;
};

// Pixel (x, y) of a 24-bit bitmap, y counted from the bottom row.
inline Bgr PixelAt(const Bitmap& bitmap, int x, int y) {
  const uint8_t* p = bitmap.row(y) + static_cast<size_t>(x) * 3;
  return {p[0], p[1], p[2]};
}

inline void SetPixel(Bitmap& bitmap, int x, int y, Bgr colour) {
  uint8_t* p = bitmap.row(y) + static_cast<size_t>(x) * 3;
  p[0] = static_cast<uint8_t>(colour.blue);
  p[1] = static_cast<uint8_t>(colour.green);
  p[2] = static_cast<uint8_t>(colour.red);
}

// A 24-bit picture shaped like a photograph: a sky gradient, a lit disc, a striped area and
// sensor noise from a fixed seed.
inline Bitmap MakePhoto(int width, int height, uint32_t seed = 1) {
  Bitmap bitmap = Bitmap::Create(width, height, 24);
  std::mt19937 random(seed);
  std::normal_distribution<double> noise(0.0, 4.0);
  auto clamp = [](double v) { return static_cast<int>(v < 0 ? 0 : v > 255 ? 255 : v); };
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double u = static_cast<double>(x) / width, v = static_cast<double>(y) / height;
      double red = 40 + 180 * v, green = 80 + 120 * v, blue = 150 + 100 * v * (1 - u);
      const double dx = u - 0.35, dy = v - 0.45;
      const double distance = std::sqrt(dx * dx + dy * dy);
      if (distance < 0.22) {
        const double shade = 1.0 - distance / 0.22;
        red = 200 + 55 * shade;
        green = 120 + 90 * shade;
        blue = 30 + 40 * shade;
      }
      if (u > 0.65 && v < 0.4) {
        const bool stripe = (x / 3 + y / 5) % 2 == 0;
        red = stripe ? 60 : 190;
        green = stripe ? 140 : 60;
        blue = stripe ? 50 : 70;
      }
      SetPixel(bitmap, x, y, {clamp(blue + noise(random)), clamp(green + noise(random)),
                              clamp(red + noise(random))});
    }
  }
  return bitmap;
}

// Peak signal-to-noise ratio in dB of two 24-bit pictures of the same size.
inline double Psnr(const Bitmap& a, const Bitmap& b) {
  double sum = 0;
  for (int y = 0; y < a.height(); ++y)
    for (int x = 0; x < a.width() * 3; ++x) {
      const double d = static_cast<double>(a.row(y)[x]) - b.row(y)[x];
      sum += d * d;
    }
  const double mse = sum / (static_cast<double>(a.width()) * a.height() * 3);
  return mse == 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

}  // namespace qv::testing
