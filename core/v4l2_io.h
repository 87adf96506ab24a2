// The edge between the V4L2 back-end and the device nodes: every call the back-end makes to a
// device goes through one V4l2Io. The system's own calls libv4l2; tests put emulated cameras
// behind it (core/testing/emulated_camera.h).
//
// Each call means what the system call of the same name means and fails the same way: -1
// (MAP_FAILED for Mmap) with errno set. Implementations may be called from any thread.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace qxcore {

class V4l2Io {
 public:
  virtual ~V4l2Io() = default;

  virtual int Open(const std::string& path, int flags) = 0;
  virtual int Close(int fd) = 0;
  virtual int Ioctl(int fd, unsigned long request, void* argument) = 0;
  virtual void* Mmap(size_t length, int protection, int flags, int fd, int64_t offset) = 0;
  virtual int Munmap(void* start, size_t length) = 0;
  virtual int Poll(pollfd* descriptors, nfds_t count, int timeoutMs) = 0;
  virtual ssize_t Read(int fd, void* buffer, size_t size) = 0;
};

// The device calls of the system, through libv4l2 with its own format conversion off: the
// back-end turns frames into BGR itself, so its conversion is the same for real and emulated
// cameras.
[[nodiscard]] std::shared_ptr<V4l2Io> SystemV4l2Io();

}  // namespace qxcore
