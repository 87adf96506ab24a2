#include "core/capture_stream.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "core/avi_writer.h"
#include "core/capture_device.h"
#include "core/jpeg_writer.h"
#include "platform/timing.h"

namespace qxcore {

CaptureStream::CaptureStream(std::shared_ptr<CaptureDevice> device, Settings settings)
    : device_(std::move(device)), settings_(std::move(settings)) {
  thread_ = std::thread([this] { Run(); });
}

CaptureStream::~CaptureStream() { Join(); }

void CaptureStream::Join() {
  if (thread_.joinable()) thread_.join();
}

void CaptureStream::RequestStop() {
  {
    std::lock_guard lock(mutex_);
    stopRequested_ = true;
  }
  stopped_.notify_all();
}

bool CaptureStream::recording() const {
  std::lock_guard lock(mutex_);
  return recording_;
}

void CaptureStream::Run() {
  Notify(kStatusCaptureBegin);
  const bool recorded = Record();
  {
    std::lock_guard lock(mutex_);
    recording_ = false;
  }
  Notify(kStatusCaptureEnd);
  Notify(kStatusSaveAsPercent);
  const bool copied = recorded && CopyToDestination();
  Notify(kStatusCleared);
  // A capture file that did not reach its destination is kept rather than lost.
  if (copied) std::remove(settings_.captureFile.c_str());
  device_->ReleaseClaim();
}

bool CaptureStream::Record() {
  int width = 0;
  int height = 0;
  device_->PictureSize(width, height);
  AviWriter writer;
  if (!writer.Open(settings_.captureFile, width, height, kStreamMicroSecondsPerFrame, FileCreation::kFresh)) {
    return false;
  }
  const auto frameInterval = std::chrono::microseconds(kStreamMicroSecondsPerFrame);
  const uint64_t frameLimit =
      settings_.seconds > 0 ? static_cast<uint64_t>(settings_.seconds) * kStreamFramesPerSecond : 0;
  const auto start = Clock::now();
  std::vector<uint8_t> frame;
  std::vector<uint8_t> jpeg;
  uint64_t index = 0;
  while (frameLimit == 0 || index < frameLimit) {
    const auto due = start + frameInterval * index;
    if (!WaitForSlot(due)) break;
    // Behind by a whole frame or more: the slot repeats the last picture, so the stream keeps
    // its frame rate in real time.
    const bool late = Clock::now() >= due + frameInterval && !jpeg.empty();
    if (!late && !TakePicture(width, height, frame, jpeg) && jpeg.empty()) {
      // No picture yet: wait for the first one, as long as a grab would.
      if (Clock::now() - start > std::chrono::milliseconds(qv::GetTimings().grabDeadlineMs)) break;
      qv::SleepMs(1);
      continue;
    }
    if (!writer.AddFrame(jpeg.data(), jpeg.size())) break;  // size limit or write error
    ++index;
  }
  return writer.Close();
}

bool CaptureStream::WaitForSlot(Clock::time_point due) {
  std::unique_lock lock(mutex_);
  return !stopped_.wait_until(lock, due, [this] { return stopRequested_; });
}

bool CaptureStream::TakePicture(int width, int height, std::vector<uint8_t>& frame, std::vector<uint8_t>& jpeg) {
  int frameWidth = 0;
  int frameHeight = 0;
  if (!device_->TakeFrame(frame, frameWidth, frameHeight, FrameClock::now()) || frameWidth != width ||
      frameHeight != height) {
    return false;
  }
  std::vector<uint8_t> encoded;
  if (!EncodeJpeg(frame.data(), width, height, JpegInput::kBgr, settings_.quality, encoded)) return false;
  jpeg = std::move(encoded);
  return true;
}

bool CaptureStream::CopyToDestination() const {
  if (settings_.destination.empty()) return false;
  std::error_code error;
  return std::filesystem::copy_file(settings_.captureFile, settings_.destination,
                                    std::filesystem::copy_options::overwrite_existing, error);
}

void CaptureStream::Notify(int statusId) const {
  if (settings_.observer) settings_.observer(statusId);
}

}  // namespace qxcore
