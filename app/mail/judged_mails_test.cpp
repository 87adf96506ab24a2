#include "app/mail/judged_mails.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings/settings_test_folder.h"
#include "app/settings/state_file.h"
#include "platform/files.h"

namespace {

using Lines = std::vector<std::string>;
using JudgedMailsTest = SettingsFolderTest;

const std::string kKey = JudgedMails::AccountKey(true, "mail.example.jp", 993, "taro", "INBOX");

TEST_F(JudgedMailsTest, TheRecordRoundTripsInItsSectionBesideTheOthers) {
  // The account's words cannot split its line, whatever the settings hold.
  EXPECT_EQ(JudgedMails::AccountKey(true, "mail.example.jp", 993 + 65536, "ta ro%", "\x93\xfa"),
            "imap mail.example.jp 993 ta%20ro%25 %93%FA");
  EXPECT_EQ(JudgedMails::AccountKey(false, "pop.example.jp", 110, "u", "Folder"), "pop3 pop.example.jp 110 u %");
  EXPECT_EQ(JudgedMails::AccountKey(true, "imap.example.jp", 143, "u", ""), "imap imap.example.jp 143 u INBOX");

  const std::string path = StateFilePath(path_);
  ASSERT_TRUE(qv::WriteFileBytes(path, "[ReplyCount]\nday 2024-06-01 3\n"));
  JudgedMails judged;
  judged.UseAccount(kKey);
  judged.UseValidity(1717236000);
  EXPECT_TRUE(judged.Add("18"));
  EXPECT_TRUE(judged.Add("17"));
  EXPECT_TRUE(judged.Add("17"));
  EXPECT_FALSE(judged.Add(""));
  EXPECT_FALSE(judged.Add("a b"));
  EXPECT_FALSE(judged.Add(std::string(71, 'u')));  // longer than a UIDL may be
  EXPECT_TRUE(judged.Add(std::string(70, 'u')));
  EXPECT_TRUE(judged.changed());
  StateFile file(path);
  std::string error;
  ASSERT_TRUE(file.Load(&error)) << error;
  judged.Write(&file);
  EXPECT_FALSE(judged.changed());
  ASSERT_TRUE(file.Save(&error)) << error;
  EXPECT_EQ(qv::ReadFileBytes(path), "[ReplyCount]\nday 2024-06-01 3\n[JudgedMail]\naccount " + kKey +
                                         "\nuidvalidity 1717236000\nmail 17\nmail 18\nmail " + std::string(70, 'u') +
                                         "\n");

  JudgedMails read;
  std::string problem;
  ASSERT_TRUE(file.Load(&error)) << error;
  ASSERT_TRUE(read.Read(file, kKey, &problem)) << problem;
  EXPECT_FALSE(read.changed());
  EXPECT_EQ(read.size(), 3u);
  EXPECT_TRUE(read.Knows("17"));
  // The same folder state keeps the names; another forgets them.
  read.UseValidity(1717236000);
  EXPECT_EQ(read.size(), 3u);
  read.UseValidity(1717236001);
  EXPECT_EQ(read.size(), 0u);
  EXPECT_TRUE(read.changed());

  // Another account's record is not this one's.
  JudgedMails other;
  EXPECT_TRUE(other.Read(file, JudgedMails::AccountKey(true, "mail.example.jp", 993, "hanako", "INBOX"), &problem));
  EXPECT_EQ(other.size(), 0u);
  EXPECT_TRUE(other.changed());  // replaced at the next save
  // So is a change of account in memory.
  ASSERT_TRUE(read.Read(file, kKey, &problem));
  read.UseAccount(JudgedMails::AccountKey(false, "mail.example.jp", 110, "taro", ""));
  EXPECT_EQ(read.size(), 0u);

  // An empty record removes the section.
  read.Write(&file);
  EXPECT_TRUE(file.Lines(JudgedMails::kSection).empty());
  EXPECT_EQ(file.Lines("ReplyCount"), (Lines{"day 2024-06-01 3"}));
}

// A damaged section is read as no record at all, so every mail is judged again.
TEST_F(JudgedMailsTest, ADamagedSectionIsReadAsNoRecord) {
  struct Case {
    const char* name;
    Lines lines;
    bool readable;
    size_t names;
  };
  const std::string account = "account " + kKey;
  const Case cases[] = {
      {"whole", {account, "uidvalidity 7", "mail 1", "mail 2"}, true, 2},
      {"no uidvalidity (POP3)", {account, "mail 1"}, true, 1},
      {"no account line", {"uidvalidity 7", "mail 1"}, false, 0},
      {"uidvalidity not second", {account, "mail 1", "uidvalidity 7"}, false, 0},
      {"uidvalidity past 32 bits", {account, "uidvalidity 4294967296", "mail 1"}, false, 0},
      {"uidvalidity not a number", {account, "uidvalidity 7x", "mail 1"}, false, 0},
      {"unknown line", {account, "mail 1", "seen 2"}, false, 0},
      {"name with a blank", {account, "mail 1 2"}, false, 0},
      {"empty name", {account, "mail "}, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StateFile file(StateFilePath(path_));
    file.SetLines(JudgedMails::kSection, c.lines);
    JudgedMails judged;
    ASSERT_TRUE(judged.Add("99"));
    std::string problem;
    EXPECT_EQ(judged.Read(file, kKey, &problem), c.readable);
    EXPECT_EQ(problem.empty(), c.readable);
    EXPECT_EQ(judged.size(), c.names);
    EXPECT_FALSE(judged.Knows("99"));
  }
}

// The record holds at most kMaxMails names, when written and when read; each check prunes it
// to what the server still lists.
TEST_F(JudgedMailsTest, TheRecordIsPrunedAndCappedAtItsLimit) {
  JudgedMails judged;
  judged.UseAccount(kKey);
  for (size_t n = 1; n <= JudgedMails::kMaxMails; ++n) ASSERT_TRUE(judged.Add(std::to_string(n)));
  EXPECT_EQ(judged.size(), JudgedMails::kMaxMails);
  EXPECT_FALSE(judged.Add("0"));  // one past the cap
  EXPECT_TRUE(judged.Add("1"));   // a name it holds is no new one
  EXPECT_EQ(judged.size(), JudgedMails::kMaxMails);

  StateFile file(StateFilePath(path_));
  judged.Write(&file);
  for (size_t extra : {0, 1}) {
    SCOPED_TRACE(extra);
    Lines lines = file.Lines(JudgedMails::kSection);
    if (extra) lines.push_back("mail 0");
    StateFile copy(StateFilePath(path_));
    copy.SetLines(JudgedMails::kSection, lines);
    JudgedMails read;
    std::string problem;
    EXPECT_EQ(read.Read(copy, kKey, &problem), extra == 0) << problem;
    EXPECT_EQ(read.size(), extra == 0 ? JudgedMails::kMaxMails : 0u);
  }

  // What the server no longer lists goes; what it lists and the record knows is counted.
  EXPECT_EQ(judged.KeepListed({"2", "5", "100001", "7"}), 3u);
  EXPECT_TRUE(judged.Knows("5"));
  EXPECT_FALSE(judged.Knows("1"));
  EXPECT_FALSE(judged.Knows("100001"));
  EXPECT_EQ(judged.size(), 3u);
  judged.Write(&file);
  EXPECT_EQ(judged.KeepListed({"2", "5", "7"}), 3u);
  EXPECT_FALSE(judged.changed());
  EXPECT_EQ(judged.KeepListed({}), 0u);
  EXPECT_TRUE(judged.changed());
}

}  // namespace
