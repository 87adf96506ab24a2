// The process-wide capture state block and the work behind every QX export. The exports in
// qxdvcore.h forward here one to one; their contracts are stated there. This header adds what
// the library's own parts and its tests need.
//
// Threads and locks: one lock guards the state block; the driver of the started device has
// its own lock, taken after the state lock when both are needed. Data calls (states, grabs,
// streams, capabilities) run on the calling thread under these locks, so they never wait for
// the owner thread. Widget work (preview on and off, placement, preview rate, tear-down) runs
// on the owner thread: at once when the caller is the owner, otherwise handed to its event
// loop. Dialogs run on the owner thread (which must be the GUI thread); a caller on another
// thread waits for them. The capturing and saving flags and the motion level are atomics.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/capture_driver.h"
#include "core/qxdvcore.h"

namespace qxcore {

// Status ids of a stream capture, passed to the status handler in this order: begin, end,
// save-as progress, cleared.
inline constexpr int kStatusCleared = 0;
inline constexpr int kStatusCaptureBegin = 300;
inline constexpr int kStatusCaptureEnd = 301;
inline constexpr int kStatusSaveAsPercent = 417;

// Temporary file names inside the capture temp folder.
inline constexpr const char* kSingleFrameTempName = "_QX0000_";
inline constexpr const char* kStreamTempName = "_QX0001_";

// Preview interval set when a device starts, in milliseconds.
inline constexpr int kDefaultPreviewIntervalMs = 17;
// Frame interval of recorded streams: 15 frames per second.
inline constexpr uint32_t kStreamMicroSecondsPerFrame = 66667;

class CaptureWindow;
struct Device;

class CaptureCore {
 public:
  static CaptureCore& Instance();

  int Startup();
  int Cleanup();
  int DeviceCount();
  int CurrentDevice();
  int DeviceNumber(const char* name);
  int DeviceInfo(QXDEVICEINFO* info, int deviceNo);
  int StartupDevice(const QXSTARTUPDEVICEINFO* info, int deviceNo);
  int CleanupDevice();
  int GetCaptureCaps(void* captureWindow);
  int ReConnectDevice();
  int SetDeviceState(unsigned long type, unsigned long value);
  int GetDeviceState(unsigned long type, unsigned long* value);
  void SetPreviewRate(int framesPerSecond);
  int OpenDialog(unsigned long kind);
  int CaptureSingleFrame(const char* file, unsigned long flags);
  int StartCapture(const char* file, long seconds);
  int StopCapture();
  int IsCapturing() const { return capturing_.load() ? 1 : 0; }

  // The frame callback: runs the motion measure on `length` bytes at `frame` (which it may
  // turn into the difference picture). False when no device is started.
  bool FrameCallback(uint8_t* frame, size_t length);
  // The status callback of stream capture; always true.
  bool StatusCallback(int statusId);

  // The folder of the temporary files, ending in '/'.
  [[nodiscard]] std::string TempFolder();
  // Motion-JPEG quality of recorded streams (the compression dialog changes it).
  [[nodiscard]] int streamQuality() const { return streamQuality_.load(); }

  // Observes every status id the status callback receives. For tests.
  void SetStatusObserverForTesting(std::function<void(int)> observer);

 private:
  // With mutex_ held: sets the capturing flag when a device is started and nothing captures;
  // otherwise traces why not and returns false.
  bool ClaimForCaptureLocked();
  CaptureCore();

  // Each of these expects the state lock held.
  void RefreshCapsLocked(void* captureWindow);
  int SetDisplayLocked(unsigned long mode);
  int GetStateLocked(unsigned long type, unsigned long& value);
  void PlaceWindowLocked();
  void ClearStateLocked();

  // Runs `work` on the owner thread of the window: now when the caller is the owner, else
  // through the owner's event loop without waiting.
  void WithWindow(std::function<void(CaptureWindow&)> work);
  void PreviewTick(const std::weak_ptr<Device>& weakDevice);
  // The motion measure; expects the device's driver lock held.
  void MeasureMotionLocked(Device& device, uint8_t* frame, size_t length);
  void StreamLoop(std::shared_ptr<Device> device, long seconds);
  void SaveStreamAs();
  int RunDialog(const std::shared_ptr<Device>& device, unsigned long kind);
  void JoinStream();

  struct TableEntry {
    char name[256];
    int driverIndex;
    DriverEntry driver;
  };

  std::mutex mutex_;
  std::condition_variable grabsDone_;
  bool started_ = false;
  std::vector<TableEntry> table_;
  int current_ = -1;
  QXSTARTUPDEVICEINFO startupInfo_{};
  std::shared_ptr<Device> device_;
  std::string tempFolder_;
  bool ownTempFolder_ = false;
  std::string streamDestination_;
  int displayMode_ = 1;
  int displayCaps_ = 0;
  int windowX_ = 0;
  int windowY_ = 0;
  int windowWidth_ = 0;
  int windowHeight_ = 0;
  int dialogCaps_ = 0;
  int grabsRunning_ = 0;
  std::thread streamThread_;
  std::function<void(int)> statusObserver_;

  std::atomic<bool> capturing_{false};
  std::atomic<bool> saving_{false};
  std::atomic<int> motionMode_{1};
  std::atomic<int> motionLevel_{0};
  std::atomic<bool> streamRecording_{false};
  std::atomic<bool> stopStream_{false};
  std::atomic<bool> streamCopyFailed_{false};
  std::atomic<int> streamQuality_{75};
};

}  // namespace qxcore
