#include "core/capture_core.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <QApplication>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <strings.h>

#include "core/avi_writer.h"
#include "core/bmp_writer.h"
#include "core/capture_window.h"
#include "core/device_dialogs.h"
#include "core/jpeg_writer.h"
#include "core/motion.h"
#include "core/trace.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace qxcore {

// The started device: its driver and what the preview keeps. The driver lock guards `driver`,
// `previewFrame` and `motion`.
struct Device {
  std::mutex driverMutex;
  std::unique_ptr<CaptureDriver> driver;
  std::vector<uint8_t> previewFrame;
  MotionMeter motion;
  QPointer<CaptureWindow> window;
};

namespace {

constexpr const char* kNotStarted = "QXCore: Device is not started up.\n";
constexpr const char* kBusy = "QXCore: Device is being used for capturing.\n";
constexpr const char* kInvalidDevice = "QXCore: Invalid device number.\n";

bool OnThreadOf(const QObject* object) { return QThread::currentThread() == object->thread(); }

}  // namespace

CaptureCore& CaptureCore::Instance() {
  // Never destroyed: a stream thread or a window may outlive the last static destructor.
  static CaptureCore* instance = new CaptureCore;
  return *instance;
}

CaptureCore::CaptureCore() = default;

void CaptureCore::ClearStateLocked() {
  table_.clear();
  if (!device_) {
    current_ = -1;
    startupInfo_ = {};
    displayMode_ = 1;
    displayCaps_ = 0;
    windowX_ = windowY_ = windowWidth_ = windowHeight_ = 0;
    dialogCaps_ = 0;
    motionMode_ = 1;
    motionLevel_ = 0;
    streamDestination_.clear();
  }
}

std::string CaptureCore::TempFolder() {
  std::lock_guard lock(mutex_);
  if (tempFolder_.empty()) {
    // A private folder keeps the fixed temporary names away from other users' files.
    tempFolder_ = qv::MakeWorkFolder("quorvex-capture-");
    ownTempFolder_ = !tempFolder_.empty();
    if (tempFolder_.empty()) tempFolder_ = qv::TempFolder();
  }
  return tempFolder_;
}

int CaptureCore::Startup() {
  Trace("QXStartup\n");
  {
    std::lock_guard lock(mutex_);
    if (started_) {
      Trace("QXCore: QX system is already started up.\n");
      return 0;
    }
    ClearStateLocked();
    started_ = true;
  }
  (void)TempFolder();
  return 1;
}

int CaptureCore::Cleanup() {
  Trace("QXCleanup\n");
  bool haveDevice;
  {
    std::lock_guard lock(mutex_);
    if (!started_) {
      Trace("QXCore: QX system is not started up.\n");
      return 0;
    }
    haveDevice = device_ != nullptr;
  }
  if (haveDevice) (void)CleanupDevice();
  std::lock_guard lock(mutex_);
  started_ = false;
  if (ownTempFolder_ && !device_) {
    std::error_code ignored;
    std::filesystem::remove_all(tempFolder_, ignored);
    tempFolder_.clear();
    ownTempFolder_ = false;
  }
  return 1;
}

int CaptureCore::DeviceCount() {
  std::lock_guard lock(mutex_);
  if (!table_.empty()) return static_cast<int>(table_.size());
  const std::vector<DriverEntry> drivers = ListCaptureDrivers();
  for (size_t index = 0; index < drivers.size() && index < static_cast<size_t>(kMaxDrivers); ++index) {
    // Device names are kept as the system's text, like every other name it shows.
    const std::string name = qv::Cp932FromUtf8(drivers[index].description);
    bool listed = false;
    for (const TableEntry& entry : table_) {
      listed = listed || strcasecmp(entry.name, name.c_str()) == 0;
    }
    if (listed) continue;
    TableEntry entry{};
    qv::CopySjisField(entry.name, sizeof entry.name, name);
    entry.driverIndex = static_cast<int>(index);
    entry.driver = drivers[index];
    table_.push_back(std::move(entry));
  }
  for (size_t position = 0; position < table_.size(); ++position) {
    char line[320];
    std::snprintf(line, sizeof line, "Device %2d[%d] = %s\n", static_cast<int>(position),
                  table_[position].driverIndex, table_[position].name);
    Trace(line);
  }
  return static_cast<int>(table_.size());
}

int CaptureCore::CurrentDevice() {
  std::lock_guard lock(mutex_);
  return current_;
}

int CaptureCore::DeviceNumber(const char* name) {
  if (name == nullptr) return -1;
  std::lock_guard lock(mutex_);
  for (size_t position = 0; position < table_.size(); ++position) {
    if (std::strcmp(table_[position].name, name) == 0) return static_cast<int>(position);
  }
  return -1;
}

int CaptureCore::DeviceInfo(QXDEVICEINFO* info, int deviceNo) {
  std::lock_guard lock(mutex_);
  if (deviceNo < 0 || deviceNo >= static_cast<int>(table_.size())) {
    Trace(kInvalidDevice);
    return 0;
  }
  if (info == nullptr) return 0;
  std::memcpy(info->szDeviceName, table_[static_cast<size_t>(deviceNo)].name, sizeof info->szDeviceName);
  return 1;
}

int CaptureCore::StartupDevice(const QXSTARTUPDEVICEINFO* info, int deviceNo) {
  std::lock_guard lock(mutex_);
  if (deviceNo < 0 || deviceNo >= static_cast<int>(table_.size())) {
    Trace(kInvalidDevice);
    return 0;
  }
  if (device_) {
    Trace("QXCore: Device is already started up.\n");
    return 0;
  }
  displayMode_ = 1;
  windowX_ = windowY_ = windowWidth_ = windowHeight_ = 0;

  auto device = std::make_shared<Device>();
  std::weak_ptr<Device> weakDevice = device;
  auto* window = new CaptureWindow(info != nullptr ? info->hwndParent : nullptr,
                                   [this, weakDevice] { PreviewTick(weakDevice); });
  device->driver = table_[static_cast<size_t>(deviceNo)].driver.connect();
  if (!device->driver) {
    delete window;
    return 0;
  }
  device->window = window;
  device_ = device;
  RefreshCapsLocked(window);
  startupInfo_ = info != nullptr ? *info : QXSTARTUPDEVICEINFO{};
  capturing_ = false;
  saving_ = false;
  window->SetPreviewInterval(kDefaultPreviewIntervalMs);
  current_ = deviceNo;
  return 1;
}

void CaptureCore::JoinStream() {
  std::thread stream;
  {
    std::lock_guard lock(mutex_);
    stream = std::move(streamThread_);
  }
  if (stream.joinable()) stream.join();
}

int CaptureCore::CleanupDevice() {
  {
    std::lock_guard lock(mutex_);
    if (!device_) {
      Trace(kNotStarted);
      return 0;
    }
  }
  if (capturing_) {
    qv::SleepMs(qv::GetTimings().captureStopPauseMs);
    if (capturing_) (void)StopCapture();
  }
  // The recording ends and its file reaches the destination before the driver goes.
  JoinStream();

  std::shared_ptr<Device> device;
  {
    std::unique_lock lock(mutex_);
    grabsDone_.wait(lock, [this] { return grabsRunning_ == 0; });
    if (!device_) return 0;  // another thread cleaned up meanwhile
    (void)SetDisplayLocked(QXDISP_NONE);
    displayMode_ = 1;
    motionLevel_ = 0;
    std::lock_guard driverLock(device_->driverMutex);
    device_->motion.Reset();
  }
  qv::SleepMs(qv::GetTimings().driverDisconnectPauseMs);
  {
    std::lock_guard lock(mutex_);
    device = std::move(device_);
    current_ = -1;
    capturing_ = false;
    saving_ = false;
  }
  {
    std::lock_guard driverLock(device->driverMutex);
    device->driver.reset();
  }
  if (CaptureWindow* window = device->window.data()) {
    if (OnThreadOf(window)) {
      delete window;
    } else {
      window->deleteLater();
    }
  }
  return 1;
}

void CaptureCore::RefreshCapsLocked(void* captureWindow) {
  DriverCaps caps;
  if (device_ && captureWindow != nullptr && captureWindow == device_->window.data()) {
    std::lock_guard driverLock(device_->driverMutex);
    if (device_->driver) caps = device_->driver->Caps();
  }
  motionMode_ = static_cast<int>(QXMOTION_OFF);
  motionLevel_ = 0;
  displayCaps_ = caps.hasOverlay ? 7 : 3;
  dialogCaps_ = static_cast<int>(QXDLG_COMPRESSION) | (caps.hasFormatDialog ? QXDLG_FORMAT : 0) |
                (caps.hasDisplayDialog ? QXDLG_DISPLAY : 0) | (caps.hasSourceDialog ? QXDLG_SOURCE : 0);
}

int CaptureCore::GetCaptureCaps(void* captureWindow) {
  std::lock_guard lock(mutex_);
  RefreshCapsLocked(captureWindow);
  return 1;
}

int CaptureCore::ReConnectDevice() {
  std::lock_guard lock(mutex_);
  if (device_) RefreshCapsLocked(device_->window.data());
  return 1;
}

void CaptureCore::WithWindow(std::function<void(CaptureWindow&)> work) {
  CaptureWindow* window = device_ ? device_->window.data() : nullptr;
  if (window == nullptr) return;
  if (OnThreadOf(window)) {
    work(*window);
    return;
  }
  QMetaObject::invokeMethod(
      window, [window, work = std::move(work)] { work(*window); }, Qt::QueuedConnection);
}

void CaptureCore::PlaceWindowLocked() {
  unsigned long x = 0, y = 0, width = 0, height = 0;
  (void)GetStateLocked(QXST_WINDOW_X, x);
  (void)GetStateLocked(QXST_WINDOW_Y, y);
  (void)GetStateLocked(QXST_WINDOW_WIDTH, width);
  (void)GetStateLocked(QXST_WINDOW_HEIGHT, height);
  const bool scale = windowWidth_ > 0 && windowHeight_ > 0;
  WithWindow([=](CaptureWindow& window) {
    window.Place(static_cast<int>(x), static_cast<int>(y), static_cast<int>(width),
                 static_cast<int>(height), scale);
  });
}

int CaptureCore::SetDisplayLocked(unsigned long mode) {
  if ((mode != QXDISP_NONE && mode != QXDISP_PREVIEW && mode != QXDISP_OVERLAY) ||
      (static_cast<unsigned long>(displayCaps_) & mode) == 0) {
    return 0;
  }
  if (mode == QXDISP_NONE) {
    WithWindow([](CaptureWindow& window) { window.SetPreviewRunning(false); });
    motionLevel_ = 0;
  } else {
    PlaceWindowLocked();
    // Overlay hardware draws by itself; only the preview needs frames.
    const bool preview = mode == QXDISP_PREVIEW;
    WithWindow([preview](CaptureWindow& window) { window.SetPreviewRunning(preview); });
  }
  displayMode_ = static_cast<int>(mode);
  return 1;
}

int CaptureCore::GetStateLocked(unsigned long type, unsigned long& value) {
  value = 0;
  auto pictureSize = [this](bool width) -> unsigned long {
    std::lock_guard driverLock(device_->driverMutex);
    if (!device_->driver) return 0;
    return static_cast<unsigned long>(width ? device_->driver->Width() : device_->driver->Height());
  };
  const bool sizeStored = windowWidth_ != 0 && windowHeight_ != 0;
  switch (type) {
    case QXST_DISPLAY: value = static_cast<unsigned long>(displayMode_); return 1;
    case QXST_DISPLAY_CAPS: value = static_cast<unsigned long>(displayCaps_); return 1;
    case QXST_WINDOW_X: value = static_cast<unsigned long>(windowX_); return 1;
    case QXST_WINDOW_Y: value = static_cast<unsigned long>(windowY_); return 1;
    case QXST_WINDOW_WIDTH:
      value = sizeStored ? static_cast<unsigned long>(windowWidth_) : pictureSize(true);
      return 1;
    case QXST_WINDOW_HEIGHT:
      value = sizeStored ? static_cast<unsigned long>(windowHeight_) : pictureSize(false);
      return 1;
    case QXST_WINDOW_HANDLE:
      value = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(device_->window.data()));
      return 1;
    case QXST_MOTION_MODE: value = static_cast<unsigned long>(motionMode_.load()); return 1;
    case QXST_MOTION_LEVEL: value = static_cast<unsigned long>(motionLevel_.load()); return 1;
    case QXST_DIALOG_CAPS: value = static_cast<unsigned long>(dialogCaps_); return 1;
    case QXST_CAPFILE_EXISTS: {
      std::error_code ignored;
      value = !tempFolder_.empty() &&
              std::filesystem::exists(tempFolder_ + kStreamTempName, ignored);
      return 1;
    }
    default: return 0;
  }
}

int CaptureCore::GetDeviceState(unsigned long type, unsigned long* value) {
  std::lock_guard lock(mutex_);
  if (!device_) {
    Trace(kNotStarted);
    return 0;
  }
  if (value == nullptr) return 0;
  return GetStateLocked(type, *value);
}

int CaptureCore::SetDeviceState(unsigned long type, unsigned long value) {
  std::lock_guard lock(mutex_);
  if (!device_) {
    Trace(kNotStarted);
    return 0;
  }
  // Window values arrive as unsigned long and are kept as the int they stand for.
  const int number = static_cast<int>(static_cast<long>(value));
  switch (type) {
    case QXST_DISPLAY: return SetDisplayLocked(value);
    case QXST_WINDOW_X: windowX_ = number; return 1;
    case QXST_WINDOW_Y: windowY_ = number; return 1;
    case QXST_WINDOW_WIDTH: windowWidth_ = number; return 1;
    case QXST_WINDOW_HEIGHT: windowHeight_ = number; return 1;
    case QXST_MOTION_MODE:
      if (value != QXMOTION_OFF && value != QXMOTION_MEASURE && value != QXMOTION_SHOW) return 0;
      motionMode_ = static_cast<int>(value);
      return 1;
    default: return 0;
  }
}

void CaptureCore::SetPreviewRate(int framesPerSecond) {
  if (framesPerSecond <= 0) return;
  std::lock_guard lock(mutex_);
  const int interval = 1000 / framesPerSecond;
  WithWindow([interval](CaptureWindow& window) { window.SetPreviewInterval(interval); });
}

void CaptureCore::PreviewTick(const std::weak_ptr<Device>& weakDevice) {
  std::shared_ptr<Device> device = weakDevice.lock();
  if (!device || capturing_) return;
  int width = 0;
  int height = 0;
  {
    std::lock_guard driverLock(device->driverMutex);
    if (!device->driver || !device->driver->GrabFrame(device->previewFrame)) return;
    width = device->driver->Width();
    height = device->driver->Height();
    MeasureMotionLocked(*device, device->previewFrame.data(), device->previewFrame.size());
  }
  if (CaptureWindow* window = device->window.data()) {
    window->ShowFrame(device->previewFrame.data(), width, height);
  }
}

bool CaptureCore::FrameCallback(uint8_t* frame, size_t length) {
  std::shared_ptr<Device> device;
  {
    std::lock_guard lock(mutex_);
    device = device_;
  }
  if (!device) return false;
  std::lock_guard driverLock(device->driverMutex);
  MeasureMotionLocked(*device, frame, length);
  return true;
}

void CaptureCore::MeasureMotionLocked(Device& device, uint8_t* frame, size_t length) {
  const int mode = motionMode_;
  if (capturing_ || frame == nullptr ||
      (mode != static_cast<int>(QXMOTION_MEASURE) && mode != static_cast<int>(QXMOTION_SHOW))) {
    return;
  }
  motionLevel_ = device.motion.Measure(frame, length, mode == static_cast<int>(QXMOTION_SHOW));
}

bool CaptureCore::ClaimForCaptureLocked() {
  if (!device_) {
    Trace(kNotStarted);
    return false;
  }
  bool idle = false;
  if (!capturing_.compare_exchange_strong(idle, true)) {
    Trace(kBusy);
    return false;
  }
  return true;
}

int CaptureCore::CaptureSingleFrame(const char* file, unsigned long flags) {
  std::shared_ptr<Device> device;
  {
    std::lock_guard lock(mutex_);
    if (!ClaimForCaptureLocked()) return 0;
    device = device_;
    ++grabsRunning_;
  }
  const std::string temporary = (flags & QXCAP_JPEG) != 0 ? TempFolder() + kSingleFrameTempName : "";

  const uint32_t deadline = qv::GetTickCount32() + static_cast<uint32_t>(qv::GetTimings().grabDeadlineMs);
  std::vector<uint8_t> frame;
  int width = 0;
  int height = 0;
  for (;;) {
    {
      std::lock_guard driverLock(device->driverMutex);
      if (device->driver && device->driver->GrabFrame(frame)) {
        width = device->driver->Width();
        height = device->driver->Height();
        break;
      }
    }
    if (qv::TickDiff(qv::GetTickCount32(), deadline) >= 0) break;
    qv::SleepMs(1);
  }
  motionLevel_ = 0;

  int result = 0;
  const bool haveFrame = width > 0 && height > 0 &&
                         frame.size() >= static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
  if (haveFrame && file != nullptr) {
    if ((flags & QXCAP_JPEG) == 0) {
      result = WriteBmp24(file, frame.data(), width, height) ? 1 : 0;
    } else {
      result = WriteBmp24(temporary, frame.data(), width, height) ? 1 : 0;
      (void)QXCoreBMP2JPG(temporary.c_str(), file, static_cast<int>(flags & 0xFF));
      std::remove(temporary.c_str());
    }
  }
  {
    std::lock_guard lock(mutex_);
    capturing_ = false;
    --grabsRunning_;
  }
  grabsDone_.notify_all();
  return result;
}

int CaptureCore::StartCapture(const char* file, long seconds) {
  (void)TempFolder();
  std::thread finished;
  std::shared_ptr<Device> device;
  {
    std::lock_guard lock(mutex_);
    if (!ClaimForCaptureLocked()) return 0;
    // The thread of an earlier recording has cleared the flag as its last step.
    finished = std::move(streamThread_);
    streamDestination_ = file != nullptr ? file : "";
    stopStream_ = false;
    streamRecording_ = true;
    streamCopyFailed_ = false;
    device = device_;
  }
  if (finished.joinable()) finished.join();
  std::lock_guard lock(mutex_);
  streamThread_ = std::thread([this, device, seconds] { StreamLoop(device, seconds); });
  return 1;
}

int CaptureCore::StopCapture() {
  std::lock_guard lock(mutex_);
  if (!device_) {
    Trace(kNotStarted);
    return 0;
  }
  if (!capturing_ || !streamRecording_ || device_->window.isNull()) return 0;
  stopStream_ = true;
  return 1;
}

void CaptureCore::StreamLoop(std::shared_ptr<Device> device, long seconds) {
  (void)StatusCallback(kStatusCaptureBegin);
  std::string captureFile = TempFolder() + kStreamTempName;
  int width = 0;
  int height = 0;
  {
    std::lock_guard driverLock(device->driverMutex);
    if (device->driver) {
      width = device->driver->Width();
      height = device->driver->Height();
    }
  }
  AviWriter writer;
  if (writer.Open(captureFile, width, height, kStreamMicroSecondsPerFrame)) {
    using Clock = std::chrono::steady_clock;
    const auto frameInterval = std::chrono::microseconds(kStreamMicroSecondsPerFrame);
    const uint64_t frameLimit = seconds > 0 ? static_cast<uint64_t>(seconds) * 15 : 0;
    const auto start = Clock::now();
    std::vector<uint8_t> frame;
    std::vector<uint8_t> jpeg;
    uint64_t index = 0;
    while (!stopStream_ && (frameLimit == 0 || index < frameLimit)) {
      const auto due = start + frameInterval * index;
      auto now = Clock::now();
      while (now < due && !stopStream_) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
        qv::SleepMs(std::clamp<int64_t>(wait, 1, 5));
        now = Clock::now();
      }
      if (stopStream_) break;
      // Behind by a whole frame or more: the slot repeats the last picture, so the stream keeps
      // its 15 frames per second of real time.
      const bool late = now >= due + frameInterval && !jpeg.empty();
      if (!late) {
        bool grabbed = false;
        {
          std::lock_guard driverLock(device->driverMutex);
          grabbed = device->driver && device->driver->GrabFrame(frame) &&
                    device->driver->Width() == width && device->driver->Height() == height;
        }
        if (grabbed) {
          std::vector<uint8_t> encoded;
          if (EncodeJpeg(frame.data(), width, height, JpegInput::kBgr, streamQuality_, encoded)) {
            jpeg = std::move(encoded);
          }
        }
        if (jpeg.empty()) {
          // No picture yet: wait for the first one, as long as a grab would.
          if (Clock::now() - start > std::chrono::milliseconds(qv::GetTimings().grabDeadlineMs)) break;
          qv::SleepMs(1);
          continue;
        }
      }
      if (!writer.AddFrame(jpeg.data(), jpeg.size())) break;  // size limit or write error
      ++index;
    }
    if (!writer.Close()) streamCopyFailed_ = true;
  } else {
    streamCopyFailed_ = true;
  }
  streamRecording_ = false;
  (void)StatusCallback(kStatusCaptureEnd);
}

void CaptureCore::SaveStreamAs() {
  std::string destination;
  std::string captureFile;
  {
    std::lock_guard lock(mutex_);
    destination = streamDestination_;
    captureFile = tempFolder_ + kStreamTempName;
  }
  (void)StatusCallback(kStatusSaveAsPercent);
  std::error_code error;
  const bool copied = !streamCopyFailed_ && !destination.empty() &&
                      std::filesystem::copy_file(captureFile, destination,
                                                 std::filesystem::copy_options::overwrite_existing,
                                                 error);
  if (!copied) streamCopyFailed_ = true;
  (void)StatusCallback(kStatusCleared);
}

bool CaptureCore::StatusCallback(int statusId) {
  std::function<void(int)> observer;
  {
    std::lock_guard lock(mutex_);
    observer = statusObserver_;
  }
  if (observer) observer(statusId);
  switch (statusId) {
    case kStatusCaptureBegin:
      saving_ = false;
      break;
    case kStatusCaptureEnd:
      SaveStreamAs();
      break;
    case kStatusSaveAsPercent:
      saving_ = true;
      break;
    case kStatusCleared:
      if (saving_) {
        // A capture file that did not reach its destination is kept rather than lost.
        if (!streamCopyFailed_) {
          std::lock_guard lock(mutex_);
          std::remove((tempFolder_ + kStreamTempName).c_str());
        }
        saving_ = false;
        capturing_ = false;
      }
      break;
    default:
      break;
  }
  return true;
}

void CaptureCore::SetStatusObserverForTesting(std::function<void(int)> observer) {
  std::lock_guard lock(mutex_);
  statusObserver_ = std::move(observer);
}

int CaptureCore::OpenDialog(unsigned long kind) {
  std::shared_ptr<Device> device;
  {
    std::lock_guard lock(mutex_);
    if (!device_) {
      Trace(kNotStarted);
      return 0;
    }
    if (capturing_) {
      Trace(kBusy);
      return 0;
    }
    device = device_;
  }
  CaptureWindow* window = device->window.data();
  QCoreApplication* application = QCoreApplication::instance();
  // Dialogs are widgets: they need a running application and the owner must be its GUI thread.
  if (window == nullptr || qobject_cast<QApplication*>(application) == nullptr ||
      window->thread() != application->thread()) {
    return 0;
  }
  if (OnThreadOf(window)) return RunDialog(device, kind);
  std::atomic<int> answer{0};
  QMetaObject::invokeMethod(
      window, [&] { answer = RunDialog(device, kind); }, Qt::BlockingQueuedConnection);
  return answer.load();
}

int CaptureCore::RunDialog(const std::shared_ptr<Device>& device, unsigned long kind) {
  CaptureWindow* window = device->window.data();
  if (window == nullptr) return 0;
  QWidget* parent = window->parentWidget();
  int answer = 0;
  if (kind == QXDLG_FORMAT) {
    std::vector<FrameFormat> formats;
    FrameFormat current;
    {
      std::lock_guard driverLock(device->driverMutex);
      if (!device->driver || !device->driver->Caps().hasFormatDialog) return 0;
      formats = device->driver->Formats();
      current = device->driver->CurrentFormat();
    }
    if (formats.empty()) return 0;
    FrameFormat chosen;
    if (RunFormatDialog(parent, formats, current, chosen) && !(chosen == current)) {
      std::lock_guard driverLock(device->driverMutex);
      if (device->driver) (void)device->driver->SetFormat(chosen);
    }
    answer = 1;
  } else if (kind == QXDLG_SOURCE) {
    std::vector<DriverControl> controls;
    {
      std::lock_guard driverLock(device->driverMutex);
      if (device->driver) controls = device->driver->Controls();
    }
    if (controls.empty()) return 0;
    const std::vector<DriverControl> before = controls;
    if (RunSourceDialog(parent, controls)) {
      std::lock_guard driverLock(device->driverMutex);
      for (size_t i = 0; device->driver && i < controls.size(); ++i) {
        if (controls[i].value != before[i].value) {
          (void)device->driver->SetControl(controls[i].id, controls[i].value);
        }
      }
    }
    answer = 1;
    std::lock_guard lock(mutex_);
    if (device_ == device) RefreshCapsLocked(window);
  } else if (kind == QXDLG_COMPRESSION) {
    int quality = streamQuality_;
    if (RunCompressionDialog(parent, quality)) streamQuality_ = quality;
    answer = 1;
  } else {
    return 0;  // no display dialog: the picture is drawn by the preview itself
  }
  {
    // The picture size may have changed: the preview follows it at once.
    std::lock_guard lock(mutex_);
    if (device_ == device && displayMode_ != static_cast<int>(QXDISP_NONE)) PlaceWindowLocked();
  }
  window = device->window.data();
  if (window != nullptr) window->RefreshParent();
  return answer;
}

}  // namespace qxcore
