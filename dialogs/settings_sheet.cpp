#include "dialogs/settings_sheet.h"

#include <algorithm>
#include <array>

#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

#include "dialogs/text_fields.h"
#include "platform/dialog_look.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace qxdlg {
namespace {

constexpr int kToolTipWidth = 270;

// The sheet and its dialogs have a close button and no minimise or maximise button.
constexpr Qt::WindowFlags kDialogFlags =
    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint;

// The window frame counted before the window manager has told the real one: a title bar and
// thin borders.
constexpr QMargins kExpectedFrame(4, 28, 4, 4);
// How often, 25 ms apart, the sheet looks for its real frame after it was shown.
constexpr int kFrameTries = 20;
constexpr int kFrameTryMs = 25;

// The area of `a` that `b` covers.
long long Overlap(const QRect& a, const QRect& b) {
  const QRect common = a.intersected(b);
  return common.isEmpty() ? 0 : static_cast<long long>(common.width()) * common.height();
}

// The checked state in the selection colour; both states keep the same border and padding, so
// the buttons keep their size.
constexpr char kToggleStyle[] =
    "QPushButton { border: 1px solid palette(dark); border-radius: 3px; padding: 3px 6px;"
    " background: palette(button); color: palette(button-text); }"
    "QPushButton:hover { border-color: palette(highlight); }"
    "QPushButton:focus { border: 1px solid palette(highlight); }"
    "QPushButton:checked { background: palette(highlight); color: palette(highlighted-text);"
    " border-color: palette(shadow); }";

// Breaks `text` into lines no wider than `width` pixels in the tooltip font, at any character
// (the texts are Japanese), keeping the breaks it already has.
QString WrapToolTip(const QString& text, int width) {
  QFontMetrics metrics(QToolTip::font());
  QString wrapped;
  QString line;
  for (QChar c : text) {
    if (c == u'\n') {
      wrapped += line + u'\n';
      line.clear();
      continue;
    }
    if (!line.isEmpty() && metrics.horizontalAdvance(line + c) > width) {
      wrapped += line + u'\n';
      line.clear();
    }
    line += c;
  }
  return wrapped + line;
}

}  // namespace

QGridLayout* MakeSheetDialogLayout(QDialog* dialog, const char* name, const char* caption, int buttonColumn) {
  dialog->setObjectName(name);
  dialog->setWindowTitle(QString::fromUtf8(caption));
  dialog->setWindowFlags(kDialogFlags);
  dialog->setFont(SheetFont());
  auto* ok = new QPushButton("OK", dialog);
  ok->setObjectName("ok");
  ok->setDefault(true);
  auto* cancel = new QPushButton(QString::fromUtf8("キャンセル"), dialog);
  cancel->setObjectName("cancel");
  auto* layout = new QGridLayout(dialog);
  layout->addWidget(ok, 0, buttonColumn);
  layout->addWidget(cancel, 1, buttonColumn);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
  return layout;
}

QFont SheetFont() { return qv::JapaneseDialogFont(); }

void AlignLabelColumns(QWidget* root) {
  const QList<QGridLayout*> grids = root->findChildren<QGridLayout*>();
  int width = 0;
  for (QGridLayout* grid : grids) {
    for (int index = 0; index < grid->count(); ++index) {
      int row = 0;
      int column = 0;
      int rows = 0;
      int columns = 0;
      grid->getItemPosition(index, &row, &column, &rows, &columns);
      QWidget* widget = grid->itemAt(index)->widget();
      if (column == 0 && columns == 1 && widget != nullptr) width = std::max(width, widget->sizeHint().width());
    }
  }
  for (QGridLayout* grid : grids) grid->setColumnMinimumWidth(0, width);
}

QLineEdit* AddTextRow(QGridLayout* layout, int row, const char* label, const char* name, size_t maxBytes,
                      const char* tip, int columns, bool allowSemicolon) {
  QWidget* parent = layout->parentWidget();
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  auto* caption = new QLabel(QString::fromUtf8(label), parent);
  caption->setBuddy(edit);
  layout->addWidget(caption, row, 0);
  layout->addWidget(edit, row, 1, 1, columns);
  AddTool(edit, tip);
  LimitField(edit, maxBytes, allowSemicolon);
  return edit;
}

void ShowAsToggle(QPushButton* button) { button->setStyleSheet(kToggleStyle); }

QPoint PlaceBeside(const QRect& owner, const QRect& keepVisible, QSize frame, const QRect& workArea) {
  if (frame.width() > workArea.width() || frame.height() > workArea.height()) return workArea.topLeft();
  const int lastX = workArea.x() + workArea.width() - frame.width();
  const int lastY = workArea.y() + workArea.height() - frame.height();
  auto besideOf = [&](const QRect& area) {
    const int alignedX = std::clamp(area.x(), workArea.x(), lastX);
    const int alignedY = std::clamp(area.y(), workArea.y(), lastY);
    return std::array<QPoint, 4>{QPoint(area.x() + area.width(), alignedY), QPoint(area.x() - frame.width(), alignedY),
                                 QPoint(alignedX, area.y() + area.height()), QPoint(alignedX, area.y() - frame.height())};
  };
  for (const QRect& area : {owner, keepVisible}) {
    for (const QPoint& place : besideOf(area)) {
      if (workArea.contains(QRect(place, frame))) return place;
    }
  }
  const std::array<QPoint, 4> corners = {workArea.topLeft(), QPoint(lastX, workArea.y()), QPoint(workArea.x(), lastY),
                                         QPoint(lastX, lastY)};
  QPoint best = corners[0];
  for (const QPoint& corner : corners) {
    if (Overlap(QRect(corner, frame), keepVisible) < Overlap(QRect(best, frame), keepVisible)) best = corner;
  }
  return best;
}

CSettingsPage::CSettingsPage(const char* caption, std::string iniFile)
    : iniFile_(std::move(iniFile)), caption_(QString::fromUtf8(caption)) {}

void CSettingsPage::EnsureCreated() {
  if (created_) return;
  created_ = true;
  initialising_ = true;
  OnInitDialog();
  initialising_ = false;
}

void CSettingsPage::SetModified(bool modified) {
  modified_ = modified;
  emit modifiedChanged();
}

void AddTool(QWidget* control, const char* utf8) {
  control->setToolTip(WrapToolTip(QString::fromUtf8(utf8), kToolTipWidth));
}

bool CSettingsPage::Saved(int saveResult) {
  if (saveResult == 1) return true;
  qv::ShowMessageBox(SJIS("設定ファイルに書き込めませんでした。\n") + iniFile_);
  return false;
}

CSettingsSheet::CSettingsSheet(const char* caption, QWidget* owner) : QDialog(owner, kDialogFlags) {
  setObjectName("settingsSheet");
  setWindowTitle(QString::fromUtf8(caption));
  setFont(SheetFont());
  setSizeGripEnabled(false);
  tabs_ = new QTabWidget(this);
  tabs_->setObjectName("pages");
  ok_ = new QPushButton("OK", this);
  ok_->setObjectName("ok");
  ok_->setDefault(true);
  cancel_ = new QPushButton(QString::fromUtf8("キャンセル"), this);
  cancel_->setObjectName("cancel");
  apply_ = new QPushButton(QString::fromUtf8("適用(&A)"), this);
  apply_->setObjectName("apply");
  apply_->setEnabled(false);
  for (QPushButton* button : {ok_, cancel_, apply_}) button->setMinimumWidth(75);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  buttons->addWidget(apply_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  layout->addWidget(tabs_);
  layout->addLayout(buttons);

  connect(ok_, &QPushButton::clicked, this, &CSettingsSheet::onOk);
  connect(cancel_, &QPushButton::clicked, this, &CSettingsSheet::reject);
  connect(apply_, &QPushButton::clicked, this, &CSettingsSheet::onApply);
  connect(tabs_, &QTabWidget::currentChanged, this, &CSettingsSheet::onTabChanged);
}

void CSettingsSheet::AddPage(CSettingsPage* page) {
  pages_.push_back(page);
  // The tab widget would show the first page added at once; pages are created on first show.
  const QSignalBlocker blocker(tabs_);
  tabs_->addTab(page, page->caption());
  connect(page, &CSettingsPage::modifiedChanged, this, &CSettingsSheet::updateApply);
  connect(page, &CSettingsPage::cancelToCloseRequested, this, &CSettingsSheet::onCancelToClose);
}

void CSettingsSheet::Open() {
  prepareToShow();
  show();
}

int CSettingsSheet::Run() {
  prepareToShow();
  return exec() == QDialog::Accepted ? 1 : 2;
}

void CSettingsSheet::prepareToShow() {
  if (!pages_.empty()) {
    tabs_->setCurrentIndex(0);
    pages_[0]->EnsureCreated();
  }
  qv::UseDialogLook(this);
  // The sheet opens at the size its pages are laid out for, the smallest that holds them all.
  resize(minimumSizeHint());
  if (parentWidget() != nullptr) placeBesideOwner(kExpectedFrame);
}

void CSettingsSheet::placeBesideOwner(const QMargins& frame) {
  QWidget* owner = parentWidget()->window();
  const QRect picture(owner->mapToGlobal(kPictureArea.topLeft()), kPictureArea.size());
  const QSize frameSize = size().grownBy(frame);
  const QRect workArea = owner->screen()->availableGeometry();
  // move() places the frame's top-left corner.
  move(PlaceBeside(owner->frameGeometry(), picture, frameSize, workArea));
}

void CSettingsSheet::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (parentWidget() != nullptr) correctPlacement(kFrameTries);
}

void CSettingsSheet::correctPlacement(int triesLeft) {
  const QRect frame = frameGeometry();
  const QRect inside = geometry();
  const QMargins margins(inside.left() - frame.left(), inside.top() - frame.top(), frame.right() - inside.right(),
                         frame.bottom() - inside.bottom());
  if (margins.isNull()) {
    // No frame reported yet (or a window manager that draws none).
    if (triesLeft > 0) QTimer::singleShot(kFrameTryMs, this, [this, triesLeft] { correctPlacement(triesLeft - 1); });
    return;
  }
  if (margins != kExpectedFrame) placeBesideOwner(margins);
}

bool CSettingsSheet::ApplyAll() {
  for (size_t i = 0; i < pages_.size(); ++i) {
    CSettingsPage* page = pages_[i];
    if (!page->created()) continue;
    if (!page->OnApply()) {
      // The refusing page has put the focus on what it refused; let the user see it.
      const QSignalBlocker blocker(tabs_);
      QWidget* focus = page->focusWidget();
      tabs_->setCurrentIndex(static_cast<int>(i));
      if (focus) focus->setFocus();
      return false;
    }
  }
  for (CSettingsPage* page : pages_) {
    if (page->created()) page->SetModified(false);
  }
  return true;
}

void CSettingsSheet::reject() {
  if (!cancel_->isEnabled()) return;  // after CancelToClose only OK (now "閉じる") ends the sheet
  QDialog::reject();
}

void CSettingsSheet::onOk() {
  if (ApplyAll()) accept();
}

void CSettingsSheet::onApply() { ApplyAll(); }

void CSettingsSheet::onTabChanged(int index) {
  if (index >= 0 && index < pageCount()) pages_[static_cast<size_t>(index)]->EnsureCreated();
}

void CSettingsSheet::onCancelToClose() {
  cancel_->setEnabled(false);
  ok_->setText(QString::fromUtf8("閉じる"));
}

void CSettingsSheet::updateApply() {
  bool any = false;
  for (CSettingsPage* page : pages_) any = any || page->modified();
  apply_->setEnabled(any);
}

}  // namespace qxdlg
