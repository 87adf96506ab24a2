#include "app/settings/config_command.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "app/settings/settings.h"
#include "app/settings/settings_test_folder.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

class ConfigCommandTest : public SettingsFolderTest {
 protected:
  // Runs one command; the terminal output and messages land in out_ and err_.
  int Run(const std::vector<std::string>& arguments, const DeviceNameLister& listDevices = {}) {
    char* outText = nullptr;
    char* errText = nullptr;
    size_t outSize = 0, errSize = 0;
    FILE* out = open_memstream(&outText, &outSize);
    FILE* err = open_memstream(&errText, &errSize);
    int status = RunConfigCommand(arguments, path_, out, err, listDevices);
    std::fclose(out);
    std::fclose(err);
    out_.assign(outText, outSize);
    err_.assign(errText, errSize);
    free(outText);
    free(errText);
    return status;
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
  };
  for (const auto& c : cases) {
    ASSERT_EQ(Run({"set", c.assignment}), kConfigDone) << c.assignment << err_;
    const std::string name = std::string(c.assignment).substr(0, std::string(c.assignment).find('='));
    ASSERT_EQ(Run({"get", name}), kConfigDone) << name;
    EXPECT_EQ(out_, std::string(c.shown) + "\n") << name;
    EXPECT_NE(qv::ReadFileBytes(path_).find("\r\n" + c.stored + "\r\n"), std::string::npos) << name;
  }
  // The whole section is written in its order, as the sheet writes it.
  EXPECT_EQ(qv::ReadFileBytes(path_).substr(0, 40), "[MailSettings]\r\nUserName=" + SJIS("山田 太郎") + "\r\nMail");

  ASSERT_EQ(Run({"list"}), kConfigDone);
  EXPECT_EQ(std::count(out_.begin(), out_.end(), '\n'), 8 + 20 + 3 + 7 + 4 * 9);
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
      {{"set", "MailSettings.PopPort"}, "set needs SECTION.KEY=VALUE"},
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
      {{"set", "MailSettings.PopServer="}, "cannot be empty"},
      {{"set", "MailSettings.UserID=ユーザー"}, "letters, digits and signs"},
      {{"set", "MailSettings.UserID=" + std::string(64, 'u')}, "at most 63 bytes"},
      {{"set", "MailSettings.UserName=Cam <cam@example.jp>"}, "cannot hold < or >"},
      {{"set", "SendSettings.Title=a;b"}, "cannot hold ';'"},
      {{"set", "SendSettings.Title=a\nb"}, "one line"},
      {{"set", "SendSettings.Title=\xF0\x9F\x93\xB7"}, "CP932"},
      {{"set", "SendSettings.Title=\xFF"}, "CP932"},
      {{"set", "SendSettings.MailText=" + std::string(64, '\n')}, "at most 255 bytes"},
      {{"frob"}, "use list, get SECTION.KEY or set SECTION.KEY=VALUE"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Run(c.arguments), kConfigRefused) << c.arguments.back();
    EXPECT_NE(err_.find(c.message), std::string::npos) << c.arguments.back() << ": " << err_;
    EXPECT_TRUE(out_.empty()) << c.arguments.back();
  }
  EXPECT_EQ(qv::ReadFileBytes(path_), before);
}

// A camera may be plugged in later: a name no device has now is stored, with the names there are.
TEST_F(ConfigCommandTest, DeviceNameNotListedNowIsStoredWithAWarningThatListsTheDevices) {
  int asked = 0;
  auto devices = [&asked] {
    ++asked;
    return std::vector<std::string>{SJIS("Orbisk連携"), "Desk Cam"};
  };
  EXPECT_EQ(Run({"set", "BasicSettings.DeviceName=Desk Cam"}, devices), kConfigDone);
  EXPECT_EQ(err_, "");
  EXPECT_EQ(Run({"set", "BasicSettings.DeviceName=Nope"}, devices), kConfigDone);
  EXPECT_EQ(out_, "BasicSettings.DeviceName=Nope\n");
  EXPECT_NE(err_.find("warning: no capture device is called \"Nope\" now; it is stored all the same. "
                      "The devices are \"Orbisk連携\", \"Desk Cam\"."),
            std::string::npos)
      << err_;
  EXPECT_NE(qv::ReadFileBytes(path_).find("\r\nDeviceName=Nope\r\n"), std::string::npos);
  EXPECT_EQ(Run({"set", "BasicSettings.DeviceName=desk cam"}, devices), kConfigDone);  // names are exact
  EXPECT_NE(err_.find("\"desk cam\""), std::string::npos) << err_;
  EXPECT_EQ(Run({"set", "BasicSettings.DeviceName=Nope"}, [] { return std::vector<std::string>{}; }), kConfigDone);
  EXPECT_NE(err_.find("No capture device is there now."), std::string::npos) << err_;
  // An empty name (the first device that starts) and other keys do not ask.
  asked = 0;
  EXPECT_EQ(Run({"set", "BasicSettings.DeviceName="}, devices), kConfigDone);
  EXPECT_EQ(Run({"set", "BasicSettings.LogFolder=Nope"}, devices), kConfigDone);
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

}  // namespace
