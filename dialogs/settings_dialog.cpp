#include "dialogs/settings_dialog.h"

#include <cstring>

#include <QApplication>

#include "dialogs/basic_page.h"
#include "dialogs/filter_page.h"
#include "dialogs/mail_page.h"
#include "dialogs/picture_page.h"
#include "dialogs/send_page.h"
#include "dialogs/text_fields.h"
#include "platform/dialog_look.h"

namespace qxdlg {

std::unique_ptr<CSettingsSheet> MakeSettingsSheet(const QDOPENDIALOGINFO& info, QWidget* parent) {
  const std::string iniFile(info.szIniFile, strnlen(info.szIniFile, sizeof info.szIniFile));
  DeviceContext device;
  device.mainWindow = parent;
  device.deviceRunning = info.bDeviceRunning != 0;
  device.pictureHidden = info.bPictureHidden != 0;
  device.siblingLink = info.bSiblingLink != 0;
  auto sheet = std::make_unique<CSettingsSheet>("オプション設定", parent);
  sheet->AddPage(new CBasicSettingsDlg(iniFile, device));
  sheet->AddPage(new CMailSettingDlg(iniFile));
  sheet->AddPage(new CPictSettingsDlg(iniFile));
  sheet->AddPage(new CSendSettingsDlg(iniFile));
  sheet->AddPage(new CFilterSettingsDlg(iniFile));
  sheet->AddPage(new CVersionInfoDlg());
  return sheet;
}

CBasicSettingsDlg* BasicPageOf(const CSettingsSheet& sheet) {
  return static_cast<CBasicSettingsDlg*>(sheet.page(kBasicPage));
}

void ShowSheetMessage(const std::string& text, const std::string& caption) {
  QWidget* owner = QApplication::activeModalWidget();
  if (!owner) owner = QApplication::activeWindow();
  qv::ShowOkMessageBox(owner, FromCp932(caption), FromCp932(text));
}

}  // namespace qxdlg
