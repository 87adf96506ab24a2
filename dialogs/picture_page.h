// Page 3, "画像設定". Its controls follow in a later change; until then it stores nothing.
#pragma once

#include <string>

#include "dialogs/settings_sheet.h"

namespace qxdlg {

class CPictSettingsDlg : public CSettingsPage {

 public:
  explicit CPictSettingsDlg(std::string iniFile) : CSettingsPage("画像設定", std::move(iniFile)) {
    setObjectName("pictPage");
  }
};

}  // namespace qxdlg
