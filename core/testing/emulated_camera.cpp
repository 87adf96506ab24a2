#include "core/testing/emulated_camera.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <filesystem>

#include "core/jpeg_writer.h"
#include "core/v4l2_device.h"

namespace qxcore::testing {

namespace {

struct Control {
  uint32_t id;
  const char* name;
  v4l2_ctrl_type type;
  int minimum;
  int maximum;
  int defaultValue;
  int value;
};

int Fail(int error) {
  errno = error;
  return -1;
}

size_t FrameBytes(uint32_t pixelFormat, int width, int height) {
  (void)pixelFormat;  // YUYV, and the largest MJPEG frame a UVC camera announces
  return static_cast<size_t>(width) * static_cast<size_t>(height) * 2;
}

uint8_t Clamp(double value) { return static_cast<uint8_t>(std::clamp(value + 0.5, 0.0, 255.0)); }

// BT.601 with full-range luma, as UVC cameras deliver YUYV: Y0 U Y1 V for each pixel pair.
void BgrToYuyv(const std::vector<uint8_t>& bgr, int width, int height, uint8_t* out) {
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x + 1 < width; x += 2) {
      const uint8_t* pair = bgr.data() + (static_cast<size_t>(y) * width + x) * 3;
      double luma[2];
      double blueSum = 0;
      double redSum = 0;
      for (int i = 0; i < 2; ++i) {
        const double b = pair[i * 3], g = pair[i * 3 + 1], r = pair[i * 3 + 2];
        luma[i] = 0.299 * r + 0.587 * g + 0.114 * b;
        blueSum += b - luma[i];
        redSum += r - luma[i];
      }
      *out++ = Clamp(luma[0]);
      *out++ = Clamp(128 + 0.564 * blueSum / 2);
      *out++ = Clamp(luma[1]);
      *out++ = Clamp(128 + 0.713 * redSum / 2);
    }
  }
}

FrameClock::duration IntervalOf(int framesPerSecond) {
  return std::chrono::duration_cast<FrameClock::duration>(std::chrono::seconds(1)) /
         std::max(framesPerSecond, 1);
}

constexpr int kStripBlocks = 12;

}  // namespace

struct EmulatedCameras::Camera {
  explicit Camera(CameraSpec cameraSpec) : spec(std::move(cameraSpec)) {
    pixelFormat = spec.formats.at(0).pixelFormat;
    width = spec.formats[0].sizes.at(0).first;
    height = spec.formats[0].sizes[0].second;
    controls = {
        {V4L2_CID_BRIGHTNESS, "Brightness", V4L2_CTRL_TYPE_INTEGER, 0, 255, 128, 128},
        {V4L2_CID_CONTRAST, "Contrast", V4L2_CTRL_TYPE_INTEGER, 0, 255, 32, 32},
        {V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", V4L2_CTRL_TYPE_BOOLEAN, 0, 1, 1,
         1},
    };
  }

  enum class State { kUser, kQueued, kDone };
  struct Buffer {
    State state = State::kUser;
    v4l2_buffer info{};
  };

  CameraSpec spec;
  bool present = true;
  uint32_t pixelFormat;
  int width;
  int height;
  std::vector<Control> controls;
  int openDescriptors = 0;
  int mappedBuffers = 0;
  uint32_t framesDequeued = 0;

  int owner = -1;  // the descriptor that holds the buffers
  int memfd = -1;
  uint8_t* region = nullptr;
  size_t bufferBytes = 0;
  std::vector<Buffer> buffers;
  std::deque<uint32_t> queued;
  std::deque<uint32_t> done;
  bool streaming = false;
  FrameClock::time_point streamStart;
  uint32_t nextFrame = 0;

  [[nodiscard]] FrameClock::duration interval() const { return IntervalOf(spec.framesPerSecond); }
  [[nodiscard]] FrameClock::time_point nextReady() const {
    return streamStart + interval() * (nextFrame + 1);
  }

  const EmulatedFormat* Listed(uint32_t format) const {
    for (const EmulatedFormat& listed : spec.formats) {
      if (listed.pixelFormat == format) return &listed;
    }
    return nullptr;
  }

  // What the camera makes of a format asked for, as TRY_FMT and S_FMT answer.
  void Adjust(v4l2_pix_format& format) const {
    const EmulatedFormat* chosen = Listed(format.pixelformat);
    if (chosen == nullptr || chosen->refused) chosen = &spec.formats[0];
    std::pair<int, int> size = chosen->sizes[0];
    long long best = -1;
    for (const auto& offered : chosen->sizes) {
      const long long distance = std::llabs(static_cast<long long>(offered.first) - format.width) +
                                 std::llabs(static_cast<long long>(offered.second) - format.height);
      if (best < 0 || distance < best) {
        best = distance;
        size = offered;
      }
    }
    format.pixelformat = chosen->pixelFormat;
    format.width = static_cast<uint32_t>(size.first);
    format.height = static_cast<uint32_t>(size.second);
    format.field = V4L2_FIELD_NONE;
    format.bytesperline = chosen->pixelFormat == V4L2_PIX_FMT_YUYV ? format.width * 2 : 0;
    format.sizeimage =
        static_cast<uint32_t>(FrameBytes(chosen->pixelFormat, size.first, size.second));
    format.colorspace = V4L2_COLORSPACE_SRGB;
  }

  void FreeBuffers() {
    if (region != nullptr) munmap(region, bufferBytes * buffers.size());
    if (memfd >= 0) close(memfd);
    region = nullptr;
    memfd = -1;
    buffers.clear();
    queued.clear();
    done.clear();
    streaming = false;
  }

  void StopStreaming() {
    streaming = false;
    for (Buffer& buffer : buffers) buffer.state = State::kUser;
    queued.clear();
    done.clear();
  }

  // Puts frame `sequence` into buffer `index`.
  void Fill(uint32_t index, uint32_t sequence) {
    Buffer& buffer = buffers[index];
    uint8_t* memory = region + bufferBytes * index;
    std::vector<uint8_t> scene;
    RenderEmulatedScene(sequence, width, height, scene);
    size_t used = 0;
    if (pixelFormat == V4L2_PIX_FMT_YUYV) {
      BgrToYuyv(scene, width, height, memory);
      used = static_cast<size_t>(width) * height * 2;
    } else if (pixelFormat == V4L2_PIX_FMT_MJPEG) {
      std::vector<uint8_t> jpeg;
      if (EncodeJpeg(scene.data(), width, height, JpegInput::kBgr, 90, jpeg)) {
        used = std::min(jpeg.size(), bufferBytes);
        std::memcpy(memory, jpeg.data(), used);
      }
      if (spec.corrupt && spec.corrupt(sequence) && used > 2) {
        // The picture's data lost on the way: the start of image stays, nothing follows.
        std::memset(memory + 2, 0, used - 2);
      }
    } else {
      used = FrameBytes(pixelFormat, width, height);
      std::memset(memory, 0, used);
    }
    const FrameClock::duration exposureStart =
        (streamStart + interval() * sequence).time_since_epoch();
    const auto micro = std::chrono::duration_cast<std::chrono::microseconds>(exposureStart).count();
    buffer.info.bytesused = static_cast<uint32_t>(used);
    buffer.info.sequence = sequence;
    buffer.info.field = V4L2_FIELD_NONE;
    buffer.info.timestamp.tv_sec = micro / 1000000;
    buffer.info.timestamp.tv_usec = micro % 1000000;
    buffer.info.flags = V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC | V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
    buffer.state = State::kDone;
    done.push_back(index);
  }

  // Takes the frames finished by `now`: each fills the oldest queued buffer, or is dropped.
  void Advance(FrameClock::time_point now) {
    if (!streaming || now < streamStart) return;
    const auto finished = static_cast<uint32_t>((now - streamStart) / interval());
    while (nextFrame < finished) {
      if (queued.empty()) {
        nextFrame = finished;  // nowhere to put them
        break;
      }
      const uint32_t index = queued.front();
      queued.pop_front();
      Fill(index, nextFrame++);
    }
  }
};

EmulatedCameras::EmulatedCameras() = default;

EmulatedCameras::~EmulatedCameras() {
  for (auto& [address, mapping] : mappings_) munmap(address, mapping.second);
  for (auto& [fd, handle] : handles_) close(fd);
  for (auto& [node, camera] : cameras_) camera->FreeBuffers();
}

void EmulatedCameras::Add(const std::string& node, CameraSpec spec) {
  std::lock_guard lock(mutex_);
  cameras_[node] = std::make_shared<Camera>(std::move(spec));
  WriteFileBytes(PathOf(node), {});
}

void EmulatedCameras::Unplug(const std::string& node) {
  std::lock_guard lock(mutex_);
  const std::shared_ptr<Camera>& camera = cameras_.at(node);
  camera->present = false;
  camera->StopStreaming();
  std::filesystem::remove(PathOf(node));
  changed_.notify_all();
}

bool EmulatedCameras::Replug(const std::string& node) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<Camera>& camera = cameras_.at(node);
  if (camera->openDescriptors > 0 || camera->mappedBuffers > 0) return false;
  camera->FreeBuffers();
  camera = std::make_shared<Camera>(camera->spec);
  WriteFileBytes(PathOf(node), {});
  return true;
}

CameraCounters EmulatedCameras::CountersOf(const std::string& node) {
  std::lock_guard lock(mutex_);
  const Camera& camera = *cameras_.at(node);
  CameraCounters counters;
  counters.openDescriptors = camera.openDescriptors;
  counters.mappedBuffers = camera.mappedBuffers;
  counters.buffersWithUser = static_cast<int>(std::count_if(
      camera.buffers.begin(), camera.buffers.end(),
      [](const Camera::Buffer& buffer) { return buffer.state == Camera::State::kUser; }));
  if (!camera.streaming) counters.buffersWithUser = 0;
  counters.framesDequeued = camera.framesDequeued;
  if (camera.streaming) {
    counters.framesFinished =
        static_cast<uint32_t>((FrameClock::now() - camera.streamStart) / camera.interval());
  }
  counters.streaming = camera.streaming;
  counters.pixelFormat = camera.pixelFormat;
  counters.width = camera.width;
  counters.height = camera.height;
  return counters;
}

int EmulatedCameras::Open(const std::string& path, int flags) {
  std::lock_guard lock(mutex_);
  const std::filesystem::path node(path);
  const auto found = cameras_.find(node.filename().string());
  if (found == cameras_.end() || PathOf(found->first) != path || !found->second->present) {
    return Fail(ENOENT);
  }
  const int fd = eventfd(0, EFD_CLOEXEC);
  if (fd < 0) return -1;
  handles_[fd] = Handle{found->second, (flags & O_NONBLOCK) != 0};
  ++found->second->openDescriptors;
  return fd;
}

int EmulatedCameras::Close(int fd) {
  std::lock_guard lock(mutex_);
  const auto found = handles_.find(fd);
  if (found == handles_.end()) return Fail(EBADF);
  Camera& camera = *found->second.camera;
  --camera.openDescriptors;
  if (camera.owner == fd) {
    camera.FreeBuffers();
    camera.owner = -1;
  }
  handles_.erase(found);
  close(fd);
  changed_.notify_all();
  return 0;
}

int EmulatedCameras::Ioctl(int fd, unsigned long request, void* argument) {
  std::unique_lock lock(mutex_);
  const auto found = handles_.find(fd);
  if (found == handles_.end()) return Fail(EBADF);
  Handle handle = found->second;
  if (!handle.camera->present) return Fail(ENODEV);
  return IoctlLocked(lock, fd, handle, request, argument);
}

int EmulatedCameras::IoctlLocked(std::unique_lock<std::mutex>& lock, int fd, Handle& handle,
                                 unsigned long request, void* argument) {
  Camera& camera = *handle.camera;
  if (request == VIDIOC_QUERYCAP) {
    auto* capability = static_cast<v4l2_capability*>(argument);
    *capability = v4l2_capability{};
    std::strncpy(reinterpret_cast<char*>(capability->driver), "uvcvideo",
                 sizeof capability->driver - 1);
    std::strncpy(reinterpret_cast<char*>(capability->card), camera.spec.card.c_str(),
                 sizeof capability->card - 1);
    std::strncpy(reinterpret_cast<char*>(capability->bus_info), "usb-emulated",
                 sizeof capability->bus_info - 1);
    capability->capabilities =
        V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_DEVICE_CAPS;
    capability->device_caps =
        (camera.spec.capture ? V4L2_CAP_VIDEO_CAPTURE : V4L2_CAP_META_CAPTURE) | V4L2_CAP_STREAMING;
    return 0;
  }
  if (!camera.spec.capture) return Fail(ENOTTY);
  switch (request) {
    case VIDIOC_ENUM_FMT: {
      auto* description = static_cast<v4l2_fmtdesc*>(argument);
      if (description->type != V4L2_BUF_TYPE_VIDEO_CAPTURE ||
          description->index >= camera.spec.formats.size()) {
        return Fail(EINVAL);
      }
      const EmulatedFormat& format = camera.spec.formats[description->index];
      const uint32_t index = description->index;
      *description = v4l2_fmtdesc{};
      description->index = index;
      description->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      description->pixelformat = format.pixelFormat;
      description->flags = format.pixelFormat == V4L2_PIX_FMT_MJPEG ? V4L2_FMT_FLAG_COMPRESSED : 0;
      std::strncpy(reinterpret_cast<char*>(description->description), format.description.c_str(),
                   sizeof description->description - 1);
      return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
      auto* size = static_cast<v4l2_frmsizeenum*>(argument);
      const EmulatedFormat* format = camera.Listed(size->pixel_format);
      if (format == nullptr || size->index >= format->sizes.size()) return Fail(EINVAL);
      size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
      size->discrete.width = static_cast<uint32_t>(format->sizes[size->index].first);
      size->discrete.height = static_cast<uint32_t>(format->sizes[size->index].second);
      return 0;
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
      auto* interval = static_cast<v4l2_frmivalenum*>(argument);
      const EmulatedFormat* format = camera.Listed(interval->pixel_format);
      const bool sized =
          format != nullptr &&
          std::find(format->sizes.begin(), format->sizes.end(),
                    std::pair<int, int>(static_cast<int>(interval->width),
                                        static_cast<int>(interval->height))) != format->sizes.end();
      if (!sized || interval->index != 0) return Fail(EINVAL);
      interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
      interval->discrete = {1, static_cast<uint32_t>(camera.spec.framesPerSecond)};
      return 0;
    }
    case VIDIOC_G_FMT:
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT: {
      auto* format = static_cast<v4l2_format*>(argument);
      if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return Fail(EINVAL);
      if (request == VIDIOC_G_FMT) {
        format->fmt.pix = v4l2_pix_format{};
        format->fmt.pix.pixelformat = camera.pixelFormat;
        format->fmt.pix.width = static_cast<uint32_t>(camera.width);
        format->fmt.pix.height = static_cast<uint32_t>(camera.height);
      }
      camera.Adjust(format->fmt.pix);
      if (request == VIDIOC_S_FMT) {
        if (camera.owner >= 0) return Fail(EBUSY);  // buffers are held
        camera.pixelFormat = format->fmt.pix.pixelformat;
        camera.width = static_cast<int>(format->fmt.pix.width);
        camera.height = static_cast<int>(format->fmt.pix.height);
      }
      return 0;
    }
    case VIDIOC_G_PARM:
    case VIDIOC_S_PARM: {
      auto* parameters = static_cast<v4l2_streamparm*>(argument);
      if (parameters->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return Fail(EINVAL);
      parameters->parm.capture = v4l2_captureparm{};
      parameters->parm.capture.capability = V4L2_CAP_TIMEPERFRAME;
      parameters->parm.capture.timeperframe = {1,
                                               static_cast<uint32_t>(camera.spec.framesPerSecond)};
      return 0;
    }
    case VIDIOC_REQBUFS: {
      auto* request = static_cast<v4l2_requestbuffers*>(argument);
      if (request->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request->memory != V4L2_MEMORY_MMAP) {
        return Fail(EINVAL);
      }
      if ((camera.owner >= 0 && camera.owner != fd) || camera.streaming) return Fail(EBUSY);
      camera.FreeBuffers();
      camera.owner = -1;
      if (request->count == 0) return 0;
      const uint32_t count = std::clamp<uint32_t>(request->count, 2, 8);
      const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
      camera.bufferBytes =
          (FrameBytes(camera.pixelFormat, camera.width, camera.height) + page - 1) / page * page;
      camera.memfd = memfd_create("emulated-camera", MFD_CLOEXEC);
      if (camera.memfd < 0 ||
          ftruncate(camera.memfd, static_cast<off_t>(camera.bufferBytes * count)) != 0) {
        camera.FreeBuffers();
        return Fail(ENOMEM);
      }
      void* region = mmap(nullptr, camera.bufferBytes * count, PROT_READ | PROT_WRITE, MAP_SHARED,
                          camera.memfd, 0);
      if (region == MAP_FAILED) {
        camera.FreeBuffers();
        return Fail(ENOMEM);
      }
      camera.region = static_cast<uint8_t*>(region);
      camera.buffers.resize(count);
      for (uint32_t index = 0; index < count; ++index) {
        v4l2_buffer& info = camera.buffers[index].info;
        info.index = index;
        info.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        info.memory = V4L2_MEMORY_MMAP;
        info.length = static_cast<uint32_t>(camera.bufferBytes);
        info.m.offset = static_cast<uint32_t>(camera.bufferBytes * index);
      }
      camera.owner = fd;
      request->count = count;
      return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF:
    case VIDIOC_DQBUF: {
      auto* buffer = static_cast<v4l2_buffer*>(argument);
      if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->memory != V4L2_MEMORY_MMAP) {
        return Fail(EINVAL);
      }
      if (camera.owner != fd) return Fail(camera.owner < 0 ? EINVAL : EBUSY);
      if (request == VIDIOC_DQBUF) {
        for (;;) {
          if (!camera.present) return Fail(ENODEV);
          if (!camera.streaming || camera.owner != fd) return Fail(EINVAL);
          camera.Advance(FrameClock::now());
          if (!camera.done.empty()) break;
          if (handle.nonBlocking) return Fail(EAGAIN);
          if (camera.queued.empty()) {
            changed_.wait(lock);
          } else {
            changed_.wait_until(lock, camera.nextReady());
          }
        }
        const uint32_t index = camera.done.front();
        camera.done.pop_front();
        camera.buffers[index].state = Camera::State::kUser;
        ++camera.framesDequeued;
        *buffer = camera.buffers[index].info;
        return 0;
      }
      if (buffer->index >= camera.buffers.size()) return Fail(EINVAL);
      Camera::Buffer& slot = camera.buffers[buffer->index];
      if (request == VIDIOC_QBUF) {
        if (slot.state != Camera::State::kUser) return Fail(EINVAL);
        slot.state = Camera::State::kQueued;
        camera.queued.push_back(buffer->index);
        changed_.notify_all();
      }
      *buffer = slot.info;
      buffer->flags |= slot.state == Camera::State::kQueued ? V4L2_BUF_FLAG_QUEUED
                       : slot.state == Camera::State::kDone ? V4L2_BUF_FLAG_DONE
                                                            : 0;
      return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF: {
      if (*static_cast<v4l2_buf_type*>(argument) != V4L2_BUF_TYPE_VIDEO_CAPTURE)
        return Fail(EINVAL);
      if (camera.owner != fd) return Fail(camera.owner < 0 ? EINVAL : EBUSY);
      if (request == VIDIOC_STREAMOFF) {
        camera.StopStreaming();
      } else if (!camera.streaming) {
        camera.streaming = true;
        camera.streamStart = FrameClock::now();
        camera.nextFrame = 0;
      }
      changed_.notify_all();
      return 0;
    }
    case VIDIOC_QUERYCTRL: {
      auto* query = static_cast<v4l2_queryctrl*>(argument);
      const bool next = (query->id & V4L2_CTRL_FLAG_NEXT_CTRL) != 0;
      const uint32_t id = query->id & ~(V4L2_CTRL_FLAG_NEXT_CTRL | V4L2_CTRL_FLAG_NEXT_COMPOUND);
      const auto control =
          std::find_if(camera.controls.begin(), camera.controls.end(),
                       [&](const Control& c) { return next ? c.id > id : c.id == id; });
      if (control == camera.controls.end()) return Fail(EINVAL);
      *query = v4l2_queryctrl{};
      query->id = control->id;
      query->type = control->type;
      std::strncpy(reinterpret_cast<char*>(query->name), control->name, sizeof query->name - 1);
      query->minimum = control->minimum;
      query->maximum = control->maximum;
      query->step = 1;
      query->default_value = control->defaultValue;
      return 0;
    }
    case VIDIOC_G_CTRL:
    case VIDIOC_S_CTRL: {
      auto* value = static_cast<v4l2_control*>(argument);
      const auto control = std::find_if(camera.controls.begin(), camera.controls.end(),
                                        [&](const Control& c) { return c.id == value->id; });
      if (control == camera.controls.end()) return Fail(EINVAL);
      if (request == VIDIOC_G_CTRL) {
        value->value = control->value;
        return 0;
      }
      if (value->value < control->minimum || value->value > control->maximum) return Fail(ERANGE);
      control->value = value->value;
      return 0;
    }
    case VIDIOC_G_INPUT: *static_cast<int*>(argument) = 0; return 0;
    case VIDIOC_ENUMINPUT: {
      auto* input = static_cast<v4l2_input*>(argument);
      if (input->index != 0) return Fail(EINVAL);
      *input = v4l2_input{};
      std::strncpy(reinterpret_cast<char*>(input->name), "Camera 1", sizeof input->name - 1);
      input->type = V4L2_INPUT_TYPE_CAMERA;
      return 0;
    }
    default: return Fail(ENOTTY);
  }
}

void* EmulatedCameras::Mmap(size_t length, int protection, int flags, int fd, int64_t offset) {
  std::lock_guard lock(mutex_);
  const auto found = handles_.find(fd);
  if (found == handles_.end()) {
    errno = EBADF;
    return MAP_FAILED;
  }
  const std::shared_ptr<Camera>& camera = found->second.camera;
  if (!camera->present) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  const bool matches = camera->owner == fd && camera->bufferBytes > 0 &&
                       length == camera->bufferBytes && offset >= 0 &&
                       static_cast<size_t>(offset) % camera->bufferBytes == 0 &&
                       static_cast<size_t>(offset) / camera->bufferBytes < camera->buffers.size();
  if (!matches) {
    errno = EINVAL;
    return MAP_FAILED;
  }
  void* start = mmap(nullptr, length, protection, flags, camera->memfd, static_cast<off_t>(offset));
  if (start == MAP_FAILED) return MAP_FAILED;
  mappings_[start] = {camera, length};
  ++camera->mappedBuffers;
  return start;
}

int EmulatedCameras::Munmap(void* start, size_t length) {
  std::lock_guard lock(mutex_);
  const auto found = mappings_.find(start);
  if (found == mappings_.end() || found->second.second != length) return Fail(EINVAL);
  --found->second.first->mappedBuffers;
  mappings_.erase(found);
  return munmap(start, length);
}

int EmulatedCameras::Poll(pollfd* descriptors, nfds_t count, int timeoutMs) {
  std::unique_lock lock(mutex_);
  const FrameClock::time_point deadline =
      timeoutMs < 0 ? FrameClock::time_point::max()
                    : FrameClock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    int ready = 0;
    FrameClock::time_point wake = deadline;
    for (nfds_t i = 0; i < count; ++i) {
      pollfd& descriptor = descriptors[i];
      descriptor.revents = 0;
      const auto found = handles_.find(descriptor.fd);
      if (found == handles_.end()) {
        descriptor.revents = POLLNVAL;
      } else if (Camera& camera = *found->second.camera; !camera.present) {
        descriptor.revents = POLLERR | POLLHUP;
      } else if (camera.owner != descriptor.fd || !camera.streaming) {
        descriptor.revents = POLLERR;
      } else {
        camera.Advance(FrameClock::now());
        if (!camera.done.empty()) {
          descriptor.revents = static_cast<short>(descriptor.events & (POLLIN | POLLRDNORM));
        } else if (!camera.queued.empty()) {
          wake = std::min(wake, camera.nextReady());
        }
      }
      if (descriptor.revents != 0) ++ready;
    }
    if (ready > 0 || FrameClock::now() >= deadline) return ready;
    if (wake == FrameClock::time_point::max()) {
      changed_.wait(lock);
    } else {
      changed_.wait_until(lock, wake);
    }
  }
}

ssize_t EmulatedCameras::Read(int fd, void*, size_t) {
  std::lock_guard lock(mutex_);
  const auto found = handles_.find(fd);
  if (found == handles_.end()) return Fail(EBADF);
  return Fail(found->second.camera->present ? EINVAL : ENODEV);  // UVC has no read()
}

void RenderEmulatedScene(uint32_t sequence, int width, int height, std::vector<uint8_t>& bgr) {
  bgr.resize(static_cast<size_t>(width) * height * 3);
  const int strip = height / 6;
  const int block = width / kStripBlocks;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* pixel = bgr.data() + (static_cast<size_t>(y) * width + x) * 3;
      if (y < strip) {
        const int bit = block > 0 ? x / block : kStripBlocks;
        const bool set = bit < kStripBlocks && ((sequence >> bit) & 1) != 0;
        pixel[0] = pixel[1] = pixel[2] = set ? 255 : 0;
      } else {
        const std::array<uint8_t, 3> colour = EmulatedSceneColour(x, y, width, height);
        std::copy(colour.begin(), colour.end(), pixel);
      }
    }
  }
}

std::array<uint8_t, 3> EmulatedSceneColour(int x, int y, int width, int height) {
  const int strip = height / 6;
  const bool right = x >= width / 2;
  const bool lower = y >= strip + (height - strip) / 2;
  if (!lower)
    return right ? std::array<uint8_t, 3>{70, 180, 60} : std::array<uint8_t, 3>{50, 60, 220};
  return right ? std::array<uint8_t, 3>{128, 128, 128} : std::array<uint8_t, 3>{200, 80, 50};
}

uint32_t EmulatedSequenceOf(const uint8_t* bgr, int width, int height) {
  const int strip = height / 6;
  const int block = width / kStripBlocks;
  uint32_t sequence = 0;
  for (int bit = 0; bit < kStripBlocks; ++bit) {
    const uint8_t* pixel =
        bgr + (static_cast<size_t>(strip / 2) * width + bit * block + block / 2) * 3;
    if (pixel[0] + pixel[1] + pixel[2] > 3 * 128) sequence |= 1u << bit;
  }
  return sequence;
}

DriverLister EmulatedLister(std::shared_ptr<EmulatedCameras> cameras) {
  return [cameras] { return ListV4l2Drivers(cameras->folder(), cameras); };
}

}  // namespace qxcore::testing
