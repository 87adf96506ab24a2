// Helpers shared by the fuzz targets: splitting one input into parts, a private folder for the
// files a target must hand to a reader, a log sink that checks every line, and the check that
// ends the run on a broken promise of the code under test.
//
// Every target is one function, LLVMFuzzerTestOneInput, built twice: with clang and libFuzzer
// to search (fuzz/run), and with the replay driver (replay_main.cpp) in the test build, which
// feeds it the kept corpus and the regressions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings/activity_log.h"

namespace qv::fuzz {

// Parts of a multi-part input are separated by this line; the bytes before it (its line end
// included) belong to the part before, so a part can end anywhere, even inside a line.
inline constexpr std::string_view kPartSeparator = "%%%%\n";

// The parts of `input`, at most `maxParts` (the last one keeps the rest, separators and all).
[[nodiscard]] std::vector<std::string_view> SplitParts(std::string_view input,
                                                      size_t maxParts = SIZE_MAX);

// The bytes of the input as text.
[[nodiscard]] inline std::string_view AsText(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A private folder of this process for the files the targets write (in /dev/shm when there is
// one, so no input ever waits for a disk); removed when the process ends normally.
[[nodiscard]] const std::string& WorkFolder();
// Writes `bytes` into WorkFolder()/`name`, replacing it, and returns the path.
std::string WriteWorkFile(const std::string& name, std::string_view bytes);

// Ends the run (abort, so libFuzzer keeps the input) with `what` when `holds` is false: a
// result broke what the code's header promises.
void Check(bool holds, const char* what);

// Whether `text` holds a byte below 0x20 or 0x7F.
[[nodiscard]] bool HasControlByte(std::string_view text);

// A log sink that drops every line after checking that it is one line of text (no line
// break inside, not empty): a log line built from outside data must stay one line. With
// QUORVEX_FUZZ_LOG set it prints each line on standard error, to follow one input.
class CheckingLogSink : public LogSink {
 public:
  void AppendLog(const std::string& line) override;
  [[nodiscard]] int lines() const { return lines_; }

 private:
  int lines_ = 0;
};

// The timings of the network targets: no pauses, and socket time-outs that only guard
// against a peer that never answers (the scripted peer answers or hangs up).
void UseFuzzTimings();

}  // namespace qv::fuzz
