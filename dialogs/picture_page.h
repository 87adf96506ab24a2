// Page 3, "画像設定": the four picture profiles, one per carrier class, each on its tab (au,
// Vodafone, Docomo, other): format, quality, size, aspect lock, colour reduction, colour
// count, contrast and brightness, with a Default button per tab. GIF is offered only when the
// picture converter is registered. Beside the controls each tab shows the picture its profile
// makes right now (live_picture.h), as a reply would carry it.
#pragma once

#include <memory>
#include <string>

#include "app/settings/settings.h"
#include "dialogs/live_picture.h"
#include "dialogs/settings_sheet.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QSlider;
class QTabWidget;

namespace qv {
struct SettingRange;
}

namespace qxdlg {

class CTypedSpinBox;

// One tab: a child of the picture page holding one profile.
class CPictProfileDlg : public QWidget {
  Q_OBJECT

 public:
  // `tab` 0..3 chooses the tooltip of the format list and the defaults.
  CPictProfileDlg(int tab, QWidget* parent);

  // Sets the converter flag and the profile, and shows it.
  void SetProfile(const PictSettings& profile, bool converterPresent);
  [[nodiscard]] const PictSettings& profile() const { return profile_; }

  // The live result of this tab's profile.
  void ShowResult(const LivePicture& picture);
  // Shows that a new result is being made.
  void ShowPending();

 signals:
  // A user change of the profile (the page calls SetModified).
  void modified();
  // The profile changed in any way (user change or Default): a new live result is due.
  void profileChanged();

 protected:
  // Enter and Escape would reach the sheet as OK and Cancel; in a tab they do nothing.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  QWidget* createFormatGroup();
  QWidget* createPictureGroup();
  QWidget* createResultView();
  QSlider* addSlider(const char* name, qv::SettingRange range);

  void ShowProfile();
  void onSliderMoved(QSlider* slider, int value);
  void onWidthTyped();
  void onWidthLeft();
  void onHeightTyped();
  void onHeightLeft();
  void onDefault();
  void changed(bool byUser);

  const int tab_;
  PictSettings profile_;
  bool converterPresent_ = false;
  bool initialising_ = true;
  bool showing_ = false;  // the controls are being set from the profile

  QComboBox* format_;
  QSlider* quality_;
  QLabel* qualityText_;
  QWidget* qualityLabels_[3];
  CTypedSpinBox* width_;
  CTypedSpinBox* height_;
  QCheckBox* aspect_;
  QSlider* colQuality_;
  QLabel* colQualityText_;
  QSlider* colorNum_;
  QLabel* colorNumText_;
  QSlider* contrast_;
  QLabel* contrastText_;
  QSlider* light_;
  QLabel* lightText_;
  QLabel* resultPicture_;
  QLabel* resultInfo_;
};

class CPictSettingsDlg : public CSettingsPage {
  Q_OBJECT

 public:
  explicit CPictSettingsDlg(std::string iniFile);
  ~CPictSettingsDlg() override;

  bool OnApply() override;
  [[nodiscard]] CPictProfileDlg* profileTab(int tab) const { return profiles_[tab]; }
  [[nodiscard]] LivePictureMaker* maker() const { return maker_.get(); }

 signals:
  // The live result of a tab's current profile was shown (tests and the benchmark wait for it).
  void resultShown(const LivePicture& picture);

 protected:
  void OnInitDialog() override;
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void timerEvent(QTimerEvent* event) override;

 private:
  void requestResult(int tab, bool freshFrame);

  QTabWidget* tabs_;
  CPictProfileDlg* profiles_[4] = {};
  PictSettings records_[4];
  std::unique_ptr<LivePictureMaker> maker_;
  int refreshTimer_ = 0;
};

}  // namespace qxdlg
