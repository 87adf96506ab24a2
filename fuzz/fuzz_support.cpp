#include "fuzz/fuzz_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/text.h"
#include "platform/timing.h"

namespace qv::fuzz {

std::vector<std::string_view> SplitParts(std::string_view input, size_t maxParts) {
  std::vector<std::string_view> parts;
  while (parts.size() + 1 < maxParts) {
    size_t separator = input.find(kPartSeparator);
    if (separator == std::string_view::npos) break;
    parts.push_back(input.substr(0, separator));
    input.remove_prefix(separator + kPartSeparator.size());
  }
  parts.push_back(input);
  return parts;
}

namespace {

std::string MakeWorkFolder() {
  std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "";
  if (base.empty()) {
    const char* tmp = getenv("TMPDIR");
    base = tmp && *tmp ? tmp : "/tmp";
  }
  std::string pattern = base + "/quorvex-fuzz-XXXXXX";
  if (!mkdtemp(pattern.data())) {
    std::perror("quorvex fuzz: no work folder");
    abort();
  }
  static std::string folder;
  folder = pattern;
  atexit([] {
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
  });
  return pattern;
}

}  // namespace

const std::string& WorkFolder() {
  static const std::string folder = MakeWorkFolder();
  return folder;
}

std::string WriteWorkFile(const std::string& name, std::string_view bytes) {
  std::string path = WorkFolder() + "/" + name;
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  file.close();
  Check(file.good(), "the work file could not be written");
  return path;
}

void Check(bool holds, const char* what) {
  if (holds) return;
  std::fprintf(stderr, "quorvex fuzz: %s\n", what);
  abort();
}

bool HasControlByte(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

void CheckingLogSink::AppendLog(const std::string& line) {
  Check(!line.empty(), "an empty log line");
  Check(line.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos,
        "a log line with a line break or a zero byte");
  ++lines_;
  static const bool shown = getenv("QUORVEX_FUZZ_LOG") != nullptr;
  if (shown) std::fprintf(stderr, "log: %s\n", Utf8FromCp932(line).c_str());
}

void UseFuzzTimings() {
  Timings timings;
  timings.workerPollMs = 0;
  timings.deletePauseMs = 0;
  timings.popBeforeSmtpPauseMs = 0;
  timings.hangUpPauseMs = 0;
  timings.siblingPollMs = 0;
  timings.shutdownPollMs = 0;
  timings.splashMs = 0;
  timings.windowTimerMs = 0;
  timings.captureStopPauseMs = 0;
  timings.driverDisconnectPauseMs = 0;
  timings.socketConnectTimeoutMs = 5000;
  timings.socketReceiveTimeoutMs = 5000;
  timings.socketSendTimeoutMs = 5000;
  SetTimings(timings);
}

}  // namespace qv::fuzz
