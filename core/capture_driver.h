// The capture-driver seam: what the capture core needs from a camera, with two back-ends
// (V4L2 nodes and the synthetic test devices) and a way for tests to supply their own.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qxcore {

// What the driver's capability query reports.
struct DriverCaps {
  bool hasOverlay = false;
  bool hasFormatDialog = false;
  bool hasDisplayDialog = false;
  bool hasSourceDialog = false;
};

// One picture format a device offers: a native pixel format (V4L2 fourcc, 0 for the test
// devices) at one size. Frames always reach the core as BGR24 whatever the native format.
struct FrameFormat {
  uint32_t pixelFormat = 0;
  int width = 0;
  int height = 0;
  std::string description;  // e.g. "YUYV 4:2:2"

  bool operator==(const FrameFormat& other) const {
    return pixelFormat == other.pixelFormat && width == other.width && height == other.height;
  }
};

// One adjustable picture control (brightness, contrast, ...). A boolean control has minimum 0,
// maximum 1 and `isBoolean` set.
struct DriverControl {
  uint32_t id = 0;
  std::string name;
  int minimum = 0;
  int maximum = 0;
  int step = 1;
  int defaultValue = 0;
  int value = 0;
  bool isBoolean = false;
};

// The clock of frame times: the monotonic clock, which V4L2 drivers stamp their frames with.
using FrameClock = std::chrono::steady_clock;

// A connected capture device. Calls are not thread-safe: the core serialises them.
class CaptureDriver {
 public:
  virtual ~CaptureDriver() = default;

  [[nodiscard]] virtual DriverCaps Caps() const = 0;
  // Size of the frames GrabFrame delivers.
  [[nodiscard]] virtual int Width() const = 0;
  [[nodiscard]] virtual int Height() const = 0;

  // Takes the newest frame if one is ready, without waiting: Width() x Height() BGR pixels,
  // rows top to bottom, into `frame` (resized to fit). `grabStart` is when the caller began
  // asking for this picture: a frame the camera finished more than one frame interval before it
  // is an old picture and is not taken. False when no frame is ready yet.
  [[nodiscard]] virtual bool GrabFrame(std::vector<uint8_t>& frame,
                                       FrameClock::time_point grabStart) = 0;

  // Formats the format dialog offers, and the current one.
  [[nodiscard]] virtual std::vector<FrameFormat> Formats() const = 0;
  [[nodiscard]] virtual FrameFormat CurrentFormat() const = 0;
  // Switches to `format` (one of Formats()). False when the device refuses it or its frames
  // could not be turned into BGR pixels; the device then keeps the format it had.
  [[nodiscard]] virtual bool SetFormat(const FrameFormat& format) = 0;

  // Picture controls for the source dialog (empty: the device has no source dialog).
  [[nodiscard]] virtual std::vector<DriverControl> Controls() const = 0;
  [[nodiscard]] virtual bool SetControl(uint32_t id, int value) = 0;
};

// One listed driver: its description and how to connect it.
struct DriverEntry {
  std::string description;
  // Connects the device; null when it refuses.
  std::function<std::unique_ptr<CaptureDriver>()> connect;
};

// Lists the drivers in driver order: the test devices named in $QUORVEX_TEST_DEVICES, then the
// V4L2 capture nodes, at most `kMaxDrivers` in all.
inline constexpr int kMaxDrivers = 10;
[[nodiscard]] std::vector<DriverEntry> ListCaptureDrivers();

// Replaces the lister behind ListCaptureDrivers (empty: back to the real one). For tests.
using DriverLister = std::function<std::vector<DriverEntry>()>;
void SetDriverListerForTesting(DriverLister lister);

}  // namespace qxcore
