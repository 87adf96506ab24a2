#include "app/oauth/login_stop.h"

#include <algorithm>

#include "platform/timing.h"

bool StopRequested(const StopFlag* stop) {
  return qv::AbortRequested() || (stop != nullptr && stop->load());
}

bool WaitUnlessStopped(int64_t ms, const StopFlag* stop) {
  const uint32_t start = qv::GetTickCount32();
  for (;;) {
    if (StopRequested(stop)) return false;
    int64_t left = ms - qv::TickDiff(qv::GetTickCount32(), start);
    if (left <= 0) return true;
    qv::SleepMs(std::min<int64_t>(left, qv::kAbortCheckMs));
  }
}
