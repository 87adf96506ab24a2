// Emulated UVC cameras behind the V4L2 seam, so the V4L2 back-end runs in tests as it runs
// against a webcam.
//
// Each camera sits at a node name in a private folder (an empty file stands for the node) and
// answers the calls a UVC camera answers: VIDIOC_QUERYCAP (driver "uvcvideo"), ENUM_FMT,
// ENUM_FRAMESIZES, ENUM_FRAMEINTERVALS, G_FMT / S_FMT / TRY_FMT, G_PARM, REQBUFS, QUERYBUF,
// QBUF / DQBUF, STREAMON / STREAMOFF, QUERYCTRL (with V4L2_CTRL_FLAG_NEXT_CTRL) / G_CTRL /
// S_CTRL, G_INPUT / ENUMINPUT; anything else is ENOTTY. Frames come at the camera's rate on the
// monotonic clock: frame n is exposed from n to n + 1 frame intervals after STREAMON, is ready
// at the end of its exposure and stamped at its start (V4L2_BUF_FLAG_TSTAMP_SRC_SOE, as uvcvideo
// stamps), and fills the oldest queued buffer; with no buffer queued it is dropped. DQBUF blocks
// until a frame is ready (EAGAIN on a non-blocking descriptor), poll waits for one. YUYV frames
// are BT.601 (full range) and MJPEG frames real JPEG pictures of the same scene. A second opener
// may query the camera but gets EBUSY for S_FMT and REQBUFS while another one holds its buffers.
// After Unplug every call on an open descriptor fails with ENODEV (poll reports POLLERR |
// POLLHUP), the node is gone, and mapped buffers stay readable until unmapped.
//
// Descriptors are real (eventfd) so libv4lconvert may look at them, buffers are memfd pages, so
// mappings behave as the kernel's do. All members are thread-safe.
#pragma once

#include <linux/videodev2.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "core/capture_driver.h"
#include "core/testing/test_support.h"
#include "core/v4l2_io.h"

namespace qxcore::testing {

struct EmulatedFormat {
  uint32_t pixelFormat = V4L2_PIX_FMT_YUYV;
  std::string description = "YUYV 4:2:2";
  std::vector<std::pair<int, int>> sizes{{160, 120}};
  // Listed, but the camera answers a request for it with its first format (a firmware that
  // announces more than it delivers).
  bool refused = false;
};

struct CameraSpec {
  std::string card = "Emulated Camera";
  // False: the camera's metadata node, which is no video capture device.
  bool capture = true;
  // The camera starts with the first format at its first size.
  std::vector<EmulatedFormat> formats{EmulatedFormat{}};
  int framesPerSecond = 30;
  // MJPEG frames whose sequence number this accepts carry a corrupt payload.
  std::function<bool(uint32_t sequence)> corrupt;
};

// What a test can see of one camera.
struct CameraCounters {
  int openDescriptors = 0;
  int mappedBuffers = 0;    // mappings the user of the camera holds
  int buffersWithUser = 0;  // dequeued and not queued again
  uint32_t framesDequeued = 0;
  uint32_t framesFinished = 0;  // since streaming started, whether or not a buffer took them
  bool streaming = false;
  uint32_t pixelFormat = 0;
  int width = 0;
  int height = 0;
};

class EmulatedCameras final : public V4l2Io {
 public:
  EmulatedCameras();
  ~EmulatedCameras() override;

  // Adds a camera as node `node` ("video0") of folder().
  void Add(const std::string& node, CameraSpec spec);
  [[nodiscard]] const std::string& folder() const { return folder_.path(); }
  [[nodiscard]] std::string PathOf(const std::string& node) const { return folder_.File(node); }

  // Pulls the camera's plug.
  void Unplug(const std::string& node);
  // Plugs a fresh camera of the same kind in at the same node. False when the unplugged one is
  // still held (a descriptor open or a buffer mapped): the system would give the new camera
  // another node.
  [[nodiscard]] bool Replug(const std::string& node);

  [[nodiscard]] CameraCounters CountersOf(const std::string& node);

  int Open(const std::string& path, int flags) override;
  int Close(int fd) override;
  int Ioctl(int fd, unsigned long request, void* argument) override;
  void* Mmap(size_t length, int protection, int flags, int fd, int64_t offset) override;
  int Munmap(void* start, size_t length) override;
  int Poll(pollfd* descriptors, nfds_t count, int timeoutMs) override;
  ssize_t Read(int fd, void* buffer, size_t size) override;

  struct Camera;

 private:
  struct Handle {
    std::shared_ptr<Camera> camera;
    bool nonBlocking = false;
  };

  int IoctlLocked(std::unique_lock<std::mutex>& lock, int fd, Handle& handle, unsigned long request,
                  void* argument);

  WorkFolder folder_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::shared_ptr<Camera>> cameras_;
  std::map<int, Handle> handles_;
  std::map<void*, std::pair<std::shared_ptr<Camera>, size_t>> mappings_;
};

// The scene every emulated camera films, frame `sequence` of it: `width` x `height` BGR pixels,
// rows top to bottom. Four coloured quarters under a strip of twelve black or white blocks that
// carry the frame's sequence number.
void RenderEmulatedScene(uint32_t sequence, int width, int height, std::vector<uint8_t>& bgr);
// The colour (blue, green, red) of the scene at `x`, `y` away from the strip and the edges of
// its quarters.
[[nodiscard]] std::array<uint8_t, 3> EmulatedSceneColour(int x, int y, int width, int height);
// The sequence number carried by a picture of the scene (after lossy coding, too).
[[nodiscard]] uint32_t EmulatedSequenceOf(const uint8_t* bgr, int width, int height);

// The capture nodes of `cameras` as drivers, listed as the system lists its V4L2 nodes.
[[nodiscard]] DriverLister EmulatedLister(std::shared_ptr<EmulatedCameras> cameras);

}  // namespace qxcore::testing
