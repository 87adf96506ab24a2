#include "dialogs/mail_page.h"

#include <strings.h>

#include <cstring>

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/settings/settings_schema.h"
#include "dialogs/mail_checks.h"
#include "dialogs/text_fields.h"
#include "dialogs/typed_spin_box.h"
#include "platform/dialog_look.h"
#include "platform/dialup.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace qxdlg {
namespace {

CTypedSpinBox* PortBox(int port, qv::SettingRange range, QWidget* parent, const char* name) {
  auto* box = new CTypedSpinBox(parent);
  box->setObjectName(name);
  box->setStepRange(range.min, range.max);
  box->setValue(port & 0xFFFF);
  return box;
}

// The well-known port of the incoming server: security 2 is TLS from the first byte; none
// and STARTTLS share the plain port.
int DefaultIncomingPort(int protocol, int security) {
  constexpr int kImapPort = 143;
  constexpr int kImapsPort = 993;
  constexpr int kPop3sPort = 995;
  if (protocol == 1) return security == 2 ? kImapsPort : kImapPort;
  return security == 2 ? kPop3sPort : qv::kMailDefaults.PopPort;
}

const char* ProtocolName(int protocol) { return protocol == 1 ? "IMAP" : "POP3"; }

// The labels of the page's boxes (the incoming server's for POP3 and for IMAP).
const char* const kIncomingServerLabel[] = {"POP3ｻｰﾊﾞｰ（受信）(&M)：", "IMAPｻｰﾊﾞｰ（受信）(&M)："};
const char* const kIncomingServerTip[] = {"メール受信に使用するPOP3ｻｰﾊﾞｰ名を設定します。",
                                          "メール受信に使用するIMAPｻｰﾊﾞｰ名を設定します。"};
constexpr char kUserNameLabel[] = "差出人名(&N)：";
constexpr char kMailAddrLabel[] = "ﾒｰﾙｱﾄﾞﾚｽ(&A)：";
constexpr char kSmtpServerLabel[] = "SMTPｻｰﾊﾞｰ（送信）(&S)：";
constexpr char kUserIdLabel[] = "ﾕｰｻﾞｰID(&U)：";
constexpr char kPasswordLabel[] = "ﾊﾟｽﾜｰﾄﾞ(&P)：";
constexpr char kDialUpLabel[] = "ダイアルアップ(&D)";

}  // namespace

CPortNumberDlg::CPortNumberDlg(int popPort, int smtpPort, int protocol, int security, QWidget* parent)
    : QDialog(parent) {
  QGridLayout* layout = MakeSheetDialogLayout(this, "portDialog", "ポート番号の設定", 2);
  popPort_ = PortBox(popPort, qv::RangeOf("PopPort"), this, "popPort");
  smtpPort_ = PortBox(smtpPort, qv::RangeOf("SmtpPort"), this, "smtpPort");
  auto* defaults = new QPushButton(QString::fromUtf8("ﾃﾞﾌｫﾙﾄ(&D)"), this);
  defaults->setObjectName("defaultPorts");
  defaults->setAutoDefault(false);
  auto* popLabel = new QLabel(QString::fromUtf8(ProtocolName(protocol)) + QString::fromUtf8("ﾎﾟｰﾄ番号(&P)："), this);
  popLabel->setBuddy(popPort_);
  auto* smtpLabel = new QLabel(QString::fromUtf8("SMTPﾎﾟｰﾄ番号(&S)："), this);
  smtpLabel->setBuddy(smtpPort_);
  layout->addWidget(popLabel, 0, 0);
  layout->addWidget(popPort_, 0, 1);
  layout->addWidget(smtpLabel, 1, 0);
  layout->addWidget(smtpPort_, 1, 1);
  layout->addWidget(defaults, 2, 1);
  connect(defaults, &QPushButton::clicked, this, [this, protocol, security] {
    popPort_->setValue(DefaultIncomingPort(protocol, security));
    smtpPort_->setValue(qv::kMailDefaults.SmtpPort);
  });
  qv::UseDialogLook(this);
}

int CPortNumberDlg::popPort() const { return popPort_->value(); }
int CPortNumberDlg::smtpPort() const { return smtpPort_->value(); }

void CPortNumberDlg::accept() {
  // The boxes follow every keystroke, so their values are what they show; their arrows keep to
  // the ports' range.
  for (CTypedSpinBox* box : {popPort_, smtpPort_}) {
    if (box->value() >= box->low() && box->value() <= box->high()) continue;
    qv::ShowMessageBox(SJIS("ポート番号は１～６５５３５の間で設定してください。"), SJIS("ポート番号エラー"));
    box->setFocus();
    box->selectAll();
    return;
  }
  QDialog::accept();
}

CMailSettingDlg::CMailSettingDlg(std::string iniFile)
    : CSettingsPage("返信メール設定", std::move(iniFile)), checker_(new AccountCheckRunner(this)) {
  setObjectName("mailPage");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(createSenderGroup());
  layout->addWidget(createServerGroup());
  layout->addWidget(createConnectionGroup());
  layout->addStretch();
  // Rows close together: the page holds ten of them.
  for (QGridLayout* grid : findChildren<QGridLayout*>()) grid->setVerticalSpacing(4);
  connect(checker_, &AccountCheckRunner::finished, this, &CMailSettingDlg::onAccountsChecked);
}

QLineEdit* CMailSettingDlg::addTextRow(QGridLayout* layout, int row, const char* label, const char* name,
                                       std::span<char> field, const char* tip, bool allowSemicolon) {
  // The edits span columns 1 and 2 (the incoming server's protocol list takes column 2 of its row).
  QLineEdit* edit = AddTextRow(layout, row, label, name, field.size() - 1, tip, 2, allowSemicolon);
  // The box's text, not the signal's: the box may have just cut what was typed.
  connect(edit, &QLineEdit::textChanged, this, [this, edit, field] {
    if (initialising_) return;
    qv::CopySjisField(field.data(), field.size(), ToCp932(edit->text()));
    SetModified();
  });
  texts_.emplace_back(edit, field);
  return edit;
}

QWidget* CMailSettingDlg::createSenderGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("差出人情報"), this);
  auto* layout = new QGridLayout(group);
  addTextRow(layout, 0, kUserNameLabel, "userName", record_.UserName,
             "差出人名を設定します。\nメールの差出人(From:)へ設定されます。");
  addTextRow(layout, 1, kMailAddrLabel, "mailAddr", record_.MailAddr,
             "差出人のﾒｰﾙｱﾄﾞﾚｽを設定します。\nメールの差出人(From:)へ設定されます。");
  layout->setColumnStretch(1, 1);
  return group;
}

QWidget* CMailSettingDlg::createServerGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("サーバー情報"), this);
  auto* layout = new QGridLayout(group);
  popServer_ = addTextRow(layout, 0, kIncomingServerLabel[0], "popServer", record_.PopServer,
                          kIncomingServerTip[0]);
  popServerLabel_ = qobject_cast<QLabel*>(layout->itemAtPosition(0, 0)->widget());
  popServerLabel_->setObjectName("popServerLabel");
  protocol_ = new QComboBox(group);
  protocol_->setObjectName("mailProtocol");
  for (int protocol : {0, 1}) protocol_->addItem(QString::fromUtf8(ProtocolName(protocol)));
  AddTool(protocol_, "メール受信に使用する方式(POP3またはIMAP)を選択します。");
  // addTextRow spans the edits over columns 1 and 2; the protocol takes the last one.
  layout->removeWidget(popServer_);
  layout->addWidget(popServer_, 0, 1);
  layout->addWidget(protocol_, 0, 2);
  addTextRow(layout, 1, kSmtpServerLabel, "smtpServer", record_.SmtpServer, "メール送信に使用するSMTPｻｰﾊﾞｰ名を設定します。");
  addTextRow(layout, 2, kUserIdLabel, "userId", record_.UserID, "ﾒｰﾙｻｰﾊﾞｰに接続する為のﾕｰｻﾞｰIDを設定します。");
  // The password is stored encoded, so it may hold ';'.
  QLineEdit* password = addTextRow(layout, 3, kPasswordLabel, "password", record_.Passwd,
                                   "ﾒｰﾙｻｰﾊﾞｰに接続する為のﾊﾟｽﾜｰﾄﾞを設定します。", true);
  password->setEchoMode(QLineEdit::Password);

  beforeSmtp_ = new QCheckBox(QString::fromUtf8("送信前にＰＯＰ認証を行う(POP-before-SMTP)(&B)"), group);
  beforeSmtp_->setObjectName("beforeSmtp");
  AddTool(beforeSmtp_, "チェックを付けるとメール送信前にPOP認証を行います。");
  auto* ports = new QPushButton(QString::fromUtf8("ポート番号設定(&E)"), group);
  ports->setObjectName("portButton");
  ports->setAutoDefault(false);
  AddTool(ports, "サーバーのポート番号を設定します。");
  securityButton_ = new QPushButton(QString::fromUtf8("詳細設定(&X)..."), group);
  securityButton_->setObjectName("securityButton");
  securityButton_->setAutoDefault(false);
  AddTool(securityButton_, "暗号化(SSL/TLS)、SMTP認証、IMAPﾌｫﾙﾀﾞの設定と\nアカウントの確認を行います。");
  auto* lastRow = new QHBoxLayout;
  lastRow->addWidget(beforeSmtp_);
  lastRow->addStretch();
  lastRow->addWidget(ports);
  lastRow->addSpacing(6);
  lastRow->addWidget(securityButton_);
  layout->addLayout(lastRow, 4, 0, 1, 3);
  layout->setColumnStretch(1, 1);

  connect(beforeSmtp_, &QCheckBox::clicked, this, [this](bool on) {
    record_.BeforeSMTP = on;
    SetModified();
  });
  connect(protocol_, &QComboBox::currentIndexChanged, this, [this](int index) {
    showProtocol();
    if (initialising_) return;
    record_.MailProtocol = index;
    SetModified();
  });
  connect(ports, &QPushButton::clicked, this, &CMailSettingDlg::onPortButton);
  connect(securityButton_, &QPushButton::clicked, this, &CMailSettingDlg::onSecurityButton);
  return group;
}

void CMailSettingDlg::showProtocol() {
  const int protocol = protocol_->currentIndex() == 1 ? 1 : 0;
  popServerLabel_->setText(QString::fromUtf8(kIncomingServerLabel[protocol]));
  AddTool(popServer_, kIncomingServerTip[protocol]);
}

void CMailSettingDlg::onSecurityButton() {
  CMailSecurityDlg dialog(record_, iniFile_, checker_, this);
  if (dialog.exec() != QDialog::Accepted) return;
  record_ = dialog.Merged(record_);
  SetModified();
}

void CMailSettingDlg::onAccountsChecked(const std::string& report) {
  qv::ShowMessageBox(report, SJIS("アカウントの確認"));
}

QWidget* CMailSettingDlg::createConnectionGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("接続方法"), this);
  lan_ = new QRadioButton(QString::fromUtf8("ＬＡＮ接続(&L)"), group);
  lan_->setObjectName("lan");
  AddTool(lan_, "ｲﾝﾀｰﾈｯﾄへの接続をＬＡＮ接続に設定します。");
  dialUp_ = new QRadioButton(QString::fromUtf8(kDialUpLabel), group);
  dialUp_->setObjectName("dialUp");
  AddTool(dialUp_, "ｲﾝﾀｰﾈｯﾄへの接続をﾀﾞｲｱﾙｱｯﾌﾟ接続に設定します。");
  dialEntries_ = new QComboBox(group);
  dialEntries_->setObjectName("dialEntries");
  dialEntries_->setMinimumContentsLength(20);
  AddTool(dialEntries_, "ﾀﾞｲｱﾙｱｯﾌﾟ接続先を選択します。");

  auto* layout = new QGridLayout(group);
  layout->addWidget(lan_, 0, 0);
  layout->addWidget(dialUp_, 1, 0);
  layout->addWidget(dialEntries_, 1, 1);
  layout->setColumnStretch(1, 1);

  connect(lan_, &QRadioButton::clicked, this, [this] {
    record_.ConnMode = 0;
    dialEntries_->setEnabled(false);
    SetModified();
  });
  connect(dialUp_, &QRadioButton::clicked, this, [this] {
    dialEntries_->setEnabled(true);
    record_.ConnMode = 1;
    SetModified();
  });
  connect(dialEntries_, &QComboBox::currentIndexChanged, this, [this] {
    if (initialising_) return;
    record_.ConnMode = 1;
    takeDialEntry();
    SetModified();
  });
  return group;
}

void CMailSettingDlg::fillDialEntries() {
  dialEntries_->clear();
  const std::vector<std::string> entries = qv::ListDialEntries();
  for (const std::string& name : entries) dialEntries_->addItem(FromCp932(name));
  dialEntryCount_ = static_cast<int>(entries.size());
}

void CMailSettingDlg::OnInitDialog() {
  // The labels have the sheet's font now.
  AlignLabelColumns(this);
  fillDialEntries();
  LoadMailSettings(iniFile_.c_str(), &record_);
  for (const auto& [edit, field] : texts_) edit->setText(FromCp932(field.data()));
  protocol_->setCurrentIndex(record_.MailProtocol == 1 ? 1 : 0);
  beforeSmtp_->setChecked(record_.BeforeSMTP != 0);
  showProtocol();

  if (dialEntryCount_ == 0) {
    dialUp_->setEnabled(false);
    dialEntries_->setEnabled(false);
    lan_->setChecked(true);  // the stored mode stays as it is
  } else {
    const bool dialing = record_.ConnMode != 0;
    (dialing ? dialUp_ : lan_)->setChecked(true);
    dialEntries_->setEnabled(dialing);
    // The first entry whose name begins with DialName, ignoring ASCII case; else the first.
    const size_t length = strnlen(record_.DialName, sizeof record_.DialName);
    int selected = 0;
    for (int i = 0; i < dialEntries_->count(); ++i) {
      if (strncasecmp(ToCp932(dialEntries_->itemText(i)).c_str(), record_.DialName, length) == 0) {
        selected = i;
        break;
      }
    }
    dialEntries_->setCurrentIndex(selected);
  }
  // What the controls show is what is stored: a byte CP932 cannot show comes back as '?', a
  // protocol other than IMAP as POP3, and DialName as the entry selected.
  for (const auto& [edit, field] : texts_) qv::CopySjisField(field.data(), field.size(), ToCp932(edit->text()));
  record_.MailProtocol = protocol_->currentIndex();
  takeDialEntry();
}

void CMailSettingDlg::onPortButton() {
  CPortNumberDlg dialog(record_.PopPort, record_.SmtpPort, protocol_->currentIndex(), record_.PopSecurity, this);
  if (dialog.exec() != QDialog::Accepted) return;
  record_.PopPort = dialog.popPort();
  record_.SmtpPort = dialog.smtpPort();
  SetModified();
}

void CMailSettingDlg::takeDialEntry() {
  // Without a selected entry DialName stays as it was.
  if (dialEntries_->currentIndex() < 0) return;
  qv::CopySjisField(record_.DialName, sizeof record_.DialName, ToCp932(dialEntries_->currentText()));
}

bool CMailSettingDlg::OnApply() {
  const MailRefusal refusal = CheckMailSettings(record_);
  if (refusal.check != 0) {
    qv::ShowMessageBox(refusal.message, refusal.caption);
    // The boxes of the details dialog are reached through its button.
    QWidget* box = refusal.inDetails ? static_cast<QWidget*>(securityButton_) : findChild<QLineEdit*>(refusal.box);
    if (box) box->setFocus();
    return false;
  }
  return Saved(SaveMailSettings(iniFile_.c_str(), &record_));
}

}  // namespace qxdlg
