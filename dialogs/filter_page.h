// Page 5, "フィルタ設定". Its controls follow in a later change; until then it stores nothing.
#pragma once

#include <string>

#include "dialogs/settings_sheet.h"

namespace qxdlg {

class CFilterSettingsDlg : public CSettingsPage {

 public:
  explicit CFilterSettingsDlg(std::string iniFile) : CSettingsPage("フィルタ設定", std::move(iniFile)) {
    setObjectName("filterPage");
  }
};

}  // namespace qxdlg
