// The stop of a running log-in. Besides the program's abort (platform/timing.h), a log-in run
// from a window is given a flag of its own that the window sets when the user cancels. Every
// wait of a log-in looks at both at least every kAbortCheckMs, an HTTP request at libcurl's
// progress calls (at least once a second).
#pragma once

#include <atomic>
#include <cstdint>

using StopFlag = std::atomic<bool>;

// Whether the program's abort or `stop` (which may be null) asks the log-in to end.
[[nodiscard]] bool StopRequested(const StopFlag* stop);

// Waits `ms`; false when a stop came first (or was there before).
[[nodiscard]] bool WaitUnlessStopped(int64_t ms, const StopFlag* stop);
