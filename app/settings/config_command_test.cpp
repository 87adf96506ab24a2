#include "app/settings/config_command.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "app/settings/settings.h"
#include "app/settings/settings_test_folder.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

class ConfigCommandTest : public SettingsFolderTest {
 protected:
  // Runs one command; the terminal output and messages land in out_ and err_.
  int Run(const std::vector<std::string>& arguments, ConfigOptions options = {}) {
    return RunCapturing([&](FILE* out, FILE* err) { return RunConfigCommand(arguments, path_, out, err, options); },
                        &out_, &err_);
  }

  std::string out_;
  std::string err_;
};

TEST_F(ConfigCommandTest, ValuesRoundTripInTheTerminalsEncodingAndAreStoredAsTheSheetStoresThem) {
  const struct {
    const char* assignment;
    const char* shown;  // what get prints, without its line end
    std::string stored; // the key's line in the file
  } cases[] = {
      {"MailSettings.UserName=山田 太郎", "山田 太郎", "UserName=" + SJIS("山田 太郎")},
      {"mailsettings.passwd=p@ss;word", "p@ss;word", "Passwd=cEBzczt3b3Jk"},
      {"MailSettings.Passwd=", "", "Passwd="},
      {"MailSettings.SmtpPasswd=abc", "abc", "SmtpPasswd=YWJj"},
      {"MailSettings.SmtpSecurity=2", "2", "SmtpSecurity=2"},
      {"SendSettings.MailText=一行目\n二行目", "一行目\n二行目", "MailText=" + SJIS("一行目<BR>二行目")},
      {"SendSettings.SendName=a<BR>b\r\n", "a\nb\n", "SendName=a<BR>b<BR>"},
      {"SendSettings.Title=", "", "Title="},
      {"PictSettings2.Width=132", "132", "Width=132"},
      {"PictSettings3.Light=-8", "-8", "Light=-8"},
      {"BasicSettings.MailTimer=10", "10", "MailTimer=10"},
      {"BasicSettings.LogKeepDays=0", "0", "LogKeepDays=0"},
      {"BasicSettings.LogKeepDays=3650", "3650", "LogKeepDays=3650"},
      {"FilterSettings.TitleFiltText=カメラ=写真", "カメラ=写真", "TitleFiltText=" + SJIS("カメラ=写真")},
      {"MailSettings.ImapFolder=依頼/カメラ", "依頼/カメラ", "ImapFolder=" + SJIS("依頼/カメラ")},
      {"MailSettings.MailAddr=\"foo bar\"@example.com", "\"foo bar\"@example.com",
       "MailAddr=\"foo bar\"@example.com"},
      {"FilterSettings.SenderHourLimit=999", "999", "SenderHourLimit=999"},
      {"FilterSettings.SenderHourLimit=0", "0", "SenderHourLimit=0"},
      {"FilterSettings.DayLimit=99999", "99999", "DayLimit=99999"},
      {"FilterSettings.DayLimit=0", "0", "DayLimit=0"},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Run({"set", c.assignment}), kConfigDone) << c.assignment << err_;
    const std::string name = std::string(c.assignment).substr(0, std::string(c.assignment).find('='));
    ASSERT_EQ(Run({"get", name}, {nullptr, true}), kConfigDone) << name;
    EXPECT_EQ(out_, std::string(c.shown) + "\n") << name;
    EXPECT_NE(qv::ReadFileBytes(path_).find("\r\n" + c.stored + "\r\n"), std::string::npos) << name;
  }
  // The new file began with the first settings; the whole section is written in its order,
  // as the sheet writes it.
  const std::string file = qv::ReadFileBytes(path_);
  EXPECT_EQ(file.rfind("[FilterSettings]\r\nMailFill=1\r\nFiltMode=1\r\nTitleFilt=0\r\n", 0), 0u) << file;
  EXPECT_NE(file.find("[MailSettings]\r\nUserName=" + SJIS("山田 太郎") + "\r\nMailAddr="), std::string::npos);

  ASSERT_EQ(Run({"list"}), kConfigDone);
  EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 8 + 30 + 3 + 9 + 4 * 9);
  EXPECT_NE(out_.find("\nFilterSettings.MailFill=1\n"), std::string::npos);
  EXPECT_NE(out_.find("\nMailSettings.Passwd=\n"), std::string::npos);
  EXPECT_NE(out_.find("\nSendSettings.MailText=一行目<BR>二行目\n"), std::string::npos);
  EXPECT_NE(out_.find("\nPictSettings1.Type=1\n"), std::string::npos);
  Run({"set", "MailSettings.Passwd=x"});
  Run({"list"});
  EXPECT_NE(out_.find("\nMailSettings.Passwd=********\n"), std::string::npos);
}

TEST_F(ConfigCommandTest, UnknownNamesAndValuesOutOfRangeAreRefusedAndWriteNothing) {
  ASSERT_EQ(Run({"set", "PictSettings0.Type=0"}), kConfigDone);
  const std::string before = qv::ReadFileBytes(path_);
  const struct {
    std::vector<std::string> arguments;
    const char* message;
  } cases[] = {
      {{"set", "Window.MainLeft=1"}, "no section \"Window\""},
      {{"get", "MailSettings.Nope"}, "MailSettings has no key \"Nope\""},
      {{"get", "MailSettings"}, "MailSettings has no key \"\""},
      {{"set", "MailSettings.PopPort"}, "set MailSettings.PopPort got no value"},
      {{"set", "BasicSettings.MailTimer=11"}, "from 1 to 10"},
      {{"set", "BasicSettings.MailTimer=5min"}, "from 1 to 10"},
      {{"set", "BasicSettings.LogKeepDays=3651"}, "from 0 to 3650"},
      {{"set", "BasicSettings.LogKeepDays=-1"}, "from 0 to 3650"},
      {{"set", "BasicSettings.PreviewRate= 3"}, "from 0 to 6"},
      {{"set", "MailSettings.PopPort=0"}, "from 1 to 65535"},
      {{"set", "MailSettings.PopSecurity=3"}, "from 0 to 2"},
      {{"set", "MailSettings.MailProtocol=2"}, "from 0 to 1"},
      {{"set", "MailSettings.SmtpUserID=ユーザー"}, "letters, digits and signs"},
      {{"set", "PictSettings0.Width=130"}, "multiple of 4"},
      {{"set", "PictSettings0.Height=481"}, "from 32 to 480"},
      {{"set", "PictSettings0.PictQuality=10"}, "from 0 to 9"},
      {{"set", "PictSettings1.PictQuality=0"}, "from 1 to 20"},
      {{"set", "PictSettings0.ColorNum=37"}, "from 1 to 36"},
      {{"set", "MailSettings.MailAddr=cam@ex@ample"}, "name@domain"},
      {{"set", "MailSettings.MailAddr=a b@example.com"}, "name@domain"},
      {{"set", "MailSettings.MailAddr=a<b>@example.com"}, "name@domain"},
      {{"set", "MailSettings.MailAddr=a@b..c"}, "name@domain"},
      {{"set", "MailSettings.MailAddr=(x)a@b.c"}, "name@domain"},
      {{"set", "MailSettings.MailAddr=a@x.jp."}, "name@domain"},
      {{"set", "FilterSettings.SenderHourLimit=1000"}, "from 0 to 999"},
      {{"set", "FilterSettings.SenderHourLimit=-1"}, "from 0 to 999"},
      {{"set", "FilterSettings.DayLimit=100000"}, "from 0 to 99999"},
      {{"set", "MailSettings.PopServer="}, "cannot be empty"},
      {{"set", "MailSettings.UserID=ユーザー"}, "letters, digits and signs"},
      {{"set", "MailSettings.UserID=" + std::string(64, 'u')}, "at most 63 bytes"},
      {{"set", "MailSettings.UserName=Cam <cam@example.jp>"}, "cannot hold < or >"},
      {{"set", "SendSettings.Title=a;b"}, "cannot hold ';'"},
      {{"set", "SendSettings.Title=a\nb"}, "one line"},
      {{"set", "SendSettings.Title=\xF0\x9F\x93\xB7"}, "CP932"},
      {{"set", "SendSettings.Title=\xFF"}, "CP932"},
      {{"set", "SendSettings.MailText=" + std::string(64, '\n')}, "at most 255 bytes"},
      {{"frob"}, "use list, get SECTION.KEY or set SECTION.KEY[=VALUE]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.arguments), kConfigRefused) << c.arguments.back();
    EXPECT_NE(err_.find(c.message), std::string::npos) << c.arguments.back() << ": " << err_;
    EXPECT_TRUE(out_.empty()) << c.arguments.back();
  }
  EXPECT_EQ(qv::ReadFileBytes(path_), before);
}

TEST_F(ConfigCommandTest, ReadingANewPathMakesNothingAndShowsTheFirstSettings) {
  ASSERT_EQ(Run({"get", "FilterSettings.MailFill"}), kConfigDone);
  EXPECT_EQ(out_, "1\n");
  ASSERT_EQ(Run({"list"}), kConfigDone);
  EXPECT_FALSE(std::filesystem::exists(path_));
  // A refused value makes no file either.
  EXPECT_EQ(Run({"set", "BasicSettings.MailTimer=0"}), kConfigRefused);
  EXPECT_FALSE(std::filesystem::exists(path_));
  // An existing file without the filter keys keeps answering every sender.
  qv::WriteFileBytes(path_, "[BasicSettings]\r\nMailTimer=3\r\n");
  ASSERT_EQ(Run({"set", "BasicSettings.MailTimer=4"}), kConfigDone);
  ASSERT_EQ(Run({"get", "FilterSettings.MailFill"}), kConfigDone);
  EXPECT_EQ(out_, "0\n");
}

// A camera may be plugged in later: a name no device has now is stored, with the names there are.
TEST_F(ConfigCommandTest, DeviceNameNotListedNowIsStoredWithAWarningThatListsTheDevices) {
  int asked = 0;
  auto devices = [&asked] {
    ++asked;
    return std::vector<std::string>{SJIS("Orbisk連携"), "Desk Cam"};
  };
  EXPECT_EQ(Run({"set", "BasicSettings.DeviceName=Desk Cam"}, {nullptr, false, devices}), kConfigDone);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(Run({"set", "BasicSettings.DeviceName=Nope"}, {nullptr, false, devices}), kConfigDone);
  EXPECT_EQ(out_, "BasicSettings.DeviceName=Nope\n");
  EXPECT_NE(err_.find("warning: no capture device is called \"Nope\" now; it is stored all the same. "
                      "The devices are \"Orbisk連携\", \"Desk Cam\"."),
            std::string::npos)
      << err_;
  EXPECT_NE(qv::ReadFileBytes(path_).find("\r\nDeviceName=Nope\r\n"), std::string::npos);
  EXPECT_EQ(Run({"set", "BasicSettings.DeviceName=desk cam"}, {nullptr, false, devices}), kConfigDone);  // names are exact
  EXPECT_NE(err_.find("\"desk cam\""), std::string::npos) << err_;
  EXPECT_EQ(Run({"set", "BasicSettings.DeviceName=Nope"}, {nullptr, false, [] { return std::vector<std::string>{}; }}), kConfigDone);
  EXPECT_NE(err_.find("No capture device is there now."), std::string::npos) << err_;
  // An empty name (the first device that starts) and other keys do not ask.
  asked = 0;
  EXPECT_EQ(Run({"set", "BasicSettings.DeviceName="}, {nullptr, false, devices}), kConfigDone);
  EXPECT_EQ(Run({"set", "BasicSettings.LogFolder=Nope"}, {nullptr, false, devices}), kConfigDone);
  EXPECT_EQ(asked, 0);
  EXPECT_EQ(err_, "");
}

TEST_F(ConfigCommandTest, SettingsFileThatCannotBeWrittenIsReported) {
  path_ = folder_ + "missing/Quorvex.ini";
  testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"set", "BasicSettings.MailTimer=3"}), kConfigNotWritten);
  testing::internal::GetCapturedStderr();
  EXPECT_NE(err_.find("could not be written"), std::string::npos);
}

// Passwords stay off the screen: get, list and the confirmation of set mask them unless
// --reveal asks for them.
TEST_F(ConfigCommandTest, PasswordsAreMaskedUnlessRevealed) {
  ASSERT_EQ(Run({"set", "MailSettings.Passwd=pop-secret"}), kConfigDone);
  EXPECT_EQ(out_, "MailSettings.Passwd=********\n");
  ASSERT_EQ(Run({"set", "MailSettings.SmtpPasswd=smtp-secret"}), kConfigDone);
  EXPECT_EQ(out_, "MailSettings.SmtpPasswd=********\n");
  // The secret commands and the OAuth2 client secret count as passwords; the commands are
  // stored as they are (readable by the user in the file), the client secret like a password.
  ASSERT_EQ(Run({"set", "MailSettings.PassCommand=pass show mail/box"}), kConfigDone);
  EXPECT_EQ(out_, "MailSettings.PassCommand=********\n");
  ASSERT_EQ(Run({"set", "MailSettings.SmtpPassCommand=pass show mail/submit"}), kConfigDone);
  ASSERT_EQ(Run({"set", "MailSettings.OAuthClientSecret=client-secret"}), kConfigDone);
  EXPECT_EQ(out_, "MailSettings.OAuthClientSecret=********\n");
  const std::string file = qv::ReadFileBytes(path_);
  EXPECT_NE(file.find("\r\nPassCommand=pass show mail/box\r\n"), std::string::npos) << file;
  EXPECT_EQ(file.find("client-secret"), std::string::npos) << file;
  const struct {
    std::vector<std::string> arguments;
    bool reveal;
    std::vector<std::string> shown;
    std::vector<std::string> hidden;
  } cases[] = {
      {{"get", "MailSettings.Passwd"}, false, {"********\n"}, {"pop-secret"}},
      {{"get", "mailsettings.smtppasswd"}, false, {"********\n"}, {"smtp-secret"}},
      {{"list"},
       false,
       {"MailSettings.Passwd=********\n", "MailSettings.SmtpPasswd=********\n", "MailSettings.PassCommand=********\n",
        "MailSettings.SmtpPassCommand=********\n", "MailSettings.OAuthClientSecret=********\n"},
       {"pop-secret", "smtp-secret", "mail/", "client-secret"}},
      {{"get", "MailSettings.SmtpPassCommand"}, false, {"********\n"}, {"mail/"}},
      {{"get", "MailSettings.Passwd"}, true, {"pop-secret\n"}, {}},
      {{"list"},
       true,
       {"MailSettings.Passwd=pop-secret\n", "MailSettings.SmtpPasswd=smtp-secret\n",
        "MailSettings.PassCommand=pass show mail/box\n", "MailSettings.OAuthClientSecret=client-secret\n"},
       {}},
      // Other keys are shown as they are either way.
      {{"get", "MailSettings.UserID"}, false, {"\n"}, {"*"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments[0] + (c.reveal ? " --reveal" : ""));
    ASSERT_EQ(Run(c.arguments, {nullptr, c.reveal}), kConfigDone);
    for (const std::string& shown : c.shown) EXPECT_NE(out_.find(shown), std::string::npos) << out_;
    for (const std::string& hidden : c.hidden) EXPECT_EQ(out_.find(hidden), std::string::npos) << out_;
  }
}

// "set SECTION.KEY" without a value reads one line of the input, so a password needs to be
// neither on the command line (the process list) nor in the shell's history.
TEST_F(ConfigCommandTest, SetWithoutAValueReadsOneLineOfTheInput) {
  const struct {
    const char* input;
    int status;
    const char* stored;  // the key's line in the file, null when nothing is written
  } cases[] = {
      {"from-stdin\n", kConfigDone, "Passwd=ZnJvbS1zdGRpbg"},
      {"crlf\r\nsecond line\n", kConfigDone, "Passwd=Y3JsZg"},
      {"no line end", kConfigDone, "Passwd=bm8gbGluZSBlbmQ"},
      {"\n", kConfigDone, "Passwd=\r\n"},
      {"", kConfigRefused, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    std::filesystem::remove(path_);
    std::string input = c.input;
    FILE* in = fmemopen(input.data(), input.size(), "r");
    if (input.empty()) in = fopen("/dev/null", "r");
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(Run({"set", "MailSettings.Passwd"}, {in, false}), c.status) << err_;
    std::fclose(in);
    if (c.stored) {
      EXPECT_NE(qv::ReadFileBytes(path_).find(c.stored), std::string::npos) << qv::ReadFileBytes(path_);
      EXPECT_EQ(out_, std::string("MailSettings.Passwd=") + (std::string(c.input) == "\n" ? "" : "********") + "\n");
    } else {
      EXPECT_FALSE(std::filesystem::exists(path_));
      EXPECT_NE(err_.find("got no value"), std::string::npos) << err_;
    }
  }
  // Without an input to read from, a value is needed.
  EXPECT_EQ(Run({"set", "MailSettings.Passwd"}), kConfigRefused);
  // A value that the key refuses is refused from the input as from the command line.
  std::string bad = "25x\n";
  FILE* in = fmemopen(bad.data(), bad.size(), "r");
  EXPECT_EQ(Run({"set", "MailSettings.SmtpPort"}, {in, false}), kConfigRefused);
  std::fclose(in);
}

// On a terminal the question is asked and what is typed is not echoed.
TEST_F(ConfigCommandTest, ATypedValueIsNotEchoed) {
  int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  ASSERT_EQ(grantpt(terminal), 0);
  ASSERT_EQ(unlockpt(terminal), 0);
  int side = open(ptsname(terminal), O_RDWR | O_NOCTTY);
  ASSERT_GE(side, 0);
  // The user types once the question is asked, that is once the terminal's echo was turned off.
  std::thread typist([terminal] {
    for (int i = 0; i < 1000; ++i) {
      termios now{};
      if (tcgetattr(terminal, &now) == 0 && !(now.c_lflag & ECHO)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    (void)!write(terminal, "typed-secret\n", 13);
  });
  FILE* in = fdopen(side, "r");
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(Run({"set", "MailSettings.Passwd"}, {in, false}), kConfigDone) << err_;
  typist.join();
  // Nothing of what was typed came back on the terminal.
  std::string echoed;
  char buffer[256];
  pollfd more{terminal, POLLIN, 0};
  while (echoed.size() < 4096 && poll(&more, 1, 50) > 0) {
    ssize_t n = read(terminal, buffer, sizeof buffer);
    if (n <= 0) break;
    echoed.append(buffer, static_cast<size_t>(n));
  }
  EXPECT_EQ(echoed.find("typed-secret"), std::string::npos) << echoed;
  EXPECT_NE(err_.find("MailSettings.Passwd (not shown): "), std::string::npos) << err_;
  EXPECT_NE(qv::ReadFileBytes(path_).find("Passwd=dHlwZWQtc2VjcmV0"), std::string::npos);
  // The terminal's echo is back on afterwards.
  termios after{};
  ASSERT_EQ(tcgetattr(fileno(in), &after), 0);
  EXPECT_TRUE(after.c_lflag & ECHO);
  std::fclose(in);
  close(terminal);
}

}  // namespace
