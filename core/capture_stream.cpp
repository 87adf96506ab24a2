#include "core/capture_stream.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

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

void CaptureStream::Run() {
  Status(kStatusCaptureBegin);
  Record();
  recording_ = false;
  Status(kStatusCaptureEnd);
  // A status sequence that never reached the copy still ends the claim.
  if (claimHeld_.exchange(false)) device_->ReleaseClaim();
}

void CaptureStream::Record() {
  int width = 0;
  int height = 0;
  device_->PictureSize(width, height);
  AviWriter writer;
  if (!writer.Open(settings_.captureFile, width, height, kStreamMicroSecondsPerFrame,
                   FileCreation::kFresh)) {
    copyFailed_ = true;
    return;
  }
  using Clock = std::chrono::steady_clock;
  const auto frameInterval = std::chrono::microseconds(kStreamMicroSecondsPerFrame);
  const uint64_t frameLimit = settings_.seconds > 0 ? static_cast<uint64_t>(settings_.seconds) * 15 : 0;
  const auto start = Clock::now();
  std::vector<uint8_t> frame;
  std::vector<uint8_t> jpeg;
  uint64_t index = 0;
  while (!stop_ && (frameLimit == 0 || index < frameLimit)) {
    const auto due = start + frameInterval * index;
    auto now = Clock::now();
    while (now < due && !stop_) {
      const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - now).count();
      qv::SleepMs(std::clamp<int64_t>(wait, 1, 5));
      now = Clock::now();
    }
    if (stop_) break;
    // Behind by a whole frame or more: the slot repeats the last picture, so the stream keeps
    // its 15 frames per second of real time.
    const bool late = now >= due + frameInterval && !jpeg.empty();
    if (!late) {
      int frameWidth = 0;
      int frameHeight = 0;
      const bool grabbed =
          device_->TakeFrame(frame, frameWidth, frameHeight, FrameClock::now()) &&
          frameWidth == width && frameHeight == height;
      if (grabbed) {
        std::vector<uint8_t> encoded;
        if (EncodeJpeg(frame.data(), width, height, JpegInput::kBgr, settings_.quality, encoded)) {
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
  if (!writer.Close()) copyFailed_ = true;
}

void CaptureStream::SaveAs() {
  Status(kStatusSaveAsPercent);
  std::error_code error;
  const bool copied = !copyFailed_ && !settings_.destination.empty() &&
                      std::filesystem::copy_file(settings_.captureFile, settings_.destination,
                                                 std::filesystem::copy_options::overwrite_existing,
                                                 error);
  if (!copied) copyFailed_ = true;
  Status(kStatusCleared);
}

void CaptureStream::Status(int statusId) {
  if (settings_.observer) settings_.observer(statusId);
  switch (statusId) {
    case kStatusCaptureBegin:
      saving_ = false;
      break;
    case kStatusCaptureEnd:
      SaveAs();
      break;
    case kStatusSaveAsPercent:
      saving_ = true;
      break;
    case kStatusCleared:
      if (saving_) {
        // A capture file that did not reach its destination is kept rather than lost.
        if (!copyFailed_) std::remove(settings_.captureFile.c_str());
        saving_ = false;
        if (claimHeld_.exchange(false)) device_->ReleaseClaim();
      }
      break;
    default:
      break;
  }
}

}  // namespace qxcore
