#include "dialogs/oauth_login_box.h"

#include <QComboBox>
#include <QJsonArray>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <cstdio>
#include <filesystem>

#include "app/oauth/testing/fake_provider.h"
#include "app/oauth/token_file.h"
#include "dialogs/mail_security_dialog.h"
#include "dialogs/testing/test_support.h"
#include "platform/timing.h"

namespace qxdlg::testing {
namespace {

using qv::test::FakeProvider;
using qv::test::FollowingBrowser;

// Waits for the box's log-in, the event loop running: a bound, never a pace.
constexpr int kLoginBoundMs = 20000;

class OAuthLoginBoxTest : public SheetFixture {
 protected:
  void SetUp() override {
    SheetFixture::SetUp();
    saved_ = qv::GetTimings();
    qv::Timings timings = saved_;
    timings.oauthSecondMs = 2;  // the provider's 5-second poll interval is 10 ms
    timings.httpTimeoutMs = kLoginBoundMs;
    timings.oauthBrowserWaitMs = kLoginBoundMs;
    qv::SetTimings(timings);
    ASSERT_GT(provider_.port(), 0) << "tests/oauth_provider.py did not start";
    mail_.AuthMethod = 1;
    mail_.OAuthProvider = 2;
    std::snprintf(mail_.OAuthClientId, sizeof mail_.OAuthClientId, "quorvex-test");
    std::snprintf(mail_.OAuthDeviceUrl, sizeof mail_.OAuthDeviceUrl, "%s", provider_.Url("/device").c_str());
    std::snprintf(mail_.OAuthTokenUrl, sizeof mail_.OAuthTokenUrl, "%s", provider_.Url("/token").c_str());
    std::snprintf(mail_.OAuthAuthUrl, sizeof mail_.OAuthAuthUrl, "%s", provider_.Url("/authorize").c_str());
    std::snprintf(mail_.OAuthScope, sizeof mail_.OAuthScope, "mail");
  }
  void TearDown() override {
    qv::SetTimings(saved_);
    SheetFixture::TearDown();
  }

  static QString Status(const QDialog& box) { return box.findChild<QLabel*>("status")->text(); }
  static QString Printed(const QDialog& box) { return box.findChild<QPlainTextEdit*>("printed")->toPlainText(); }
  static QPushButton* Button(const QDialog& box, const char* name) { return Find<QPushButton>(box, name); }
  [[nodiscard]] bool TokensSaved() const { return std::filesystem::exists(TokenFilePath(ini_)); }

  qv::Timings saved_;
  // A device code lives 20 s here: far longer than any log-in of these tests, also on a busy
  // machine, so a log-in that ends did so for the reason the test gives it.
  FakeProvider provider_{{"--device-expires-in", "10000"}};
  MailSettings mail_;
};

TEST_F(OAuthLoginBoxTest, EitherLogInSavesTheTokensAndShowsWhatTheUserNeeds) {
  struct Case {
    const char* button;
    const char* printed;  // the address the user is shown
  };
  for (const Case& c : {Case{"deviceLogin", "/device-login"}, Case{"browserLogin", "/authorize?"}}) {
    std::filesystem::remove(TokenFilePath(ini_));
    provider_.Control("/control/script", {{"device", QJsonArray{"pending", "pending", "approve"}}});
    FollowingBrowser browser;
    COAuthLoginDlg box(mail_, ini_, [&browser](const std::string& url) { return browser(url); }, nullptr);
    box.show();
    QSignalSpy ended(&box, &COAuthLoginDlg::loginEnded);
    Button(box, c.button)->click();
    // While it runs: no second log-in, and the close button stops this one.
    EXPECT_TRUE(box.running()) << c.button;
    EXPECT_FALSE(Button(box, "deviceLogin")->isEnabled());
    EXPECT_FALSE(Button(box, "browserLogin")->isEnabled());
    EXPECT_EQ(Button(box, "close")->text(), QString::fromUtf8("中止"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !box.running(); }, kLoginBoundMs)) << c.button;
    ASSERT_EQ(ended.count(), 1) << c.button;
    EXPECT_TRUE(ended.at(0).at(0).toBool()) << c.button << ": " << Status(box).toStdString();
    EXPECT_TRUE(TokensSaved()) << c.button;
    EXPECT_TRUE(Status(box).contains(QString::fromStdString(TokenFilePath(ini_)))) << Status(box).toStdString();
    EXPECT_TRUE(Printed(box).contains(QString::fromStdString(provider_.Url(c.printed)))) << Printed(box).toStdString();
    if (std::string(c.button) == "deviceLogin") {
      // The code to type, as the provider gave it.
      EXPECT_TRUE(Printed(box).contains(QRegularExpression("\\b\\d{4}-\\d{4}\\b"))) << Printed(box).toStdString();
    }
    // The tokens themselves are never shown.
    StoredTokens stored;
    std::string why;
    ASSERT_EQ(LoadTokenFile(TokenFilePath(ini_), &stored, &why), TokenFileStatus::kRead) << why;
    EXPECT_FALSE(Printed(box).contains(QString::fromStdString(stored.accessToken)));
    EXPECT_FALSE(Printed(box).contains(QString::fromStdString(stored.refreshToken)));
    EXPECT_TRUE(Button(box, "deviceLogin")->isEnabled());
    EXPECT_EQ(Button(box, "close")->text(), QString::fromUtf8("閉じる"));
    EXPECT_TRUE(box.isVisible());  // a log-in that ended leaves the box open to read
  }
}

TEST_F(OAuthLoginBoxTest, ClosingStopsTheLogInAndSavesNothing) {
  // Unstopped, the log-in would run on past the test's bound (and end with another reason).
  provider_.Control("/control/script", {{"device", QJsonArray{"pending"}}});
  COAuthLoginDlg box(mail_, ini_, [](const std::string&) { return false; }, nullptr);
  box.show();
  Button(box, "deviceLogin")->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Printed(box).isEmpty(); }, kLoginBoundMs));
  Button(box, "close")->click();
  // The box stays until the log-in has ended, saying so, and cannot be closed twice.
  EXPECT_TRUE(box.isVisible());
  EXPECT_EQ(Status(box), QString::fromUtf8("中止しています…"));
  EXPECT_FALSE(Button(box, "close")->isEnabled());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !box.isVisible(); }, kLoginBoundMs));
  EXPECT_EQ(box.result(), QDialog::Rejected);
  EXPECT_TRUE(Status(box).contains(QString::fromUtf8("中止"))) << Status(box).toStdString();
  EXPECT_FALSE(Status(box).contains(QString::fromUtf8("有効期限"))) << Status(box).toStdString();
  EXPECT_FALSE(TokensSaved());

  // With no log-in under way the box closes at once.
  COAuthLoginDlg idle(mail_, ini_, [](const std::string&) { return false; }, nullptr);
  idle.show();
  Button(idle, "close")->click();
  EXPECT_FALSE(idle.isVisible());
}

TEST_F(OAuthLoginBoxTest, SettingsThatCannotLogInSayWhyAndReachNoProvider) {
  struct Case {
    const char* clientId;
    const char* deviceUrl;
    const char* why;
  };
  const Case cases[] = {
      {"", nullptr, "OAuthClientId"},
      // Client credentials never go over plain HTTP to another machine.
      {"quorvex-test", "http://192.0.2.1/device", "OAuthDeviceUrl"},
  };
  for (const Case& c : cases) {
    MailSettings mail = mail_;
    std::snprintf(mail.OAuthClientId, sizeof mail.OAuthClientId, "%s", c.clientId);
    if (c.deviceUrl) std::snprintf(mail.OAuthDeviceUrl, sizeof mail.OAuthDeviceUrl, "%s", c.deviceUrl);
    COAuthLoginDlg box(mail, ini_, [](const std::string&) { return false; }, nullptr);
    box.show();
    Button(box, "deviceLogin")->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !box.running() && !Status(box).isEmpty(); }, kLoginBoundMs)) << c.why;
    EXPECT_TRUE(Status(box).contains(c.why)) << Status(box).toStdString();
    EXPECT_TRUE(Button(box, "deviceLogin")->isEnabled()) << c.why;
  }
  EXPECT_TRUE(provider_.Requests("/device").empty());
  EXPECT_FALSE(TokensSaved());
}

TEST_F(OAuthLoginBoxTest, DetailsDialogsButtonOpensTheBoxForThisSettingsFile) {
  AccountCheckRunner checker;
  CMailSecurityDlg dialog(mail_, ini_, &checker, nullptr);
  dialog.show();
  auto* login = Find<QPushButton>(dialog, "oauthLogin");
  ASSERT_TRUE(login->isEnabled());
  QString opened;
  HandleNextDialog([&](QDialog& box) {
    opened = box.objectName();
    box.findChild<QPushButton*>("deviceLogin")->click();
    EXPECT_TRUE(QTest::qWaitFor([&] { return !Printed(box).isEmpty(); }, kLoginBoundMs));
    box.reject();
  });
  provider_.Control("/control/script", {{"device", QJsonArray{"pending"}}});
  login->click();
  EXPECT_EQ(opened, "oauthLoginBox");
  // It asked the provider named in the dialog, for the client typed there.
  std::vector<QJsonObject> asked = provider_.Requests("/device");
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0].value("form").toObject().value("client_id").toString(), "quorvex-test");
  EXPECT_FALSE(TokensSaved());
}

}  // namespace
}  // namespace qxdlg::testing
