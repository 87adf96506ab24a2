// The exported capture surface: the process-wide capture state behind every QX export. The
// exports in qxdvcore.h forward here one to one; their contracts are stated there. It keeps the
// library's own state (started flag, device table, temporary folder, stream settings) and owns
// the started device (CaptureDevice) and the current stream (CaptureStream), which do the work.
//
// Threads and locks: `mutex_` guards the fields below. While holding it the surface may call a
// device member that takes the device's own locks, ask a stream whether it records or tell it
// to stop (which take the stream's own lock; neither lock is held while `mutex_` is taken),
// start a stream, or join a stream whose recording has ended (a stream thread never takes
// `mutex_`). It is never held while a grab runs, a dialog is shown, a running stream is waited
// for, or the clean-up pauses. Every member may be called from any thread; which thread owns
// the device's window is stated in capture_device.h.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/capture_device.h"
#include "core/capture_driver.h"
#include "core/capture_stream.h"
#include "core/qxdvcore.h"

namespace qxcore {

// Name of the single-frame file inside the capture temp folder.
inline constexpr const char* kSingleFrameTempName = "_QX0000_";

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
  int IsCapturing();

  // The frame callback: runs the motion measure on `length` bytes at `frame` (which it may
  // turn into the difference picture). False when no device is started.
  bool FrameCallback(uint8_t* frame, size_t length);

  // The folder of the temporary files, ending in '/'.
  [[nodiscard]] std::string TempFolder();
  // Motion-JPEG quality of recorded streams (the compression dialog changes it).
  [[nodiscard]] int streamQuality() const { return streamQuality_.load(); }

  // Observes every status id of the streams started from now on. For tests.
  void SetStatusObserverForTesting(StatusObserver observer);

 private:
  CaptureCore();

  // The started device, or null with the refusal traced: no device, or (`claim`) the device
  // refuses a claim. With `claim` the caller holds the device's claim on success.
  std::shared_ptr<CaptureDevice> DeviceLocked(bool claim);
  // The current stream taken out, so it can be joined without the lock.
  std::unique_ptr<CaptureStream> TakeStream();

  struct TableEntry {
    char name[256];
    int driverIndex;
    DriverEntry driver;
  };

  std::mutex mutex_;
  bool started_ = false;
  std::vector<TableEntry> table_;
  int current_ = -1;
  QXSTARTUPDEVICEINFO startupInfo_{};
  std::shared_ptr<CaptureDevice> device_;
  std::unique_ptr<CaptureStream> stream_;
  std::string tempFolder_;
  bool ownTempFolder_ = false;
  StatusObserver statusObserver_;
  std::atomic<int> streamQuality_{75};
};

}  // namespace qxcore
