#include "dialogs/mail_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSpinBox>

#include <functional>

#include "dialogs/mail_security_dialog.h"
#include "dialogs/oauth_login_box.h"
#include "dialogs/testing/test_support.h"

namespace qxdlg {
namespace {

using testing::Message;
using testing::SheetFixture;

class MailPageTest : public SheetFixture {
 protected:
  // A sheet on the mail page with settings that pass every check.
  std::unique_ptr<CSettingsSheet> OpenMailPage() {
    auto sheet = OpenSheet();
    ShowPage(*sheet, kMailPage);
    Type(*sheet, "userName", "カメラ");
    Type(*sheet, "mailAddr", "cam@example.jp");
    Type(*sheet, "popServer", "pop.example.jp");
    Type(*sheet, "smtpServer", "smtp.example.jp");
    Type(*sheet, "userId", "cam");
    Type(*sheet, "password", "secret");
    return sheet;
  }
  // Opens the details dialog from the mail page; `act` does what the user would there and must
  // end the dialog.
  static void InSecurityDialog(CSettingsSheet& sheet, std::function<void(QDialog&)> act) {
    testing::HandleNextDialog(std::move(act));
    Find<QPushButton>(sheet, "securityButton")->click();
  }
  [[nodiscard]] MailSettings Stored() const {
    MailSettings record;
    LoadMailSettings(ini_.c_str(), &record);
    return record;
  }
};

TEST_F(MailPageTest, EachCheckRefusesWithItsMessageAndFocus) {
  const std::string notAscii = "英数字、記号以外の文字が使用されています。";
  const std::string form = "xxxxx@xxxxxの形式で入力してください。";
  const struct {
    const char* box;
    const char* typed;
    Message message;
  } cases[] = {
      {"mailAddr", "", {"メールアドレスを入力してください。", "メールアドレスエラー"}},
      {"popServer", "", {"ＰＯＰ３サーバー名を入力してください。", "ＰＯＰ３サーバーエラー"}},
      {"smtpServer", "", {"ＳＭＴＰサーバーを入力してください。", "ＳＭＴＰサーバーエラー"}},
      {"userId", "", {"ユーザーＩＤを入力してください。", "ユーザーＩＤエラー"}},
      {"mailAddr", "カメラ@example.jp", {notAscii, "メールアドレスエラー"}},
      {"mailAddr", "cam.example.jp", {form, "メールアドレスエラー"}},
      {"mailAddr", "@example.jp", {form, "メールアドレスエラー"}},
      {"mailAddr", "cam@", {form, "メールアドレスエラー"}},
      {"mailAddr", "cam@example@jp", {form, "メールアドレスエラー"}},
      // Addresses that every reply would fail with.
      {"mailAddr", "a b@example.com", {form, "メールアドレスエラー"}},
      {"mailAddr", "a<b>@example.com", {form, "メールアドレスエラー"}},
      {"mailAddr", "a@b..c", {form, "メールアドレスエラー"}},
      {"mailAddr", "(x)a@b.c", {form, "メールアドレスエラー"}},
      {"popServer", "ぽっぷ.example.jp", {notAscii, "ＰＯＰ３サーバーエラー"}},
      {"smtpServer", "smtp.例え.jp", {notAscii, "ＳＭＴＰサーバーエラー"}},
      {"userId", "ユーザー", {notAscii, "ユーザーＩＤエラー"}},
      {"password", "パス", {notAscii, "パスワードエラー"}},
      {"userName", "Cam <cam@example.jp>", {"< >が使用されていますと正しく送受信できません。", "差出人名エラー"}},
  };
  for (const auto& c : cases) {
    messages_.clear();
    auto sheet = OpenMailPage();
    Type(*sheet, c.box, c.typed);
    sheet->okButton()->click();
    EXPECT_EQ(messages_, std::vector<Message>{c.message}) << c.box << " " << c.typed;
    EXPECT_EQ(sheet->page(kMailPage)->focusWidget(), Find<QWidget>(*sheet, c.box)) << c.box << " " << c.typed;
    EXPECT_TRUE(sheet->isVisible());
    EXPECT_EQ(Ini().find("[MailSettings]"), std::string::npos) << c.box << " " << c.typed;
  }
  // An empty password and a Japanese sender name pass.
  messages_.clear();
  auto sheet = OpenMailPage();
  Type(*sheet, "password", "");
  sheet->okButton()->click();
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(sheet->result(), QDialog::Accepted);
  EXPECT_STREQ(Stored().UserName, SJIS("カメラ").c_str());
  EXPECT_NE(Ini().find("\r\nPasswd=\r\n"), std::string::npos);
}

TEST_F(MailPageTest, DetailsDialogChecksItsBoxesOnOk) {
  const std::string notAscii = "英数字、記号以外の文字が使用されています。";
  const struct {
    const char* box;
    const char* typed;
    Message message;
  } cases[] = {
      {"smtpUserId", "ユーザー", {notAscii, "SMTPユーザーＩＤエラー"}},
      {"smtpPassword", "パス", {notAscii, "SMTPパスワードエラー"}},
      {"imapFolder", "", {"IMAPフォルダ名を入力してください。", "IMAPフォルダエラー"}},
      {"oauthClientId", "クライアント", {notAscii, "OAuth2エラー"}},
      {"oauthClientSecret", "秘密", {notAscii, "OAuth2エラー"}},
      {"oauthTokenUrl", "https://例え.jp/token", {notAscii, "OAuth2エラー"}},
      {"oauthAuthUrl", "https://例え.jp/auth", {notAscii, "OAuth2エラー"}},
      {"oauthDeviceUrl", "https://例え.jp/device", {notAscii, "OAuth2エラー"}},
      {"oauthScope", "メール", {notAscii, "OAuth2エラー"}},
  };
  for (const auto& c : cases) {
    messages_.clear();
    auto sheet = OpenMailPage();
    Find<QComboBox>(*sheet, "mailProtocol")->setCurrentIndex(1);
    InSecurityDialog(*sheet, [&](QDialog& dialog) {
      dialog.findChild<QCheckBox*>("smtpAuth")->click();
      dialog.findChild<QComboBox*>("authMethod")->setCurrentIndex(1);
      dialog.findChild<QComboBox*>("oauthProvider")->setCurrentIndex(2);
      Type(dialog, c.box, c.typed);
      dialog.findChild<QPushButton*>("ok")->click();
      EXPECT_EQ(messages_, std::vector<Message>{c.message}) << c.box;
      EXPECT_EQ(dialog.focusWidget(), Find<QWidget>(dialog, c.box)) << c.box;
      EXPECT_TRUE(dialog.isVisible()) << c.box;
      dialog.reject();
    });
    // Cancel kept the page's settings as they were: they pass.
    sheet->okButton()->click();
    EXPECT_EQ(sheet->result(), QDialog::Accepted) << c.box;
    EXPECT_EQ(Stored().SmtpAuth, 0) << c.box;
  }
  // The same fields, unused (no SMTP AUTH, POP3), pass.
  messages_.clear();
  auto sheet = OpenMailPage();
  InSecurityDialog(*sheet, [](QDialog& dialog) {
    Type(dialog, "smtpUserId", "ユーザー");
    dialog.findChild<QPushButton*>("ok")->click();
  });
  sheet->okButton()->click();
  EXPECT_TRUE(messages_.empty());
  EXPECT_STREQ(Stored().SmtpUserID, SJIS("ユーザー").c_str());

  // A settings file that already breaks such a check: the page refuses and points at the button
  // that opens the dialog.
  MailSettings stored = Stored();
  stored.SmtpAuth = 1;
  SaveMailSettings(ini_.c_str(), &stored);
  messages_.clear();
  auto again = OpenMailPage();
  again->okButton()->click();
  EXPECT_EQ(messages_, (std::vector<Message>{{notAscii, "SMTPユーザーＩＤエラー"}}));
  EXPECT_EQ(again->page(kMailPage)->focusWidget(), Find<QWidget>(*again, "securityButton"));
  EXPECT_TRUE(again->isVisible());
}

TEST_F(MailPageTest, SectionIsWrittenInOrderWithTheUnpaddedPassword) {
  const struct {
    const char* password;
    const char* stored;
  } cases[] = {{"a", "YQ"}, {"ab", "YWI"}, {"abc", "YWJj"}, {"a;b=c", "YTtiPWM"}, {"", ""}};
  for (const auto& c : cases) {
    auto sheet = OpenMailPage();
    Type(*sheet, "password", c.password);
    sheet->okButton()->click();
    EXPECT_EQ(Ini(), std::string(testing::kDefaultBasic) + "[MailSettings]\r\nUserName=" + SJIS("カメラ") +
                         "\r\nMailAddr=cam@example.jp\r\nPopServer=pop.example.jp\r\n"
                         "SmtpServer=smtp.example.jp\r\nUserID=cam\r\nPasswd=" + c.stored +
                         "\r\nBeforeSMTP=0\r\nConnMode=0\r\nPopPort=110\r\nSmtpPort=25\r\nDialName=\r\n"
                         "PopSecurity=0\r\nSmtpSecurity=0\r\nSmtpAuth=0\r\nSmtpUserID=\r\nSmtpPasswd=\r\nCaFile=\r\n"
                         "MailProtocol=0\r\nImapFolder=INBOX\r\nImapIdle=1\r\n"
                         "PassCommand=\r\nSmtpPassCommand=\r\nAuthMethod=0\r\nOAuthProvider=0\r\nOAuthClientId=\r\n"
                         "OAuthClientSecret=\r\nOAuthTokenUrl=\r\nOAuthAuthUrl=\r\nOAuthDeviceUrl=\r\nOAuthScope=\r\n");
    EXPECT_STREQ(Stored().Passwd, c.password);
    std::filesystem::remove(ini_);
  }
}

// Filling the boxes from the stored settings is no change of the user's: Apply stays off
// until a box is typed in.
TEST_F(MailPageTest, OpeningStoredSettingsLeavesTheSheetUnchanged) {
  MailSettings stored;
  std::snprintf(stored.UserName, sizeof stored.UserName, "%s", "cam");
  std::snprintf(stored.MailAddr, sizeof stored.MailAddr, "%s", "cam@example.jp");
  std::snprintf(stored.PopServer, sizeof stored.PopServer, "%s", "pop.example.jp");
  std::snprintf(stored.Passwd, sizeof stored.Passwd, "%s", "secret");
  ASSERT_NE(SaveMailSettings(ini_.c_str(), &stored), 0);
  auto sheet = OpenSheet();
  ShowPage(*sheet, kMailPage);
  EXPECT_FALSE(sheet->applyButton()->isEnabled());
  Type(*sheet, "userName", "cam2");
  EXPECT_TRUE(sheet->applyButton()->isEnabled());
}

TEST_F(MailPageTest, SecureConnectionAndTheAccountCheck) {
  {
    auto sheet = OpenMailPage();
    InSecurityDialog(*sheet, [](QDialog& dialog) {
      EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("受信と送信の詳細設定"));
      EXPECT_FALSE(dialog.findChild<QLineEdit*>("smtpUserId")->isEnabled());
      dialog.findChild<QComboBox*>("popSecurity")->setCurrentIndex(2);
      dialog.findChild<QComboBox*>("smtpSecurity")->setCurrentIndex(1);
      dialog.findChild<QCheckBox*>("smtpAuth")->click();
      EXPECT_TRUE(dialog.findChild<QLineEdit*>("smtpUserId")->isEnabled());
      Type(dialog, "smtpUserId", "submit");
      Type(dialog, "smtpPassword", "pw;1");
      Type(dialog, "caFile", "/etc/quorvex/ca.pem");
      dialog.findChild<QPushButton*>("ok")->click();
    });
    EXPECT_TRUE(sheet->applyButton()->isEnabled());
    // Cancel in the dialog changes nothing.
    InSecurityDialog(*sheet, [](QDialog& dialog) {
      EXPECT_EQ(dialog.findChild<QComboBox*>("popSecurity")->currentIndex(), 2);
      dialog.findChild<QComboBox*>("smtpSecurity")->setCurrentIndex(0);
      dialog.findChild<QPushButton*>("cancel")->click();
    });
    sheet->okButton()->click();
  }
  EXPECT_NE(Ini().find("\r\nPopSecurity=2\r\nSmtpSecurity=1\r\nSmtpAuth=1\r\nSmtpUserID=submit\r\n"
                       "SmtpPasswd=cHc7MQ\r\nCaFile=/etc/quorvex/ca.pem\r\n"),
            std::string::npos);

  // Nothing listens on the servers' port: both steps fail, and the dialog says so.
  auto sheet = OpenMailPage();
  Type(*sheet, "popServer", "127.0.0.1");
  Type(*sheet, "smtpServer", "127.0.0.1");
  testing::HandleNextDialog([](QDialog& dialog) {
    dialog.findChild<QSpinBox*>("popPort")->setValue(1);
    dialog.findChild<QSpinBox*>("smtpPort")->setValue(1);
    dialog.accept();
  });
  Find<QPushButton>(*sheet, "portButton")->click();
  InSecurityDialog(*sheet, [this](QDialog& dialog) {
    EXPECT_EQ(dialog.findChild<QLineEdit*>("smtpPassword")->text(), "pw;1");
    auto* check = dialog.findChild<QPushButton*>("checkAccounts");
    check->click();
    EXPECT_FALSE(check->isEnabled());
    QSignalSpy wait(&dialog, &QObject::destroyed);
    for (int i = 0; i < 1000 && messages_.empty(); ++i) wait.wait(10);
    EXPECT_TRUE(check->isEnabled());
    dialog.reject();
  });
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].caption, "アカウントの確認");
  EXPECT_NE(messages_[0].text.find("NG"), std::string::npos) << messages_[0].text;
  EXPECT_EQ(messages_[0].text.find("pw;1"), std::string::npos);
}

TEST_F(MailPageTest, LogInMethodCommandsAndTheOAuthClient) {
  std::vector<MailSettings> loggedIn;
  {
    auto sheet = OpenMailPage();
    InSecurityDialog(*sheet, [](QDialog& dialog) {
      // The password by default: the OAuth2 boxes and the log-in wait for OAuth2.
      EXPECT_EQ(dialog.findChild<QComboBox*>("authMethod")->currentIndex(), 0);
      for (const char* name : {"oauthProvider", "oauthClientId", "oauthClientSecret", "oauthTokenUrl",
                               "oauthAuthUrl", "oauthDeviceUrl", "oauthLogin"}) {
        EXPECT_FALSE(Find<QWidget>(dialog, name)->isEnabled()) << name;
      }
      EXPECT_TRUE(Find<QWidget>(dialog, "passCommand")->isEnabled());
      EXPECT_EQ(Find<QLineEdit>(dialog, "oauthClientSecret")->echoMode(), QLineEdit::Password);
      dialog.findChild<QComboBox*>("authMethod")->setCurrentIndex(1);
      // A preset provider has its own addresses and scope.
      for (const char* name : {"oauthProvider", "oauthClientId", "oauthClientSecret", "oauthLogin"}) {
        EXPECT_TRUE(Find<QWidget>(dialog, name)->isEnabled()) << name;
      }
      for (const char* name : {"oauthTokenUrl", "oauthAuthUrl", "oauthDeviceUrl", "oauthScope"}) {
        EXPECT_FALSE(Find<QWidget>(dialog, name)->isEnabled()) << name;
      }
      dialog.findChild<QComboBox*>("oauthProvider")->setCurrentIndex(2);
      for (const char* name : {"oauthTokenUrl", "oauthAuthUrl", "oauthDeviceUrl", "oauthScope"}) {
        EXPECT_TRUE(Find<QWidget>(dialog, name)->isEnabled()) << name;
      }
      Type(dialog, "passCommand", "secret-tool lookup service \"quorvex box\"");
      Type(dialog, "smtpPassCommand", "pass show mail/submit");
      Type(dialog, "oauthClientId", "client-1");
      Type(dialog, "oauthClientSecret", "s3cret;x");
      Type(dialog, "oauthTokenUrl", "https://login.example/token");
      Type(dialog, "oauthAuthUrl", "https://login.example/auth");
      Type(dialog, "oauthDeviceUrl", "https://login.example/device");
      Type(dialog, "oauthScope", "offline_access mail.send");
      dialog.findChild<QPushButton*>("ok")->click();
    });
    sheet->okButton()->click();
  }
  const MailSettings stored = Stored();
  EXPECT_EQ(stored.AuthMethod, 1);
  EXPECT_EQ(stored.OAuthProvider, 2);
  EXPECT_STREQ(stored.PassCommand, "secret-tool lookup service \"quorvex box\"");
  EXPECT_STREQ(stored.SmtpPassCommand, "pass show mail/submit");
  EXPECT_STREQ(stored.OAuthClientId, "client-1");
  EXPECT_STREQ(stored.OAuthClientSecret, "s3cret;x");
  EXPECT_STREQ(stored.OAuthDeviceUrl, "https://login.example/device");
  EXPECT_STREQ(stored.OAuthScope, "offline_access mail.send");
  EXPECT_EQ(Ini().find("s3cret"), std::string::npos);  // stored like a password

  // The button runs the log-in with the settings as the dialog holds them, for this file.
  SetOAuthLoginHook([&](const MailSettings& mail, const std::string& iniFile, QWidget* parent) {
    EXPECT_NE(parent, nullptr);
    EXPECT_EQ(iniFile, ini_);
    loggedIn.push_back(mail);
  });
  auto sheet = OpenMailPage();
  InSecurityDialog(*sheet, [](QDialog& dialog) {
    auto* login = Find<QPushButton>(dialog, "oauthLogin");
    EXPECT_TRUE(login->isEnabled());
    Type(dialog, "oauthClientId", "client-2");
    login->click();
    dialog.findChild<QComboBox*>("authMethod")->setCurrentIndex(0);
    EXPECT_FALSE(login->isEnabled());
    dialog.reject();
  });
  SetOAuthLoginHook(RunOAuthLoginBox);
  ASSERT_EQ(loggedIn.size(), 1u);
  EXPECT_STREQ(loggedIn[0].OAuthClientId, "client-2");
  EXPECT_EQ(loggedIn[0].AuthMethod, 1);
  EXPECT_STREQ(loggedIn[0].UserID, "cam");
}

TEST_F(MailPageTest, ImapFolderAndIdleFollowTheProtocol) {
  {
    auto sheet = OpenMailPage();
    auto* protocol = Find<QComboBox>(*sheet, "mailProtocol");
    EXPECT_EQ(protocol->currentText(), "POP3");
    EXPECT_EQ(Find<QLabel>(*sheet, "popServerLabel")->text(), QString::fromUtf8("POP3ｻｰﾊﾞｰ（受信）(&M)："));
    InSecurityDialog(*sheet, [](QDialog& dialog) {
      EXPECT_EQ(dialog.findChild<QLineEdit*>("imapFolder")->text(), "INBOX");
      EXPECT_FALSE(dialog.findChild<QLineEdit*>("imapFolder")->isEnabled());
      EXPECT_TRUE(dialog.findChild<QCheckBox*>("imapIdle")->isChecked());
      EXPECT_FALSE(dialog.findChild<QCheckBox*>("imapIdle")->isEnabled());
      EXPECT_EQ(dialog.findChild<QComboBox*>("popSecurity")->itemText(1), "STLS");
      dialog.reject();
    });
    protocol->setCurrentIndex(1);
    EXPECT_EQ(Find<QLabel>(*sheet, "popServerLabel")->text(), QString::fromUtf8("IMAPｻｰﾊﾞｰ（受信）(&M)："));
    InSecurityDialog(*sheet, [](QDialog& dialog) {
      EXPECT_TRUE(dialog.findChild<QLineEdit*>("imapFolder")->isEnabled());
      EXPECT_TRUE(dialog.findChild<QCheckBox*>("imapIdle")->isEnabled());
      auto* security = dialog.findChild<QComboBox*>("popSecurity");
      EXPECT_EQ(security->itemText(1), "STARTTLS");
      security->setCurrentIndex(1);
      Type(dialog, "imapFolder", "INBOX/依頼");
      dialog.findChild<QCheckBox*>("imapIdle")->click();
      dialog.accept();
    });
    sheet->okButton()->click();
  }
  EXPECT_NE(Ini().find("\r\nCaFile=\r\nMailProtocol=1\r\nImapFolder=INBOX/" + SJIS("依頼") + "\r\nImapIdle=0\r\n"),
            std::string::npos);
  EXPECT_NE(Ini().find("\r\nPopSecurity=1\r\n"), std::string::npos);

  // What was stored comes back, and going back to POP3 keeps the folder and IDLE as they were.
  auto sheet = OpenMailPage();
  EXPECT_EQ(Find<QComboBox>(*sheet, "mailProtocol")->currentIndex(), 1);
  InSecurityDialog(*sheet, [](QDialog& dialog) {
    EXPECT_EQ(dialog.findChild<QLineEdit*>("imapFolder")->text(), "INBOX/依頼");
    EXPECT_TRUE(dialog.findChild<QLineEdit*>("imapFolder")->isEnabled());
    EXPECT_FALSE(dialog.findChild<QCheckBox*>("imapIdle")->isChecked());
    dialog.reject();
  });
  Find<QComboBox>(*sheet, "mailProtocol")->setCurrentIndex(0);
  sheet->okButton()->click();
  EXPECT_NE(Ini().find("\r\nMailProtocol=0\r\nImapFolder=INBOX/" + SJIS("依頼") + "\r\nImapIdle=0\r\n"),
            std::string::npos);
}

TEST_F(MailPageTest, TextsAreHeldToTheirFieldsAtACharacterBoundary) {
  auto sheet = OpenMailPage();
  Type(*sheet, "userId", std::string(100, 'u'));
  EXPECT_EQ(Find<QLineEdit>(*sheet, "userId")->text().size(), 63);
  std::string name;
  for (int i = 0; i < 200; ++i) name += "名";
  Type(*sheet, "userName", name);
  EXPECT_EQ(ToCp932(Find<QLineEdit>(*sheet, "userName")->text()).size(), 254u);  // 127 whole characters
  InSecurityDialog(*sheet, [&name](QDialog& dialog) {
    Type(dialog, "imapFolder", name);
    EXPECT_EQ(ToCp932(dialog.findChild<QLineEdit*>("imapFolder")->text()).size(), 254u);
    dialog.accept();
  });
  Type(*sheet, "smtpServer", "smtp;example.jp");
  EXPECT_EQ(Find<QLineEdit>(*sheet, "smtpServer")->text(), "smtpexample.jp");
  Type(*sheet, "smtpServer", "smtp.example.jp");
  sheet->okButton()->click();
  EXPECT_EQ(std::string(Stored().UserID), std::string(63, 'u'));
  EXPECT_EQ(std::strlen(Stored().UserName), 254u);
  EXPECT_EQ(std::strlen(Stored().ImapFolder), 254u);
}

TEST_F(MailPageTest, PortDialogDefaultsAndCancel) {
  auto sheet = OpenMailPage();
  testing::HandleNextDialog([](QDialog& dialog) {
    dialog.findChild<QSpinBox*>("popPort")->setValue(995);
    dialog.findChild<QPushButton*>("ok")->click();
  });
  Find<QPushButton>(*sheet, "portButton")->click();
  testing::HandleNextDialog([](QDialog& dialog) {
    EXPECT_EQ(dialog.windowTitle(), QString::fromUtf8("ポート番号の設定"));
    EXPECT_EQ(dialog.findChild<QSpinBox*>("popPort")->value(), 995);
    dialog.findChild<QSpinBox*>("smtpPort")->setValue(587);
    dialog.findChild<QPushButton*>("cancel")->click();
  });
  Find<QPushButton>(*sheet, "portButton")->click();
  sheet->applyButton()->click();
  EXPECT_EQ(Stored().PopPort, 995);
  EXPECT_EQ(Stored().SmtpPort, 25);

  // Default gives the usual port of the incoming protocol and its security as the page holds them.
  const struct {
    int protocol;
    int security;
    const char* label;
    int port;
  } cases[] = {{0, 0, "POP3ﾎﾟｰﾄ番号(&P)：", 110}, {0, 1, "POP3ﾎﾟｰﾄ番号(&P)：", 110},
               {0, 2, "POP3ﾎﾟｰﾄ番号(&P)：", 995}, {1, 0, "IMAPﾎﾟｰﾄ番号(&P)：", 143},
               {1, 1, "IMAPﾎﾟｰﾄ番号(&P)：", 143}, {1, 2, "IMAPﾎﾟｰﾄ番号(&P)：", 993}};
  for (const auto& c : cases) {
    Find<QComboBox>(*sheet, "mailProtocol")->setCurrentIndex(c.protocol);
    InSecurityDialog(*sheet, [&c](QDialog& dialog) {
      dialog.findChild<QComboBox*>("popSecurity")->setCurrentIndex(c.security);
      dialog.accept();
    });
    testing::HandleNextDialog([&c](QDialog& dialog) {
      auto* port = dialog.findChild<QSpinBox*>("popPort");
      port->setValue(1);
      dialog.findChild<QPushButton*>("defaultPorts")->click();
      QStringList labels;
      for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->buddy() == port) labels << label->text();
      }
      EXPECT_EQ(labels, QStringList{QString::fromUtf8(c.label)});
      EXPECT_EQ(port->value(), c.port) << c.protocol << " " << c.security;
      EXPECT_EQ(dialog.findChild<QSpinBox*>("smtpPort")->value(), 25);
      dialog.findChild<QPushButton*>("ok")->click();
    });
    Find<QPushButton>(*sheet, "portButton")->click();
    sheet->applyButton()->click();
    EXPECT_EQ(Stored().PopPort, c.port) << c.protocol << " " << c.security;
  }
}

TEST_F(MailPageTest, PortOutsideOneTo65535IsRefusedAsTyped) {
  const Message refusal{"ポート番号は１～６５５３５の間で設定してください。", "ポート番号エラー"};
  const struct {
    const char* typed;
    bool accepted;
  } cases[] = {{"0", false}, {"1", true}, {"65535", true}, {"65536", false}, {"70000", false}, {"", false}};
  for (const char* box : {"popPort", "smtpPort"}) {
    for (const auto& c : cases) {
      messages_.clear();
      const bool pop = std::string(box) == "popPort";
      const int before = pop ? Stored().PopPort : Stored().SmtpPort;
      auto sheet = OpenMailPage();
      bool stayedOpen = false;
      testing::HandleNextDialog([&](QDialog& dialog) {
        auto* port = dialog.findChild<QSpinBox*>(box);
        auto* text = port->findChild<QLineEdit*>();
        port->setFocus();
        text->selectAll();
        text->insert(c.typed);
        dialog.findChild<QPushButton*>("ok")->click();
        stayedOpen = dialog.isVisible();
        if (!stayedOpen) return;
        // The box keeps what was typed, and has the focus to correct it.
        EXPECT_EQ(text->text(), c.typed) << box << " " << c.typed;
        EXPECT_EQ(dialog.focusWidget(), static_cast<QWidget*>(port)) << box << " " << c.typed;
        dialog.reject();
      });
      Find<QPushButton>(*sheet, "portButton")->click();
      sheet->okButton()->click();
      const int stored = pop ? Stored().PopPort : Stored().SmtpPort;
      if (c.accepted) {
        EXPECT_FALSE(stayedOpen) << box << " " << c.typed;
        EXPECT_TRUE(messages_.empty()) << box << " " << c.typed;
        EXPECT_EQ(stored, std::atoi(c.typed)) << box << " " << c.typed;
      } else {
        EXPECT_TRUE(stayedOpen) << box << " " << c.typed;
        EXPECT_EQ(messages_, std::vector<Message>{refusal}) << box << " " << c.typed;
        EXPECT_EQ(stored, before) << box << " " << c.typed;
      }
    }
  }
}

TEST_F(MailPageTest, DialUpConnectionsComeFromNetworkManager) {
  // Without dial-up connections: LAN only, and the stored mode is written back as it was.
  MailSettings stored;
  stored.ConnMode = 1;
  std::strcpy(stored.DialName, "Mobile");
  SaveMailSettings(ini_.c_str(), &stored);
  {
    auto sheet = OpenMailPage();
    EXPECT_TRUE(Find<QRadioButton>(*sheet, "lan")->isChecked());
    EXPECT_FALSE(Find<QRadioButton>(*sheet, "dialUp")->isEnabled());
    EXPECT_FALSE(Find<QComboBox>(*sheet, "dialEntries")->isEnabled());
    sheet->okButton()->click();
    EXPECT_EQ(Stored().ConnMode, 1);
    EXPECT_STREQ(Stored().DialName, "Mobile");
  }
  // A stored name that begins an earlier entry selects that one.
  SetDialEntries({"mobile docomo", "Mobile", "ISDN"});
  auto sheet = OpenMailPage();
  auto* entries = Find<QComboBox>(*sheet, "dialEntries");
  EXPECT_TRUE(Find<QRadioButton>(*sheet, "dialUp")->isChecked());
  EXPECT_TRUE(entries->isEnabled());
  EXPECT_EQ(entries->currentIndex(), 0);
  entries->setCurrentIndex(2);
  Find<QRadioButton>(*sheet, "lan")->click();
  EXPECT_FALSE(entries->isEnabled());
  sheet->okButton()->click();
  EXPECT_EQ(Stored().ConnMode, 0);
  EXPECT_STREQ(Stored().DialName, "ISDN");
}

}  // namespace
}  // namespace qxdlg
