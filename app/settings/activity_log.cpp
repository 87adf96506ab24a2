#include "app/settings/activity_log.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/files.h"
#include "platform/text.h"

std::string FormatLogLine(const std::string& message, int category) {
  static const char* const labels[] = {"受信", "送信", "画像", "通信"};
  if (category < 0 || category > 3) return {};
  time_t now = time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
  static const std::string sjisLabels[] = {qv::Cp932FromUtf8(labels[0]), qv::Cp932FromUtf8(labels[1]),
                                           qv::Cp932FromUtf8(labels[2]), qv::Cp932FromUtf8(labels[3])};
  return std::string(stamp) + " [" + sjisLabels[category] + "] " + message;
}

namespace {

bool IsBreak(char c) { return c == '\r' || c == '\n'; }

// Counts the breaks of `text`; when `stopAfter` breaks were passed, returns the offset just
// behind them in *end.
size_t CountBreaks(const char* text, size_t stopAfter, size_t* end) {
  size_t count = 0;
  size_t i = 0;
  while (text[i]) {
    if (IsBreak(text[i])) {
      if (IsBreak(text[i + 1])) ++i;
      ++count;
      if (count == stopAfter) {
        *end = i + 1;
        return count;
      }
    }
    ++i;
  }
  *end = i;
  return count;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar (month 1..12), after
// Howard Hinnant's "days_from_civil".
long DaysFromCivil(long year, int month, int day) {
  year -= month <= 2;
  const long era = (year >= 0 ? year : year - 399) / 400;
  const long yearOfEra = year - era * 400;
  const long dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + dayOfEra - 719468;
}

long DayNumber(const std::tm& date) { return DaysFromCivil(date.tm_year + 1900L, date.tm_mon + 1, date.tm_mday); }

// The day number of a daily file's name "YYYY-MM-DD.log"; false for any other name.
bool LogFileDay(const char* name, long* day) {
  if (std::strlen(name) != 14 || std::strcmp(name + 10, ".log") != 0 || name[4] != '-' || name[7] != '-') {
    return false;
  }
  for (int i : {0, 1, 2, 3, 5, 6, 8, 9}) {
    if (name[i] < '0' || name[i] > '9') return false;
  }
  auto number = [name](int at, int digits) {
    int value = 0;
    for (int i = 0; i < digits; ++i) value = value * 10 + (name[at + i] - '0');
    return value;
  };
  const int month = number(5, 2);
  const int dayOfMonth = number(8, 2);
  if (month < 1 || month > 12 || dayOfMonth < 1 || dayOfMonth > 31) return false;
  *day = DaysFromCivil(number(0, 4), month, dayOfMonth);
  return true;
}

std::tm LocalNow() {
  time_t now = time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

}  // namespace

ActivityLog::ActivityLog()
    : clock_(LocalNow), reallocator_([](void* block, size_t size) { return std::realloc(block, size); }) {
  buffer_ = static_cast<char*>(std::malloc(1024));
  if (buffer_) {
    buffer_[0] = '\0';
    capacity_ = 1024;
  }
}

ActivityLog::~ActivityLog() { std::free(buffer_); }

void ActivityLog::SetSettings(int logOutput, const std::string& logFolder, const std::string& programFolder,
                              int keepDays) {
  std::lock_guard lock(mutex_);
  logOutput_ = logOutput;
  logFolder_ = logFolder;
  programFolder_ = programFolder;
  keepDays_ = keepDays;
  RemoveOldFilesLocked(clock_());
}

void ActivityLog::RemoveOldFilesLocked(const std::tm& today) {
  agedOnDay_ = DayNumber(today);
  if (keepDays_ <= 0) return;
  DIR* folder = opendir(LogFolderPathLocked().c_str());
  if (!folder) return;
  while (const dirent* entry = readdir(folder)) {
    long day = 0;
    if (!LogFileDay(entry->d_name, &day) || agedOnDay_ - day <= keepDays_) continue;
    // A folder, a link or a pipe that happens to carry a date is not a log file of ours.
    struct stat st;
    if (fstatat(dirfd(folder), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
    unlinkat(dirfd(folder), entry->d_name, 0);
  }
  closedir(folder);
}

void ActivityLog::SetListener(Listener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

void ActivityLog::SetClock(Clock clock) {
  std::lock_guard lock(mutex_);
  clock_ = std::move(clock);
}

void ActivityLog::SetReallocator(Reallocator reallocator) {
  std::lock_guard lock(mutex_);
  reallocator_ = std::move(reallocator);
}

void ActivityLog::AppendLog(const std::string& fullLine) {
  std::string line = fullLine.substr(0, fullLine.find('\0'));
  Listener listener;
  {
    std::lock_guard lock(mutex_);
    // The first line of a new day ages the files out (a program may run for months).
    if (keepDays_ > 0) {
      std::tm today = clock_();
      if (DayNumber(today) != agedOnDay_) RemoveOldFilesLocked(today);
    }
    if (logOutput_ != 0) WriteLogFileLocked(line);
    AppendToViewLocked(line);
    listener = listener_;
  }
  if (listener) listener(line);
}

void ActivityLog::AppendToViewLocked(const std::string& line) {
  size_t length = 0;
  if (buffer_) {
    size_t end = 0;
    size_t count = CountBreaks(buffer_, 0, &end);
    length = end;
    if (count > 199) {
      size_t cut = 0;
      CountBreaks(buffer_, count - 199, &cut);
      std::memmove(buffer_, buffer_ + cut, length - cut + 1);
      length -= cut;
    }
  }
  size_t required = length + line.size() + 3;
  if (capacity_ < required) {
    void* grown = reallocator_(buffer_, required + 1024);
    if (!grown) return;  // the old buffer stays as it was
    buffer_ = static_cast<char*>(grown);
    if (capacity_ == 0) buffer_[0] = '\0';
    capacity_ = required + 1024;
  }
  std::memcpy(buffer_ + length, line.data(), line.size());
  std::memcpy(buffer_ + length + line.size(), "\r\n", 3);
}

std::string ActivityLog::LogFolderPath() const {
  std::lock_guard lock(mutex_);
  return LogFolderPathLocked();
}

std::string ActivityLog::LogFolderPathLocked() const {
  if (logFolder_.empty()) {
    std::string folder = programFolder_;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    return folder + "log/";
  }
  return logFolder_.back() == '/' ? logFolder_ : logFolder_ + "/";
}

void ActivityLog::WriteLogFileLocked(const std::string& line) {
  std::string folder = LogFolderPathLocked();
  // Level by level, for the user only (the lines hold sender addresses); a level that cannot
  // be made shows when the file does not open.
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) (void)qv::MakePrivateFolder(folder);
  std::tm today = clock_();
  char name[64];
  std::snprintf(name, sizeof name, "%04d-%02d-%02d.log", today.tm_year + 1900, today.tm_mon + 1, today.tm_mday);
  // Without blocking: a named pipe under today's name must not hold a worker.
  int fd = open((folder + name).c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW, 0600);
  if (fd < 0) return;
  struct stat fileState;
  if (fstat(fd, &fileState) != 0 || !S_ISREG(fileState.st_mode)) {
    close(fd);
    return;
  }
  std::string text;
  text.reserve(line.size() + 4);
  for (char c : line) {
    if (c == '\n') text.push_back('\r');
    text.push_back(c);
  }
  text += "\r\n";
  size_t done = 0;
  while (done < text.size()) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // a full disk loses the file line, never the view line
    done += static_cast<size_t>(n);
  }
  close(fd);
}

std::string ActivityLog::Snapshot() const {
  std::lock_guard lock(mutex_);
  return buffer_ ? std::string(buffer_) : std::string();
}
