// "受信と送信の詳細設定", opened from the mail page like the port numbers. Its first tab
// ("接続") holds how the mail connections are secured (TLS for the incoming server and for
// SMTP, extra CA certificates), SMTP AUTH with its own account and the IMAP folder with IDLE;
// its second ("ログイン") how the log-ins prove who we are: the method (password or OAuth2),
// the commands that print the secrets, and the OAuth2 client with the button that runs the
// built-in log-in (SetOAuthLoginHook). Below both, a check of both accounts with what the page
// and this dialog hold.
#pragma once

#include <functional>
#include <string>
#include <thread>

#include <QDialog>
#include <QObject>

#include "app/settings/settings.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace qxdlg {

// What the OAuth2 log-in button runs for `mail` (the settings as the page and the dialog hold
// them, not yet saved) and the settings file `iniFile`, over `parent`: the log-in box
// (RunOAuthLoginBox) unless another is set. While none is set (nullptr) the button stays
// disabled. Tests put their own.
using OAuthLoginHook = std::function<void(const MailSettings& mail, const std::string& iniFile, QWidget* parent)>;
void SetOAuthLoginHook(OAuthLoginHook hook);

// Runs the account check on a thread of its own, one at a time, and hands its report to the GUI
// thread. Destroying the runner waits for a check under way (at most the socket time-outs).
class AccountCheckRunner : public QObject {
  Q_OBJECT

 public:
  using QObject::QObject;
  ~AccountCheckRunner() override;

  [[nodiscard]] bool running() const { return running_; }
  // Starts checking `mail`; does nothing while a check runs.
  void Start(const MailSettings& mail);

 signals:
  // The check is done: its report (CP932, one line per step or reason).
  void finished(const std::string& report);

 private:
  bool running_ = false;
  std::thread thread_;
};

class CMailSecurityDlg : public QDialog {
  Q_OBJECT

 public:
  // Shows the dialog's fields of `record` (the page's settings as they are now; its protocol
  // names the incoming server) of the settings file `iniFile`. `checker` runs the account check
  // and must outlive the dialog.
  CMailSecurityDlg(const MailSettings& record, std::string iniFile, AccountCheckRunner* checker, QWidget* parent);

  // The dialog's fields as the user left them, the rest of `record` unchanged.
  [[nodiscard]] MailSettings Merged(MailSettings record) const;

  // OK: the checks of this dialog's boxes (CheckMailDetails); the first that fails shows its
  // message, puts the focus on its box and keeps the dialog open.
  void accept() override;

 private:
  QGroupBox* createSecurityGroup(int protocol);
  QGroupBox* createAuthGroup();
  QGroupBox* createImapGroup();
  QGroupBox* createMethodGroup();
  QGroupBox* createOAuthGroup();
  // Puts the record's values into the boxes (the IMAP boxes only for IMAP, `protocol` 1).
  void showRecord(int protocol);
  void enableSmtpAccount();
  // The OAuth2 boxes follow the method, the addresses the provider (custom only).
  void enableOAuth();
  void onOAuthLogin();
  void onBrowseCaFile();
  void onCheckAccounts();

  const MailSettings record_;
  const std::string iniFile_;
  AccountCheckRunner* checker_;
  QTabWidget* tabs_;
  QComboBox* popSecurity_;
  QComboBox* smtpSecurity_;
  QLineEdit* caFile_;
  QCheckBox* smtpAuth_;
  QLineEdit* smtpUserId_;
  QLineEdit* smtpPassword_;
  QLineEdit* imapFolder_;
  QCheckBox* imapIdle_;
  QComboBox* authMethod_;
  QLineEdit* passCommand_;
  QLineEdit* smtpPassCommand_;
  QComboBox* oauthProvider_;
  QLineEdit* oauthClientId_;
  QLineEdit* oauthClientSecret_;
  QLineEdit* oauthTokenUrl_;
  QLineEdit* oauthAuthUrl_;
  QLineEdit* oauthDeviceUrl_;
  QLineEdit* oauthScope_;
  QPushButton* oauthLogin_;
  QPushButton* checkAccounts_;
};

}  // namespace qxdlg
