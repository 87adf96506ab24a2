// Starting an outside program: posix_spawn with an argument vector (never a shell), then a
// wait that can be bounded, so a program that never ends cannot hold the caller forever.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qv {

struct ProcessOptions {
  // Longest wait in milliseconds; negative waits for the end however long it takes. When it
  // runs out, the program and everything it started (its process group) is killed and reaped.
  int64_t timeoutMs = -1;
  // Collect the program's standard output (at most `outputLimit` bytes are kept; the rest is
  // read and dropped so the program never blocks on a full pipe). Otherwise it is inherited.
  bool captureOutput = false;
  size_t outputLimit = 1 << 20;
  // When not -1: the program run is this open descriptor (from OpenTrustedCode), not the file
  // `arguments[0]` names, which is then only the program's name for itself. The descriptor
  // stays the caller's.
  int programFd = -1;
};

enum class ProcessOutcome {
  kExited,      // ended by itself; exitCode holds its exit status
  kSignalled,   // killed by a signal it did not expect; exitCode holds the signal number
  kTimedOut,    // ran past the time-out and was killed by us
  kNotStarted,  // could not be started; error says why
};

struct ProcessResult {
  ProcessOutcome outcome = ProcessOutcome::kNotStarted;
  int exitCode = -1;
  std::string output;  // captured standard output
  std::string error;   // our own description when the program did not start
  [[nodiscard]] bool Succeeded() const { return outcome == ProcessOutcome::kExited && exitCode == 0; }
};

// Runs `arguments[0]` with `arguments` as its argument vector. A name without '/' is looked
// up on PATH. The program gets /dev/null as standard input, inherits standard error, no
// other descriptors of ours, default signal dispositions, and its own process group.
// Returns once the program has ended (or was killed and reaped): no zombie is left behind.
// Safe to call from several threads at once.
[[nodiscard]] ProcessResult RunProcess(const std::vector<std::string>& arguments, const ProcessOptions& options = {});

}  // namespace qv
