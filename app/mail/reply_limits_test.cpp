#include "app/mail/reply_limits.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "app/settings/settings_test_folder.h"
#include "platform/files.h"

namespace {

using Verdict = ReplyLimits::Verdict;

// A local time on a day of its own, so that the day's boundaries are those of the local clock.
time_t LocalTime(int day, int hour, int minute, int second) {
  std::tm local{};
  local.tm_year = 2024 - 1900;
  local.tm_mon = 5;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  return mktime(&local);
}

class ReplyLimitsTest : public SettingsFolderTest {
 protected:
  void SetUp() override {
    SettingsFolderTest::SetUp();
    path_ = StateFilePath(path_);
  }

  // One check at `now` that admits `address` `count` times; the verdicts in order.
  std::vector<Verdict> Check(int hourLimit, int dayLimit, time_t now, const std::string& address, int count) {
    ReplyLimits limits(path_, hourLimit, dayLimit, now);
    EXPECT_TRUE(limits.usable()) << limits.error();
    std::vector<Verdict> verdicts;
    for (int i = 0; i < count; ++i) verdicts.push_back(limits.Admit(address));
    std::string error;
    EXPECT_TRUE(limits.Commit(&error)) << error;
    return verdicts;
  }

};

TEST_F(ReplyLimitsTest, OneSenderGetsAtMostItsLimitInAnyHourAcrossRestarts) {
  const time_t noon = LocalTime(10, 12, 0, 0);
  const auto allowed = Verdict::kAllowed;
  const auto limited = Verdict::kSenderHourLimit;
  // The limit itself is reached, one more is refused.
  EXPECT_EQ(Check(5, 0, noon, "taro@x.jp", 6), (std::vector<Verdict>{allowed, allowed, allowed, allowed, allowed, limited}));
  // Another sender has a count of its own; the same mailbox in other letters has not.
  EXPECT_EQ(Check(5, 0, noon, "jiro@x.jp", 1), std::vector<Verdict>{allowed});
  EXPECT_EQ(Check(5, 0, noon + 60, "TARO@X.JP", 1), std::vector<Verdict>{limited});
  // A restart reads the counts back: a reply counts for 3600 seconds after it.
  EXPECT_EQ(Check(5, 0, noon + 3599, "taro@x.jp", 1), std::vector<Verdict>{limited});
  EXPECT_EQ(Check(5, 0, noon + 3600, "taro@x.jp", 2), (std::vector<Verdict>{allowed, allowed}));
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  // With the limit off, nothing limits the sender.
  EXPECT_EQ(Check(0, 0, noon + 3600, "taro@x.jp", 1), std::vector<Verdict>{allowed});
}

TEST_F(ReplyLimitsTest, TheDayLimitCountsEverySenderUntilLocalMidnight) {
  const time_t evening = LocalTime(10, 23, 59, 59);
  const auto allowed = Verdict::kAllowed;
  const auto limited = Verdict::kDayLimit;
  EXPECT_EQ(Check(0, 3, LocalTime(10, 0, 0, 0), "a@x.jp", 2), (std::vector<Verdict>{allowed, allowed}));
  EXPECT_EQ(Check(0, 3, evening, "b@x.jp", 2), (std::vector<Verdict>{allowed, limited}));
  EXPECT_EQ(qv::ReadFileBytes(path_), "[ReplyCount]\nday 2024-06-10 3\n");
  EXPECT_EQ(Check(0, 3, LocalTime(11, 0, 0, 0), "c@x.jp", 4), (std::vector<Verdict>{allowed, allowed, allowed, limited}));
  // Both limits: the sender's is named first.
  EXPECT_EQ(Check(1, 1, LocalTime(12, 9, 0, 0), "c@x.jp", 2), (std::vector<Verdict>{allowed, Verdict::kSenderHourLimit}));
}

TEST_F(ReplyLimitsTest, CountsAreWrittenPlainlyAndReadWithCare) {
  const time_t now = LocalTime(10, 12, 0, 0);
  const std::string seconds = std::to_string(static_cast<long long>(now));
  Check(2, 10, now, "\"foo bar\"@x.jp", 1);
  EXPECT_EQ(qv::ReadFileBytes(path_), "[ReplyCount]\nday 2024-06-10 1\nreply " + seconds + " \"foo bar\"@x.jp\n");

  // Lines that do not read, another day's count and replies out of their hour are dropped; one
  // ahead of the clock (set back) counts up to an hour ahead.
  qv::WriteFileBytes(path_, "[Other]\nkept\n[ReplyCount]\nday 2024-06-09 99\nday 2024-06-10 x\nreply -5 a@x.jp\n"
                            "reply " + std::to_string(now - 3600) + " a@x.jp\nreply " + std::to_string(now + 3599) +
                            " a@x.jp\nreply " + std::to_string(now + 3600) + " b@x.jp\nnonsense\nreply 7\n");
  EXPECT_EQ(Check(1, 1, now, "b@x.jp", 1), std::vector<Verdict>{Verdict::kAllowed});
  EXPECT_EQ(qv::ReadFileBytes(path_), "[Other]\nkept\n[ReplyCount]\nday 2024-06-10 1\nreply " +
                                          std::to_string(now + 3599) + " a@x.jp\nreply " + seconds + " b@x.jp\n");

  // A file that cannot be read leaves no reply admissible, unless no limit is on.
  std::filesystem::remove(path_);
  std::filesystem::create_directory(path_);
  ReplyLimits broken(path_, 5, 0, now);
  EXPECT_FALSE(broken.usable());
  EXPECT_FALSE(broken.error().empty());
  EXPECT_TRUE(ReplyLimits(path_, 0, 0, now).usable());
  // No state file at all: the counts hold for the one check.
  ReplyLimits memory("", 1, 0, now);
  EXPECT_EQ(memory.Admit("a@x.jp"), Verdict::kAllowed);
  EXPECT_EQ(memory.Admit("a@x.jp"), Verdict::kSenderHourLimit);
  std::string error;
  EXPECT_TRUE(memory.Commit(&error));
}

}  // namespace
