// Page 1, "基本設定": the BasicSettings section. Unlike the other pages it acts at once on the
// running system: choosing another capture device stops the running one and starts the chosen
// one in the caller's window through the capture core (Cancel does not undo that; only
// DeviceName waits for OK or Apply), and two buttons open the driver's format and source
// dialogs.
#pragma once

#include <string>

#include "app/settings/settings.h"
#include "dialogs/settings_sheet.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace qxdlg {

class CTypedSpinBox;

// What the caller tells the basic page about the running program.
struct DeviceContext {
  QWidget* mainWindow = nullptr;  // where a started device shows its preview; may be null
  bool deviceRunning = false;     // in and out: a capture device is started
  bool pictureHidden = false;     // a started device gets a 1 x 1 preview
  bool siblingLink = false;       // offer the sibling camera program as the first entry
};

class CBasicSettingsDlg : public CSettingsPage {
  Q_OBJECT

 public:
  CBasicSettingsDlg(std::string iniFile, DeviceContext context);

  [[nodiscard]] bool deviceRunning() const { return context_.deviceRunning; }
  bool OnApply() override;

 protected:
  void OnInitDialog() override;

 private:
  QWidget* createDeviceGroup();
  QWidget* createPreviewRateGroup();
  QWidget* createStartGroup();
  QWidget* createLogGroup();

  void fillDeviceList();
  void enableDriverButtons();
  void onDeviceChosen(int index);
  void onFormatDialog();
  void onSourceDialog();
  void onBrowseFolder();

  DeviceContext context_;
  BasicSettings record_;

  QComboBox* devices_;
  QPushButton* formatButton_;
  QPushButton* sourceButton_;
  QButtonGroup* previewRates_;
  CTypedSpinBox* mailTimer_;
  QCheckBox* wakeUpMail_;
  QCheckBox* startIcon_;
  QCheckBox* logOutput_;
  QLineEdit* logFolder_;
  QSpinBox* logKeepDays_;
};

}  // namespace qxdlg
