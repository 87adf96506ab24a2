#include "dialogs/mail_page.h"

#include <strings.h>

#include <cstring>
#include <iterator>
#include <thread>

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/mail/account_check.h"
#include "app/settings/setting_rules.h"
#include "dialogs/text_fields.h"
#include "platform/dialup.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace qxdlg {
namespace {

QSpinBox* PortBox(int port, QWidget* parent, const char* name) {
  auto* box = new QSpinBox(parent);
  box->setObjectName(name);
  box->setRange(qv::kPortMin, qv::kPortMax);
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
  return security == 2 ? kPop3sPort : qv::kDefaultPopPort;
}

const char* ProtocolName(int protocol) { return protocol == 1 ? "IMAP" : "POP3"; }

}  // namespace

CPortNumberDlg::CPortNumberDlg(int popPort, int smtpPort, int protocol, int security, QWidget* parent)
    : QDialog(parent) {
  QGridLayout* layout = MakeSheetDialogLayout(this, "portDialog", "ポート番号の設定", 2);
  popPort_ = PortBox(popPort, this, "popPort");
  smtpPort_ = PortBox(smtpPort, this, "smtpPort");
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
    smtpPort_->setValue(qv::kDefaultSmtpPort);
  });
}

int CPortNumberDlg::popPort() const { return popPort_->value(); }
int CPortNumberDlg::smtpPort() const { return smtpPort_->value(); }

CMailSettingDlg::CMailSettingDlg(std::string iniFile) : CSettingsPage("返信メール設定", std::move(iniFile)) {
  setObjectName("mailPage");
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(createSenderGroup());
  layout->addWidget(createServerGroup());
  layout->addWidget(createSecurityGroup());
  layout->addWidget(createConnectionGroup());
  layout->addStretch();
}

QLineEdit* CMailSettingDlg::addTextRow(QGridLayout* layout, int row, const char* label, const char* name,
                                       size_t maxBytes, const char* tip, bool allowSemicolon) {
  QWidget* group = layout->parentWidget();
  auto* edit = new QLineEdit(group);
  edit->setObjectName(name);
  auto* caption = new QLabel(QString::fromUtf8(label), group);
  caption->setBuddy(edit);
  layout->addWidget(caption, row, 0);
  layout->addWidget(edit, row, 1, 1, 2);
  AddTool(edit, tip);
  LimitField(edit, maxBytes, allowSemicolon);
  connect(edit, &QLineEdit::textChanged, this, [this] {
    if (!initialising_) SetModified();
  });
  return edit;
}

QWidget* CMailSettingDlg::createSenderGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("差出人情報"), this);
  auto* layout = new QGridLayout(group);
  userName_ = addTextRow(layout, 0, "差出人名(&N)：", "userName", sizeof record_.UserName - 1,
                         "差出人名を設定します。\nメールの差出人(From:)へ設定されます。");
  mailAddr_ = addTextRow(layout, 1, "ﾒｰﾙｱﾄﾞﾚｽ(&A)：", "mailAddr", sizeof record_.MailAddr - 1,
                         "差出人のﾒｰﾙｱﾄﾞﾚｽを設定します。\nメールの差出人(From:)へ設定されます。");
  return group;
}

QWidget* CMailSettingDlg::createServerGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("サーバー情報"), this);
  auto* layout = new QGridLayout(group);
  popServer_ = addTextRow(layout, 0, "受信ｻｰﾊﾞｰ(&M)：", "popServer", sizeof record_.PopServer - 1,
                          "メール受信に使用するｻｰﾊﾞｰ名を設定します。");
  protocol_ = new QComboBox(group);
  protocol_->setObjectName("mailProtocol");
  for (int protocol : {0, 1}) protocol_->addItem(QString::fromUtf8(ProtocolName(protocol)));
  AddTool(protocol_, "メール受信に使用する方式(POP3またはIMAP)を選択します。");
  // addTextRow spans the edits over columns 1 and 2; the protocol takes the last one.
  layout->removeWidget(popServer_);
  layout->addWidget(popServer_, 0, 1);
  layout->addWidget(protocol_, 0, 2);
  smtpServer_ = addTextRow(layout, 1, "SMTPｻｰﾊﾞｰ（送信）(&S)：", "smtpServer", sizeof record_.SmtpServer - 1,
                           "メール送信に使用するSMTPｻｰﾊﾞｰ名を設定します。");
  userId_ = addTextRow(layout, 2, "ﾕｰｻﾞｰID(&U)：", "userId", sizeof record_.UserID - 1,
                       "ﾒｰﾙｻｰﾊﾞｰに接続する為のﾕｰｻﾞｰIDを設定します。");
  // The password is stored encoded, so it may hold ';'.
  password_ = addTextRow(layout, 3, "ﾊﾟｽﾜｰﾄﾞ(&P)：", "password", sizeof record_.Passwd - 1,
                         "ﾒｰﾙｻｰﾊﾞｰに接続する為のﾊﾟｽﾜｰﾄﾞを設定します。", true);
  password_->setEchoMode(QLineEdit::Password);
  imapFolder_ = addTextRow(layout, 4, "IMAPﾌｫﾙﾀﾞ(&F)：", "imapFolder", sizeof record_.ImapFolder - 1,
                           "IMAPで新着メールを確認するﾌｫﾙﾀﾞ名を設定します。");
  imapIdle_ = new QCheckBox(QString::fromUtf8("新着を待つ(IDLE)(&I)"), group);
  imapIdle_->setObjectName("imapIdle");
  AddTool(imapIdle_, "チェックを付けると確認の合間もIMAPｻｰﾊﾞｰからの新着の知らせを待ち、すぐに返信します。");
  layout->removeWidget(imapFolder_);
  layout->addWidget(imapFolder_, 4, 1);
  layout->addWidget(imapIdle_, 4, 2);

  beforeSmtp_ = new QCheckBox(QString::fromUtf8("送信前にＰＯＰ認証を行う(POP-before-SMTP)(&B)"), group);
  beforeSmtp_->setObjectName("beforeSmtp");
  AddTool(beforeSmtp_, "チェックを付けるとメール送信前にPOP認証を行います。");
  auto* ports = new QPushButton(QString::fromUtf8("ポート番号設定(&E)"), group);
  ports->setObjectName("portButton");
  ports->setAutoDefault(false);
  AddTool(ports, "サーバーのポート番号を設定します。");
  layout->addWidget(beforeSmtp_, 5, 0, 1, 2);
  layout->addWidget(ports, 5, 2);
  layout->setColumnStretch(1, 1);

  connect(beforeSmtp_, &QCheckBox::clicked, this, [this](bool on) {
    record_.BeforeSMTP = on;
    SetModified();
  });
  connect(protocol_, &QComboBox::currentIndexChanged, this, [this] {
    showProtocol();
    if (!initialising_) SetModified();
  });
  connect(imapIdle_, &QCheckBox::clicked, this, [this](bool on) {
    record_.ImapIdle = on;
    SetModified();
  });
  connect(ports, &QPushButton::clicked, this, &CMailSettingDlg::onPortButton);
  return group;
}

QWidget* CMailSettingDlg::createSecurityGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("暗号化と認証"), this);
  auto securityList = [this, group](const char* name, const char* tls, const char* tip) {
    auto* list = new QComboBox(group);
    list->setObjectName(name);
    for (const char* item : {"なし", tls, "SSL/TLS"}) list->addItem(QString::fromUtf8(item));
    AddTool(list, tip);
    connect(list, &QComboBox::currentIndexChanged, this, [this] {
      if (!initialising_) SetModified();
    });
    return list;
  };
  popSecurity_ = securityList("popSecurity", "STLS", "POP3ｻｰﾊﾞｰとの通信を暗号化する方法を選択します。");
  smtpSecurity_ = securityList("smtpSecurity", "STARTTLS", "SMTPｻｰﾊﾞｰとの通信を暗号化する方法を選択します。");
  smtpAuth_ = new QCheckBox(QString::fromUtf8("SMTP認証を行う(SMTP AUTH)"), group);
  smtpAuth_->setObjectName("smtpAuth");
  AddTool(smtpAuth_, "チェックを付けるとメール送信時にSMTP認証を行います。");
  auto* layout = new QGridLayout(group);
  popSecurityLabel_ = new QLabel(QString::fromUtf8("POP3："), group);
  layout->addWidget(popSecurityLabel_, 0, 0);
  layout->addWidget(popSecurity_, 0, 1);
  layout->addWidget(new QLabel(QString::fromUtf8("SMTP："), group), 0, 2);
  layout->addWidget(smtpSecurity_, 0, 3);
  layout->addWidget(smtpAuth_, 1, 0, 1, 4);
  // The SMTP account: empty boxes use the POP3 account.
  smtpUserId_ = addTextRow(layout, 2, "SMTPﾕｰｻﾞｰID：", "smtpUserId", sizeof record_.SmtpUserID - 1,
                           "SMTP認証のﾕｰｻﾞｰIDを設定します。\n空欄のときはPOP3のﾕｰｻﾞｰIDを使います。");
  smtpPassword_ = addTextRow(layout, 3, "SMTPﾊﾟｽﾜｰﾄﾞ：", "smtpPassword", sizeof record_.SmtpPasswd - 1,
                             "SMTP認証のﾊﾟｽﾜｰﾄﾞを設定します。\n空欄のときはPOP3のﾊﾟｽﾜｰﾄﾞを使います。", true);
  smtpPassword_->setEchoMode(QLineEdit::Password);
  caFile_ = addTextRow(layout, 4, "CA証明書：", "caFile", sizeof record_.CaFile - 1,
                       "システムの証明書に加えて信頼する証明書(PEM形式)のファイルを設定します。");
  auto* browse = new QPushButton(QString::fromUtf8("参照..."), group);
  browse->setObjectName("browseCaFile");
  browse->setAutoDefault(false);
  checkAccounts_ = new QPushButton(QString::fromUtf8("アカウントの確認(&K)"), group);
  checkAccounts_->setObjectName("checkAccounts");
  checkAccounts_->setAutoDefault(false);
  AddTool(checkAccounts_, "入力中の設定で受信ｻｰﾊﾞｰとSMTPｻｰﾊﾞｰに接続して確認します。\nメールの受信、削除、送信は行いません。");
  // addTextRow spans the edits over columns 1 and 2; the browse button takes the last one.
  layout->removeWidget(caFile_);
  layout->addWidget(caFile_, 4, 1, 1, 2);
  layout->addWidget(browse, 4, 3, Qt::AlignLeft);
  layout->addWidget(checkAccounts_, 5, 3, Qt::AlignRight);
  layout->setColumnStretch(1, 1);
  layout->setColumnStretch(3, 1);

  connect(smtpAuth_, &QCheckBox::clicked, this, [this](bool on) {
    record_.SmtpAuth = on;
    enableSmtpAccount();
    SetModified();
  });
  connect(browse, &QPushButton::clicked, this, &CMailSettingDlg::onBrowseCaFile);
  connect(checkAccounts_, &QPushButton::clicked, this, &CMailSettingDlg::onCheckAccounts);
  return group;
}

void CMailSettingDlg::enableSmtpAccount() {
  smtpUserId_->setEnabled(smtpAuth_->isChecked());
  smtpPassword_->setEnabled(smtpAuth_->isChecked());
}

void CMailSettingDlg::showProtocol() {
  const int protocol = protocol_->currentIndex();
  imapFolder_->setEnabled(protocol == 1);
  imapIdle_->setEnabled(protocol == 1);
  popSecurityLabel_->setText(QString::fromUtf8(ProtocolName(protocol)) + QString::fromUtf8("："));
  popSecurity_->setItemText(1, QString::fromUtf8(protocol == 1 ? "STARTTLS" : "STLS"));
}

void CMailSettingDlg::onBrowseCaFile() {
  SetChosenPath(caFile_,
                QFileDialog::getOpenFileName(this, QString::fromUtf8("CA証明書を選択してください"), caFile_->text(),
                                             "PEM (*.pem *.crt);;* (*)"),
                sizeof record_.CaFile);
}

void CMailSettingDlg::onCheckAccounts() {
  takeTexts();
  MailSettings mail = record_;
  checkAccounts_->setEnabled(false);
  checkAccounts_->setText(QString::fromUtf8("確認中…"));
  // The check may wait for the servers as long as the socket time-outs: the sheet stays usable.
  if (checkThread_.joinable()) checkThread_.join();
  checkThread_ = std::thread([this, mail] {
    std::vector<AccountCheckLine> report;
    CheckAccounts(mail, &report);
    std::string text;
    for (const AccountCheckLine& line : report) text += (line.step ? "" : "  ") + line.text + "\n";
    // The page waits for this thread before it goes, so it is still there to take the result.
    QMetaObject::invokeMethod(
        this,
        [this, text] {
          checkAccounts_->setText(QString::fromUtf8("アカウントの確認(&K)"));
          checkAccounts_->setEnabled(true);
          qv::ShowMessageBox(text, SJIS("アカウントの確認"));
        },
        Qt::QueuedConnection);
  });
}

CMailSettingDlg::~CMailSettingDlg() {
  if (checkThread_.joinable()) checkThread_.join();
}

QWidget* CMailSettingDlg::createConnectionGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("接続方法"), this);
  lan_ = new QRadioButton(QString::fromUtf8("ＬＡＮ接続(&L)"), group);
  lan_->setObjectName("lan");
  AddTool(lan_, "ｲﾝﾀｰﾈｯﾄへの接続をＬＡＮ接続に設定します。");
  dialUp_ = new QRadioButton(QString::fromUtf8("ダイアルアップ(&D)"), group);
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
  fillDialEntries();
  LoadMailSettings(iniFile_.c_str(), &record_);
  userName_->setText(FromCp932(record_.UserName));
  mailAddr_->setText(FromCp932(record_.MailAddr));
  popServer_->setText(FromCp932(record_.PopServer));
  protocol_->setCurrentIndex(record_.MailProtocol == 1 ? 1 : 0);
  imapFolder_->setText(FromCp932(record_.ImapFolder));
  imapIdle_->setChecked(record_.ImapIdle != 0);
  smtpServer_->setText(FromCp932(record_.SmtpServer));
  userId_->setText(FromCp932(record_.UserID));
  password_->setText(FromCp932(record_.Passwd));
  beforeSmtp_->setChecked(record_.BeforeSMTP != 0);
  popSecurity_->setCurrentIndex(record_.PopSecurity >= 0 && record_.PopSecurity <= 2 ? record_.PopSecurity : 0);
  smtpSecurity_->setCurrentIndex(record_.SmtpSecurity >= 0 && record_.SmtpSecurity <= 2 ? record_.SmtpSecurity : 0);
  smtpAuth_->setChecked(record_.SmtpAuth != 0);
  smtpUserId_->setText(FromCp932(record_.SmtpUserID));
  smtpPassword_->setText(FromCp932(record_.SmtpPasswd));
  caFile_->setText(FromCp932(record_.CaFile));
  enableSmtpAccount();
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
}

void CMailSettingDlg::onPortButton() {
  CPortNumberDlg dialog(record_.PopPort, record_.SmtpPort, protocol_->currentIndex(), popSecurity_->currentIndex(),
                        this);
  if (dialog.exec() != QDialog::Accepted) return;
  record_.PopPort = dialog.popPort();
  record_.SmtpPort = dialog.smtpPort();
  SetModified();
}

void CMailSettingDlg::takeTexts() {
  qv::CopySjisField(record_.UserName, sizeof record_.UserName, ToCp932(userName_->text()));
  qv::CopySjisField(record_.MailAddr, sizeof record_.MailAddr, ToCp932(mailAddr_->text()));
  qv::CopySjisField(record_.PopServer, sizeof record_.PopServer, ToCp932(popServer_->text()));
  qv::CopySjisField(record_.SmtpServer, sizeof record_.SmtpServer, ToCp932(smtpServer_->text()));
  qv::CopySjisField(record_.UserID, sizeof record_.UserID, ToCp932(userId_->text()));
  qv::CopySjisField(record_.Passwd, sizeof record_.Passwd, ToCp932(password_->text()));
  record_.MailProtocol = protocol_->currentIndex();
  qv::CopySjisField(record_.ImapFolder, sizeof record_.ImapFolder, ToCp932(imapFolder_->text()));
  record_.PopSecurity = popSecurity_->currentIndex();
  record_.SmtpSecurity = smtpSecurity_->currentIndex();
  qv::CopySjisField(record_.SmtpUserID, sizeof record_.SmtpUserID, ToCp932(smtpUserId_->text()));
  qv::CopySjisField(record_.SmtpPasswd, sizeof record_.SmtpPasswd, ToCp932(smtpPassword_->text()));
  qv::CopySjisField(record_.CaFile, sizeof record_.CaFile, ToCp932(caFile_->text()));
}

CMailSettingDlg::Refusal CMailSettingDlg::Check(const MailSettings& r) {
  const std::string notAscii = SJIS("英数字、記号以外の文字が使用されています。");
  const std::string form = SJIS("xxxxx@xxxxxの形式で入力してください。");
  const std::string addressCaption = SJIS("メールアドレスエラー");
  const std::string popCaption = SJIS("ＰＯＰ３サーバーエラー");
  const std::string smtpCaption = SJIS("ＳＭＴＰサーバーエラー");
  const std::string userCaption = SJIS("ユーザーＩＤエラー");
  // The rule every reply's sender passes on the wire: no address is saved that fails it.
  const qv::AddressProblem address = qv::CheckAddressSetting(r.MailAddr);
  // Both failures of the form give one message; they are told apart only by their order.
  const std::string_view text(r.MailAddr);
  const size_t at = text.find('@');
  const bool secondAt = address == qv::AddressProblem::kNotAnAddress && at != std::string_view::npos && at > 0 &&
                        at + 1 < text.size();
  const struct {
    bool fails;
    const std::string& caption;
    std::string message;
  } checks[] = {
      {r.MailAddr[0] == '\0', addressCaption, SJIS("メールアドレスを入力してください。")},
      {r.PopServer[0] == '\0', popCaption, SJIS("ＰＯＰ３サーバー名を入力してください。")},
      {r.SmtpServer[0] == '\0', smtpCaption, SJIS("ＳＭＴＰサーバーを入力してください。")},
      {r.UserID[0] == '\0', userCaption, SJIS("ユーザーＩＤを入力してください。")},
      {address == qv::AddressProblem::kNotAscii, addressCaption, notAscii},
      {(address == qv::AddressProblem::kNotAnAddress && !secondAt) || address == qv::AddressProblem::kMalformed,
       addressCaption, form},
      {secondAt, addressCaption, form},
      {qv::HasNonAsciiByte(r.PopServer), popCaption, notAscii},
      {qv::HasNonAsciiByte(r.SmtpServer), smtpCaption, notAscii},
      {qv::HasNonAsciiByte(r.UserID), userCaption, notAscii},
      {qv::HasNonAsciiByte(r.Passwd), SJIS("パスワードエラー"), notAscii},
      {std::strpbrk(r.UserName, "<>") != nullptr, SJIS("差出人名エラー"),
       SJIS("< >が使用されていますと正しく送受信できません。")},
      // The SMTP account goes into the same kind of commands as the POP3 one (when it is used).
      {r.SmtpAuth != 0 && qv::HasNonAsciiByte(r.SmtpUserID), SJIS("SMTPユーザーＩＤエラー"), notAscii},
      {r.SmtpAuth != 0 && qv::HasNonAsciiByte(r.SmtpPasswd), SJIS("SMTPパスワードエラー"), notAscii},
      {r.MailProtocol == 1 && r.ImapFolder[0] == '\0', SJIS("IMAPフォルダエラー"),
       SJIS("IMAPフォルダ名を入力してください。")},
  };
  for (size_t i = 0; i < std::size(checks); ++i) {
    if (checks[i].fails) return {static_cast<int>(i) + 1, checks[i].caption, checks[i].message};
  }
  return {};
}

QLineEdit* CMailSettingDlg::boxOfCheck(int check) const {
  switch (check) {
    case 2: case 8: return popServer_;
    case 3: case 9: return smtpServer_;
    case 4: case 10: return userId_;
    case 11: return password_;
    case 12: return userName_;
    case 13: return smtpUserId_;
    case 14: return smtpPassword_;
    case 15: return imapFolder_;
    default: return mailAddr_;
  }
}

bool CMailSettingDlg::OnApply() {
  takeTexts();
  const Refusal refusal = Check(record_);
  if (refusal.check != 0) {
    qv::ShowMessageBox(refusal.message, refusal.caption);
    boxOfCheck(refusal.check)->setFocus();
    return false;
  }
  if (dialEntries_->currentIndex() >= 0) {
    qv::CopySjisField(record_.DialName, sizeof record_.DialName, ToCp932(dialEntries_->currentText()));
  }
  return Saved(SaveMailSettings(iniFile_.c_str(), &record_));
}

}  // namespace qxdlg
