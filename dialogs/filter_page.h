// Page 5, "フィルタ設定": the FilterSettings section (address filter and its mode, subject
// filter, the body filter that is stored only, deletion of refused mails) and the sender
// address list MailList.dat beside the settings file, edited entry by entry in
// CFilterAddrDlg, which checks the form of each address.
//
// The list box is the only copy of the list while the page lives: entries keep their bytes
// as read (a hand-edited entry that is not valid CP932 is written back unchanged). A line
// under the list says which senders the filter lets through as the page stands, and two boxes
// hold the reply limits (SenderHourLimit, DayLimit).
#pragma once

#include <string>

#include <QDialog>

#include "app/settings/settings.h"
#include "dialogs/settings_sheet.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QLabel;
class QListWidget;
class QPushButton;
class QSpinBox;

namespace qxdlg {

// "フィルタメールアドレス設定": one address, checked on OK.
class CFilterAddrDlg : public QDialog {
  Q_OBJECT

 public:
  // `address` is the CP932 text to start with.
  CFilterAddrDlg(const std::string& address, QWidget* parent);
  // The address as typed (CP932), after OK.
  [[nodiscard]] std::string address() const;

  void accept() override;

 private:
  QLineEdit* address_;
};

class CFilterSettingsDlg : public CSettingsPage {
  Q_OBJECT

 public:
  explicit CFilterSettingsDlg(std::string iniFile);
  bool OnApply() override;

 protected:
  void OnInitDialog() override;

 private:
  QWidget* createAddressGroup();
  QWidget* createTextGroup();
  QWidget* createLimitGroup();

  void updateStates();
  void updateEntryButtons();
  void updateFilterState();
  void onAdd();
  void onChange();
  void onDelete();

  FilterSettings record_;
  QCheckBox* addressFilter_;
  QComboBox* mode_;
  QListWidget* addresses_;
  QPushButton* add_;
  QPushButton* change_;
  QPushButton* delete_;
  QCheckBox* titleFilter_;
  QLineEdit* titleText_;
  QCheckBox* bodyFilter_;
  QLineEdit* bodyText_;
  QCheckBox* deleteRefused_;
  QLabel* filterState_;
  QSpinBox* senderHourLimit_;
  QSpinBox* dayLimit_;
};

}  // namespace qxdlg
