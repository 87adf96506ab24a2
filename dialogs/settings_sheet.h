// The settings sheet: a modal dialog of pages on tabs with OK, Cancel and Apply, and the page
// model the settings pages share.
//
// A page reads its settings when it is first shown (OnInitDialog) and writes them when the
// user confirms (OnApply). OK and Apply run one apply pass: every page that has been shown,
// in page order; a page that refuses ends the pass (the pages before it have written, the ones
// after it have not), comes to the front and keeps the sheet open. Cancel writes nothing. A
// page that was never shown writes nothing. Apply is enabled by a page's SetModified and
// disabled again by a pass that went through.
#pragma once

#include <string>
#include <vector>

#include <QDialog>
#include <QWidget>

class QGridLayout;
class QPushButton;
class QTabWidget;

namespace qxdlg {

// The caption of message boxes that name no caption of their own: the library's name.
inline constexpr char kLibraryName[] = "QXDVDlg";

class CSettingsSheet;

class CSettingsPage : public QWidget {
  Q_OBJECT

 public:
  // `caption` is the page's tab text (UTF-8); `iniFile` the settings file (may be empty for
  // a page that stores nothing).
  CSettingsPage(const char* caption, std::string iniFile);

  [[nodiscard]] QString caption() const { return caption_; }
  // True once OnInitDialog has run: the page has been shown and takes part in apply passes.
  [[nodiscard]] bool created() const { return created_; }
  // Runs OnInitDialog the first time; later calls do nothing.
  void EnsureCreated();

  // Validates and writes the page's settings; false refuses the apply pass.
  virtual bool OnApply() { return true; }

  void SetModified(bool modified = true);
  [[nodiscard]] bool modified() const { return modified_; }

 signals:
  void modifiedChanged();
  void cancelToCloseRequested();

 protected:
  // Loads the page's settings into its controls. The initialising flag is set while it runs,
  // so change handlers neither update the record nor call SetModified.
  virtual void OnInitDialog() {}
  // The sheet's Cancel becomes unavailable and OK becomes a close button: something outside
  // the settings file (a driver setting) has changed and cannot be taken back.
  void CancelToClose() { emit cancelToCloseRequested(); }
  // 1 from a save routine passes; anything else shows that the settings file could not be
  // written and refuses the apply pass.
  bool Saved(int saveResult);

  bool initialising_ = true;
  std::string iniFile_;

 private:
  QString caption_;
  bool created_ = false;
  bool modified_ = false;
};

class CSettingsSheet : public QDialog {
  Q_OBJECT

 public:
  // `caption` UTF-8; `owner` may be null.
  CSettingsSheet(const char* caption, QWidget* owner);

  // Pages are shown in the order added; the sheet takes ownership.
  void AddPage(CSettingsPage* page);
  [[nodiscard]] int pageCount() const { return static_cast<int>(pages_.size()); }
  [[nodiscard]] CSettingsPage* page(int index) const { return pages_[static_cast<size_t>(index)]; }

  // Creates the first page and shows the sheet without waiting (tests); Run shows it modally
  // and returns 1 after OK, 2 after Cancel.
  void Open();
  int Run();

  // One apply pass; true when every shown page applied.
  bool ApplyAll();

  [[nodiscard]] QPushButton* okButton() const { return ok_; }
  [[nodiscard]] QPushButton* cancelButton() const { return cancel_; }
  [[nodiscard]] QPushButton* applyButton() const { return apply_; }
  [[nodiscard]] QTabWidget* tabs() const { return tabs_; }

  void reject() override;

 private:
  void onOk();
  void onApply();
  void onTabChanged(int index);
  void onCancelToClose();
  void updateApply();

  QTabWidget* tabs_;
  QPushButton* ok_;
  QPushButton* cancel_;
  QPushButton* apply_;
  std::vector<CSettingsPage*> pages_;
};

// Sets the help text of `control` (UTF-8), wrapped to 270 pixels.
void AddTool(QWidget* control, const char* utf8);

// Sets up a small dialog of the sheet (object name, caption in UTF-8, the sheet's font) and
// returns its grid, which holds OK (the default button, running accept()) and Cancel in
// column `buttonColumn`, rows 0 and 1.
QGridLayout* MakeSheetDialogLayout(QDialog* dialog, const char* name, const char* caption, int buttonColumn);

// The font of the sheet and its dialogs: a proportional Japanese Gothic at 9 points.
[[nodiscard]] QFont SheetFont();

}  // namespace qxdlg
