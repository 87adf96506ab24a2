// Page 2, "返信メール設定": the MailSettings section: the sender of the replies, the incoming
// (POP3 or IMAP, with the IMAP folder and IDLE) and SMTP servers with account and password,
// POP-before-SMTP, the ports (in CPortNumberDlg), the secure connection (TLS for the incoming
// server and SMTP, SMTP AUTH, extra CA certificates) with a check of both accounts, and LAN or
// dial-up (NetworkManager's dial-up connections). The only page
// that refuses an apply: its checks run in a fixed order and the first that fails names the
// box to correct.
#pragma once

#include <string>
#include <thread>

#include <QDialog>

#include "app/settings/settings.h"
#include "dialogs/settings_sheet.h"

class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QSpinBox;

namespace qxdlg {

// "ポート番号の設定": the incoming (POP3 or IMAP) and SMTP ports, 1 to 65535 each, with a
// Default button that gives the usual ports of the incoming protocol (MailProtocol) and its
// security (PopSecurity).
class CPortNumberDlg : public QDialog {
  Q_OBJECT

 public:
  CPortNumberDlg(int popPort, int smtpPort, int protocol, int security, QWidget* parent);
  [[nodiscard]] int popPort() const;
  [[nodiscard]] int smtpPort() const;

 private:
  QSpinBox* popPort_;
  QSpinBox* smtpPort_;
};

class CMailSettingDlg : public CSettingsPage {
  Q_OBJECT

 public:
  explicit CMailSettingDlg(std::string iniFile);
  ~CMailSettingDlg() override;
  bool OnApply() override;

  // One refusal of the page: which of its checks failed (1 to 15, in check order), with
  // its caption and message (CP932); 0 when the settings pass.
  struct Refusal {
    int check = 0;
    std::string caption;
    std::string message;
  };
  // Runs the checks on the texts of `record` in their order.
  [[nodiscard]] static Refusal Check(const MailSettings& record);

 protected:
  void OnInitDialog() override;

 private:
  QWidget* createSenderGroup();
  // The server rows; settings of the server connection that come later add their rows here.
  QWidget* createServerGroup();
  QWidget* createSecurityGroup();
  QWidget* createConnectionGroup();
  QLineEdit* addTextRow(QGridLayout* layout, int row, const char* label, const char* name, size_t maxBytes,
                        const char* tip, bool allowSemicolon = false);

  void fillDialEntries();
  void onPortButton();
  void onBrowseCaFile();
  // Tries both accounts with what the page holds now, on a thread of its own, and shows the
  // check's lines when it is done.
  void onCheckAccounts();
  void enableSmtpAccount();
  // Enables the IMAP boxes and names the incoming protocol where the page shows it.
  void showProtocol();
  void takeTexts();
  QLineEdit* boxOfCheck(int check) const;

  MailSettings record_;
  int dialEntryCount_ = 0;

  QLineEdit* userName_;
  QLineEdit* mailAddr_;
  QLineEdit* popServer_;
  QComboBox* protocol_;
  QLineEdit* imapFolder_;
  QCheckBox* imapIdle_;
  QLineEdit* smtpServer_;
  QLineEdit* userId_;
  QLineEdit* password_;
  QCheckBox* beforeSmtp_;
  QRadioButton* lan_;
  QRadioButton* dialUp_;
  QComboBox* dialEntries_;
  QLabel* popSecurityLabel_;
  QComboBox* popSecurity_;
  QComboBox* smtpSecurity_;
  QCheckBox* smtpAuth_;
  QLineEdit* smtpUserId_;
  QLineEdit* smtpPassword_;
  QLineEdit* caFile_;
  QPushButton* checkAccounts_;
  std::thread checkThread_;  // the account check under way, if any
};

}  // namespace qxdlg
