// Log lines of the responder: "hh:mm:ss [category] message", in CP932.
#pragma once

#include <cstddef>
#include <ctime>
#include <functional>
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

// The activity log: the view buffer of the last 200 lines that the main window shows, and,
// when LogOutput is on, one log file per day.
//
// View buffer: one zero-terminated text whose lines end in CR LF. Before a line is added,
// the breaks are counted from the start (a CR or LF is one break, and a CR or LF right after
// it belongs to the same break); with more than 199, the oldest text up to and including
// the surplus breaks is dropped. A line that itself ends in LF therefore takes two breaks.
// The buffer grows and never shrinks; when it cannot grow, the old text stays and the line
// reaches only the file.
//
// Daily file: "<folder>YYYY-MM-DD.log" with the local date at the moment of writing, in
// LogFolder (a '/' is added when missing) or, when LogFolder is empty, in the program
// folder's "log/". Missing folders are created level by level. Each line is appended with
// every LF written as CR LF, then CR LF; the file is opened and closed for every line, so a
// date change starts a new file. A folder or file that cannot be made only loses the file
// line.
//
// Ageing: with a keep count of N days (LogKeepDays; 0 keeps every file), a daily file whose
// name's date lies more than N days before today is removed: with N = 90 the file of 90 days
// ago stays and the one of 91 days ago goes. Only regular files named exactly
// "YYYY-MM-DD.log" in the log folder are touched. It happens when the settings are given (at
// start and at every reload) and with the first line of each new day; whether LogOutput is on
// does not matter.
//
// One mutex covers the buffer and the file, so appends from both workers and reads from the
// window thread never meet half-way. Listeners are called after the lock is released.
class ActivityLog : public LogSink {
 public:
  // Local time now; replaced in tests to cross midnight.
  using Clock = std::function<std::tm()>;
  // Receives every appended line (the window repaints its log view, headless prints it).
  using Listener = std::function<void(const std::string& line)>;
  // Grows the view buffer like realloc (null on failure, the old block then stays valid).
  using Reallocator = std::function<void*(void* block, size_t size)>;

  ActivityLog();
  ~ActivityLog() override;
  ActivityLog(const ActivityLog&) = delete;
  ActivityLog& operator=(const ActivityLog&) = delete;

  // LogOutput (non-zero: write daily files), LogFolder (CP932 path, may be empty), the
  // program folder (with or without its trailing '/') and LogKeepDays (0 or less: keep every
  // file); removes the files that are too old at once. Until called, no files are written.
  void SetSettings(int logOutput, const std::string& logFolder, const std::string& programFolder,
                   int keepDays = 0);
  void SetListener(Listener listener);
  void SetClock(Clock clock);
  void SetReallocator(Reallocator reallocator);

  // Adds one line (it ends at a NUL byte) to the daily file when LogOutput is on, then to the
  // view buffer, then tells the listener. Safe from any thread.
  void AppendLog(const std::string& line) override;

  // A copy of the view buffer's text.
  [[nodiscard]] std::string Snapshot() const;

  // The folder daily files go to, with its trailing '/'.
  [[nodiscard]] std::string LogFolderPath() const;

 private:
  void WriteLogFileLocked(const std::string& line);
  void RemoveOldFilesLocked(const std::tm& today);
  void AppendToViewLocked(const std::string& line);
  std::string LogFolderPathLocked() const;

  mutable std::mutex mutex_;
  char* buffer_ = nullptr;  // malloc'ed; the view text
  size_t capacity_ = 0;
  int logOutput_ = 0;
  std::string logFolder_;
  std::string programFolder_;
  int keepDays_ = 0;
  long agedOnDay_ = 0;  // the day (days since 1970-01-01) of the last removal of old files
  Clock clock_;
  Listener listener_;
  Reallocator reallocator_;
};
