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
#include <QMargins>
#include <QRect>
#include <QWidget>

class QGridLayout;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace qxdlg {

// The caption of message boxes that name no caption of their own: the library's name.
inline constexpr char kLibraryName[] = "QXDVDlg";

// Where the caller's window shows the live picture, in its own coordinates: a started device's
// preview goes there, and the sheet keeps it in sight.
inline constexpr QRect kPictureArea(94, 6, 320, 240);

// The largest the sheet may be, window frame included, at the default font: it fits the work
// area of a 1280 x 720 screen with a panel.
inline constexpr QSize kSheetSizeLimit(700, 560);

// Where a window of `frame` size (frame included) goes beside `owner` (screen coordinates) in
// `workArea`: right of it, else left, below, above, when it fits there whole. Otherwise the same
// beside `keepVisible` (the part of the owner that must stay in sight). Otherwise the corner of
// the work area that covers the least of `keepVisible`. A window larger than the work area goes
// to the work area's top-left corner. Vertically beside (horizontally above or below) the window
// lines up with the owner's top (left) edge as far as the work area allows.
[[nodiscard]] QPoint PlaceBeside(const QRect& owner, const QRect& keepVisible, QSize frame, const QRect& workArea);

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

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // Gives every page its controls' look and moves the sheet beside its owner (when it has one),
  // counting `frame` as the window frame.
  void prepareToShow();
  void placeBesideOwner(const QMargins& frame);
  // Once the window manager has framed the sheet, places it again by its real frame (a few
  // tries while the frame is not known yet).
  void correctPlacement(int triesLeft);
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

// The font of the sheet and its dialogs: a Japanese Gothic at 9 points.
[[nodiscard]] QFont SheetFont();

// Gives the first column of every grid in `root` the width of the widest single-column widget
// in any of them (the row labels), so the boxes beside the labels start at one x in every group.
// Call it once the widgets have their font.
void AlignLabelColumns(QWidget* root);

// Adds a labelled line edit to row `row` of `layout` (in the layout's widget): the label (UTF-8,
// its buddy the edit) in column 0, the edit (object name `name`) over `columns` columns from
// column 1, with the help text `tip`, held to `maxBytes` bytes of CP932 (and without ';' unless
// allowed, see LimitField). Returns the edit.
QLineEdit* AddTextRow(QGridLayout* layout, int row, const char* label, const char* name, size_t maxBytes,
                      const char* tip, int columns = 1, bool allowSemicolon = false);

// Makes a checkable push button show its state plainly: checked in the selection colour.
void ShowAsToggle(QPushButton* button);

}  // namespace qxdlg
