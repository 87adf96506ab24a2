// Page 2, "返信メール設定": the MailSettings section: the sender of the replies, the incoming
// (POP3 or IMAP) and SMTP servers with account and password, POP-before-SMTP, the ports (in
// CPortNumberDlg), the secure connection, SMTP AUTH and the IMAP folder (in CMailSecurityDlg,
// with a check of both accounts), and LAN or dial-up (NetworkManager's dial-up connections).
// The only page that refuses an apply: its checks run in a fixed order and the first that fails
// names the box to correct.
#pragma once

#include <string>

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

  using Refusal = MailRefusal;
  // Runs the checks on the texts of `record` in their order (12 of the page, then 13 to 15 of
  // CMailSecurityDlg).
  [[nodiscard]] static Refusal Check(const MailSettings& record);

 protected:
  void OnInitDialog() override;

 private:
  QWidget* createSenderGroup();
  QWidget* createServerGroup();
  QWidget* createConnectionGroup();
  QLineEdit* addTextRow(QGridLayout* layout, int row, const char* label, const char* name, size_t maxBytes,
                        const char* tip, bool allowSemicolon = false);

  void fillDialEntries();
  void onPortButton();
  void onSecurityButton();
  void onAccountsChecked(const std::string& report);
  // Names the incoming protocol where the page shows it.
  void showProtocol();
  void takeTexts();
  [[nodiscard]] QWidget* boxOfCheck(int check) const;

  MailSettings record_;
  int dialEntryCount_ = 0;

  QLineEdit* userName_;
  QLineEdit* mailAddr_;
  QLabel* popServerLabel_;
  QLineEdit* popServer_;
  QComboBox* protocol_;
  QLineEdit* smtpServer_;
  QLineEdit* userId_;
  QLineEdit* password_;
  QCheckBox* beforeSmtp_;
  QPushButton* securityButton_;
  QRadioButton* lan_;
  QRadioButton* dialUp_;
  QComboBox* dialEntries_;
  AccountCheckRunner* checker_;
};

}  // namespace qxdlg
