#include "app/shell/headless.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <ctime>
#include <fstream>

#include "app/oauth/token_file.h"
#include "app/shell/command_line.h"
#include "app/shell/oauth_command.h"
#include "app/shell/version.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {

// Starts the program with the settings file $2 (and the option $5, when given), waits until it
// prints $4 (by default that it runs), sends it $6 (by default SIGINT), and returns everything
// it printed followed by "status=N". The output file is emptied first, so that what an earlier
// run printed is never taken for this run's.
const char kRunAndInterrupt[] = R"(
: > "$3"
"$1" ${5:+"$5"} --ini "$2" > "$3" 2>&1 &
pid=$!
i=0
while ! grep -q "${4:-running; stop}" "$3"; do
  i=$((i + 1))
  if [ $i -gt 3000 ] || ! kill -0 $pid 2>/dev/null; then
    kill -9 $pid 2>/dev/null; cat "$3"; echo "never said it was running"; exit 99
  fi
  sleep 0.01
done
kill -"${6:-INT}" $pid
# A program that does not stop is killed after a while (status 137), so its output is seen.
(sleep 60; kill -9 $pid) >/dev/null 2>&1 &
watchdog=$!
wait $pid
status=$?
kill $watchdog 2>/dev/null
cat "$3"
echo "status=$status"
)";

class HeadlessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qv::MakeWorkFolder("HL");
    ASSERT_FALSE(folder_.empty());
    setenv("QUORVEX_REGISTRY", (folder_ + "registry.reg").c_str(), 1);
    // Without a display the program runs headless when no option asks otherwise.
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    program_ = qv::ProgramFolder() + "Quorvex";
  }
  void TearDown() override {
    unsetenv("QUORVEX_REGISTRY");
    std::filesystem::remove_all(folder_);
  }
  std::string Run(const std::string& ini) {
    qv::ProcessOptions options;
    options.captureOutput = true;
    options.timeoutMs = 240000;  // beyond both waits of the script, so its output is seen
    qv::ProcessResult result =
        qv::RunProcess({"/bin/sh", "-c", kRunAndInterrupt, "sh", program_, ini, folder_ + "output"}, options);
    EXPECT_TRUE(result.Succeeded()) << result.output;
    return result.output;
  }

  std::string folder_;
  std::string program_;
};

TEST_F(HeadlessTest, LoadsTheSettingsTellsWhatItWouldDoAndStopsOnInterrupt) {
  setenv("QUORVEX_TEST_DEVICES", "Other Cam", 1);
  std::string ini = folder_ + "my settings.ini";
  // Title カメラ and device name in CP932; no converter is registered, so the one beside the
  // program makes the GIF pictures.
  std::ofstream(ini, std::ios::binary) << "[BasicSettings]\r\nDeviceName=Desk Cam\r\nMailTimer=7\r\n"
                                          "[SendSettings]\r\nTitle=\x83\x4a\x83\x81\x83\x89\r\n"
                                          "[MailSettings]\r\nPopServer=pop.example.com\r\nConnMode=1\r\n"
                                          "DialName=Modem\r\nMailAddr=cam era@example.jp\r\n";
  std::string output = Run(ini);
  EXPECT_NE(output.find("settings file " + ini + "\n"), std::string::npos) << output;
  EXPECT_NE(output.find("capture device: \"Desk Cam\""), std::string::npos) << output;
  EXPECT_NE(output.find("subject \"カメラ\""), std::string::npos) << output;
  EXPECT_NE(output.find("\"pop.example.com\" port 110"), std::string::npos) << output;
  EXPECT_NE(output.find("dial-up through \"Modem\""), std::string::npos) << output;
  EXPECT_NE(output.find("every 7 minutes"), std::string::npos) << output;
  EXPECT_NE(output.find("picture for Docomo: GIF 96x80, quality 3, colours 256\n"), std::string::npos) << output;
  EXPECT_NE(output.find("picture for other: JPEG 320x240, quality 20, colours full colour\n"), std::string::npos)
      << output;
  EXPECT_NE(output.find("GIF converter: " + qv::ProgramFolder() + "qvconvert\n"), std::string::npos) << output;
  EXPECT_NE(output.find(", kept 90 days\n"), std::string::npos) << output;
  // What the mail settings lack is said once, with the commands that set it, and no check
  // (nor a dial-up) is made.
  const std::string setup = "メールの設定が足りないため、メールを確認しません（未設定: MailSettings.UserID, "
                            "MailSettings.Passwd, MailSettings.SmtpServer）。"
                            "「オプション設定」、Quorvex --settings、または Quorvex --config set "
                            "MailSettings.UserID=値 で設定し、Quorvex --check-accounts で確かめてください。";
  ASSERT_NE(output.find(setup), std::string::npos) << output;
  EXPECT_EQ(output.find(setup), output.rfind(setup)) << output;
  EXPECT_EQ(output.find("メールチェック"), std::string::npos) << output;
  EXPECT_EQ(output.find("新規メールはありませんでした"), std::string::npos) << output;
  EXPECT_EQ(output.find("ダイアルアップ"), std::string::npos) << output;
  EXPECT_NE(output.find("stopping (interrupt)"), std::string::npos) << output;
  EXPECT_NE(output.find("Quorvex: 選択したデバイスが見つかりませんでした。"), std::string::npos) << output;
  EXPECT_NE(output.find("status=0"), std::string::npos) << output;
  // An existing file without the filter keys answers everybody, as it always did, and says so.
  EXPECT_NE(output.find("アドレスフィルタを使わない設定のため、すべての差出人に画像を返信します。"), std::string::npos)
      << output;
  EXPECT_NE(output.find("reply limits: 5 per sender and hour, 200 per day"), std::string::npos) << output;
  // A hand-edited sender address no reply could be sent from is named at the start.
  EXPECT_NE(output.find("差出人メールアドレス(MailAddr)の形式が正しくないため、返信は送れません: cam era@example.jp"),
            std::string::npos)
      << output;
  unsetenv("QUORVEX_TEST_DEVICES");
}

// Installed (in a lib/quorvex/ folder, even a writable one), the program writes nothing beside
// itself and names its per-user folder for the uninstall clean-up; from the build folder it
// leaves the registry alone.
TEST_F(HeadlessTest, InstalledProgramKeepsItsFilesPerUserAndRecordsTheFolder) {
  const std::string productKey = "HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex";
  std::string recorded;
  Run(folder_ + "build.ini");
  EXPECT_FALSE(qv::ReadRegistryString(productKey, "Directory", &recorded));

  std::string installed = folder_ + "usr/lib/quorvex/";
  std::filesystem::create_directories(installed);
  for (const char* name : {"Quorvex", "libQXDVCore.so"}) {
    std::filesystem::copy_file(qv::ProgramFolder() + name, installed + name);
  }
  setenv("XDG_CONFIG_HOME", (folder_ + "config").c_str(), 1);
  setenv("QUORVEX_TEST_DEVICES", "Desk Cam", 1);
  qv::ProcessOptions options;
  options.captureOutput = true;
  options.timeoutMs = 60000;
  qv::ProcessResult result = qv::RunProcess({installed + "Quorvex", "--once", "--timing-scale", "0"}, options);
  unsetenv("QUORVEX_TEST_DEVICES");
  unsetenv("XDG_CONFIG_HOME");
  EXPECT_EQ(result.outcome, qv::ProcessOutcome::kExited) << result.output;
  EXPECT_EQ(result.exitCode, 2) << result.output;  // the mail settings are incomplete

  std::string own = folder_ + "config/quorvex";
  ASSERT_TRUE(qv::ReadRegistryString(productKey, "Directory", &recorded)) << result.output;
  EXPECT_EQ(recorded, own);
  struct stat st;
  ASSERT_EQ(stat(own.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_TRUE(std::filesystem::exists(own + "/Quorvex.ini")) << result.output;
  size_t files = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(installed)) ++files;
  EXPECT_EQ(files, 2u);  // no settings file, no log folder beside the program
}

TEST(OnceStatus, EachFailureHasItsStatus) {
  EXPECT_EQ(OnceStatus(false, 0, 0, 0), 0);
  EXPECT_EQ(OnceStatus(false, 1, 0, 0), 1);
  EXPECT_EQ(OnceStatus(false, 0, 1, 0), 1);
  EXPECT_EQ(OnceStatus(false, 0, 0, 1), 1);  // requests that wait on the server for a camera
  EXPECT_EQ(OnceStatus(true, 1, 1, 1), 2);
}

TEST_F(HeadlessTest, UnusableSettingsFileGivesDefaultsAndAMessage) {
  std::string ini = folder_ + "folder.ini";
  ASSERT_EQ(mkdir(ini.c_str(), 0700), 0);
  std::string output = Run(ini);
  EXPECT_NE(output.find("is not a file; defaults are used"), std::string::npos) << output;
  EXPECT_NE(output.find("every 5 minutes"), std::string::npos) << output;
  EXPECT_NE(output.find("status=0"), std::string::npos) << output;
  // Settings that cannot be read answer nobody.
  const std::string nobody = "返信するアドレスが登録されていないため、どのメールにも返信しません。";
  EXPECT_NE(output.find(nobody), std::string::npos) << output;

  // A first start makes the settings file with the first settings, and says who is answered.
  std::string missing = folder_ + "missing.ini";
  output = Run(missing);
  EXPECT_NE(output.find("not there yet"), std::string::npos) << output;
  EXPECT_NE(output.find(nobody + "「Quorvex --senders add アドレス」"), std::string::npos) << output;
  EXPECT_NE(qv::ReadFileBytes(missing).find("[FilterSettings]\r\nMailFill=1\r\nFiltMode=1\r\n"), std::string::npos);
  EXPECT_EQ(qv::ReadFileBytes(folder_ + "MailList.dat"), "");
  output = Run(missing);
  EXPECT_EQ(output.find("not there yet"), std::string::npos) << output;
  EXPECT_EQ(output.find("could not be written"), std::string::npos) << output;
  // A settings file that cannot be made is said so; the program still answers nobody.
  const std::string nowhere = folder_ + "nowhere/Quorvex.ini";
  output = Run(nowhere);
  EXPECT_NE(output.find("Quorvex: the settings file " + nowhere + " could not be written"), std::string::npos)
      << output;
  EXPECT_NE(output.find(nobody), std::string::npos) << output;

  qv::ProcessOptions options;
  options.captureOutput = true;
  // The sender list from the program's command line, on the file --ini names.
  const std::string other = folder_ + "other/Quorvex.ini";
  std::filesystem::create_directories(folder_ + "other");
  EXPECT_EQ(qv::RunProcess({program_, "--senders", "add", "taro@example.jp", "--ini", other}, options).exitCode, 0);
  EXPECT_EQ(qv::ReadFileBytes(folder_ + "other/MailList.dat"), "taro@example.jp\n");
  EXPECT_EQ(qv::RunProcess({program_, "--ini=" + other, "--senders", "add", "a b@x.jp"}, options).exitCode, 2);
  qv::ProcessResult listed = qv::RunProcess({program_, "--senders", "list", "--ini", other}, options);
  EXPECT_NE(listed.output.find("taro@example.jp\n"), std::string::npos) << listed.output;
  EXPECT_EQ(qv::RunProcess({program_, "--bogus"}).exitCode, 1);
  qv::ProcessResult help = qv::RunProcess({program_, "--help"}, options);
  EXPECT_TRUE(help.Succeeded());
  EXPECT_NE(help.output.find("--ini PATH"), std::string::npos);
}

// Runs the program with its standard error joined to the captured standard output.
qv::ProcessResult RunJoined(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"/bin/sh", "-c", "exec \"$@\" 2>&1", "sh"});
  qv::ProcessOptions options;
  options.captureOutput = true;
  options.timeoutMs = 60000;
  return qv::RunProcess(arguments, options);
}

TEST_F(HeadlessTest, VersionHelpAndDeviceListAnswerAndEnd) {
  qv::ProcessOptions options;
  options.captureOutput = true;
  for (const char* option : {"--version", "-V"}) {
    qv::ProcessResult version = qv::RunProcess({program_, option}, options);
    EXPECT_TRUE(version.Succeeded()) << option;
    EXPECT_EQ(version.output, std::string("Quorvex ") + ProgramVersion() + "\n") << option;
  }
  EXPECT_STREQ(ProgramVersion(), QUORVEX_PROJECT_VERSION);
  qv::ProcessResult help = qv::RunProcess({program_, "--help"}, options);
  for (const char* status : {"\n  0  ", "\n  1  ", "\n  2  ", "--once: a step failed", "--list-devices"}) {
    EXPECT_NE(help.output.find(status), std::string::npos) << status;
  }

  setenv("QUORVEX_TEST_DEVICES", "Desk Cam,Other Cam", 1);
  qv::ProcessResult listed = qv::RunProcess({program_, "--list-devices"}, options);
  EXPECT_TRUE(listed.Succeeded()) << listed.output;
  EXPECT_EQ(listed.output, "Desk Cam\nOther Cam\n");
  // A name the list does not hold is stored all the same, with the names there are.
  std::string ini = folder_ + "device.ini";
  qv::ProcessResult set = RunJoined({program_, "--config", "set", "BasicSettings.DeviceName=Nope", "--ini", ini});
  EXPECT_TRUE(set.Succeeded()) << set.output;
  EXPECT_NE(set.output.find("The devices are \"Desk Cam\", \"Other Cam\""), std::string::npos) << set.output;
  EXPECT_NE(qv::ReadFileBytes(ini).find("DeviceName=Nope\r\n"), std::string::npos);
  unsetenv("QUORVEX_TEST_DEVICES");
  EXPECT_EQ(qv::RunProcess({program_, "--list-devices", "--once"}, options).exitCode, 1);
}

// Without a display the window says so and ends with status 1, both when none is named and when
// the named one cannot be opened.
TEST_F(HeadlessTest, WindowWithoutADisplaySaysSoAndEndsWithStatusOne) {
  qv::ProcessOptions options;
  options.captureOutput = true;
  unsetenv("QT_QPA_PLATFORM");
  qv::ProcessResult none = RunJoined({program_, "--window", "--ini", folder_ + "w.ini"});
  EXPECT_EQ(none.exitCode, 1) << none.output;
  EXPECT_NE(none.output.find("--window needs a screen, and no display is named"), std::string::npos) << none.output;
  EXPECT_NE(none.output.find("Quorvex --headless"), std::string::npos) << none.output;
  setenv("DISPLAY", ":97", 1);  // no X server answers there
  qv::ProcessResult unusable = RunJoined({program_, "--window", "--ini", folder_ + "w.ini"});
  unsetenv("DISPLAY");
  EXPECT_EQ(unusable.exitCode, 1) << unusable.output;
  EXPECT_NE(unusable.output.find("--window cannot open its windows"), std::string::npos) << unusable.output;
  EXPECT_EQ(qv::RunProcess({program_, "--settings", "--ini", folder_ + "w.ini"}, options).exitCode, 1);
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
}

// A stop signal while a message box waits for its OK closes the box, and the program ends in
// order: the clean-up saves the window position.
TEST_F(HeadlessTest, StopSignalClosesAnOpenMessageBoxAndEndsInOrder) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  setenv("QUORVEX_TEST_DEVICES", "", 1);  // no camera: the device-count box opens at start
  const std::string ini = folder_ + "box.ini";
  qv::ProcessOptions options;
  options.captureOutput = true;
  options.timeoutMs = 120000;
  qv::ProcessResult result = qv::RunProcess(
      {"/bin/sh", "-c", kRunAndInterrupt, "sh", program_, ini, folder_ + "output",
       "キャプチャデバイスが見つかりませんでした", "--window", "TERM"},
      options);
  unsetenv("QUORVEX_TEST_DEVICES");
  EXPECT_NE(result.output.find("status=0"), std::string::npos) << result.output;
  EXPECT_NE(qv::ReadFileBytes(ini).find("[Window]\r\nMainLeft="), std::string::npos) << result.output;
}

// The token line of --check-accounts takes a stored access token that is still good as it is;
// one within the refresh margin is renewed, which fails here: the provider's address is refused.
TEST_F(HeadlessTest, TokenLineUsesAStoredTokenWhileItIsGood) {
  MailSettings mail;
  mail.AuthMethod = 1;
  mail.OAuthProvider = 2;
  std::snprintf(mail.OAuthClientId, sizeof mail.OAuthClientId, "client");
  std::snprintf(mail.OAuthTokenUrl, sizeof mail.OAuthTokenUrl, "http://192.0.2.1/token");
  const std::string ini = folder_ + "Quorvex.ini";
  StoredTokens stored{"refresh", "access", static_cast<int64_t>(std::time(nullptr)) + 3600};
  std::string why;
  ASSERT_TRUE(SaveTokenFile(TokenFilePath(ini), stored, &why)) << why;
  std::string line;
  EXPECT_TRUE(CheckOAuthToken(mail, ini, &line)) << qv::Utf8FromCp932(line);
  EXPECT_EQ(qv::Utf8FromCp932(line), "OAuth2 アクセストークン ... OK");

  stored.expiresAt = static_cast<int64_t>(std::time(nullptr)) + kRefreshMarginSeconds / 2;
  ASSERT_TRUE(SaveTokenFile(TokenFilePath(ini), stored, &why)) << why;
  EXPECT_FALSE(CheckOAuthToken(mail, ini, &line));
  EXPECT_NE(line.find("OAuthTokenUrl"), std::string::npos) << qv::Utf8FromCp932(line);
}

}  // namespace
