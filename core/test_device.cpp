#include "core/test_device.h"

#include <cstdio>
#include <cstdlib>

#include "core/bmp_reader.h"

namespace qxcore {
namespace {

class TestDevice final : public CaptureDriver {
 public:
  // `picture`: a fixed BGR frame of `width` x `height`, or empty for the moving picture.
  TestDevice(std::vector<uint8_t> picture, int width, int height)
      : fixed_(std::move(picture)), width_(width), height_(height) {}

  DriverCaps Caps() const override {
    DriverCaps caps;
    caps.hasFormatDialog = true;
    return caps;
  }
  int Width() const override { return width_; }
  int Height() const override { return height_; }

  bool GrabFrame(std::vector<uint8_t>& frame, FrameClock::time_point) override {
    if (!fixed_.empty()) {
      frame = fixed_;
    } else {
      RenderTestPicture(frameIndex_++, width_, height_, frame);
    }
    return true;
  }

  std::vector<FrameFormat> Formats() const override {
    if (!fixed_.empty()) return {CurrentFormat()};
    std::vector<FrameFormat> formats;
    for (const auto& [width, height] : kSizes) formats.push_back(Format(width, height));
    return formats;
  }
  FrameFormat CurrentFormat() const override { return Format(width_, height_); }
  bool SetFormat(const FrameFormat& format) override {
    for (const FrameFormat& offered : Formats()) {
      if (offered == format) {
        width_ = format.width;
        height_ = format.height;
        return true;
      }
    }
    return false;
  }

  std::vector<DriverControl> Controls() const override { return {}; }
  bool SetControl(uint32_t, int) override { return false; }

 private:
  static constexpr std::pair<int, int> kSizes[] = {{320, 240}, {640, 480}, {800, 600}, {1280, 720}};

  static FrameFormat Format(int width, int height) {
    return {0, width, height, "RGB 24"};
  }

  std::vector<uint8_t> fixed_;
  int width_;
  int height_;
  uint32_t frameIndex_ = 0;
};

}  // namespace

std::vector<std::string> ParseTestDeviceNames(const std::string& list) {
  std::vector<std::string> names;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(',', start);
    if (end == std::string::npos) end = list.size();
    std::string name = list.substr(start, end - start);
    const size_t first = name.find_first_not_of(" \t");
    const size_t last = name.find_last_not_of(" \t");
    if (first != std::string::npos) names.push_back(name.substr(first, last - first + 1));
    start = end + 1;
  }
  return names;
}

std::vector<DriverEntry> ListTestDevices() {
  std::vector<DriverEntry> entries;
  const char* list = std::getenv("QUORVEX_TEST_DEVICES");
  if (list == nullptr) return entries;
  for (const std::string& name : ParseTestDeviceNames(list)) {
    entries.push_back({name, [name] { return OpenTestDevice(name); }});
  }
  return entries;
}

std::unique_ptr<CaptureDriver> OpenTestDevice(const std::string& name) {
  if (name.empty() || name[0] == '!') return nullptr;
  const char* framePath = std::getenv("QUORVEX_TEST_FRAME");
  if (framePath == nullptr || *framePath == '\0') {
    return std::make_unique<TestDevice>(std::vector<uint8_t>{}, 640, 480);
  }
  RgbImage image;
  const std::string status = ReadBmpAsRgb(framePath, image);
  if (status != kBmpOk) {
    std::fprintf(stderr, "Quorvex test device \"%s\": QUORVEX_TEST_FRAME %s cannot be used: %s\n",
                 name.c_str(), framePath, status.c_str());
    return nullptr;
  }
  for (size_t i = 0; i + 2 < image.pixels.size(); i += 3) std::swap(image.pixels[i], image.pixels[i + 2]);
  return std::make_unique<TestDevice>(std::move(image.pixels), image.width, image.height);
}

void RenderTestPicture(uint32_t frameIndex, int width, int height, std::vector<uint8_t>& bgr) {
  bgr.resize(static_cast<size_t>(width) * height * 3);
  const int squareSize = height / 4 > 0 ? height / 4 : 1;
  const int travel = width > squareSize ? width - squareSize : 1;
  const int squareX = static_cast<int>((frameIndex * 8u) % static_cast<uint32_t>(travel));
  const int squareY = (height - squareSize) / 2;
  const uint32_t drift = frameIndex * 4u;
  uint8_t* out = bgr.data();
  for (int y = 0; y < height; ++y) {
    const uint8_t green = static_cast<uint8_t>(y * 255 / (height > 1 ? height - 1 : 1));
    const bool squareRow = y >= squareY && y < squareY + squareSize;
    for (int x = 0; x < width; ++x) {
      if (squareRow && x >= squareX && x < squareX + squareSize) {
        out[0] = out[1] = out[2] = 255;
      } else {
        out[0] = static_cast<uint8_t>((static_cast<uint32_t>(x) * 255u / static_cast<uint32_t>(width) + drift));
        out[1] = green;
        out[2] = static_cast<uint8_t>(255 - out[0]);
      }
      out += 3;
    }
  }
}

}  // namespace qxcore
