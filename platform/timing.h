// Ticks, sleeps and the one record of every fixed wait of the system.
#pragma once

#include <cstdint>

namespace qv {

// Milliseconds of the monotonic clock, cut to 32 bits like the system's tick count.
// Compare ticks only through TickDiff, so wrap-around after 49.7 days is harmless.
[[nodiscard]] uint32_t GetTickCount32();

// Signed difference a - b of two ticks.
[[nodiscard]] constexpr int32_t TickDiff(uint32_t a, uint32_t b) {
  return static_cast<int32_t>(a - b);
}

// Sleeps `ms` milliseconds; 0 or less returns at once, and so does a sleep once an abort is
// requested.
void SleepMs(int64_t ms);

// An abort: a stop that does not wait for the running cycle (a second stop signal). Once it
// is requested every wait of the system (sleeps, socket waits, outside programs, dial-up)
// ends at once as if it had timed out, so the running cycle fails fast and the program can
// clean up. Safe from any thread, and from a signal handler.
void RequestAbort();
[[nodiscard]] bool AbortRequested();
// Takes an abort back (tests only).
void ClearAbort();
// The longest a wait blocks before it looks at the abort flag again.
inline constexpr int kAbortCheckMs = 50;

// Every fixed wait of the system, in milliseconds, with the system's own values as defaults.
// Only ScaleTimings changes them: once at start-up for the program's --timing-scale option,
// and in tests and benchmarks.
struct Timings {
  int64_t workerPollMs = 500;          // both workers' polls and pauses between passes
  int64_t deletePauseMs = 3000;        // between fetching and deleting the accepted mails
  int64_t popBeforeSmtpPauseMs = 1000; // after a POP-before-SMTP log-in
  int64_t hangUpPauseMs = 2000;        // after hanging up a dial-up connection
  int64_t siblingPollMs = 500;         // sibling picture wait: one test every poll ...
  int siblingPollCount = 361;          // ... this many times (about 180 s)
  int64_t shutdownPollMs = 100;        // exit stage: poll of the worker markers
  int64_t splashMs = 3000;             // splash picture on start-up
  int64_t windowTimerMs = 500;         // the window's scheduling timer
  int64_t grabDeadlineMs = 1000;       // single-frame grab deadline
  int64_t cameraWarmUpMs = 500;        // frames dropped after a camera starts streaming, while
                                       // its auto-exposure settles
  int64_t captureStopPauseMs = 500;    // device clean-up: wait for a running capture
  int64_t driverDisconnectPauseMs = 200;  // device clean-up: before disconnecting the driver
  int64_t socketConnectTimeoutMs = 60000; // TCP connect
  int64_t socketReceiveTimeoutMs = 60000; // one receive (and a TLS handshake)
  int64_t socketSendTimeoutMs = 60000;    // writing out one send (a peer that stops reading)
  int64_t converterTimeoutMs = 120000;    // the external picture converter
  int64_t secretCommandTimeoutMs = 10000; // a command that prints a mail password or token
  int64_t dialTimeoutMs = 120000;         // one call of the dial-up tool (dial, hang up, list)
  int64_t imapIdleRenewMs = 25 * 60000;   // an IMAP IDLE is ended and begun again after this
                                          // (servers may drop an idle client after 30 minutes)
  int64_t httpTimeoutMs = 30000;          // one whole HTTP request to an OAuth2 provider
  int64_t oauthSecondMs = 1000;           // one second of a provider's poll interval, slow-down
                                          // step and device-code lifetime
  int64_t oauthBrowserWaitMs = 300000;    // the browser log-in: waiting for the redirect
};

// The process-wide timings record.
[[nodiscard]] const Timings& GetTimings();
void SetTimings(const Timings& timings);
// Multiplies every wait by `factor` (a negative one counts as 0). The socket time-outs keep a
// floor of one second so a zero factor never turns a blocking receive into a busy failure; the
// grab deadline, the converter, dial-up and HTTP time-outs, the IDLE renewal and the browser
// log-in's wait keep one second too; a provider's second keeps one millisecond;
// polling loops keep a few milliseconds so they never spin a core; the sibling poll count is
// kept.
void ScaleTimings(double factor);

}  // namespace qv
