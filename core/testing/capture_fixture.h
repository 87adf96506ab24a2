// Helpers for the tests of the capture state block: a scripted capture driver, a fixture
// that starts the library with shrunken waits and collects the trace lines, and polling with
// an upper bound.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/capture_core.h"
#include "core/capture_driver.h"
#include "core/qxdvcore.h"
#include "core/testing/test_support.h"
#include "core/trace.h"
#include "core/v4l2_device.h"
#include "platform/timing.h"

namespace qxcore::testing {

// Shared between a test and the scripted drivers it lists.
struct ScriptedState {
  std::atomic<bool> deliver{true};        // GrabFrame succeeds
  std::atomic<int> grabAttempts{0};
  std::atomic<uint8_t> shade{90};          // every byte of a delivered frame
  std::mutex mutex;
  std::vector<std::string> connected;      // descriptions, in connection order
  std::vector<std::pair<uint32_t, int>> controlChanges;
  bool withControls = false;
};

class ScriptedDriver final : public CaptureDriver {
 public:
  explicit ScriptedDriver(std::shared_ptr<ScriptedState> state) : state_(std::move(state)) {}
  DriverCaps Caps() const override {
    DriverCaps caps;
    caps.hasFormatDialog = true;
    caps.hasSourceDialog = state_->withControls;
    return caps;
  }
  int Width() const override { return width_; }
  int Height() const override { return height_; }
  bool GrabFrame(std::vector<uint8_t>& frame, FrameClock::time_point) override {
    ++state_->grabAttempts;
    if (!state_->deliver) return false;
    frame.assign(static_cast<size_t>(width_) * height_ * 3, state_->shade.load());
    return true;
  }
  std::vector<FrameFormat> Formats() const override {
    return {{1, 32, 24, "small"}, {1, 48, 36, "large"}};
  }
  FrameFormat CurrentFormat() const override { return {1, width_, height_, ""}; }
  bool SetFormat(const FrameFormat& format) override {
    width_ = format.width;
    height_ = format.height;
    return true;
  }
  std::vector<DriverControl> Controls() const override {
    if (!state_->withControls) return {};
    DriverControl brightness;
    brightness.id = 9963776;
    brightness.name = "Brightness";
    brightness.minimum = 0;
    brightness.maximum = 255;
    brightness.value = 128;
    DriverControl automatic;
    automatic.id = 9963788;
    automatic.name = "White Balance, Automatic";
    automatic.maximum = 1;
    automatic.value = 1;
    automatic.isBoolean = true;
    return {brightness, automatic};
  }
  bool SetControl(uint32_t id, int value) override {
    std::lock_guard lock(state_->mutex);
    state_->controlChanges.emplace_back(id, value);
    return true;
  }

 private:
  std::shared_ptr<ScriptedState> state_;
  int width_ = 32;
  int height_ = 24;
};

// Drivers with the given descriptions, all scripted by `state`; a description starting with
// '!' refuses to connect.
inline DriverLister ScriptedLister(std::vector<std::string> descriptions,
                                   std::shared_ptr<ScriptedState> state) {
  return [descriptions, state] {
    std::vector<DriverEntry> entries;
    for (const std::string& description : descriptions) {
      entries.push_back({description, [description, state]() -> std::unique_ptr<CaptureDriver> {
                           if (description[0] == '!') return nullptr;
                           std::lock_guard lock(state->mutex);
                           state->connected.push_back(description);
                           return std::make_unique<ScriptedDriver>(state);
                         }});
    }
    return entries;
  };
}

// Waits until `condition` holds, at most `limitMs`; runs `pump` between tests (e.g. to
// process Qt events). True when it held.
inline bool WaitUntil(const std::function<bool()>& condition, int limitMs = 20000,
                      const std::function<void()>& pump = {}) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (pump) {
      pump();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  return true;
}

// Starts the library for each test with the clean-up pauses shrunk, records the trace lines,
// and leaves everything as it found it.
class CaptureFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    savedTimings_ = qv::GetTimings();
    qv::Timings timings = savedTimings_;
    timings.captureStopPauseMs = 5;
    timings.driverDisconnectPauseMs = 1;
    qv::SetTimings(timings);
    previousHook_ = SetTraceHook([this](const std::string& line) {
      std::lock_guard lock(linesMutex_);
      lines_.push_back(line);
    });
    unsetenv("QUORVEX_TEST_FRAME");
    setenv("QUORVEX_TEST_DEVICES", "Camera One,Camera Two", 1);
    (void)QXCleanup();
    ASSERT_EQ(QXStartup(), 1);
    ClearLines();
    v4l2Nodes_ = static_cast<int>(ListV4l2CaptureNodes("/dev").size());
  }

  void TearDown() override {
    (void)QXCleanup();
    CaptureCore::Instance().SetStatusObserverForTesting({});
    SetDriverListerForTesting({});
    SetTraceHook(previousHook_);
    qv::SetTimings(savedTimings_);
    unsetenv("QUORVEX_TEST_DEVICES");
    unsetenv("QUORVEX_TEST_FRAME");
  }

  std::vector<std::string> Lines() {
    std::lock_guard lock(linesMutex_);
    return lines_;
  }
  void ClearLines() {
    std::lock_guard lock(linesMutex_);
    lines_.clear();
  }
  bool Traced(const std::string& line) {
    for (const std::string& seen : Lines()) {
      if (seen == line) return true;
    }
    return false;
  }

  // Lists the devices and starts the first one without a parent window.
  void StartFirstDevice(QWidget* parent = nullptr) {
    ASSERT_GE(QXGetDeviceCount(), 1);
    QXSTARTUPDEVICEINFO info{parent, parent};
    ASSERT_EQ(QXStartupDevice(&info, 0), 1);
  }

  unsigned long State(unsigned long type) {
    unsigned long value = 0xDEAD;
    EXPECT_EQ(QXGetDeviceState(type, &value), 1) << std::hex << type;
    return value;
  }

  qv::Timings savedTimings_;
  TraceHook previousHook_;
  std::mutex linesMutex_;
  std::vector<std::string> lines_;
  int v4l2Nodes_ = 0;
  WorkFolder folder_;
};

}  // namespace qxcore::testing
