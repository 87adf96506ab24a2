#include "app/settings/activity_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <cstdio>
#include <sstream>
#include <thread>

#include "platform/files.h"
#include "platform/text.h"

namespace {

std::tm Moment(int year, int month, int day, int hour, int minute, int second) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  return t;
}

class ActivityLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qv::MakeWorkFolder("AL");
    ASSERT_FALSE(folder_.empty());
    log_.SetClock([this] { return now_; });
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string folder_;
  std::tm now_ = Moment(2003, 12, 24, 15, 30, 0);
  ActivityLog log_;
};

TEST_F(ActivityLogTest, ViewKeepsTheLast200LinesOldestFirst) {
  for (int i = 0; i < 250; ++i) log_.AppendLog("line " + std::to_string(i));
  std::string view = log_.Snapshot();
  std::string expected;
  for (int i = 50; i < 250; ++i) expected += "line " + std::to_string(i) + "\r\n";
  EXPECT_EQ(view, expected);

  // A category outside 0..3 adds an empty line.
  log_.AppendLog(FormatLogLine("ignored", 7));
  view = log_.Snapshot();
  EXPECT_EQ(view.substr(view.size() - 12), "line 249\r\n\r\n");
  EXPECT_EQ(view.substr(0, 9), "line 51\r\n");
}

TEST_F(ActivityLogTest, LineEndingInLineFeedCountsTwoBreaks) {
  // "x\n" + CR LF is LF CR (one break, the CR belongs to it) and LF (a second break).
  for (int i = 0; i < 100; ++i) log_.AppendLog("x" + std::to_string(i) + "\n");
  EXPECT_EQ(log_.Snapshot().substr(0, 10), "x0\n\r\nx1\n\r\n");
  // 200 breaks now: the oldest one goes, which leaves the lone LF of the first line on top.
  log_.AppendLog("p");
  std::string view = log_.Snapshot();
  EXPECT_EQ(view.substr(0, 6), "\nx1\n\r\n");
  EXPECT_EQ(view.substr(view.size() - 3), "p\r\n");
}

TEST_F(ActivityLogTest, FailedGrowthKeepsTheOldBuffer) {
  log_.AppendLog("first");
  bool fail = true;
  log_.SetReallocator([&fail](void* block, size_t size) { return fail ? nullptr : std::realloc(block, size); });
  std::string big(3000, 'b');
  log_.AppendLog(big);
  EXPECT_EQ(log_.Snapshot(), "first\r\n");
  log_.AppendLog("small fits in the first 1024 bytes");
  EXPECT_EQ(log_.Snapshot(), "first\r\nsmall fits in the first 1024 bytes\r\n");
  fail = false;
  log_.AppendLog(big);
  EXPECT_EQ(log_.Snapshot(), "first\r\nsmall fits in the first 1024 bytes\r\n" + big + "\r\n");
}

TEST_F(ActivityLogTest, DailyFilesInNestedFolderWithCrLf) {
  std::string logFolder = folder_ + "a/b/c";  // no trailing slash, three missing levels
  log_.SetSettings(1, logFolder, folder_ + "program/");
  std::string line = FormatLogLine(SJIS("メール受信"), LOG_RECV);
  log_.AppendLog(line);
  log_.AppendLog("second\n");
  EXPECT_EQ(qv::ReadFileBytes(logFolder + "/2003-12-24.log"), line + "\r\nsecond\r\n\r\n");
  EXPECT_FALSE(std::filesystem::exists(folder_ + "program"));

  // Either side of midnight: two files, each named by its own date.
  now_ = Moment(2003, 12, 24, 23, 59, 59);
  log_.AppendLog("before");
  now_ = Moment(2003, 12, 25, 0, 0, 1);
  log_.AppendLog("after");
  EXPECT_EQ(qv::ReadFileBytes(logFolder + "/2003-12-24.log"), line + "\r\nsecond\r\n\r\nbefore\r\n");
  EXPECT_EQ(qv::ReadFileBytes(logFolder + "/2003-12-25.log"), "after\r\n");

  // Empty LogFolder: the program folder's log/ (created), with or without its slash.
  log_.SetSettings(1, "", folder_ + "program");
  EXPECT_EQ(log_.LogFolderPath(), folder_ + "program/log/");
  log_.AppendLog("default folder");
  EXPECT_EQ(qv::ReadFileBytes(folder_ + "program/log/2003-12-25.log"), "default folder\r\n");
}

TEST_F(ActivityLogTest, NoFilesWhenOffOrImpossible) {
  log_.SetSettings(0, folder_ + "off", folder_);
  log_.AppendLog("view only");
  EXPECT_FALSE(std::filesystem::exists(folder_ + "off"));
  EXPECT_FALSE(std::filesystem::exists(folder_ + "log"));

  // A log "folder" that is a file: the line still reaches the view.
  std::ofstream(folder_ + "blocker") << "x";
  log_.SetSettings(1, folder_ + "blocker/logs/", folder_);
  log_.AppendLog("still shown");
  EXPECT_EQ(log_.Snapshot(), "view only\r\nstill shown\r\n");
}

TEST_F(ActivityLogTest, ListenerSeesEveryLineAndConcurrentUseStaysWhole) {
  std::atomic<int> heard{0};
  log_.SetListener([&heard](const std::string& line) {
    if (!line.empty()) ++heard;
  });
  log_.SetSettings(1, folder_ + "logs", folder_);
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done) {
      std::istringstream view(log_.Snapshot());
      std::string line;
      while (std::getline(view, line)) {
        ASSERT_TRUE(line.rfind("worker ", 0) == 0 && line.back() == '\r') << line;
        ASSERT_NE(line.find(" line "), std::string::npos) << line;
      }
    }
  });
  std::vector<std::thread> workers;
  for (int w = 0; w < 2; ++w) {
    workers.emplace_back([this, w] {
      for (int i = 0; i < 300; ++i) log_.AppendLog("worker " + std::to_string(w) + " line " + std::to_string(i));
    });
  }
  for (std::thread& worker : workers) worker.join();
  done = true;
  reader.join();
  EXPECT_EQ(heard, 600);
  std::string view = log_.Snapshot();
  EXPECT_EQ(std::count(view.begin(), view.end(), '\n'), 200);
  std::string file = qv::ReadFileBytes(folder_ + "logs/2003-12-24.log");
  EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 600);
}

// With LogKeepDays 3 on 2004-03-01 (a leap year: 2004-02-29 exists), the file of three days
// ago stays and the one of four days ago goes; at the next day's first line one more goes.
TEST_F(ActivityLogTest, DailyFilesOlderThanTheKeptDaysAreRemovedAtStartAndAtEachNewDay) {
  now_ = Moment(2004, 3, 1, 9, 0, 0);
  const std::string logs = folder_ + "log/";
  ASSERT_TRUE(qv::MakePrivateFolder(logs));
  auto touch = [](const std::string& path) { std::ofstream(path) << "x\r\n"; };
  for (const char* name : {"2004-02-25.log", "2004-02-26.log", "2004-02-27.log", "2004-02-29.log", "2004-03-01.log",
                           "2004-03-05.log", "2003-02-26.log", "notes.txt", "2004-2-26.log", "2004-02-26.log.1",
                           "2004-13-01.log"}) {
    touch(logs + name);
  }
  ASSERT_EQ(mkdir((logs + "2004-02-24.log").c_str(), 0700), 0);  // a folder that happens to carry a date
  std::filesystem::create_symlink(logs + "notes.txt", logs + "2004-02-23.log");
  auto present = [&](const std::string& name) { return std::filesystem::exists(std::filesystem::symlink_status(logs + name)); };

  log_.SetSettings(0, "", folder_, 3);  // at start, whatever LogOutput says
  EXPECT_FALSE(present("2004-02-25.log"));  // 5 days old
  EXPECT_FALSE(present("2004-02-26.log"));  // 4 days old: one past the limit
  EXPECT_TRUE(present("2004-02-27.log"));   // 3 days old: at the limit
  EXPECT_TRUE(present("2004-02-29.log"));
  EXPECT_TRUE(present("2004-03-01.log"));
  EXPECT_TRUE(present("2004-03-05.log"));   // a date ahead of the clock is no age
  EXPECT_FALSE(present("2003-02-26.log"));
  for (const char* other : {"notes.txt", "2004-2-26.log", "2004-02-26.log.1", "2004-13-01.log", "2004-02-24.log",
                            "2004-02-23.log"}) {
    EXPECT_TRUE(present(other)) << other;
  }

  log_.AppendLog("same day");
  EXPECT_TRUE(present("2004-02-27.log"));
  now_ = Moment(2004, 3, 2, 0, 0, 1);
  EXPECT_TRUE(present("2004-02-27.log"));  // nothing happens before the new day's first line
  log_.AppendLog("next day");
  EXPECT_FALSE(present("2004-02-27.log"));
  EXPECT_TRUE(present("2004-02-29.log"));  // 2 days old on 2004-03-02

  // 0 keeps every file, also the oldest.
  log_.SetSettings(0, "", folder_, 0);
  now_ = Moment(2010, 1, 1, 0, 0, 0);
  log_.AppendLog("years later");
  EXPECT_TRUE(present("2004-02-29.log"));
  // A LogFolder of its own is aged too.
  log_.SetSettings(1, logs, "", 1);
  EXPECT_FALSE(present("2004-02-29.log"));
  EXPECT_TRUE(present("notes.txt"));
}

TEST(LogLine, FormatPerCategory) {
  std::string line = FormatLogLine("msg", LOG_COMM);
  ASSERT_EQ(line.size(), 9u + 7u + 3u);
  int hour = -1, minute = -1, second = -1;
  ASSERT_EQ(std::sscanf(line.c_str(), "%2d:%2d:%2d ", &hour, &minute, &second), 3) << line;
  EXPECT_TRUE(hour >= 0 && hour < 24 && minute >= 0 && minute < 60 && second >= 0 && second < 61);
  EXPECT_EQ(line[2], ':');
  EXPECT_EQ(line[5], ':');
  EXPECT_EQ(line.substr(9), SJIS("[通信] ") + "msg");
  EXPECT_EQ(FormatLogLine("m", LOG_RECV).substr(9), SJIS("[受信] m"));
  EXPECT_EQ(FormatLogLine("m", LOG_PICT).substr(9), SJIS("[画像] m"));
  EXPECT_EQ(FormatLogLine("m", LOG_SEND).substr(9), SJIS("[送信] m"));
  EXPECT_EQ(FormatLogLine("m", -1), "");
  EXPECT_EQ(FormatLogLine("m", 4), "");
}

}  // namespace
