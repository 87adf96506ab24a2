// One stream capture: a thread of its own records the device's frames as a Motion-JPEG AVI into
// the capture file, copies the file to its destination when the recording ends, deletes the
// capture file once it is there, and gives the device's claim back. Each step is told to the
// status observer with the ids below (as the capture window's status callback did); the
// observer only watches.
//
// Threads and locks: the capture core makes, stops and joins a stream from any thread; the
// recording and the copy run on the stream's thread. What the two share, the stop request and
// whether the recording still runs, sits behind the stream's mutex; the recording waits for
// each frame's moment on its condition variable, so a stop request ends the wait at once.
// Everything else belongs to the stream's thread. The stream takes frames through
// CaptureDevice::TakeFrame and gives the claim back through CaptureDevice::ReleaseClaim, with
// its mutex free, and the device never calls a stream, so the two never wait for each other.
// The stream thread never takes the capture core's lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// Frame rate of recorded streams, and the frame interval their AVI header states (rounded to
// whole microseconds: 66667).
inline constexpr uint32_t kStreamFramesPerSecond = 15;
inline constexpr uint32_t kStreamMicroSecondsPerFrame =
    (1000000 + kStreamFramesPerSecond / 2) / kStreamFramesPerSecond;

using StatusObserver = std::function<void(int statusId)>;

class CaptureStream {
 public:
  struct Settings {
    std::string captureFile;  // where the recording is written first
    std::string destination;  // where it is copied when it ends; empty: the copy fails
    long seconds = 0;         // above 0: the length of the recording; else until RequestStop
    int quality = 75;         // Motion-JPEG quality of the frames
    StatusObserver observer;  // sees every status id; may be empty
  };

  // Starts recording `device`, whose claim the caller holds. The stream gives the claim back as
  // the last step of its thread, after the copy and the cleared status.
  CaptureStream(std::shared_ptr<CaptureDevice> device, Settings settings);
  // Joins the thread (which ends by itself or after RequestStop).
  ~CaptureStream();
  CaptureStream(const CaptureStream&) = delete;
  CaptureStream& operator=(const CaptureStream&) = delete;

  // Asks the recording to end: no frame is taken after a frame being taken now; the copy
  // follows.
  void RequestStop();
  // True until the recording has ended (the copy may still be under way).
  [[nodiscard]] bool recording() const;
  // Waits for the thread to end. Not from the stream's own thread.
  void Join();

 private:
  using Clock = std::chrono::steady_clock;

  // The stream's thread: record, end, copy, release.
  void Run();
  // Records until the time is up, a stop is requested or the file is full; false when the
  // capture file could not be written.
  [[nodiscard]] bool Record();
  // Waits for the moment `due`; false when a stop was requested first.
  [[nodiscard]] bool WaitForSlot(Clock::time_point due);
  // Takes the device's picture and encodes it into `jpeg`; false (`jpeg` as it was) when no
  // picture of the stream's size came or it could not be encoded.
  bool TakePicture(int width, int height, std::vector<uint8_t>& frame, std::vector<uint8_t>& jpeg);
  // Copies the capture file to the destination; true when it arrived.
  [[nodiscard]] bool CopyToDestination() const;
  void Notify(int statusId) const;

  std::shared_ptr<CaptureDevice> device_;
  const Settings settings_;
  mutable std::mutex mutex_;
  std::condition_variable stopped_;  // announces a stop request
  bool stopRequested_ = false;
  bool recording_ = true;
  std::thread thread_;
};

}  // namespace qxcore
