#include "app/settings/settings.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "app/settings/ini.h"
#include "app/settings/settings_test_folder.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/text.h"

namespace {

using SettingsTest = SettingsFolderTest;

void ExpectProfile(const PictSettings& p, std::array<int, 9> expected) {
  std::array<int, 9> actual = {p.Type,       p.PictQuality, p.Width,    p.Height, p.Aspect,
                               p.ColQuality, p.ColorNum,    p.Contrast, p.Light};
  EXPECT_EQ(actual, expected);
}

TEST_F(SettingsTest, EmptyFileLoadsEveryDefault) {
  qv::WriteFileBytes(path_, "");
  AllSettings all;
  std::memset(all.basic.DeviceName, 'x', sizeof all.basic.DeviceName);  // must be overwritten
  all.basic.PreviewRate = all.basic.MailTimer = all.mail.PopPort = -99;
  ASSERT_EQ(LoadAllSettings(path_.c_str(), &all), 1);
  EXPECT_FALSE(all.window.valid);
  EXPECT_EQ(all.basic.PreviewRate, 6);
  EXPECT_EQ(all.basic.MailTimer, 5);
  EXPECT_EQ(all.basic.WakeUpMail, 0);
  EXPECT_EQ(all.basic.StartIcon, 0);
  EXPECT_EQ(all.basic.LogOutput, 1);
  EXPECT_STREQ(all.basic.DeviceName, "");
  EXPECT_STREQ(all.basic.LogFolder, "");
  EXPECT_EQ(all.basic.LogKeepDays, 90);
  EXPECT_EQ(all.mail.PopPort, 110);
  EXPECT_EQ(all.mail.SmtpPort, 25);
  EXPECT_EQ(all.mail.BeforeSMTP, 0);
  EXPECT_EQ(all.mail.ConnMode, 0);
  EXPECT_STREQ(all.mail.Passwd, "");
  EXPECT_STREQ(all.mail.UserID, "");
  // An older file, without the mailbox protocol keys, reads POP3.
  EXPECT_EQ(all.mail.MailProtocol, 0);
  EXPECT_STREQ(all.mail.ImapFolder, "INBOX");
  EXPECT_EQ(all.mail.ImapIdle, 1);
  // An older file, without the keys of secret commands and OAuth2, logs in with the password.
  EXPECT_EQ(all.mail.AuthMethod, 0);
  EXPECT_STREQ(all.mail.PassCommand, "");
  EXPECT_STREQ(all.mail.SmtpPassCommand, "");
  EXPECT_EQ(all.mail.OAuthProvider, 0);
  EXPECT_EQ(std::string(all.send.Title), "Quorvex\x89\xE6\x91\x9C");  // Quorvex画像
  EXPECT_STREQ(all.send.MailText, "");
  // An existing file keeps the key defaults of old: a file without the filter keys answers
  // every sender, as it always did.
  EXPECT_EQ(all.filter.RcvDelete, 1);
  EXPECT_EQ(all.filter.MailFill, 0);
  EXPECT_EQ(all.filter.FiltMode, 0);
  EXPECT_EQ(all.filter.SenderHourLimit, 5);
  EXPECT_EQ(all.filter.DayLimit, 200);
  EXPECT_FALSE(all.converterInstalled);
  EXPECT_EQ(all.converterPath, "");
  ExpectProfile(all.pict[0], {0, 7, 120, 120, 1, 4, 24, 0, 0});
  ExpectProfile(all.pict[1], {1, 12, 120, 128, 1, 4, 36, 0, 0});
  ExpectProfile(all.pict[2], {1, 3, 96, 80, 1, 4, 32, 0, 0});  // GIF without converter: JPEG
  ExpectProfile(all.pict[3], {1, 20, 320, 240, 1, 4, 36, 0, 0});
  // A missing file gives the same, but the first settings' filter that answers nobody, and is
  // not created; so does a file that cannot be read.
  std::filesystem::remove(path_);
  AllSettings fresh;
  LoadAllSettings(path_.c_str(), &fresh);
  EXPECT_EQ(fresh.basic.MailTimer, 5);
  EXPECT_EQ(fresh.filter.MailFill, 1);
  EXPECT_EQ(fresh.filter.FiltMode, 1);
  EXPECT_EQ(fresh.filter.RcvDelete, 1);
  EXPECT_EQ(fresh.filter.SenderHourLimit, 5);
  EXPECT_FALSE(std::filesystem::exists(path_));
  std::filesystem::create_directory(path_);
  AllSettings folder;
  testing::internal::CaptureStderr();
  LoadAllSettings(path_.c_str(), &folder);
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(folder.filter.MailFill, 1);
  EXPECT_EQ(folder.filter.FiltMode, 1);
  std::filesystem::remove(path_);
  // A profile number without defaults reads missing keys as 0.
  PictSettings other;
  other.Width = 77;
  LoadPictSettings(path_.c_str(), 4, &other);
  ExpectProfile(other, {0, 0, 0, 0, 0, 0, 0, 0, 0});
}

TEST_F(SettingsTest, HandEditedValuesNeverOverrunAndHarmfulOnesAreHeld) {
  std::string longId(100, 'u');
  std::string longTitle = std::string(254, 'a') + "\x89\xE6";  // a double-byte character across the cut
  qv::WriteFileBytes(path_,
            "[BasicSettings]\r\nMailTimer=-3\r\nPreviewRate=99999999999\r\nWakeUpMail= 1x\r\nLogOutput=\r\n"
            "[MailSettings]\r\nPopPort=abc\r\nUserID=" +
                longId + "\r\nSmtpPort=-99999999999\r\n[SendSettings]\r\nTitle=" + longTitle +
                "\r\nMailText=one<BR>two\r\n[Window]\r\nMainLeft=10\r\n");
  AllSettings all;
  LoadAllSettings(path_.c_str(), &all);
  // A check interval under a minute would hammer the server: held, and said so.
  EXPECT_EQ(all.basic.MailTimer, 1);
  ASSERT_EQ(all.corrections.size(), 1u);
  EXPECT_EQ(all.corrections[0], "MailTimer=-3" + SJIS(" は範囲外のため ") + "1" + SJIS(" として扱います。"));
  EXPECT_EQ(all.basic.PreviewRate, 2147483647);
  EXPECT_EQ(all.basic.WakeUpMail, 1);
  EXPECT_EQ(all.basic.LogOutput, 1);  // empty value: default
  EXPECT_EQ(all.mail.PopPort, 0);
  EXPECT_EQ(all.mail.SmtpPort, -2147483647 - 1);
  EXPECT_EQ(std::string(all.mail.UserID), longId.substr(0, 63));
  EXPECT_EQ(std::string(all.send.Title), std::string(254, 'a'));  // 255 bytes would split 画
  EXPECT_STREQ(all.send.MailText, "one<BR>two");
  EXPECT_TRUE(all.window.valid);
  EXPECT_EQ(all.window.MainLeft, 10);
  EXPECT_EQ(all.window.MainTop, 0);
}

TEST_F(SettingsTest, CheckIntervalAndSecurityAreHeldToTheirRanges) {
  struct Case {
    const char* key;
    const char* section;
    const char* value;
    int held;        // what the record holds after the load
    bool corrected;  // a correction line is logged
  };
  // A security level that is out of range or not a number means TLS from the first byte, never
  // plain text.
  const Case cases[] = {
      {"MailTimer", "BasicSettings", "0", 1, true},      {"MailTimer", "BasicSettings", "1", 1, false},
      {"MailTimer", "BasicSettings", "10", 10, false},   {"MailTimer", "BasicSettings", "11", 10, true},
      {"PopSecurity", "MailSettings", "-1", 2, true},    {"PopSecurity", "MailSettings", "0", 0, false},
      {"PopSecurity", "MailSettings", "1", 1, false},    {"PopSecurity", "MailSettings", "2", 2, false},
      {"PopSecurity", "MailSettings", "3", 2, true},     {"PopSecurity", "MailSettings", "tls", 2, true},
      {"PopSecurity", "MailSettings", "1x", 2, true},    {"PopSecurity", "MailSettings", " 1 ", 1, false},
      {"SmtpSecurity", "MailSettings", "-1", 2, true},   {"SmtpSecurity", "MailSettings", "7", 2, true},
      {"SmtpSecurity", "MailSettings", "tls", 2, true},  {"SmtpSecurity", "MailSettings", "00", 2, true},
      {"MailProtocol", "MailSettings", "1", 1, false},   {"MailProtocol", "MailSettings", "2", 1, true},
      {"MailProtocol", "MailSettings", "-1", 0, true},
      // An unknown method never turns a token into a password sent as one.
      {"AuthMethod", "MailSettings", "-1", 0, true},     {"AuthMethod", "MailSettings", "0", 0, false},
      {"AuthMethod", "MailSettings", "1", 1, false},     {"AuthMethod", "MailSettings", "2", 1, true},
      // A negative count would remove every file: it keeps them all instead.
      {"LogKeepDays", "BasicSettings", "-1", 0, true}, {"LogKeepDays", "BasicSettings", "0", 0, false},
      {"LogKeepDays", "BasicSettings", "3650", 3650, false}, {"LogKeepDays", "BasicSettings", "3651", 3650, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + "=" + c.value);
    qv::WriteFileBytes(path_, std::string("[") + c.section + "]\r\n" + c.key + "=" + c.value + "\r\n");
    AllSettings all;
    LoadAllSettings(path_.c_str(), &all);
    std::string key = c.key;
    int loaded = key == "MailTimer"      ? all.basic.MailTimer
                 : key == "LogKeepDays"  ? all.basic.LogKeepDays
                 : key == "PopSecurity"  ? all.mail.PopSecurity
                 : key == "MailProtocol" ? all.mail.MailProtocol
                 : key == "AuthMethod"   ? all.mail.AuthMethod
                                         : all.mail.SmtpSecurity;
    EXPECT_EQ(loaded, c.held);
    ASSERT_EQ(all.corrections.size(), c.corrected ? 1u : 0u);
    if (c.corrected) {
      EXPECT_EQ(all.corrections[0], key + "=" + c.value + SJIS(" は範囲外のため ") + std::to_string(c.held) +
                                        SJIS(" として扱います。"));
    }
    // Every load routine reads the level so, not only the main program's.
    MailSettings mail;
    LoadMailSettings(path_.c_str(), &mail);
    if (key == "PopSecurity") {
      EXPECT_EQ(mail.PopSecurity, c.held);
    }
    if (key == "SmtpSecurity") {
      EXPECT_EQ(mail.SmtpSecurity, c.held);
    }
  }
}

// The settings file holds the passwords: one that others may read is named in a warning, and
// every save leaves it private.
TEST_F(SettingsTest, ASettingsFileOthersMayReadIsWarnedOfAndASaveMakesItPrivate) {
  for (mode_t mode : {0600, 0640, 0604, 0644}) {
    SCOPED_TRACE(mode);
    qv::WriteFileBytes(path_, "[MailSettings]\r\nPasswd=cHc\r\n");
    ASSERT_EQ(chmod(path_.c_str(), mode), 0);
    AllSettings all;
    LoadAllSettings(path_.c_str(), &all);
    ASSERT_EQ(all.warnings.size(), mode == 0600 ? 0u : 1u);
    if (mode != 0600) {
      EXPECT_NE(all.warnings[0].find(path_), std::string::npos);
    }
    EXPECT_TRUE(all.corrections.empty());
    ASSERT_EQ(SaveMailSettings(path_.c_str(), &all.mail), 1);
    struct stat st;
    ASSERT_EQ(stat(path_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

TEST_F(SettingsTest, PasswordRoundTripsForEveryLength) {
  std::mt19937 random(2003);
  for (int length = 0; length <= 63; ++length) {
    MailSettings saved;
    for (int i = 0; i < length; ++i) saved.Passwd[i] = static_cast<char>(1 + random() % 255);
    saved.Passwd[length] = '\0';
    ASSERT_EQ(SaveMailSettings(path_.c_str(), &saved), 1);
    char stored[256];
    GetIniString("MailSettings", "Passwd", "", stored, sizeof stored, path_.c_str());
    EXPECT_EQ(std::strlen(stored), static_cast<size_t>((length * 4 + 2) / 3)) << length;
    EXPECT_EQ(std::strchr(stored, '='), nullptr);
    MailSettings loaded;
    LoadMailSettings(path_.c_str(), &loaded);
    EXPECT_STREQ(loaded.Passwd, saved.Passwd) << "length " << length;
  }
}

TEST_F(SettingsTest, PasswordDecodingIsLenient) {
  MailSettings saved;
  std::strcpy(saved.Passwd, "pass");
  ASSERT_EQ(SaveMailSettings(path_.c_str(), &saved), 1);
  EXPECT_NE(qv::ReadFileBytes(path_).find("\r\nPasswd=cGFzcw\r\n"), std::string::npos);

  auto decode = [&](const std::string& stored) {
    qv::WriteFileBytes(path_, "[MailSettings]\r\nPasswd=" + stored + "\r\n");
    MailSettings loaded;
    LoadMailSettings(path_.c_str(), &loaded);
    return std::string(loaded.Passwd);
  };
  EXPECT_EQ(decode("cGFzcw=="), "pass");    // padding is outside the alphabet: zero, cut
  EXPECT_EQ(decode("cGFz!3Nw"), "pas\x03sp");  // a stray character counts as 0
  EXPECT_EQ(decode("cGFzAAAAcw"), "pas");     // the text ends at its first zero byte
  EXPECT_EQ(decode("QUJD"), "ABC");
  EXPECT_EQ(decode("Q"), "@");                // missing characters count as 0
  // A long stored value is cut to the field at a character boundary.
  EXPECT_EQ(decode(std::string(120, 'Q')).size(), 63u);
}

TEST_F(SettingsTest, FileCreatedFromNothingListsKeysInWriteOrder) {
  BasicSettings basic;
  MailSettings mail;
  SendSettings send;
  std::strcpy(send.Title, "T");
  FilterSettings filter;
  PictSettings pict;
  WindowPlacement window;
  window.MainLeft = -5;
  window.MainTop = 12;
  ASSERT_EQ(SaveBasicSettings(path_.c_str(), &basic), 1);
  ASSERT_EQ(SaveMailSettings(path_.c_str(), &mail), 1);
  ASSERT_EQ(SaveSendSettings(path_.c_str(), &send), 1);
  ASSERT_EQ(SaveFilterSettings(path_.c_str(), &filter), 1);
  ASSERT_EQ(SavePictSettings(path_.c_str(), 2, &pict), 1);
  ASSERT_EQ(SaveWindowPlacement(path_.c_str(), &window), 1);
  EXPECT_EQ(qv::ReadFileBytes(path_),
            "[BasicSettings]\r\nPreviewRate=6\r\nWakeUpMail=0\r\nStartIcon=0\r\nMailTimer=5\r\nDeviceName=\r\n"
            "LogOutput=1\r\nLogFolder=\r\nLogKeepDays=90\r\n"
            "[MailSettings]\r\nUserName=\r\nMailAddr=\r\nPopServer=\r\nSmtpServer=\r\nUserID=\r\nPasswd=\r\n"
            "BeforeSMTP=0\r\nConnMode=0\r\nPopPort=110\r\nSmtpPort=25\r\nDialName=\r\n"
            "PopSecurity=0\r\nSmtpSecurity=0\r\nSmtpAuth=0\r\nSmtpUserID=\r\nSmtpPasswd=\r\nCaFile=\r\n"
            "MailProtocol=0\r\nImapFolder=INBOX\r\nImapIdle=1\r\n"
            "PassCommand=\r\nSmtpPassCommand=\r\nAuthMethod=0\r\nOAuthProvider=0\r\nOAuthClientId=\r\n"
            "OAuthClientSecret=\r\nOAuthTokenUrl=\r\nOAuthAuthUrl=\r\nOAuthDeviceUrl=\r\nOAuthScope=\r\n"
            "[SendSettings]\r\nTitle=T\r\nMailText=\r\nSendName=\r\n"
            "[FilterSettings]\r\nMailFill=0\r\nFiltMode=0\r\nTitleFilt=0\r\nTextFilt=0\r\nRcvDelete=1\r\n"
            "TitleFiltText=\r\nTextFiltText=\r\nSenderHourLimit=5\r\nDayLimit=200\r\n"
            "[PictSettings2]\r\nType=0\r\nPictQuality=0\r\nWidth=0\r\nHeight=0\r\nAspect=0\r\nColQuality=0\r\n"
            "ColorNum=0\r\nContrast=0\r\nLight=0\r\n"
            "[Window]\r\nMainLeft=-5\r\nMainTop=12\r\n");
}

TEST_F(SettingsTest, FirstSettingsAreMadeOnlyWhereNoFileIsYet) {
  const std::string list = folder_ + "MailList.dat";
  std::string error;
  EXPECT_EQ(CreateFirstSettings(path_.c_str(), &error), FirstSettings::kCreated);
  EXPECT_EQ(qv::ReadFileBytes(path_),
            "[FilterSettings]\r\nMailFill=1\r\nFiltMode=1\r\nTitleFilt=0\r\nTextFilt=0\r\nRcvDelete=1\r\n"
            "TitleFiltText=\r\nTextFiltText=\r\nSenderHourLimit=5\r\nDayLimit=200\r\n");
  EXPECT_TRUE(std::filesystem::exists(list));
  EXPECT_EQ(qv::ReadFileBytes(list), "");
  // Once it is there, it is never made again, whatever it holds.
  qv::WriteFileBytes(path_, "[BasicSettings]\r\nMailTimer=3\r\n");
  EXPECT_EQ(CreateFirstSettings(path_.c_str(), &error), FirstSettings::kExisting);
  EXPECT_EQ(qv::ReadFileBytes(path_), "[BasicSettings]\r\nMailTimer=3\r\n");
  FilterSettings filter;
  LoadFilterSettings(path_.c_str(), &filter);
  EXPECT_EQ(filter.MailFill, 0);  // an existing file keeps its key defaults
  // A list that came before the settings file is kept.
  std::filesystem::remove(path_);
  qv::WriteFileBytes(list, "taro@example.jp\n");
  EXPECT_EQ(CreateFirstSettings(path_.c_str(), &error), FirstSettings::kCreated);
  EXPECT_EQ(qv::ReadFileBytes(list), "taro@example.jp\n");
  // A folder that is not there: nothing can be made, and the caller hears why.
  const std::string nowhere = folder_ + "missing/Quorvex.ini";
  testing::internal::CaptureStderr();
  EXPECT_EQ(CreateFirstSettings(nowhere.c_str(), &error), FirstSettings::kFailed);
  testing::internal::GetCapturedStderr();
  EXPECT_NE(error.find(nowhere), std::string::npos);
}

TEST_F(SettingsTest, FilterStateTextSaysWhoGetsAPicture) {
  const struct {
    int mailFill;
    int filtMode;
    size_t entries;
    const char* text;
  } cases[] = {
      {0, 1, 3, "アドレスフィルタを使わない設定のため、すべての差出人に画像を返信します。"},
      {1, 1, 0, "返信するアドレスが登録されていないため、どのメールにも返信しません。"
                "「Quorvex --senders add アドレス」か、設定のフィルタ設定で登録してください。"},
      {1, 1, 1, "登録された1件のアドレスにだけ画像を返信します。"},
      {1, 2, 2, "登録された2件のアドレスにだけ画像を返信します。"},  // any mode but 0 accepts only
      {1, 0, 0, "受け付けないアドレスが登録されていないため、すべての差出人に画像を返信します。"},
      {1, 0, 4, "登録された4件のアドレスを除き、すべての差出人に画像を返信します。"},
  };
  for (const auto& c : cases) {
    FilterSettings filter;
    filter.MailFill = c.mailFill;
    filter.FiltMode = c.filtMode;
    EXPECT_EQ(qv::Utf8FromCp932(FilterStateText(filter, c.entries)), c.text) << c.mailFill << c.filtMode << c.entries;
  }
}

TEST_F(SettingsTest, SavedRecordsLoadBackAndResavingKeepsTheFile) {
  BasicSettings basic;
  basic.MailTimer = 10;
  basic.WakeUpMail = 1;
  std::strcpy(basic.DeviceName, "Test Camera");
  std::strcpy(basic.LogFolder, "/var/log/quorvex");
  MailSettings mail;
  std::strcpy(mail.PopServer, "pop.example.com");
  std::strcpy(mail.UserID, "user");
  std::strcpy(mail.Passwd, "s3cret!");
  mail.ConnMode = 1;
  std::strcpy(mail.DialName, "Modem");
  mail.PopSecurity = 2;
  mail.SmtpSecurity = 1;
  mail.SmtpAuth = 1;
  std::strcpy(mail.SmtpUserID, "submit");
  std::strcpy(mail.SmtpPasswd, "p=ss word");
  std::strcpy(mail.CaFile, "/etc/quorvex/ca.pem");
  mail.MailProtocol = 1;
  std::strcpy(mail.ImapFolder, SJIS("カメラ/依頼").c_str());
  mail.ImapIdle = 0;
  SendSettings send;
  std::strcpy(send.Title, SJIS("カメラ").c_str());
  std::strcpy(send.MailText, "line one<BR>line two");
  FilterSettings filter;
  filter.TitleFilt = 1;
  std::strcpy(filter.TitleFiltText, "cam");
  filter.SenderHourLimit = 0;
  filter.DayLimit = 17;
  PictSettings pict{2, 5, 160, 120, 0, 3, 16, -10, 20};
  ASSERT_EQ(SaveBasicSettings(path_.c_str(), &basic), 1);
  ASSERT_EQ(SaveMailSettings(path_.c_str(), &mail), 1);
  ASSERT_EQ(SaveSendSettings(path_.c_str(), &send), 1);
  ASSERT_EQ(SaveFilterSettings(path_.c_str(), &filter), 1);
  for (int profile = 0; profile < 4; ++profile) ASSERT_EQ(SavePictSettings(path_.c_str(), profile, &pict), 1);
  std::string first = qv::ReadFileBytes(path_);

  AllSettings all;
  LoadAllSettings(path_.c_str(), &all);
  EXPECT_EQ(all.basic.MailTimer, 10);
  EXPECT_EQ(all.basic.WakeUpMail, 1);
  EXPECT_STREQ(all.basic.DeviceName, "Test Camera");
  EXPECT_STREQ(all.basic.LogFolder, "/var/log/quorvex");
  EXPECT_STREQ(all.mail.Passwd, "s3cret!");
  EXPECT_STREQ(all.mail.DialName, "Modem");
  EXPECT_EQ(all.mail.ConnMode, 1);
  EXPECT_EQ(all.mail.PopSecurity, 2);
  EXPECT_EQ(all.mail.SmtpSecurity, 1);
  EXPECT_EQ(all.mail.SmtpAuth, 1);
  EXPECT_STREQ(all.mail.SmtpUserID, "submit");
  EXPECT_STREQ(all.mail.SmtpPasswd, "p=ss word");
  EXPECT_STREQ(all.mail.CaFile, "/etc/quorvex/ca.pem");
  EXPECT_EQ(all.mail.MailProtocol, 1);
  EXPECT_EQ(std::string(all.mail.ImapFolder), SJIS("カメラ/依頼"));
  EXPECT_EQ(all.mail.ImapIdle, 0);
  EXPECT_EQ(first.find("p=ss word"), std::string::npos);  // stored encoded, like Passwd
  EXPECT_EQ(std::string(all.send.Title), SJIS("カメラ"));
  EXPECT_STREQ(all.send.MailText, "line one<BR>line two");
  EXPECT_EQ(all.filter.TitleFilt, 1);
  EXPECT_STREQ(all.filter.TitleFiltText, "cam");
  EXPECT_EQ(all.filter.SenderHourLimit, 0);
  EXPECT_EQ(all.filter.DayLimit, 17);
  for (const PictSettings& p : all.pict) ExpectProfile(p, {2, 5, 160, 120, 0, 3, 16, -10, 20});

  // Saving what was loaded changes nothing.
  SaveBasicSettings(path_.c_str(), &all.basic);
  SaveMailSettings(path_.c_str(), &all.mail);
  SaveSendSettings(path_.c_str(), &all.send);
  SaveFilterSettings(path_.c_str(), &all.filter);
  for (int profile = 0; profile < 4; ++profile) SavePictSettings(path_.c_str(), profile, &all.pict[profile]);
  EXPECT_EQ(qv::ReadFileBytes(path_), first);
}

TEST_F(SettingsTest, GifProfileFallsBackToJpegOnlyWithoutConverter) {
  qv::WriteFileBytes(path_, "[PictSettings0]\r\nType=3\r\n");
  AllSettings all;
  LoadAllSettings(path_.c_str(), &all);
  EXPECT_EQ(all.pict[0].Type, PICT_JPEG);
  EXPECT_EQ(all.pict[2].Type, PICT_JPEG);
  EXPECT_EQ(qv::ReadFileBytes(path_), "[PictSettings0]\r\nType=3\r\n");

  // A converter others may change is not used: GIF stays JPEG, and the log says why.
  const std::string converter = folder_ + "converter/qvconvert";
  std::filesystem::create_directories(folder_ + "converter");
  qv::WriteFileBytes(converter, "#!/bin/sh\n");
  chmod(converter.c_str(), 0777);
  ASSERT_TRUE(qv::WriteRegistryString("HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command", "",
                                      "\"" + converter + "\" \"%1\""));
  chmod(path_.c_str(), 0600);
  LoadAllSettings(path_.c_str(), &all);
  EXPECT_FALSE(all.converterInstalled);
  EXPECT_EQ(all.pict[0].Type, PICT_JPEG);
  ASSERT_EQ(all.warnings.size(), 1u);
  EXPECT_NE(all.warnings[0].find(converter + " is not used: group or others may change it"), std::string::npos);

  chmod(converter.c_str(), 0755);
  LoadAllSettings(path_.c_str(), &all);
  EXPECT_TRUE(all.converterInstalled);
  EXPECT_EQ(all.converterPath, converter);
  EXPECT_EQ(all.pict[0].Type, PICT_GIF);
  EXPECT_EQ(all.pict[2].Type, PICT_GIF);
  EXPECT_TRUE(all.warnings.empty());
}

}  // namespace

namespace {

// A check needs the mailbox account and its replies the SMTP server and the sender address.
TEST(MailSettingsNeeded, MissingKeysAreNamedInOrder) {
  MailSettings mail;
  EXPECT_EQ(MissingMailSettings(mail),
            (std::vector<std::string>{"PopServer", "UserID", "Passwd", "SmtpServer", "MailAddr"}));
  std::strcpy(mail.PopServer, "pop.example.jp");
  std::strcpy(mail.UserID, "camera");
  std::strcpy(mail.Passwd, "secret");
  std::strcpy(mail.SmtpServer, "smtp.example.jp");
  EXPECT_EQ(MissingMailSettings(mail), std::vector<std::string>{"MailAddr"});
  std::strcpy(mail.MailAddr, "camera@example.jp");
  EXPECT_TRUE(MissingMailSettings(mail).empty());
  mail.Passwd[0] = '\0';
  EXPECT_EQ(MissingMailSettings(mail), std::vector<std::string>{"Passwd"});
  // A command or an OAuth2 token stands in for the stored password; the submission's own
  // command does not serve the mailbox.
  std::strcpy(mail.SmtpPassCommand, "pass show submit");
  EXPECT_EQ(MissingMailSettings(mail), std::vector<std::string>{"Passwd"});
  std::strcpy(mail.PassCommand, "pass show mail");
  EXPECT_TRUE(MissingMailSettings(mail).empty());
  mail.PassCommand[0] = '\0';
  mail.AuthMethod = 1;
  EXPECT_TRUE(MissingMailSettings(mail).empty());
  mail.UserID[0] = '\0';
  EXPECT_EQ(MissingMailSettings(mail), std::vector<std::string>{"UserID"});
}

}  // namespace
