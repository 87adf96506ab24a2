// The V4L2 back-end of the capture-driver seam: capture nodes found in a device folder, opened
// with memory-mapped streaming (or read() where a driver offers only that), every native pixel
// format turned into BGR24 by libv4lconvert. Every call to a device goes through a V4l2Io.
//
// What a camera does that the back-end copes with: frames wait in the driver's buffers for as
// long as nobody takes them (a grab takes only a frame of about the moment it began, see
// CaptureDriver::GrabFrame); the first frames after streaming starts are dark while
// auto-exposure settles (dropped for the camera warm-up of the timings); a frame may be corrupt
// (skipped); the camera may be unplugged (every call then fails with ENODEV: the back-end lets
// go of the node at once, unmapping its buffers and closing it, so the camera can come back
// under the same name, and grabs fail until the device is started again).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <linux/videodev2.h>

#include "core/capture_driver.h"
#include "core/v4l2_io.h"

struct v4lconvert_data;

namespace qxcore {

struct V4l2Node {
  std::string path;  // "/dev/video0"
  std::string card;  // the driver's card name from VIDIOC_QUERYCAP
};

// The nodes named "video" + number in `folder`, in number order, that answer VIDIOC_QUERYCAP as
// video capture devices able to stream or read. Nodes that cannot be opened or are anything
// else (a camera's metadata node, say) are skipped. An unreadable or missing folder gives none.
[[nodiscard]] std::vector<V4l2Node> ListV4l2CaptureNodes(
    const std::string& folder, const std::shared_ptr<V4l2Io>& io = SystemV4l2Io());

// The capture nodes of `folder` as drivers: the description is the card name, connecting opens
// the node through `io`.
[[nodiscard]] std::vector<DriverEntry> ListV4l2Drivers(
    const std::string& folder, const std::shared_ptr<V4l2Io>& io = SystemV4l2Io());

// Opens the capture node at `path`, keeps its current picture size and starts it delivering
// frames. Null when it cannot be opened, is not a capture device, or refuses to stream (another
// program streaming from it, for one).
[[nodiscard]] std::unique_ptr<CaptureDriver> OpenV4l2Device(
    const std::string& path, const std::shared_ptr<V4l2Io>& io = SystemV4l2Io());

// Turns frames of a device's native pixel format into BGR24 through libv4lconvert.
class FrameConverter {
 public:
  // A converter for the device open on `fd` (it may apply the device's known corrections).
  [[nodiscard]] static std::unique_ptr<FrameConverter> ForDevice(std::shared_ptr<V4l2Io> io,
                                                                 int fd);
  // A converter for frames recorded earlier, with no device behind it.
  [[nodiscard]] static std::unique_ptr<FrameConverter> ForRecordedFrames();
  ~FrameConverter();
  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;

  // Whether libv4lconvert can turn frames of `pixelFormat` at about `width` x `height` from the
  // device open on `fd` into BGR24 (v4lconvert_try_format, asked as if the device offered that
  // format alone).
  [[nodiscard]] static bool CanDecode(std::shared_ptr<V4l2Io> io, int fd, uint32_t pixelFormat,
                                      int width, int height);

  // The native format libv4lconvert would have the device deliver so that BGR24 frames of
  // `width` x `height` (possibly adjusted) come out.
  [[nodiscard]] bool ChooseSourceFormat(int width, int height, v4l2_format& source);

  // Converts one frame of `source` format (`size` bytes at `data`, untrusted: it may be short
  // or corrupt) into `bgr`: width x height x 3 bytes, rows top to bottom. False when it cannot
  // be converted; `bgr` is then unspecified.
  [[nodiscard]] bool Convert(const v4l2_pix_format& source, const uint8_t* data, size_t size,
                             std::vector<uint8_t>& bgr);

  // libv4lconvert's text for the last failure.
  [[nodiscard]] std::string LastError() const;

  // How libv4lconvert reaches the device (its device operations' private data).
  struct DeviceLink;

 private:
  FrameConverter(std::unique_ptr<DeviceLink> link, v4lconvert_data* data);
  std::unique_ptr<DeviceLink> link_;
  v4lconvert_data* data_;
};

}  // namespace qxcore
