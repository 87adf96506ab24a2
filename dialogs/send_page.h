// Page 4, "送信内容設定": the SendSettings section: subject, body and signature of the reply
// mail. The body and the signature are shown with line breaks and stored with "<BR>".
#pragma once

#include <string>

#include "app/settings/settings.h"
#include "dialogs/settings_sheet.h"

class QLineEdit;
class QPlainTextEdit;

namespace qxdlg {

class CSendSettingsDlg : public CSettingsPage {
  Q_OBJECT

 public:
  explicit CSendSettingsDlg(std::string iniFile);
  bool OnApply() override;

 protected:
  void OnInitDialog() override;

 private:
  QPlainTextEdit* addMultiLine(const char* name, const char* tip);

  SendSettings record_;
  QLineEdit* title_;
  QPlainTextEdit* body_;
  QPlainTextEdit* signature_;
};

// Page 6, "バージョン情報": the version, a banner and the JPEG library's line. Stores nothing.
class CVersionInfoDlg : public CSettingsPage {
  Q_OBJECT

 public:
  CVersionInfoDlg();
};

}  // namespace qxdlg
