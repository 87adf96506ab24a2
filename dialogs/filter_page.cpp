#include "dialogs/filter_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/settings/address_list_file.h"
#include "app/settings/setting_rules.h"
#include "app/settings/settings_schema.h"
#include "dialogs/text_fields.h"
#include "platform/dialog_look.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace qxdlg {
namespace {

// Each list entry keeps its bytes beside the text it shows.
constexpr int kEntryBytes = Qt::UserRole;

std::string EntryBytes(const QListWidgetItem* item) { return item->data(kEntryBytes).toByteArray().toStdString(); }

QListWidgetItem* NewEntry(const std::string& bytes) {
  auto* item = new QListWidgetItem(FromCp932(bytes));
  item->setData(kEntryBytes, QByteArray::fromStdString(bytes));
  return item;
}

}  // namespace

CFilterAddrDlg::CFilterAddrDlg(const std::string& address, QWidget* parent) : QDialog(parent) {
  QGridLayout* layout = MakeSheetDialogLayout(this, "addressDialog", "フィルタメールアドレス設定", 2);
  address_ = new QLineEdit(FromCp932(address), this);
  address_->setObjectName("address");
  address_->setMinimumWidth(220);
  // An entry that can match a sender is at most as long as a sender address is kept.
  LimitField(address_, 255, true);
  layout->addWidget(new QLabel(QString::fromUtf8("メールアドレス："), this), 0, 0);
  layout->addWidget(address_, 0, 1);
  qv::UseDialogLook(this);
}

std::string CFilterAddrDlg::address() const { return ToCp932(address_->text()); }

void CFilterAddrDlg::accept() {
  const char* message = nullptr;
  switch (qv::CheckAddressListEntry(address())) {
    case qv::AddressProblem::kNone:
      QDialog::accept();
      return;
    case qv::AddressProblem::kNotAscii:
      message = "英数字、記号以外の文字が使用されています。";
      break;
    case qv::AddressProblem::kNotAnAddress:
    case qv::AddressProblem::kSecondAtSign:
    case qv::AddressProblem::kMalformed:
      message = "xxxxx@xxxxxの形式で入力してください。";
      break;
    case qv::AddressProblem::kWildcardsLocal:
      message = "@より前に設定できる*は１つまでです。";
      break;
    case qv::AddressProblem::kWildcardsDomain:
      message = "@より後ろに設定できる*は１つまでです。";
      break;
  }
  qv::ShowMessageBox(qv::Cp932FromUtf8(message), SJIS("メールアドレスエラー"));
  address_->setFocus();
}

CFilterSettingsDlg::CFilterSettingsDlg(std::string iniFile) : CSettingsPage("フィルタ設定", std::move(iniFile)) {
  setObjectName("filterPage");
  // The address list takes the height the other rows leave.
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(createAddressGroup(), 1);
  layout->addWidget(createTextGroup());
  layout->addWidget(createLimitGroup());
  deleteRefused_ = new QCheckBox(QString::fromUtf8("受信拒否したメールは削除する"), this);
  deleteRefused_->setObjectName("deleteRefused");
  AddTool(deleteRefused_, "チェックを付けるとフィルタで受信拒否されたメールを削除します。");
  layout->addWidget(deleteRefused_);
  connect(deleteRefused_, &QCheckBox::clicked, this, [this](bool on) {
    record_.RcvDelete = on;
    SetModified();
  });
}

QWidget* CFilterSettingsDlg::createAddressGroup() {
  auto* group = new QGroupBox(this);
  addressFilter_ = new QCheckBox(QString::fromUtf8("アドレスフィルタを使用する"), group);
  addressFilter_->setObjectName("addressFilter");
  AddTool(addressFilter_, "チェックを付けるとメールアドレスでフィルタを行います。");
  mode_ = new QComboBox(group);
  mode_->setObjectName("filterMode");
  AddTool(mode_, "メールアドレスフィルタの形式を設定します。");
  addresses_ = new QListWidget(group);
  addresses_->setObjectName("addresses");
  AddTool(addresses_, "メールアドレスでフィルタを行う一覧が表示されます。");
  add_ = new QPushButton(QString::fromUtf8("追加"), group);
  add_->setObjectName("add");
  AddTool(add_, "メールアドレスを一覧へ追加します。");
  change_ = new QPushButton(QString::fromUtf8("変更"), group);
  change_->setObjectName("change");
  AddTool(change_, "一覧のメールアドレスを変更します。");
  delete_ = new QPushButton(QString::fromUtf8("削除"), group);
  delete_->setObjectName("delete");
  AddTool(delete_, "メールアドレスを一覧から削除します。");
  for (QPushButton* button : {add_, change_, delete_}) button->setAutoDefault(false);

  auto* modeRow = new QHBoxLayout;
  modeRow->addWidget(new QLabel(QString::fromUtf8("以下のメールアドレス"), group));
  modeRow->addWidget(mode_);
  modeRow->addStretch();
  auto* buttons = new QVBoxLayout;
  buttons->addWidget(add_);
  buttons->addWidget(change_);
  buttons->addWidget(delete_);
  buttons->addStretch();
  filterState_ = new QLabel(group);
  filterState_->setObjectName("filterState");
  filterState_->setWordWrap(true);
  // The filter's switch heads the group, on one row with its mode.
  modeRow->insertWidget(0, addressFilter_);
  modeRow->insertSpacing(1, 16);
  auto* layout = new QGridLayout(group);
  layout->addLayout(modeRow, 0, 0, 1, 2);
  layout->addWidget(addresses_, 1, 0);
  layout->addLayout(buttons, 1, 1);
  layout->addWidget(filterState_, 2, 0, 1, 2);

  connect(addressFilter_, &QCheckBox::clicked, this, [this](bool on) {
    record_.MailFill = on;
    updateStates();
    SetModified();
  });
  connect(mode_, &QComboBox::currentIndexChanged, this, [this](int index) {
    if (initialising_ || index < 0) return;
    record_.FiltMode = index;
    updateFilterState();
    SetModified();
  });
  connect(addresses_, &QListWidget::currentRowChanged, this, &CFilterSettingsDlg::updateEntryButtons);
  connect(addresses_, &QListWidget::itemDoubleClicked, this, &CFilterSettingsDlg::onChange);
  connect(add_, &QPushButton::clicked, this, &CFilterSettingsDlg::onAdd);
  connect(change_, &QPushButton::clicked, this, &CFilterSettingsDlg::onChange);
  connect(delete_, &QPushButton::clicked, this, &CFilterSettingsDlg::onDelete);
  return group;
}

QWidget* CFilterSettingsDlg::createTextGroup() {
  auto* group = new QWidget(this);
  titleFilter_ = new QCheckBox(QString::fromUtf8("タイトルフィルタを使用する"), group);
  titleFilter_->setObjectName("titleFilter");
  AddTool(titleFilter_, "チェックを付けるとメールタイトルでフィルタを行います。");
  titleText_ = new QLineEdit(group);
  titleText_->setObjectName("titleText");
  LimitField(titleText_, sizeof record_.TitleFiltText - 1);
  AddTool(titleText_, "メールタイトルフィルタを設定します。");
  bodyFilter_ = new QCheckBox(QString::fromUtf8("メール内容フィルタを使用する"), group);
  bodyFilter_->setObjectName("bodyFilter");
  bodyFilter_->setEnabled(false);  // the body filter is not applied by the responder
  AddTool(bodyFilter_, "チェックを付けるとメール内容でフィルタを行います。現在は対応していません。");
  bodyText_ = new QLineEdit(group);
  bodyText_->setObjectName("bodyText");
  LimitField(bodyText_, sizeof record_.TextFiltText - 1);
  AddTool(bodyText_, "メール内容フィルタを設定します。現在は対応していません。");
  auto* layout = new QGridLayout(group);
  layout->setContentsMargins(0, 0, 0, 0);
  // Each filter's switch beside its text, so the address list keeps the page's height.
  layout->addWidget(titleFilter_, 0, 0);
  layout->addWidget(titleText_, 0, 1);
  layout->addWidget(bodyFilter_, 1, 0);
  layout->addWidget(bodyText_, 1, 1);
  layout->setColumnStretch(1, 1);

  connect(titleFilter_, &QCheckBox::clicked, this, [this](bool on) {
    record_.TitleFilt = on;
    updateStates();
    SetModified();
  });
  connect(bodyFilter_, &QCheckBox::clicked, this, [this](bool on) {
    record_.TextFilt = on;
    updateStates();
    SetModified();
  });
  for (QLineEdit* edit : {titleText_, bodyText_}) {
    connect(edit, &QLineEdit::textChanged, this, [this] {
      if (!initialising_) SetModified();
    });
  }
  return group;
}

QWidget* CFilterSettingsDlg::createLimitGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("返信数の上限（0は制限なし）"), this);
  auto limitBox = [group](const char* name, qv::SettingRange range) {
    auto* box = new QSpinBox(group);
    box->setObjectName(name);
    box->setRange(range.min, range.max);
    return box;
  };
  senderHourLimit_ = limitBox("senderHourLimit", qv::RangeOf("SenderHourLimit"));
  AddTool(senderHourLimit_, "同じ差出人アドレスに1時間に返信する数の上限です。0にすると制限しません。");
  dayLimit_ = limitBox("dayLimit", qv::RangeOf("DayLimit"));
  AddTool(dayLimit_, "1日に返信する数の合計の上限です。0にすると制限しません。");
  auto* layout = new QGridLayout(group);
  layout->addWidget(new QLabel(QString::fromUtf8("同じ差出人へは1時間に"), group), 0, 0);
  layout->addWidget(senderHourLimit_, 0, 1);
  layout->addWidget(new QLabel(QString::fromUtf8("通まで"), group), 0, 2);
  layout->addWidget(new QLabel(QString::fromUtf8("すべての差出人へ1日に"), group), 1, 0);
  layout->addWidget(dayLimit_, 1, 1);
  layout->addWidget(new QLabel(QString::fromUtf8("通まで"), group), 1, 2);
  layout->setColumnStretch(3, 1);
  connect(senderHourLimit_, &QSpinBox::valueChanged, this, [this](int value) {
    if (initialising_) return;
    record_.SenderHourLimit = value;
    SetModified();
  });
  connect(dayLimit_, &QSpinBox::valueChanged, this, [this](int value) {
    if (initialising_) return;
    record_.DayLimit = value;
    SetModified();
  });
  return group;
}

void CFilterSettingsDlg::OnInitDialog() {
  mode_->addItem(QString::fromUtf8("は受け付けない"));
  mode_->addItem(QString::fromUtf8("のみ受け付ける"));
  LoadFilterSettings(iniFile_.c_str(), &record_);
  addressFilter_->setChecked(record_.MailFill != 0);
  bodyFilter_->setChecked(record_.TextFilt != 0);
  titleFilter_->setChecked(record_.TitleFilt != 0);
  deleteRefused_->setChecked(record_.RcvDelete != 0);
  mode_->setCurrentIndex(record_.FiltMode >= 0 && record_.FiltMode < mode_->count() ? record_.FiltMode : -1);
  titleText_->setText(FromCp932(record_.TitleFiltText));
  bodyText_->setText(FromCp932(record_.TextFiltText));
  // A hand-edited value out of the boxes' range shows at the nearest end; it is written back
  // only when the user changes the box.
  senderHourLimit_->setValue(record_.SenderHourLimit);
  dayLimit_->setValue(record_.DayLimit);

  addresses_->clear();
  std::vector<std::string> entries;
  ReadAddressListFile(AddressListPath(iniFile_), &entries);
  for (const std::string& entry : entries) addresses_->addItem(NewEntry(entry));
  addresses_->setCurrentRow(-1);
  updateStates();
}

void CFilterSettingsDlg::updateStates() {
  const bool addressFilter = addressFilter_->isChecked();
  mode_->setEnabled(addressFilter);
  addresses_->setEnabled(addressFilter);
  add_->setEnabled(addressFilter);
  titleText_->setEnabled(titleFilter_->isChecked());
  bodyText_->setEnabled(bodyFilter_->isChecked());
  updateEntryButtons();
  updateFilterState();
}

void CFilterSettingsDlg::updateFilterState() {
  filterState_->setText(FromCp932(FilterStateText(record_, static_cast<size_t>(addresses_->count()))));
}

void CFilterSettingsDlg::updateEntryButtons() {
  const bool enabled = addresses_->currentRow() >= 0 && addressFilter_->isChecked();
  change_->setEnabled(enabled);
  delete_->setEnabled(enabled);
}

void CFilterSettingsDlg::onAdd() {
  CFilterAddrDlg dialog(std::string(), this);
  if (dialog.exec() == QDialog::Accepted) {
    const std::string address = qv::ListEntryForm(dialog.address());
    std::vector<std::string> entries;
    for (int row = 0; row < addresses_->count(); ++row) entries.push_back(EntryBytes(addresses_->item(row)));
    if (FindListEntry(entries, address) >= 0) {
      qv::ShowMessageBox(SJIS("そのアドレスはすでに登録されています。"), SJIS(" 重複エラー"));
    } else {
      addresses_->addItem(NewEntry(address));
      addresses_->setCurrentRow(addresses_->count() - 1);
      SetModified();
    }
  }
  updateEntryButtons();
  updateFilterState();
}

void CFilterSettingsDlg::onChange() {
  QListWidgetItem* item = addresses_->currentItem();
  if (item == nullptr) return;
  CFilterAddrDlg dialog(EntryBytes(item), this);
  if (dialog.exec() == QDialog::Accepted) {
    const std::string address = qv::ListEntryForm(dialog.address());
    item->setText(FromCp932(address));
    item->setData(kEntryBytes, QByteArray::fromStdString(address));
    SetModified();
  }
  updateEntryButtons();
}

void CFilterSettingsDlg::onDelete() {
  const int row = addresses_->currentRow();
  if (row < 0) return;
  delete addresses_->takeItem(row);
  addresses_->setCurrentRow(std::min(row, addresses_->count() - 1));
  SetModified();
  updateEntryButtons();
  updateFilterState();
}

bool CFilterSettingsDlg::OnApply() {
  qv::CopySjisField(record_.TitleFiltText, sizeof record_.TitleFiltText, ToCp932(titleText_->text()));
  qv::CopySjisField(record_.TextFiltText, sizeof record_.TextFiltText, ToCp932(bodyText_->text()));
  if (!Saved(SaveFilterSettings(iniFile_.c_str(), &record_))) return false;
  std::vector<std::string> entries;
  for (int row = 0; row < addresses_->count(); ++row) entries.push_back(EntryBytes(addresses_->item(row)));
  const std::string path = AddressListPath(iniFile_);
  std::string error;
  if (!WriteAddressListFile(path, entries, &error)) {
    // The list box holds the only copy of the list: keep the sheet open so it is not lost.
    qv::ShowMessageBox(SJIS("アドレス一覧を保存できませんでした。\n") + path + "\n" + error);
    return false;
  }
  return true;
}

}  // namespace qxdlg
