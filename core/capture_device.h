// One started capture device: the connected driver, its capture window, the display and motion
// state, the capture claim that grabs and streams hold, single-frame grabs, preview frames and
// the device dialogs.
//
// Threads and locks:
// - The device is started on the thread that calls Start (the owner thread), which owns the
//   capture window. Every other member may be called from any thread.
// - `mutex_` guards the display state, the window values and the claim (capturing flag, closing
//   mark). `driverMutex_` guards the driver, the preview frame and the motion meter. A thread
//   that needs both takes `mutex_` first.
// - No lock is held while waiting for another thread: widget work is handed to the owner
//   thread's event loop without waiting, and a dialog asked for from another thread is waited
//   for with no lock held. WaitUntilUnclaimed waits on `mutex_`'s condition, which releases it.
// - The device never calls into a stream. A stream calls TakeFrame and ReleaseClaim holding no
//   lock of its own, so the two never wait for each other.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include <QPointer>

#include "core/capture_driver.h"
#include "core/motion.h"

class QWidget;

namespace qxcore {

class CaptureWindow;

// Preview interval set when a device starts, in milliseconds.
inline constexpr int kDefaultPreviewIntervalMs = 17;

class CaptureDevice : public std::enable_shared_from_this<CaptureDevice> {
 public:
  // Connects the driver of `entry` and creates the capture window on the calling thread, with
  // its preview widget inside `parent` when given. Display mode 1, window values 0, the
  // capabilities refreshed, the preview interval kDefaultPreviewIntervalMs. Null when the
  // driver refuses (no window is left behind).
  [[nodiscard]] static std::shared_ptr<CaptureDevice> Start(const DriverEntry& entry,
                                                            QWidget* parent);
  ~CaptureDevice();
  CaptureDevice(const CaptureDevice&) = delete;
  CaptureDevice& operator=(const CaptureDevice&) = delete;

  // --- The claim -------------------------------------------------------------------------
  enum class Claim { kGranted, kBusy, kClosing };
  // Sets the capturing flag when nothing captures and the device is not closing.
  [[nodiscard]] Claim TryClaim();
  // Clears the capturing flag and wakes WaitUntilUnclaimed.
  void ReleaseClaim();
  [[nodiscard]] bool capturing() const { return capturing_.load(); }
  // Marks the device closing, so every later claim is refused. False when it already was.
  [[nodiscard]] bool BeginClosing();
  [[nodiscard]] bool closing();
  // Waits until no claim is held.
  void WaitUntilUnclaimed();

  // Display off, motion level 0 and the motion meter emptied: the first step of a clean-up.
  void SwitchOff();
  // Disconnects the driver and removes the capture window (at once on the owner thread, else
  // through its event loop). Claims must be over.
  void Disconnect();

  // --- States (codes of qxdvcore.h) ------------------------------------------------------
  // Reads one state into `value` (0 first); 0 for a code the device does not answer.
  [[nodiscard]] int GetState(unsigned long type, unsigned long& value);
  // Changes one state; 0 for a read-only code or a value the device does not support.
  [[nodiscard]] int SetState(unsigned long type, unsigned long value);
  // Refreshes the cached capabilities from `captureWindow` (anything but this device's window
  // reads as a driver without capabilities); motion mode back to off, level 0.
  void RefreshCaps(void* captureWindow);
  // Refreshes the capabilities from the device's own window.
  void RefreshCaps();
  void SetPreviewIntervalMs(int milliseconds);
  // The capture window, as QXST_WINDOW_HANDLE reports it.
  [[nodiscard]] CaptureWindow* window() const;

  // --- Frames ----------------------------------------------------------------------------
  // Grabs one frame within the grab deadline: BGR pixels, rows top to bottom, with their size.
  // Sets the motion level to 0 whether or not a frame came. False when none came.
  [[nodiscard]] bool GrabWithinDeadline(std::vector<uint8_t>& frame, int& width, int& height);
  // Takes the newest frame the driver has ready, without waiting (see CaptureDriver::GrabFrame
  // for `grabStart`).
  [[nodiscard]] bool TakeFrame(std::vector<uint8_t>& frame, int& width, int& height,
                               FrameClock::time_point grabStart);
  // Size of the frames the driver delivers now (0 x 0 once disconnected).
  void PictureSize(int& width, int& height);
  // The frame callback: the motion measure on `length` bytes at `frame`, which may turn into
  // the difference picture.
  void MeasureFrame(uint8_t* frame, size_t length);

  // --- Dialogs ---------------------------------------------------------------------------
  // Runs dialog `kind` modally on the owner thread (waiting for it from any other thread) and
  // returns 1 once it was shown; 0 when the owner thread is not the GUI thread of a running
  // QApplication, for an unknown kind, or a dialog the device lacks. The compression dialog
  // edits `streamQuality`; the format and source dialogs apply their result to the driver.
  [[nodiscard]] int OpenDialog(unsigned long kind, std::atomic<int>& streamQuality);

 private:
  CaptureDevice() = default;

  // Each of these expects `mutex_` held.
  int SetDisplayLocked(unsigned long mode);
  int GetStateLocked(unsigned long type, unsigned long& value);
  void PlaceWindowLocked();
  void RefreshCapsLocked(void* captureWindow);

  // Runs `work` on the owner thread of the window: now when the caller is the owner, else
  // through the owner's event loop without waiting.
  void WithWindow(std::function<void(CaptureWindow&)> work);
  void PreviewTick();
  // The motion measure; expects `driverMutex_` held.
  void MeasureMotionLocked(uint8_t* frame, size_t length);
  int RunDialog(unsigned long kind, std::atomic<int>& streamQuality);

  std::mutex mutex_;
  std::condition_variable unclaimed_;
  bool closing_ = false;
  int displayMode_ = 1;
  int displayCaps_ = 0;
  int windowX_ = 0;
  int windowY_ = 0;
  int windowWidth_ = 0;
  int windowHeight_ = 0;
  int dialogCaps_ = 0;

  std::mutex driverMutex_;
  std::unique_ptr<CaptureDriver> driver_;
  std::vector<uint8_t> previewFrame_;
  MotionMeter motion_;

  QPointer<CaptureWindow> window_;
  std::atomic<bool> capturing_{false};
  std::atomic<int> motionMode_{1};
  std::atomic<int> motionLevel_{0};
};

}  // namespace qxcore
