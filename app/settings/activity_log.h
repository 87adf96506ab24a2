// Log lines of the responder: "hh:mm:ss [category] message", in CP932.
#pragma once

#include <mutex>
#include <string>
#include <vector>

enum LogCategory { LOG_RECV = 0, LOG_SEND = 1, LOG_PICT = 2, LOG_COMM = 3 };

// Formats one log line from a CP932 message with the local time; a category outside 0..3
// gives an empty line.
[[nodiscard]] std::string FormatLogLine(const std::string& message, int category);

// Where the responder's log lines go. The activity log implements it; tests record.
class LogSink {
 public:
  virtual ~LogSink() = default;
  // Adds one formatted line. Safe to call from any thread.
  virtual void AppendLog(const std::string& line) = 0;
  // AppendLog(FormatLogLine(message, category)).
  void Log(int category, const std::string& message) { AppendLog(FormatLogLine(message, category)); }
};

// A sink that keeps every line; for tests and tools.
class RecordingLogSink : public LogSink {
 public:
  void AppendLog(const std::string& line) override {
    std::lock_guard lock(mutex_);
    lines_.push_back(line);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};
