// The settings sheet of QDOpenDialog, built from a request record: the six pages in their
// order. Kept apart from the exported entry so tests can drive the sheet's widgets.
#pragma once

#include <memory>

#include "dialogs/qxdvdlg.h"
#include "dialogs/settings_sheet.h"

namespace qxdlg {

class CBasicSettingsDlg;

// Page numbers in the sheet.
enum SettingsPageIndex { kBasicPage, kMailPage, kPictPage, kSendPage, kFilterPage, kVersionPage };

// "オプション設定" with pages 1 to 6 for the settings file of `info` (which is read, never
// written). `parent` owns the sheet and shows a device's preview.
[[nodiscard]] std::unique_ptr<CSettingsSheet> MakeSettingsSheet(const QDOPENDIALOGINFO& info, QWidget* parent);

// The basic page of a sheet from MakeSettingsSheet.
[[nodiscard]] CBasicSettingsDlg* BasicPageOf(const CSettingsSheet& sheet);

// Shows an OK-only message box without an icon (CP932 text and caption) over the active
// window, wide enough for its caption; the library's message boxes go here while its sheet runs.
void ShowSheetMessage(const std::string& text, const std::string& caption);

}  // namespace qxdlg
