#include "platform/timing.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace qv {
namespace {
std::mutex timingsMutex;
Timings currentTimings;
}  // namespace

uint32_t GetTickCount32() {
  auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

namespace {
std::atomic<bool> abortRequested{false};
}  // namespace

void RequestAbort() { abortRequested.store(true); }
bool AbortRequested() { return abortRequested.load(); }
void ClearAbort() { abortRequested.store(false); }

void SleepMs(int64_t ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (ms > 0 && !AbortRequested()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::min<int64_t>(ms, kAbortCheckMs)));
    ms = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
  }
}

const Timings& GetTimings() {
  // The record is written only at start-up (before any worker runs) and by tests.
  return currentTimings;
}

void SetTimings(const Timings& timings) {
  std::lock_guard lock(timingsMutex);
  currentTimings = timings;
}

void ScaleTimings(double factor) {
  if (factor < 0) factor = 0;
  std::lock_guard lock(timingsMutex);
  Timings t = currentTimings;
  auto scale = [factor](int64_t& ms) { ms = static_cast<int64_t>(static_cast<double>(ms) * factor); };
  for (int64_t* field : {&t.workerPollMs, &t.deletePauseMs, &t.popBeforeSmtpPauseMs, &t.hangUpPauseMs,
                         &t.siblingPollMs, &t.shutdownPollMs, &t.splashMs, &t.windowTimerMs,
                         &t.grabDeadlineMs, &t.captureStopPauseMs, &t.driverDisconnectPauseMs,
                         &t.socketConnectTimeoutMs, &t.socketReceiveTimeoutMs, &t.socketSendTimeoutMs,
                         &t.converterTimeoutMs, &t.secretCommandTimeoutMs, &t.dialTimeoutMs, &t.cameraWarmUpMs,
                         &t.imapIdleRenewMs, &t.httpTimeoutMs, &t.oauthSecondMs, &t.oauthBrowserWaitMs}) {
    scale(*field);
  }
  t.socketConnectTimeoutMs = std::max<int64_t>(t.socketConnectTimeoutMs, 1000);
  t.socketReceiveTimeoutMs = std::max<int64_t>(t.socketReceiveTimeoutMs, 1000);
  t.socketSendTimeoutMs = std::max<int64_t>(t.socketSendTimeoutMs, 1000);
  t.converterTimeoutMs = std::max<int64_t>(t.converterTimeoutMs, 1000);
  t.secretCommandTimeoutMs = std::max<int64_t>(t.secretCommandTimeoutMs, 1000);
  t.dialTimeoutMs = std::max<int64_t>(t.dialTimeoutMs, 1000);
  t.imapIdleRenewMs = std::max<int64_t>(t.imapIdleRenewMs, 1000);
  t.grabDeadlineMs = std::max<int64_t>(t.grabDeadlineMs, 1000);
  t.httpTimeoutMs = std::max<int64_t>(t.httpTimeoutMs, 1000);
  t.oauthBrowserWaitMs = std::max<int64_t>(t.oauthBrowserWaitMs, 1000);
  t.oauthSecondMs = std::max<int64_t>(t.oauthSecondMs, 1);
  // Polling loops keep a few milliseconds so a zero factor never spins a core.
  t.workerPollMs = std::max<int64_t>(t.workerPollMs, 5);
  t.windowTimerMs = std::max<int64_t>(t.windowTimerMs, 5);
  t.siblingPollMs = std::max<int64_t>(t.siblingPollMs, 1);
  t.shutdownPollMs = std::max<int64_t>(t.shutdownPollMs, 1);
  currentTimings = t;
}

}  // namespace qv
