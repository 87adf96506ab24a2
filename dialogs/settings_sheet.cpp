#include "dialogs/settings_sheet.h"

#include <QFontMetrics>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTabWidget>
#include <QToolTip>
#include <QVBoxLayout>

#include "dialogs/text_fields.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace qxdlg {
namespace {

constexpr int kToolTipWidth = 270;

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
  dialog->setFont(SheetFont());
  auto* ok = new QPushButton("OK", dialog);
  ok->setObjectName("ok");
  ok->setDefault(true);
  auto* cancel = new QPushButton(QString::fromUtf8("キャンセル"), dialog);
  cancel->setObjectName("cancel");
  auto* layout = new QGridLayout(dialog);
  layout->addWidget(ok, 0, buttonColumn);
  layout->addWidget(cancel, 1, buttonColumn);
  QObject::connect(ok, &QPushButton::clicked, dialog, &QDialog::accept);
  QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
  return layout;
}

QFont SheetFont() {
  QFont font;
  font.setFamilies({"MS PGothic", "IPAPGothic", "IPAGothic", "Noto Sans CJK JP", "VL PGothic"});
  font.setPointSize(9);
  return font;
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

CSettingsSheet::CSettingsSheet(const char* caption, QWidget* owner) : QDialog(owner) {
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
  if (!pages_.empty()) {
    tabs_->setCurrentIndex(0);
    pages_[0]->EnsureCreated();
  }
  show();
}

int CSettingsSheet::Run() {
  if (!pages_.empty()) {
    tabs_->setCurrentIndex(0);
    pages_[0]->EnsureCreated();
  }
  return exec() == QDialog::Accepted ? 1 : 2;
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
