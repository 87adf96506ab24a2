// "OAuth2ログイン": the built-in OAuth2 log-in run from the secure-mail dialog's button. The
// user picks this machine's browser (the authorization code grant on a loopback redirect) or
// a code typed on another device (the device grant); the box shows what the log-in prints
// (the address, the code), then whether the tokens were saved or why not. The log-in runs on
// a thread of its own; Cancel or the close button stops it, and the box closes once it ended.
#pragma once

#include <string>
#include <thread>

#include <QDialog>

#include "app/oauth/oauth_tokens.h"
#include "app/settings/settings.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace qxdlg {

class COAuthLoginDlg : public QDialog {
  Q_OBJECT

 public:
  // The log-in for `mail` (the settings as the dialog holds them, not yet saved), whose tokens
  // are kept for the settings file `iniFile`. `open` opens the browser.
  COAuthLoginDlg(const MailSettings& mail, std::string iniFile, BrowserOpener open, QWidget* parent);
  // Stops a log-in under way and waits for it (at most one check of the stop, or an HTTP
  // progress call).
  ~COAuthLoginDlg() override;

  [[nodiscard]] bool running() const { return running_; }
  // While a log-in runs: stops it, and the box closes when it has ended.
  void reject() override;

 signals:
  // A log-in ended: the tokens were saved (ok) or not.
  void loginEnded(bool ok);

 private:
  void start(bool browser);
  // Text the log-in printed (UTF-8 lines).
  void showPrinted(const std::string& lines);
  void finish(const LoginResult& result, const std::string& tokenFile);
  void setRunning(bool running);

  const MailSettings mail_;
  const std::string iniFile_;
  const BrowserOpener open_;
  QPushButton* browser_;
  QPushButton* device_;
  QPushButton* close_;
  QPlainTextEdit* printed_;
  QLabel* status_;
  StopFlag stop_{false};
  std::thread thread_;
  bool running_ = false;
  bool closeWhenEnded_ = false;
};

// The secure-mail dialog's log-in: the box above over `parent`, the desktop's browser.
void RunOAuthLoginBox(const MailSettings& mail, const std::string& iniFile, QWidget* parent);

}  // namespace qxdlg
