#include "dialogs/basic_page.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/settings/settings_schema.h"
#include "core/qxdvcore.h"
#include "dialogs/text_fields.h"
#include "dialogs/typed_spin_box.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "platform/window_endpoint.h"

namespace qxdlg {
namespace {

// The frame rates PreviewRate indexes.
constexpr int kPreviewFps[] = {1, 5, 10, 15, 20, 30, 60};
constexpr int kPreviewRateCount = static_cast<int>(std::size(kPreviewFps));
static_assert(qv::RangeOf("PreviewRate").min == 0 && qv::RangeOf("PreviewRate").max == kPreviewRateCount - 1);
constexpr qv::SettingRange kMailTimer = qv::RangeOf("MailTimer");
constexpr qv::SettingRange kLogKeepDays = qv::RangeOf("LogKeepDays");

// The device list entry that takes pictures from the sibling camera program (CP932).
const std::string& SiblingEntry() { return SJIS("Orbisk連携"); }

}  // namespace

CBasicSettingsDlg::CBasicSettingsDlg(std::string iniFile, DeviceContext context)
    : CSettingsPage("基本設定", std::move(iniFile)), context_(context) {
  setObjectName("basicPage");
  // The room the page has beyond its controls goes between its parts, evenly.
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(createDeviceGroup());
  layout->addStretch();
  layout->addWidget(createPreviewRateGroup());
  layout->addStretch();
  layout->addWidget(createStartGroup());
  layout->addStretch();
  layout->addWidget(createLogGroup());
}

QWidget* CBasicSettingsDlg::createDeviceGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("デバイスの設定"), this);
  devices_ = new QComboBox(group);
  devices_->setObjectName("deviceList");
  devices_->setMinimumContentsLength(24);
  formatButton_ = new QPushButton(QString::fromUtf8("ビデオ形式の設定(&O)"), group);
  formatButton_->setObjectName("formatDialog");
  sourceButton_ = new QPushButton(QString::fromUtf8("ビデオソースの設定(&R)"), group);
  sourceButton_->setObjectName("sourceDialog");
  AddTool(devices_, "キャプチャデバイスを選択します。");
  AddTool(formatButton_, "キャプチャ画像のサイズおよびビット数を指定します。");
  AddTool(sourceButton_, "キャプチャデバイスの変更、設定を行います。");

  auto* layout = new QGridLayout(group);
  layout->addWidget(new QLabel(QString::fromUtf8("キャプチャデバイス："), group), 0, 0);
  layout->addWidget(devices_, 0, 1, 1, 2);
  layout->addWidget(formatButton_, 1, 1);
  layout->addWidget(sourceButton_, 1, 2);
  layout->setColumnStretch(1, 1);
  layout->setColumnStretch(2, 1);

  connect(devices_, &QComboBox::currentIndexChanged, this, &CBasicSettingsDlg::onDeviceChosen);
  connect(formatButton_, &QPushButton::clicked, this, &CBasicSettingsDlg::onFormatDialog);
  connect(sourceButton_, &QPushButton::clicked, this, &CBasicSettingsDlg::onSourceDialog);
  return group;
}

QWidget* CBasicSettingsDlg::createPreviewRateGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("プレビューフレームレート"), this);
  auto* layout = new QHBoxLayout(group);
  previewRates_ = new QButtonGroup(this);
  for (int index = 0; index < kPreviewRateCount; ++index) {
    auto* button = new QPushButton(QString::number(kPreviewFps[index]), group);
    button->setObjectName(QString("previewRate%1").arg(kPreviewFps[index]));
    button->setCheckable(true);
    button->setAutoDefault(false);
    ShowAsToggle(button);
    AddTool(button, "プレビュー画面のフレームレートを設定します。");
    previewRates_->addButton(button, index);
    layout->addWidget(button);
  }
  connect(previewRates_, &QButtonGroup::idClicked, this, [this](int index) {
    record_.PreviewRate = index;
    SetModified();
  });
  return group;
}

QWidget* CBasicSettingsDlg::createStartGroup() {
  auto* box = new QWidget(this);
  auto* layout = new QVBoxLayout(box);
  layout->setContentsMargins(0, 0, 0, 0);
  mailTimer_ = new CTypedSpinBox(box);
  mailTimer_->setObjectName("mailTimer");
  mailTimer_->setStepRange(kMailTimer.min, kMailTimer.max);
  AddTool(mailTimer_, "メールの巡回間隔を設定します。\n１～１０の間で設定してください。");
  wakeUpMail_ = new QCheckBox(QString::fromUtf8("起動時にメール巡回を開始する(&T)"), box);
  wakeUpMail_->setObjectName("wakeUpMail");
  AddTool(wakeUpMail_, "チェックをつけるとQuorvexの起動時に\nメール巡回を開始します。");
  startIcon_ = new QCheckBox(QString::fromUtf8("起動時にアイコン化する(&H)"), box);
  startIcon_->setObjectName("startIcon");
  AddTool(startIcon_, "チェックをつけるとQuorvexの起動時に\nアイコン化します。");

  auto* timerRow = new QHBoxLayout;
  timerRow->addWidget(new QLabel(QString::fromUtf8("メールチェック間隔："), box));
  timerRow->addWidget(mailTimer_);
  timerRow->addWidget(new QLabel(QString::fromUtf8("分"), box));
  timerRow->addStretch();
  layout->addLayout(timerRow);
  layout->addWidget(wakeUpMail_);
  layout->addWidget(startIcon_);

  // Typing records the number at once; leaving the box brings it into its range.
  connect(mailTimer_, &QSpinBox::valueChanged, this, [this](int minutes) {
    if (initialising_) return;
    record_.MailTimer = minutes;
    SetModified();
  });
  connect(mailTimer_, &QSpinBox::editingFinished, this, [this] {
    if (initialising_) return;
    mailTimer_->setValue(std::clamp(mailTimer_->value(), kMailTimer.min, kMailTimer.max));
  });
  connect(wakeUpMail_, &QCheckBox::clicked, this, [this](bool on) {
    record_.WakeUpMail = on;
    SetModified();
  });
  connect(startIcon_, &QCheckBox::clicked, this, [this](bool on) {
    record_.StartIcon = on;
    SetModified();
  });
  return box;
}

QWidget* CBasicSettingsDlg::createLogGroup() {
  auto* group = new QGroupBox(this);
  logOutput_ = new QCheckBox(QString::fromUtf8("ログファイルを出力する"), group);
  logOutput_->setObjectName("logOutput");
  AddTool(logOutput_, "チェックをつけると出力先へログファイルを出力します。");
  logFolder_ = new QLineEdit(group);
  logFolder_->setObjectName("logFolder");
  LimitField(logFolder_, sizeof record_.LogFolder - 1);
  AddTool(logFolder_, "ログファイルを出力するフォルダを設定します。");
  auto* browse = new QPushButton(QString::fromUtf8("参照..."), group);
  browse->setObjectName("browseLogFolder");
  browse->setAutoDefault(false);

  // How long the daily files stay: the program removes older ones (0 keeps them all).
  logKeepDays_ = new QSpinBox(group);
  logKeepDays_->setObjectName("logKeepDays");
  logKeepDays_->setRange(kLogKeepDays.min, kLogKeepDays.max);
  AddTool(logKeepDays_, "この日数より古いログファイルを削除します。\n0 にするとすべて残します。");
  auto* keepRow = new QHBoxLayout;
  keepRow->addWidget(logKeepDays_);
  keepRow->addWidget(new QLabel(QString::fromUtf8("日（0 はすべて残す）"), group));
  keepRow->addStretch();

  auto* layout = new QGridLayout(group);
  layout->addWidget(logOutput_, 0, 0, 1, 3);
  layout->addWidget(new QLabel(QString::fromUtf8("出力先："), group), 1, 0);
  layout->addWidget(logFolder_, 1, 1);
  layout->addWidget(browse, 1, 2);
  layout->addWidget(new QLabel(QString::fromUtf8("保存日数："), group), 2, 0);
  layout->addLayout(keepRow, 2, 1, 1, 2);

  connect(logOutput_, &QCheckBox::clicked, this, [this](bool on) {
    record_.LogOutput = on;
    SetModified();
  });
  connect(logFolder_, &QLineEdit::textChanged, this, [this] {
    if (!initialising_) SetModified();
  });
  connect(browse, &QPushButton::clicked, this, &CBasicSettingsDlg::onBrowseFolder);
  connect(logKeepDays_, &QSpinBox::valueChanged, this, [this](int days) {
    if (initialising_) return;
    record_.LogKeepDays = days;
    SetModified();
  });
  return group;
}

void CBasicSettingsDlg::OnInitDialog() {
  AlignLabelColumns(this);
  fillDeviceList();
  LoadBasicSettings(iniFile_.c_str(), &record_);
  if (QAbstractButton* button = previewRates_->button(record_.PreviewRate)) button->setChecked(true);

  int selected = devices_->findText(FromCp932(record_.DeviceName), Qt::MatchExactly | Qt::MatchCaseSensitive);
  // The list holds CP932 names shown through one conversion; compare the stored bytes too.
  if (selected >= 0 && ToCp932(devices_->itemText(selected)) != record_.DeviceName) selected = -1;
  if (selected < 0) {
    selected = 0;
    std::string first = devices_->count() > 0 ? ToCp932(devices_->itemText(0)) : std::string();
    if (devices_->count() > 0) qv::CopySjisField(record_.DeviceName, sizeof record_.DeviceName, first);
  }
  devices_->setCurrentIndex(devices_->count() > 0 ? selected : -1);

  // The box can only show its range; what it shows is what is stored.
  record_.MailTimer = std::clamp(record_.MailTimer, kMailTimer.min, kMailTimer.max);
  mailTimer_->setValue(record_.MailTimer);
  wakeUpMail_->setChecked(record_.WakeUpMail != 0);
  startIcon_->setChecked(record_.StartIcon != 0);
  logOutput_->setChecked(record_.LogOutput != 0);
  logFolder_->setText(FromCp932(record_.LogFolder));
  // The box shows its range; what it shows is what is stored (a negative count keeps every file).
  record_.LogKeepDays = std::clamp(record_.LogKeepDays, kLogKeepDays.min, kLogKeepDays.max);
  logKeepDays_->setValue(record_.LogKeepDays);
  enableDriverButtons();
}

void CBasicSettingsDlg::fillDeviceList() {
  devices_->clear();
  if (context_.siblingLink) devices_->addItem(FromCp932(SiblingEntry()));
  const int count = QXGetDeviceCount();
  for (int number = 0; number < count; ++number) {
    QXDEVICEINFO info{};
    if (QXGetDeviceInfo(&info, number) && info.szDeviceName[0] != '\0') {
      devices_->addItem(FromCp932(info.szDeviceName));
    }
  }
}

void CBasicSettingsDlg::enableDriverButtons() {
  unsigned long caps = 0;
  if (!QXGetDeviceState(QXST_DIALOG_CAPS, &caps)) caps = 0;
  sourceButton_->setEnabled((caps & QXDLG_SOURCE) != 0);
  formatButton_->setEnabled((caps & QXDLG_FORMAT) != 0);
}

void CBasicSettingsDlg::onDeviceChosen(int index) {
  if (initialising_ || index < 0) return;
  if (context_.siblingLink && index == 0) {
    QXCleanupDevice();
    SetModified();
    sourceButton_->setEnabled(false);
    formatButton_->setEnabled(false);
    qv::CopySjisField(record_.DeviceName, sizeof record_.DeviceName, SiblingEntry());
    if (qv::FindWindowByTitle("Orbisk") == 0) qv::ShowMessageBox(SJIS("Orbiskを起動してください。"), "Quorvex");
    return;
  }
  const int number = context_.siblingLink ? index - 1 : index;
  QXCleanupDevice();
  context_.deviceRunning = false;
  QXSTARTUPDEVICEINFO startup{context_.mainWindow, context_.mainWindow};
  if (QXStartupDevice(&startup, number)) {
    context_.deviceRunning = true;
    unsigned long caps = 0;
    QXGetDeviceState(QXST_DIALOG_CAPS, &caps);
    QXSetDeviceState(QXST_MOTION_MODE, QXMOTION_MEASURE);
    const int rate = record_.PreviewRate >= 0 && record_.PreviewRate < kPreviewRateCount
                         ? kPreviewFps[record_.PreviewRate]
                         : kPreviewFps[kPreviewRateCount - 1];
    QXCoreSetPreviewRate(rate);
    QXSetDeviceState(QXST_WINDOW_X, kPictureArea.x());
    QXSetDeviceState(QXST_WINDOW_Y, kPictureArea.y());
    QXSetDeviceState(QXST_WINDOW_WIDTH, context_.pictureHidden ? 1 : kPictureArea.width());
    QXSetDeviceState(QXST_WINDOW_HEIGHT, context_.pictureHidden ? 1 : kPictureArea.height());
    unsigned long display = 0;
    QXGetDeviceState(QXST_DISPLAY_CAPS, &display);
    if (display & (QXDISP_OVERLAY | QXDISP_PREVIEW)) {
      QXSetDeviceState(QXST_DISPLAY, (display & QXDISP_OVERLAY) ? QXDISP_OVERLAY : QXDISP_PREVIEW);
    }
    qv::CopySjisField(record_.DeviceName, sizeof record_.DeviceName, ToCp932(devices_->itemText(index)));
    SetModified();
  } else {
    qv::ShowMessageBox(SJIS("選択できませんでした"), kLibraryName);
  }
  enableDriverButtons();
}

void CBasicSettingsDlg::onFormatDialog() {
  QXOpenDialog(QXDLG_FORMAT);
  CancelToClose();
}

void CBasicSettingsDlg::onSourceDialog() {
  QXOpenDialog(QXDLG_SOURCE);
  CancelToClose();
}

void CBasicSettingsDlg::onBrowseFolder() {
  SetChosenPath(logFolder_,
                QFileDialog::getExistingDirectory(this, QString::fromUtf8("保存フォルダを選択してください"),
                                                  logFolder_->text()),
                sizeof record_.LogFolder);
}

bool CBasicSettingsDlg::OnApply() {
  qv::CopySjisField(record_.LogFolder, sizeof record_.LogFolder, ToCp932(logFolder_->text()));
  return Saved(SaveBasicSettings(iniFile_.c_str(), &record_));
}

}  // namespace qxdlg
