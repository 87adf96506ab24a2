#include "core/capture_device.h"

#include <QApplication>
#include <QMetaObject>
#include <QThread>

#include "core/capture_window.h"
#include "core/device_dialogs.h"
#include "core/qxdvcore.h"
#include "platform/timing.h"

namespace qxcore {
namespace {

bool OnThreadOf(const QObject* object) { return QThread::currentThread() == object->thread(); }

}  // namespace

std::shared_ptr<CaptureDevice> CaptureDevice::Start(const DriverEntry& entry, QWidget* parent) {
  std::shared_ptr<CaptureDevice> device(new CaptureDevice);
  std::weak_ptr<CaptureDevice> weakDevice = device;
  auto* window = new CaptureWindow(parent, [weakDevice] {
    if (std::shared_ptr<CaptureDevice> started = weakDevice.lock()) started->PreviewTick();
  });
  device->driver_ = entry.connect ? entry.connect() : nullptr;
  if (!device->driver_) {
    delete window;
    return nullptr;
  }
  device->window_ = window;
  std::lock_guard lock(device->mutex_);
  device->RefreshCapsLocked(window);
  window->SetPreviewInterval(kDefaultPreviewIntervalMs);
  return device;
}

CaptureDevice::~CaptureDevice() = default;

CaptureWindow* CaptureDevice::window() const { return window_.data(); }

CaptureDevice::Claim CaptureDevice::TryClaim() {
  std::lock_guard lock(mutex_);
  if (closing_) return Claim::kClosing;
  bool idle = false;
  return capturing_.compare_exchange_strong(idle, true) ? Claim::kGranted : Claim::kBusy;
}

void CaptureDevice::ReleaseClaim() {
  {
    std::lock_guard lock(mutex_);
    capturing_ = false;
  }
  unclaimed_.notify_all();
}

bool CaptureDevice::BeginClosing() {
  std::lock_guard lock(mutex_);
  if (closing_) return false;
  closing_ = true;
  return true;
}

bool CaptureDevice::closing() {
  std::lock_guard lock(mutex_);
  return closing_;
}

void CaptureDevice::WaitUntilUnclaimed() {
  std::unique_lock lock(mutex_);
  unclaimed_.wait(lock, [this] { return !capturing_.load(); });
}

void CaptureDevice::SwitchOff() {
  std::lock_guard lock(mutex_);
  (void)SetDisplayLocked(QXDISP_NONE);
  displayMode_ = 1;
  motionLevel_ = 0;
  std::lock_guard driverLock(driverMutex_);
  motion_.Reset();
}

void CaptureDevice::Disconnect() {
  {
    std::lock_guard driverLock(driverMutex_);
    driver_.reset();
  }
  if (CaptureWindow* window = window_.data()) {
    if (OnThreadOf(window)) {
      delete window;
    } else {
      window->deleteLater();
    }
  }
}

void CaptureDevice::RefreshCapsLocked(void* captureWindow) {
  DriverCaps caps;
  if (captureWindow != nullptr && captureWindow == window_.data()) {
    std::lock_guard driverLock(driverMutex_);
    if (driver_) caps = driver_->Caps();
  }
  motionMode_ = static_cast<int>(QXMOTION_OFF);
  motionLevel_ = 0;
  displayCaps_ = caps.hasOverlay ? 7 : 3;
  dialogCaps_ = static_cast<int>(QXDLG_COMPRESSION) | (caps.hasFormatDialog ? QXDLG_FORMAT : 0) |
                (caps.hasDisplayDialog ? QXDLG_DISPLAY : 0) | (caps.hasSourceDialog ? QXDLG_SOURCE : 0);
}

void CaptureDevice::RefreshCaps(void* captureWindow) {
  std::lock_guard lock(mutex_);
  RefreshCapsLocked(captureWindow);
}

void CaptureDevice::RefreshCaps() {
  std::lock_guard lock(mutex_);
  RefreshCapsLocked(window_.data());
}

void CaptureDevice::WithWindow(std::function<void(CaptureWindow&)> work) {
  CaptureWindow* window = window_.data();
  if (window == nullptr) return;
  if (OnThreadOf(window)) {
    work(*window);
    return;
  }
  QMetaObject::invokeMethod(
      window, [window, work = std::move(work)] { work(*window); }, Qt::QueuedConnection);
}

void CaptureDevice::PlaceWindowLocked() {
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

int CaptureDevice::SetDisplayLocked(unsigned long mode) {
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

int CaptureDevice::GetStateLocked(unsigned long type, unsigned long& value) {
  value = 0;
  auto pictureSize = [this](bool width) -> unsigned long {
    std::lock_guard driverLock(driverMutex_);
    if (!driver_) return 0;
    return static_cast<unsigned long>(width ? driver_->Width() : driver_->Height());
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
      value = static_cast<unsigned long>(reinterpret_cast<uintptr_t>(window_.data()));
      return 1;
    case QXST_MOTION_MODE: value = static_cast<unsigned long>(motionMode_.load()); return 1;
    case QXST_MOTION_LEVEL: value = static_cast<unsigned long>(motionLevel_.load()); return 1;
    case QXST_DIALOG_CAPS: value = static_cast<unsigned long>(dialogCaps_); return 1;
    default: return 0;
  }
}

int CaptureDevice::GetState(unsigned long type, unsigned long& value) {
  std::lock_guard lock(mutex_);
  return GetStateLocked(type, value);
}

int CaptureDevice::SetState(unsigned long type, unsigned long value) {
  std::lock_guard lock(mutex_);
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

void CaptureDevice::SetPreviewIntervalMs(int milliseconds) {
  std::lock_guard lock(mutex_);
  WithWindow([milliseconds](CaptureWindow& window) { window.SetPreviewInterval(milliseconds); });
}

void CaptureDevice::PreviewTick() {
  if (capturing_) return;
  int width = 0;
  int height = 0;
  {
    std::lock_guard driverLock(driverMutex_);
    if (!driver_ || !driver_->GrabFrame(previewFrame_, FrameClock::now())) return;
    width = driver_->Width();
    height = driver_->Height();
    MeasureMotionLocked(previewFrame_.data(), previewFrame_.size());
  }
  // Only the owner thread runs ticks and only it replaces the preview frame, so the pixels stay
  // put while the window copies them.
  if (CaptureWindow* window = window_.data()) window->ShowFrame(previewFrame_.data(), width, height);
}

void CaptureDevice::MeasureFrame(uint8_t* frame, size_t length) {
  std::lock_guard driverLock(driverMutex_);
  MeasureMotionLocked(frame, length);
}

void CaptureDevice::MeasureMotionLocked(uint8_t* frame, size_t length) {
  const int mode = motionMode_;
  if (capturing_ || frame == nullptr ||
      (mode != static_cast<int>(QXMOTION_MEASURE) && mode != static_cast<int>(QXMOTION_SHOW))) {
    return;
  }
  motionLevel_ = motion_.Measure(frame, length, mode == static_cast<int>(QXMOTION_SHOW));
}

bool CaptureDevice::GrabWithinDeadline(std::vector<uint8_t>& frame, int& width, int& height) {
  const FrameClock::time_point grabStart = FrameClock::now();
  const uint32_t deadline =
      qv::GetTickCount32() + static_cast<uint32_t>(qv::GetTimings().grabDeadlineMs);
  width = 0;
  height = 0;
  for (;;) {
    if (TakeFrame(frame, width, height, grabStart)) break;
    if (qv::TickDiff(qv::GetTickCount32(), deadline) >= 0) break;
    qv::SleepMs(1);
  }
  motionLevel_ = 0;
  return width > 0 && height > 0 &&
         frame.size() >= static_cast<size_t>(width) * static_cast<size_t>(height) * 3;
}

bool CaptureDevice::TakeFrame(std::vector<uint8_t>& frame, int& width, int& height,
                              FrameClock::time_point grabStart) {
  std::lock_guard driverLock(driverMutex_);
  if (!driver_ || !driver_->GrabFrame(frame, grabStart)) return false;
  width = driver_->Width();
  height = driver_->Height();
  return true;
}

void CaptureDevice::PictureSize(int& width, int& height) {
  std::lock_guard driverLock(driverMutex_);
  width = driver_ ? driver_->Width() : 0;
  height = driver_ ? driver_->Height() : 0;
}

int CaptureDevice::OpenDialog(unsigned long kind, std::atomic<int>& streamQuality) {
  CaptureWindow* window = window_.data();
  QCoreApplication* application = QCoreApplication::instance();
  // Dialogs are widgets: they need a running application and the owner must be its GUI thread.
  if (window == nullptr || qobject_cast<QApplication*>(application) == nullptr ||
      window->thread() != application->thread()) {
    return 0;
  }
  if (OnThreadOf(window)) return RunDialog(kind, streamQuality);
  std::atomic<int> answer{0};
  // The device stays alive while its owner runs the dialog.
  std::shared_ptr<CaptureDevice> self = shared_from_this();
  QMetaObject::invokeMethod(
      window, [&] { answer = self->RunDialog(kind, streamQuality); },
      Qt::BlockingQueuedConnection);
  return answer.load();
}

int CaptureDevice::RunDialog(unsigned long kind, std::atomic<int>& streamQuality) {
  CaptureWindow* window = window_.data();
  if (window == nullptr) return 0;
  QWidget* parent = window->parentWidget();
  int answer = 0;
  if (kind == QXDLG_FORMAT) {
    std::vector<FrameFormat> formats;
    FrameFormat current;
    {
      std::lock_guard driverLock(driverMutex_);
      if (!driver_ || !driver_->Caps().hasFormatDialog) return 0;
      formats = driver_->Formats();
      current = driver_->CurrentFormat();
    }
    if (formats.empty()) return 0;
    FrameFormat chosen;
    if (RunFormatDialog(parent, formats, current, chosen) && !(chosen == current)) {
      std::lock_guard driverLock(driverMutex_);
      if (driver_) (void)driver_->SetFormat(chosen);
    }
    answer = 1;
  } else if (kind == QXDLG_SOURCE) {
    std::vector<DriverControl> controls;
    {
      std::lock_guard driverLock(driverMutex_);
      if (driver_) controls = driver_->Controls();
    }
    if (controls.empty()) return 0;
    const std::vector<DriverControl> before = controls;
    if (RunSourceDialog(parent, controls)) {
      std::lock_guard driverLock(driverMutex_);
      for (size_t i = 0; driver_ && i < controls.size(); ++i) {
        if (controls[i].value != before[i].value) {
          (void)driver_->SetControl(controls[i].id, controls[i].value);
        }
      }
    }
    answer = 1;
    RefreshCaps();
  } else if (kind == QXDLG_COMPRESSION) {
    int quality = streamQuality;
    if (RunCompressionDialog(parent, quality)) streamQuality = quality;
    answer = 1;
  } else {
    return 0;  // no display dialog: the picture is drawn by the preview itself
  }
  {
    // The picture size may have changed: the preview follows it at once.
    std::lock_guard lock(mutex_);
    if (!closing_ && displayMode_ != static_cast<int>(QXDISP_NONE)) PlaceWindowLocked();
  }
  window = window_.data();
  if (window != nullptr) window->RefreshParent();
  return answer;
}

}  // namespace qxcore
