// One stream capture: a thread of its own records the device's frames as a Motion-JPEG AVI into
// the capture file, copies the file to its destination when the recording ends, and reports
// each step through the status ids below (as the capture window's status callback did).
//
// Threads and locks: the capture core makes, stops and joins a stream from any thread; the
// recording and the copy run on the stream's thread. The stream has no lock: what its thread
// reads is fixed before the thread starts, and what it shares is atomic. It takes frames through
// CaptureDevice::TakeFrame and gives the claim back through CaptureDevice::ReleaseClaim, holding
// nothing of its own, and the device never calls a stream, so the two never wait for each other.
// The stream thread never takes the capture core's lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace qxcore {

class CaptureDevice;

// Status ids of a stream capture, passed to the status handler in this order: begin, end,
// save-as progress, cleared.
inline constexpr int kStatusCleared = 0;
inline constexpr int kStatusCaptureBegin = 300;
inline constexpr int kStatusCaptureEnd = 301;
inline constexpr int kStatusSaveAsPercent = 417;

// Name of the capture file inside the capture temp folder.
inline constexpr const char* kStreamTempName = "_QX0001_";

// Frame interval of recorded streams: 15 frames per second.
inline constexpr uint32_t kStreamMicroSecondsPerFrame = 66667;

using StatusObserver = std::function<void(int statusId)>;

class CaptureStream {
 public:
  struct Settings {
    std::string captureFile;  // where the recording is written first
    std::string destination;  // where it is copied when it ends; empty: the copy fails
    long seconds = 0;         // above 0: the length of the recording; else until RequestStop
    int quality = 75;         // Motion-JPEG quality of the frames
    StatusObserver observer;  // sees every status id first; may be empty
  };

  // Starts recording `device`, whose claim the caller holds. The stream gives the claim back
  // once the copy is over (cleared status while saving), or at the latest when its thread ends.
  CaptureStream(std::shared_ptr<CaptureDevice> device, Settings settings);
  // Joins the thread (which ends by itself or after RequestStop).
  ~CaptureStream();
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  // Asks the recording to end at its next frame; the copy follows.
  void RequestStop() { stop_ = true; }
  // True until the recording has ended (the copy may still be under way).
  [[nodiscard]] bool recording() const { return recording_.load(); }
  // Waits for the thread to end. Not from the stream's own thread.
  void Join();

 private:
  void Run();
  void Record();
  void SaveAs();
  void Status(int statusId);

  std::shared_ptr<CaptureDevice> device_;
  const Settings settings_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> recording_{true};
  std::atomic<bool> saving_{false};
  std::atomic<bool> copyFailed_{false};
  std::atomic<bool> claimHeld_{true};
  std::thread thread_;
};

}  // namespace qxcore
