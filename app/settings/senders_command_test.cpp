#include "app/settings/senders_command.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "app/settings/settings.h"
#include "app/settings/settings_test_folder.h"
#include "platform/files.h"

namespace {

class SendersCommandTest : public SettingsFolderTest {
 protected:
  int Run(const std::vector<std::string>& arguments) {
    return RunCapturing([&](FILE* out, FILE* err) { return RunSendersCommand(arguments, path_, out, err); }, &out_, &err_);
  }
  std::string List() const { return qv::ReadFileBytes(folder_ + "MailList.dat"); }

  std::string out_;
  std::string err_;
};

TEST_F(SendersCommandTest, AFreshInstallAnswersOnlyTheSendersAddedHere) {
  ASSERT_EQ(Run({"list"}), kSendersDone);
  EXPECT_EQ(out_, "");
  EXPECT_NE(err_.find("どのメールにも返信しません"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(path_));  // listing makes nothing

  ASSERT_EQ(Run({"add", "taro@example.jp"}), kSendersDone) << err_;
  EXPECT_EQ(out_, "\"taro@example.jp\" added to " + folder_ + "MailList.dat\n登録された1件のアドレスにだけ画像を返信します。\n");
  // The settings file was made with the first settings: only the listed sender is answered.
  FilterSettings filter;
  LoadFilterSettings(path_.c_str(), &filter);
  EXPECT_EQ(filter.MailFill, 1);
  EXPECT_EQ(filter.FiltMode, 1);
  ASSERT_EQ(Run({"add", "\"john\"@x.jp"}), kSendersDone);  // stored as the mail reader gives it
  ASSERT_EQ(Run({"add", "*@docomo.ne.jp"}), kSendersDone);
  EXPECT_EQ(List(), "taro@example.jp\njohn@x.jp\n*@docomo.ne.jp\n");
  ASSERT_EQ(Run({"list"}), kSendersDone);
  EXPECT_EQ(out_, "taro@example.jp\njohn@x.jp\n*@docomo.ne.jp\n");

  ASSERT_EQ(Run({"remove", "JOHN@x.jp"}), kSendersDone);  // letter case aside, as duplicates are judged
  EXPECT_EQ(List(), "taro@example.jp\n*@docomo.ne.jp\n");
}

TEST_F(SendersCommandTest, RefusalsLeaveTheFileAsItWas) {
  // A hand-edited list: a CR and an entry the page would refuse are written back as they are.
  qv::WriteFileBytes(folder_ + "MailList.dat", "a@x.jp\nodd entry\r\n");
  qv::WriteFileBytes(path_, "[FilterSettings]\r\nMailFill=0\r\n");
  const struct {
    std::vector<std::string> arguments;
    const char* message;
  } cases[] = {
      {{"add", "カメラ@x.jp"}, "ASCII"},
      {{"add", "x.jp"}, "name@domain"},
      {{"add", "a@b@x.jp"}, "name@domain"},
      {{"add", "**@x.jp"}, "at most one * before"},
      {{"add", "a@**"}, "at most one * after"},
      {{"add", "a b@example.com"}, "no address a mail server accepts"},
      {{"add", "a@x.jp."}, "no address a mail server accepts"},
      {{"add", "ODD ENTRY"}, "name@domain"},
      {{"add", "A@X.JP"}, "already listed"},
      {{"remove", "b@x.jp"}, "is not listed"},
      {{"frob", "a@x.jp"}, "use list, add ADDRESS or remove ADDRESS"},
      {{"add"}, "use list, add ADDRESS or remove ADDRESS"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.arguments), kSendersRefused) << c.arguments.back();
    EXPECT_NE(err_.find(c.message), std::string::npos) << c.arguments.back() << ": " << err_;
    EXPECT_EQ(List(), "a@x.jp\nodd entry\r\n");
  }
  // An existing settings file is not touched; the state line warns that the filter is off.
  ASSERT_EQ(Run({"add", "b@x.jp"}), kSendersDone);
  EXPECT_EQ(List(), "a@x.jp\nodd entry\r\nb@x.jp\n");
  EXPECT_EQ(qv::ReadFileBytes(path_), "[FilterSettings]\r\nMailFill=0\r\n");
  EXPECT_NE(out_.find("すべての差出人に画像を返信します"), std::string::npos);
}

TEST_F(SendersCommandTest, AListThatCannotBeReadOrWrittenIsNeverReplaced) {
  const std::string list = folder_ + "MailList.dat";
  qv::WriteFileBytes(list, "a@x.jp\n");
  chmod(list.c_str(), 0);
  if (qv::ReadFileBytes(list).empty()) {  // root reads anything
    EXPECT_EQ(Run({"add", "b@x.jp"}), kSendersNotWritten);
    EXPECT_NE(err_.find("cannot be read"), std::string::npos);
    chmod(list.c_str(), 0600);
    EXPECT_EQ(List(), "a@x.jp\n");
  }
  chmod(list.c_str(), 0600);
  // Not a file at all (also for root): said so, nothing else is tried.
  std::filesystem::remove(list);
  std::filesystem::create_directory(list);
  EXPECT_EQ(Run({"add", "b@x.jp"}), kSendersNotWritten);
  EXPECT_NE(err_.find("cannot be read"), std::string::npos) << err_;
  EXPECT_FALSE(std::filesystem::exists(path_));
  path_ = folder_ + "missing/Quorvex.ini";
  testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"add", "b@x.jp"}), kSendersNotWritten);
  testing::internal::GetCapturedStderr();
  EXPECT_NE(err_.find("could not be written"), std::string::npos);
}

}  // namespace
