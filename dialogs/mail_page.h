// Page 2, "返信メール設定": the MailSettings section: the sender of the replies, the incoming
// (POP3 or IMAP) and SMTP servers with account and password, POP-before-SMTP, the ports (in
// CPortNumberDlg), the secure connection, SMTP AUTH and the IMAP folder (in CMailSecurityDlg,
// with a check of both accounts), and LAN or dial-up (NetworkManager's dial-up connections).
// The only page that refuses an apply: its checks (mail_checks.h) run in a fixed order and the
// first that fails names the box to correct. Every control writes its field of the page's
// record when the user changes it; the two dialogs write theirs when they end with OK.
#pragma once

#include <span>
#include <string>
#include <utility>
#include <vector>

#include <QDialog>

#include "app/settings/settings.h"
#include "dialogs/mail_security_dialog.h"
#include "dialogs/settings_sheet.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace qxdlg {

class CTypedSpinBox;

// "ポート番号の設定": the incoming (POP3 or IMAP) and SMTP ports, with a Default button that
// gives the usual ports of the incoming protocol (MailProtocol) and its security (PopSecurity).
// The boxes take any number typed; OK refuses a port outside 1 to 65535 with a message and puts
// the focus back on its box.
class CPortNumberDlg : public QDialog {
  Q_OBJECT

 public:
  CPortNumberDlg(int popPort, int smtpPort, int protocol, int security, QWidget* parent);
  [[nodiscard]] int popPort() const;
  [[nodiscard]] int smtpPort() const;

  void accept() override;

 private:
  CTypedSpinBox* popPort_;
  CTypedSpinBox* smtpPort_;
};

class CMailSettingDlg : public CSettingsPage {
  Q_OBJECT

 public:
  explicit CMailSettingDlg(std::string iniFile);
  bool OnApply() override;

 protected:
  void OnInitDialog() override;

 private:
  QWidget* createSenderGroup();
  QWidget* createServerGroup();
  QWidget* createConnectionGroup();
  // A text box that writes `field` of the record as the user types.
  QLineEdit* addTextRow(QGridLayout* layout, int row, const char* label, const char* name, std::span<char> field,
                        const char* tip, bool allowSemicolon = false);

  void fillDialEntries();
  void onPortButton();
  void onSecurityButton();
  void onAccountsChecked(const std::string& report);
  // Names the incoming protocol where the page shows it.
  void showProtocol();
  // DialName = the selected entry.
  void takeDialEntry();

  MailSettings record_;
  int dialEntryCount_ = 0;
  // The text boxes with the fields of record_ they write.
  std::vector<std::pair<QLineEdit*, std::span<char>>> texts_;

  QLabel* popServerLabel_;
  QLineEdit* popServer_;
  QComboBox* protocol_;
  QCheckBox* beforeSmtp_;
  QPushButton* securityButton_;
  QRadioButton* lan_;
  QRadioButton* dialUp_;
  QComboBox* dialEntries_;
  AccountCheckRunner* checker_;
};

}  // namespace qxdlg
