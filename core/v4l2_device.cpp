#include "core/v4l2_device.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <sys/mman.h>

#include "platform/timing.h"

namespace qxcore {

// What libv4lconvert's device operations reach: the device through `io` (none for recorded
// frames), seen as offering `onlyFormat` alone when that is set.
struct FrameConverter::DeviceLink {
  std::shared_ptr<V4l2Io> io;
  uint32_t onlyFormat = 0;
};

namespace {

int Ioctl(V4l2Io& io, int fd, unsigned long request, void* argument) {
  int result;
  do {
    result = io.Ioctl(fd, request, argument);
  } while (result == -1 && errno == EINTR);
  return result;
}

// Device capabilities of a node, or 0 when it is no V4L2 device.
uint32_t CaptureCapabilities(V4l2Io& io, int fd, std::string* card) {
  v4l2_capability capability{};
  if (Ioctl(io, fd, VIDIOC_QUERYCAP, &capability) != 0) return 0;
  if (card != nullptr) {
    const char* text = reinterpret_cast<const char*>(capability.card);
    *card = std::string(text, strnlen(text, sizeof capability.card));
  }
  return (capability.capabilities & V4L2_CAP_DEVICE_CAPS) != 0 ? capability.device_caps
                                                               : capability.capabilities;
}

bool CanCapture(uint32_t capabilities) {
  return (capabilities & V4L2_CAP_VIDEO_CAPTURE) != 0 &&
         (capabilities & (V4L2_CAP_STREAMING | V4L2_CAP_READWRITE)) != 0;
}

// Smallest byte count a frame of an uncompressed format can have; 0 for formats whose frames
// vary in length (compressed ones) or that are not known here.
size_t MinimumFrameBytes(const v4l2_pix_format& format) {
  auto packed = [&](size_t bytesPerPixel) {
    const size_t stride = std::max<size_t>(format.bytesperline, size_t{format.width} * bytesPerPixel);
    return stride * format.height;
  };
  switch (format.pixelformat) {
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_YVYU:
    case V4L2_PIX_FMT_RGB565:
      return packed(2);
    case V4L2_PIX_FMT_RGB24:
    case V4L2_PIX_FMT_BGR24:
      return packed(3);
    case V4L2_PIX_FMT_GREY:
      return packed(1);
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_YVU420:
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
      return packed(1) * 3 / 2;
    default:
      return 0;
  }
}

// libv4lconvert's device operations. Recorded frames have no device: the converter is told of
// a capture device and every other call is refused.
int LinkIoctl(void* priv, int fd, unsigned long request, void* argument) {
  const auto* link = static_cast<const FrameConverter::DeviceLink*>(priv);
  if (!link->io) {
    if (request != VIDIOC_QUERYCAP) {
      errno = EINVAL;
      return -1;
    }
    auto* capability = static_cast<v4l2_capability*>(argument);
    *capability = v4l2_capability{};
    std::strncpy(reinterpret_cast<char*>(capability->card), "recorded frames",
                 sizeof capability->card - 1);
    capability->capabilities = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_DEVICE_CAPS;
    capability->device_caps = V4L2_CAP_VIDEO_CAPTURE;
    return 0;
  }
  if (link->onlyFormat != 0 && request == VIDIOC_ENUM_FMT) {
    auto* description = static_cast<v4l2_fmtdesc*>(argument);
    if (description->index != 0 || description->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
      errno = EINVAL;
      return -1;
    }
    *description = v4l2_fmtdesc{};
    description->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    description->pixelformat = link->onlyFormat;
    return 0;
  }
  if (link->onlyFormat != 0 && request == VIDIOC_ENUM_FRAMESIZES &&
      static_cast<v4l2_frmsizeenum*>(argument)->pixel_format != link->onlyFormat) {
    errno = EINVAL;
    return -1;
  }
  return Ioctl(*link->io, fd, request, argument);
}
ssize_t LinkRead(void* priv, int fd, void* buffer, size_t size) {
  const auto* link = static_cast<const FrameConverter::DeviceLink*>(priv);
  if (!link->io) {
    errno = EINVAL;
    return -1;
  }
  return link->io->Read(fd, buffer, size);
}
ssize_t LinkWrite(void*, int, const void*, size_t) {
  errno = EINVAL;
  return -1;
}
const libv4l_dev_ops kLinkOps = [] {
  libv4l_dev_ops ops{};
  ops.ioctl = LinkIoctl;
  ops.read = LinkRead;
  ops.write = LinkWrite;
  return ops;
}();

FrameClock::time_point StampOf(const v4l2_buffer& buffer) {
  return FrameClock::time_point(std::chrono::seconds(buffer.timestamp.tv_sec) +
                                std::chrono::microseconds(buffer.timestamp.tv_usec));
}

bool HasMonotonicStamp(const v4l2_buffer& buffer) {
  return (buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) == V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
}

std::string FourCcText(uint32_t code) {
  std::string text;
  for (int i = 0; i < 4; ++i) text.push_back(static_cast<char>((code >> (8 * i)) & 0xFF));
  return text;
}

class V4l2Device final : public CaptureDriver {
 public:
  ~V4l2Device() override { Release(); }

  // Opens `path`; null on any failure.
  static std::unique_ptr<V4l2Device> Open(const std::string& path, std::shared_ptr<V4l2Io> io) {
    auto device = std::unique_ptr<V4l2Device>(new V4l2Device(std::move(io)));
    device->fd_ = device->io_->Open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (device->fd_ < 0) return nullptr;
    device->capabilities_ = CaptureCapabilities(*device->io_, device->fd_, nullptr);
    if (!CanCapture(device->capabilities_)) return nullptr;
    device->converter_ = FrameConverter::ForDevice(device->io_, device->fd_);
    if (!device->converter_) return nullptr;
    v4l2_format current{};
    current.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (device->Ioctl(VIDIOC_G_FMT, &current) != 0) return nullptr;
    v4l2_format source{};
    if (!device->converter_->ChooseSourceFormat(static_cast<int>(current.fmt.pix.width),
                                                static_cast<int>(current.fmt.pix.height),
                                                source) ||
        !device->Configure(source)) {
      return nullptr;
    }
    return device;
  }

  DriverCaps Caps() const override {
    DriverCaps caps;
    caps.hasFormatDialog = true;
    caps.hasSourceDialog = !Controls().empty();
    return caps;
  }
  int Width() const override { return static_cast<int>(source_.fmt.pix.width); }
  int Height() const override { return static_cast<int>(source_.fmt.pix.height); }

  bool GrabFrame(std::vector<uint8_t>& frame, FrameClock::time_point grabStart) override {
    const bool grabbed =
        fd_ >= 0 && (buffers_.empty() ? ReadFrame(frame) : DequeueFrame(frame, grabStart));
    if (lost_) Release();
    return grabbed;
  }

  std::vector<FrameFormat> Formats() const override {
    std::vector<FrameFormat> formats;
    for (uint32_t index = 0;; ++index) {
      v4l2_fmtdesc description{};
      description.index = index;
      description.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      if (Ioctl(VIDIOC_ENUM_FMT, &description) != 0) break;
      const char* name = reinterpret_cast<const char*>(description.description);
      const std::string text(name, strnlen(name, sizeof description.description));
      for (const auto& [width, height] : Sizes(description.pixelformat)) {
        formats.push_back({description.pixelformat, width, height, text});
      }
    }
    if (formats.empty()) formats.push_back(CurrentFormat());
    return formats;
  }

  FrameFormat CurrentFormat() const override {
    return {source_.fmt.pix.pixelformat, Width(), Height(), FourCcText(source_.fmt.pix.pixelformat)};
  }

  bool SetFormat(const FrameFormat& format) override {
    // A format libv4lconvert cannot turn into BGR24 would break every later frame.
    if (lost_ || fd_ < 0 ||
        !FrameConverter::CanDecode(io_, fd_, format.pixelFormat, format.width, format.height)) {
      return false;
    }
    v4l2_format wanted{};
    wanted.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    wanted.fmt.pix.pixelformat = format.pixelFormat;
    wanted.fmt.pix.width = static_cast<uint32_t>(format.width);
    wanted.fmt.pix.height = static_cast<uint32_t>(format.height);
    wanted.fmt.pix.field = V4L2_FIELD_ANY;
    const v4l2_format previous = source_;
    // A device that answers with another pixel format refuses the one asked for.
    if (Configure(wanted) && source_.fmt.pix.pixelformat == format.pixelFormat) return true;
    (void)Configure(previous);
    return false;
  }

  std::vector<DriverControl> Controls() const override {
    std::vector<DriverControl> controls;
    v4l2_queryctrl query{};
    query.id = V4L2_CTRL_FLAG_NEXT_CTRL;
    while (Ioctl(VIDIOC_QUERYCTRL, &query) == 0) {
      const bool usable = (query.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY)) == 0 &&
                          (query.type == V4L2_CTRL_TYPE_INTEGER ||
                           query.type == V4L2_CTRL_TYPE_BOOLEAN || query.type == V4L2_CTRL_TYPE_MENU);
      if (usable) {
        v4l2_control value{};
        value.id = query.id;
        if (Ioctl(VIDIOC_G_CTRL, &value) == 0) {
          const char* name = reinterpret_cast<const char*>(query.name);
          DriverControl control;
          control.id = query.id;
          control.name = std::string(name, strnlen(name, sizeof query.name));
          control.minimum = query.minimum;
          control.maximum = query.maximum;
          control.step = query.step > 0 ? query.step : 1;
          control.defaultValue = query.default_value;
          control.value = value.value;
          control.isBoolean = query.type == V4L2_CTRL_TYPE_BOOLEAN;
          controls.push_back(control);
        }
      }
      query.id |= V4L2_CTRL_FLAG_NEXT_CTRL;
    }
    return controls;
  }

  bool SetControl(uint32_t id, int value) override {
    v4l2_control control{};
    control.id = id;
    control.value = value;
    return Ioctl(VIDIOC_S_CTRL, &control) == 0;
  }

 private:
  struct Mapping {
    void* start = nullptr;
    size_t length = 0;
  };

  explicit V4l2Device(std::shared_ptr<V4l2Io> io) : io_(std::move(io)) {}

  // One call to the device. A device that answers ENODEV is gone (unplugged): it is let go of
  // at once.
  int Ioctl(unsigned long request, void* argument) const {
    const int result = qxcore::Ioctl(*io_, fd_, request, argument);
    if (result != 0 && errno == ENODEV) lost_ = true;
    return result;
  }

  // Stops streaming, unmaps the buffers and closes the node, so that nothing holds the device.
  void Release() {
    StopStreaming();
    converter_.reset();
    if (fd_ >= 0) io_->Close(fd_);
    fd_ = -1;
  }

  // Takes the newest ready frame; older ready ones go straight back to the driver, and so does
  // one that is too old, corrupt or taken while the camera was warming up: a fresh one follows.
  bool DequeueFrame(std::vector<uint8_t>& frame, FrameClock::time_point grabStart) {
    v4l2_buffer newest{};
    bool haveFrame = false;
    while (FrameReady()) {
      v4l2_buffer buffer{};
      buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buffer.memory = V4L2_MEMORY_MMAP;
      if (Ioctl(VIDIOC_DQBUF, &buffer) != 0) break;
      NoteFrameTime(buffer);
      if (haveFrame) (void)Ioctl(VIDIOC_QBUF, &newest);
      newest = buffer;
      haveFrame = true;
    }
    if (!haveFrame) return false;
    bool converted = false;
    if (newest.index < buffers_.size() && (newest.flags & V4L2_BUF_FLAG_ERROR) == 0 &&
        !WarmingUp(newest) && !FinishedBefore(newest, grabStart)) {
      const Mapping& mapping = buffers_[newest.index];
      const size_t used = std::min<size_t>(newest.bytesused, mapping.length);
      converted = converter_->Convert(source_.fmt.pix, static_cast<const uint8_t*>(mapping.start),
                                      used, frame);
    }
    (void)Ioctl(VIDIOC_QBUF, &newest);
    return converted;
  }

  // A frame through read(), where the driver offers no streaming.
  bool ReadFrame(std::vector<uint8_t>& frame) {
    if (readBuffer_.empty() || !FrameReady()) return false;
    const ssize_t count = io_->Read(fd_, readBuffer_.data(), readBuffer_.size());
    if (count < 0 && errno == ENODEV) lost_ = true;
    if (count <= 0 || FrameClock::now() < streamStart_ + WarmUp()) return false;
    return converter_->Convert(source_.fmt.pix, readBuffer_.data(), static_cast<size_t>(count),
                               frame);
  }

  static std::chrono::milliseconds WarmUp() {
    return std::chrono::milliseconds(qv::GetTimings().cameraWarmUpMs);
  }

  // True when a frame is waiting to be dequeued (or read).
  bool FrameReady() {
    pollfd descriptor{fd_, POLLIN, 0};
    if (io_->Poll(&descriptor, 1, 0) != 1) return false;
    if ((descriptor.revents & POLLIN) != 0) return true;
    if ((descriptor.revents & (POLLERR | POLLHUP)) != 0) {
      // An error condition: a call to the device tells whether it is gone.
      v4l2_buffer probe{};
      probe.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      probe.memory = V4L2_MEMORY_MMAP;
      (void)Ioctl(VIDIOC_QUERYBUF, &probe);
    }
    return false;
  }

  // Learns the camera's frame interval from the times of consecutive frames: it is what the
  // camera really delivers, which in low light is slower than the rate it was set to.
  void NoteFrameTime(const v4l2_buffer& buffer) {
    if (!HasMonotonicStamp(buffer)) return;
    const FrameClock::time_point stamp = StampOf(buffer);
    if (haveLastFrame_ && buffer.sequence > lastSequence_ && stamp > lastStamp_) {
      measuredInterval_ = (stamp - lastStamp_) / (buffer.sequence - lastSequence_);
    }
    haveLastFrame_ = true;
    lastSequence_ = buffer.sequence;
    lastStamp_ = stamp;
  }

  // Frames of the first moments after streaming starts are dark while auto-exposure settles.
  bool WarmingUp(const v4l2_buffer& buffer) const {
    const FrameClock::time_point taken =
        HasMonotonicStamp(buffer) ? StampOf(buffer) : FrameClock::now();
    return taken < streamStart_ + WarmUp();
  }

  // A frame the camera finished more than one frame interval before `grabStart` shows an older
  // moment than the one asked for. A stamp at the start of exposure is a frame interval before
  // the frame was finished. Without a known interval or a monotonic stamp any frame passes.
  bool FinishedBefore(const v4l2_buffer& buffer, FrameClock::time_point grabStart) const {
    const FrameClock::duration interval =
        measuredInterval_.count() > 0 ? measuredInterval_ : configuredInterval_;
    if (!HasMonotonicStamp(buffer) || interval.count() <= 0) return false;
    const bool startOfExposure =
        (buffer.flags & V4L2_BUF_FLAG_TSTAMP_SRC_MASK) == V4L2_BUF_FLAG_TSTAMP_SRC_SOE;
    const FrameClock::time_point finished =
        StampOf(buffer) + (startOfExposure ? interval : FrameClock::duration{});
    return finished + interval < grabStart;
  }

  // Sizes offered for `pixelFormat`: the discrete ones, or common sizes within a range.
  std::vector<std::pair<int, int>> Sizes(uint32_t pixelFormat) const {
    std::vector<std::pair<int, int>> sizes;
    v4l2_frmsizeenum size{};
    size.pixel_format = pixelFormat;
    if (Ioctl(VIDIOC_ENUM_FRAMESIZES, &size) != 0) {
      sizes.emplace_back(Width(), Height());
      return sizes;
    }
    if (size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
      do {
        sizes.emplace_back(static_cast<int>(size.discrete.width), static_cast<int>(size.discrete.height));
        ++size.index;
      } while (Ioctl(VIDIOC_ENUM_FRAMESIZES, &size) == 0 &&
               size.type == V4L2_FRMSIZE_TYPE_DISCRETE);
      return sizes;
    }
    static constexpr std::pair<uint32_t, uint32_t> kCommon[] = {
        {160, 120}, {320, 240}, {640, 480}, {800, 600}, {1024, 768}, {1280, 720}, {1920, 1080}};
    for (const auto& [width, height] : kCommon) {
      if (width >= size.stepwise.min_width && width <= size.stepwise.max_width &&
          height >= size.stepwise.min_height && height <= size.stepwise.max_height) {
        sizes.emplace_back(static_cast<int>(width), static_cast<int>(height));
      }
    }
    if (sizes.empty()) sizes.emplace_back(Width(), Height());
    return sizes;
  }

  // Sets the native format and (re)starts frame delivery.
  bool Configure(v4l2_format format) {
    StopStreaming();
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (Ioctl(VIDIOC_S_FMT, &format) != 0) return false;
    if (format.fmt.pix.width == 0 || format.fmt.pix.height == 0 ||
        format.fmt.pix.width > 16384 || format.fmt.pix.height > 16384) {
      return false;
    }
    source_ = format;
    return StartStreaming();
  }

  // The frame interval the camera is set to, or zero when it does not say.
  FrameClock::duration ConfiguredInterval() const {
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    const v4l2_fract& perFrame = parameters.parm.capture.timeperframe;
    if (Ioctl(VIDIOC_G_PARM, &parameters) != 0 ||
        (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME) == 0 ||
        perFrame.denominator == 0) {
      return {};
    }
    return std::chrono::duration_cast<FrameClock::duration>(
        std::chrono::microseconds(int64_t{perFrame.numerator} * 1000000 / perFrame.denominator));
  }

  bool StartStreaming() {
    streamStart_ = FrameClock::now();
    haveLastFrame_ = false;
    measuredInterval_ = {};
    configuredInterval_ = ConfiguredInterval();
    if ((capabilities_ & V4L2_CAP_STREAMING) != 0) {
      v4l2_requestbuffers request{};
      request.count = 4;
      request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      request.memory = V4L2_MEMORY_MMAP;
      if (Ioctl(VIDIOC_REQBUFS, &request) == 0 && request.count > 0) {
        for (uint32_t index = 0; index < request.count; ++index) {
          v4l2_buffer buffer{};
          buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
          buffer.memory = V4L2_MEMORY_MMAP;
          buffer.index = index;
          if (Ioctl(VIDIOC_QUERYBUF, &buffer) != 0) break;
          void* start = io_->Mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_,
                                  buffer.m.offset);
          if (start == MAP_FAILED) break;
          buffers_.push_back({start, buffer.length});
          if (Ioctl(VIDIOC_QBUF, &buffer) != 0) break;
        }
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (buffers_.size() == request.count && Ioctl(VIDIOC_STREAMON, &type) == 0) {
          streaming_ = true;
          return true;
        }
        StopStreaming();
      } else if (errno == EBUSY || errno == ENODEV) {
        return false;  // another program streams from it, or it is gone
      }
    }
    if ((capabilities_ & V4L2_CAP_READWRITE) != 0) {
      const size_t bytes = source_.fmt.pix.sizeimage != 0
                               ? source_.fmt.pix.sizeimage
                               : size_t{source_.fmt.pix.width} * source_.fmt.pix.height * 3;
      readBuffer_.assign(bytes, 0);
      return true;
    }
    return false;
  }

  void StopStreaming() {
    if (streaming_) {
      v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      (void)Ioctl(VIDIOC_STREAMOFF, &type);
      streaming_ = false;
    }
    for (const Mapping& mapping : buffers_) io_->Munmap(mapping.start, mapping.length);
    if (!buffers_.empty()) {
      buffers_.clear();
      v4l2_requestbuffers release{};
      release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      release.memory = V4L2_MEMORY_MMAP;
      (void)Ioctl(VIDIOC_REQBUFS, &release);
    }
    readBuffer_.clear();
  }

  std::shared_ptr<V4l2Io> io_;
  int fd_ = -1;
  mutable bool lost_ = false;
  uint32_t capabilities_ = 0;
  std::unique_ptr<FrameConverter> converter_;
  v4l2_format source_{};
  std::vector<Mapping> buffers_;
  bool streaming_ = false;
  std::vector<uint8_t> readBuffer_;
  FrameClock::time_point streamStart_;
  FrameClock::duration configuredInterval_{};
  FrameClock::duration measuredInterval_{};
  bool haveLastFrame_ = false;
  uint32_t lastSequence_ = 0;
  FrameClock::time_point lastStamp_;
};

}  // namespace

std::vector<V4l2Node> ListV4l2CaptureNodes(const std::string& folder,
                                           const std::shared_ptr<V4l2Io>& io) {
  std::vector<std::pair<unsigned long, std::string>> candidates;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    const std::string name = entry->path().filename().string();
    if (name.size() <= 5 || name.compare(0, 5, "video") != 0 || name.size() > 12) continue;
    if (!std::all_of(name.begin() + 5, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    candidates.emplace_back(std::stoul(name.substr(5)), entry->path().string());
  }
  std::sort(candidates.begin(), candidates.end());
  std::vector<V4l2Node> nodes;
  for (const auto& [number, path] : candidates) {
    const int fd = io->Open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    std::string card;
    const uint32_t capabilities = CaptureCapabilities(*io, fd, &card);
    io->Close(fd);
    if (CanCapture(capabilities)) nodes.push_back({path, card});
  }
  return nodes;
}

std::vector<DriverEntry> ListV4l2Drivers(const std::string& folder,
                                         const std::shared_ptr<V4l2Io>& io) {
  std::vector<DriverEntry> entries;
  for (const V4l2Node& node : ListV4l2CaptureNodes(folder, io)) {
    const std::string path = node.path;
    entries.push_back({node.card, [path, io] { return OpenV4l2Device(path, io); }});
  }
  return entries;
}

std::unique_ptr<CaptureDriver> OpenV4l2Device(const std::string& path,
                                              const std::shared_ptr<V4l2Io>& io) {
  return V4l2Device::Open(path, io);
}

FrameConverter::FrameConverter(std::unique_ptr<DeviceLink> link, v4lconvert_data* data)
    : link_(std::move(link)), data_(data) {}

std::unique_ptr<FrameConverter> FrameConverter::ForDevice(std::shared_ptr<V4l2Io> io, int fd) {
  auto link = std::make_unique<DeviceLink>();
  link->io = std::move(io);
  v4lconvert_data* data = v4lconvert_create_with_dev_ops(fd, link.get(), &kLinkOps);
  if (data == nullptr) return nullptr;
  return std::unique_ptr<FrameConverter>(new FrameConverter(std::move(link), data));
}

std::unique_ptr<FrameConverter> FrameConverter::ForRecordedFrames() {
  auto link = std::make_unique<DeviceLink>();
  v4lconvert_data* data = v4lconvert_create_with_dev_ops(-1, link.get(), &kLinkOps);
  if (data == nullptr) return nullptr;
  return std::unique_ptr<FrameConverter>(new FrameConverter(std::move(link), data));
}

FrameConverter::~FrameConverter() { v4lconvert_destroy(data_); }

bool FrameConverter::CanDecode(std::shared_ptr<V4l2Io> io, int fd, uint32_t pixelFormat,
                               int width, int height) {
  DeviceLink link;
  link.io = std::move(io);
  link.onlyFormat = pixelFormat;
  v4lconvert_data* probe = v4lconvert_create_with_dev_ops(fd, &link, &kLinkOps);
  if (probe == nullptr) return false;
  v4l2_format wanted{};
  wanted.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  wanted.fmt.pix.width = static_cast<uint32_t>(width);
  wanted.fmt.pix.height = static_cast<uint32_t>(height);
  wanted.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
  wanted.fmt.pix.field = V4L2_FIELD_ANY;
  v4l2_format source{};
  const bool decodable = v4lconvert_try_format(probe, &wanted, &source) == 0 &&
                         source.fmt.pix.pixelformat == pixelFormat;
  v4lconvert_destroy(probe);
  return decodable;
}

bool FrameConverter::ChooseSourceFormat(int width, int height, v4l2_format& source) {
  v4l2_format wanted{};
  wanted.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  wanted.fmt.pix.width = static_cast<uint32_t>(width > 0 ? width : 640);
  wanted.fmt.pix.height = static_cast<uint32_t>(height > 0 ? height : 480);
  wanted.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
  wanted.fmt.pix.field = V4L2_FIELD_ANY;
  source = v4l2_format{};
  return v4lconvert_try_format(data_, &wanted, &source) == 0;
}

bool FrameConverter::Convert(const v4l2_pix_format& source, const uint8_t* data, size_t size,
                             std::vector<uint8_t>& bgr) {
  if (data == nullptr || source.width == 0 || source.height == 0 || source.width > 16384 ||
      source.height > 16384) {
    return false;
  }
  const size_t minimum = MinimumFrameBytes(source);
  if (size == 0 || size < minimum) return false;
  v4l2_format from{};
  from.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  from.fmt.pix = source;
  if (from.fmt.pix.sizeimage == 0 || from.fmt.pix.sizeimage > size) {
    from.fmt.pix.sizeimage = static_cast<uint32_t>(size);
  }
  v4l2_format to = from;
  to.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
  to.fmt.pix.bytesperline = source.width * 3;
  to.fmt.pix.sizeimage = source.width * source.height * 3;
  bgr.resize(to.fmt.pix.sizeimage);
  const int written = v4lconvert_convert(data_, &from, &to, const_cast<uint8_t*>(data),
                                         static_cast<int>(std::min<size_t>(size, 0x7FFFFFFF)),
                                         bgr.data(), static_cast<int>(bgr.size()));
  return written == static_cast<int>(bgr.size());
}

std::string FrameConverter::LastError() const { return v4lconvert_get_error_message(data_); }

}  // namespace qxcore
