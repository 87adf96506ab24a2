#include "core/capture_core.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include <strings.h>

#include "core/bmp_writer.h"
#include "core/trace.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace qxcore {
namespace {

constexpr const char* kNotStarted = "QXCore: Device is not started up.\n";
constexpr const char* kBusy = "QXCore: Device is being used for capturing.\n";
constexpr const char* kInvalidDevice = "QXCore: Invalid device number.\n";

}  // namespace

CaptureCore& CaptureCore::Instance() {
  // Never destroyed: a stream thread or a window may outlive the last static destructor.
  static CaptureCore* instance = new CaptureCore;
  return *instance;
}

CaptureCore::CaptureCore() = default;

std::string CaptureCore::TempFolder() {
  std::lock_guard lock(mutex_);
  if (tempFolder_.empty()) {
    // Only a private folder keeps the fixed temporary names away from other users' files: when
    // it cannot be made there is none, and the calls that need it fail.
    tempFolder_ = qv::MakeWorkFolder("quorvex-capture-");
    ownTempFolder_ = !tempFolder_.empty();
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
    table_.clear();
    if (!device_) {
      current_ = -1;
      startupInfo_ = {};
    }
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
  device_ = CaptureDevice::Start(table_[static_cast<size_t>(deviceNo)].driver,
                                 info != nullptr ? info->hwndParent : nullptr);
  if (!device_) return 0;
  startupInfo_ = info != nullptr ? *info : QXSTARTUPDEVICEINFO{};
  current_ = deviceNo;
  return 1;
}

std::shared_ptr<CaptureDevice> CaptureCore::DeviceLocked(bool claim) {
  if (!device_) {
    Trace(kNotStarted);
    return nullptr;
  }
  if (claim) {
    switch (device_->TryClaim()) {
      case CaptureDevice::Claim::kGranted:
        break;
      case CaptureDevice::Claim::kBusy:
        Trace(kBusy);
        return nullptr;
      case CaptureDevice::Claim::kClosing:
        Trace(kNotStarted);
        return nullptr;
    }
  }
  return device_;
}

std::unique_ptr<CaptureStream> CaptureCore::TakeStream() {
  std::lock_guard lock(mutex_);
  return std::move(stream_);
}

int CaptureCore::CleanupDevice() {
  std::shared_ptr<CaptureDevice> device;
  {
    // Marked closing in the same locked section that finds it, so no grab or stream can claim
    // the device after this point; the ones that already did are waited for below.
    std::lock_guard lock(mutex_);
    device = DeviceLocked(false);
    if (!device) return 0;
    if (!device->BeginClosing()) {
      Trace(kNotStarted);  // another thread is cleaning it up
      return 0;
    }
  }
  if (device->capturing()) {
    qv::SleepMs(qv::GetTimings().captureStopPauseMs);
    if (device->capturing()) (void)StopCapture();
  }
  // The recording ends and its file reaches the destination before the driver goes.
  if (std::unique_ptr<CaptureStream> stream = TakeStream()) stream->Join();
  device->WaitUntilUnclaimed();
  device->SwitchOff();
  qv::SleepMs(qv::GetTimings().driverDisconnectPauseMs);
  {
    std::lock_guard lock(mutex_);
    device_.reset();
    current_ = -1;
  }
  device->Disconnect();
  return 1;
}

int CaptureCore::GetCaptureCaps(void* captureWindow) {
  std::lock_guard lock(mutex_);
  if (device_) device_->RefreshCaps(captureWindow);
  return 1;
}

int CaptureCore::ReConnectDevice() {
  std::lock_guard lock(mutex_);
  if (device_) device_->RefreshCaps();
  return 1;
}

int CaptureCore::GetDeviceState(unsigned long type, unsigned long* value) {
  std::lock_guard lock(mutex_);
  if (!DeviceLocked(false) || value == nullptr) return 0;
  if (type == QXST_CAPFILE_EXISTS) {
    std::error_code ignored;
    *value = !tempFolder_.empty() && std::filesystem::exists(tempFolder_ + kStreamTempName, ignored);
    return 1;
  }
  return device_->GetState(type, *value);
}

int CaptureCore::SetDeviceState(unsigned long type, unsigned long value) {
  std::lock_guard lock(mutex_);
  if (!DeviceLocked(false)) return 0;
  return device_->SetState(type, value);
}

void CaptureCore::SetPreviewRate(int framesPerSecond) {
  if (framesPerSecond <= 0) return;
  std::lock_guard lock(mutex_);
  if (device_) device_->SetPreviewIntervalMs(1000 / framesPerSecond);
}

bool CaptureCore::FrameCallback(uint8_t* frame, size_t length) {
  std::shared_ptr<CaptureDevice> device;
  {
    std::lock_guard lock(mutex_);
    device = device_;
  }
  if (!device) return false;
  device->MeasureFrame(frame, length);
  return true;
}

int CaptureCore::IsCapturing() {
  std::lock_guard lock(mutex_);
  return device_ && device_->capturing() ? 1 : 0;
}

int CaptureCore::CaptureSingleFrame(const char* file, unsigned long flags) {
  std::shared_ptr<CaptureDevice> device;
  {
    std::lock_guard lock(mutex_);
    device = DeviceLocked(true);
    if (!device) return 0;
  }
  const bool jpeg = (flags & QXCAP_JPEG) != 0;
  const std::string folder = jpeg ? TempFolder() : "";
  const std::string temporary = folder.empty() ? "" : folder + kSingleFrameTempName;
  std::vector<uint8_t> frame;
  int width = 0;
  int height = 0;
  int result = 0;
  if (device->GrabWithinDeadline(frame, width, height) && file != nullptr &&
      (!jpeg || !temporary.empty())) {
    if (!jpeg) {
      result = WriteBmp24(file, frame.data(), width, height) ? 1 : 0;
    } else {
      result = WriteBmp24(temporary, frame.data(), width, height, FileCreation::kFresh) ? 1 : 0;
      (void)QXCoreBMP2JPG(temporary.c_str(), file, static_cast<int>(flags & 0xFF));
      std::remove(temporary.c_str());
    }
  }
  device->ReleaseClaim();
  return result;
}

int CaptureCore::StartCapture(const char* file, long seconds) {
  const std::string folder = TempFolder();
  std::lock_guard lock(mutex_);
  std::shared_ptr<CaptureDevice> device = DeviceLocked(true);
  if (!device) return 0;
  if (folder.empty()) {
    device->ReleaseClaim();
    return 0;
  }
  CaptureStream::Settings settings;
  settings.captureFile = folder + kStreamTempName;
  settings.destination = file != nullptr ? file : "";
  settings.seconds = seconds;
  settings.quality = streamQuality_;
  settings.observer = statusObserver_;
  // An earlier recording gave its claim back as its last step: its thread is ending.
  stream_.reset();
  stream_ = std::make_unique<CaptureStream>(device, std::move(settings));
  return 1;
}

int CaptureCore::StopCapture() {
  std::lock_guard lock(mutex_);
  if (!DeviceLocked(false)) return 0;
  if (!device_->capturing() || !stream_ || !stream_->recording() || device_->window() == nullptr) {
    return 0;
  }
  stream_->RequestStop();
  return 1;
}

void CaptureCore::SetStatusObserverForTesting(StatusObserver observer) {
  std::lock_guard lock(mutex_);
  statusObserver_ = std::move(observer);
}

int CaptureCore::OpenDialog(unsigned long kind) {
  std::shared_ptr<CaptureDevice> device;
  {
    std::lock_guard lock(mutex_);
    device = DeviceLocked(false);
    if (!device) return 0;
    if (device->closing()) {
      Trace(kNotStarted);
      return 0;
    }
    if (device->capturing()) {
      Trace(kBusy);
      return 0;
    }
  }
  return device->OpenDialog(kind, streamQuality_);
}

}  // namespace qxcore
