#include "core/v4l2_io.h"

#include <fcntl.h>
#include <libv4l2.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

namespace qxcore {
namespace {

class SystemIo final : public V4l2Io {
 public:
  int Open(const std::string& path, int flags) override {
    const int fd = open(path.c_str(), flags);
    if (fd < 0) return -1;
    // Only a V4L2 device goes to libv4l2, which complains on standard error about anything
    // else; other descriptors answer every call as the system does.
    v4l2_capability capability{};
    if (ioctl(fd, VIDIOC_QUERYCAP, &capability) != 0) return fd;
    const int wrapped = v4l2_fd_open(fd, V4L2_DISABLE_CONVERSION);
    if (wrapped < 0) {
      const int error = errno;
      close(fd);
      errno = error;
    }
    return wrapped;
  }
  int Close(int fd) override { return v4l2_close(fd); }
  int Ioctl(int fd, unsigned long request, void* argument) override {
    return v4l2_ioctl(fd, request, argument);
  }
  void* Mmap(size_t length, int protection, int flags, int fd, int64_t offset) override {
    return v4l2_mmap(nullptr, length, protection, flags, fd, offset);
  }
  int Munmap(void* start, size_t length) override { return v4l2_munmap(start, length); }
  // libv4l2 has no poll of its own: without its conversion the descriptor is the device's.
  int Poll(pollfd* descriptors, nfds_t count, int timeoutMs) override {
    return poll(descriptors, count, timeoutMs);
  }
  ssize_t Read(int fd, void* buffer, size_t size) override { return v4l2_read(fd, buffer, size); }
};

}  // namespace

std::shared_ptr<V4l2Io> SystemV4l2Io() {
  static const std::shared_ptr<V4l2Io> system = std::make_shared<SystemIo>();
  return system;
}

}  // namespace qxcore
