#include "dialogs/mail_security_dialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/mail/account_check.h"
#include "dialogs/mail_checks.h"
#include "dialogs/oauth_login_box.h"
#include "dialogs/settings_sheet.h"
#include "dialogs/text_fields.h"
#include "platform/dialog_look.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace qxdlg {
namespace {

const char* const kSecurityLabel[] = {"POP3：", "IMAP："};
constexpr char kSmtpLabel[] = "SMTP：";
constexpr char kCaFileLabel[] = "CA証明書：";
constexpr char kSmtpUserLabel[] = "SMTPﾕｰｻﾞｰID：";
constexpr char kSmtpPasswordLabel[] = "SMTPﾊﾟｽﾜｰﾄﾞ：";
constexpr char kImapFolderLabel[] = "IMAPﾌｫﾙﾀﾞ(&F)：";
constexpr char kCheckAccounts[] = "アカウントの確認(&K)";
constexpr char kAuthMethodLabel[] = "ﾛｸﾞｲﾝ方法(&L)：";
constexpr char kPassCommandLabel[] = "ﾊﾟｽﾜｰﾄﾞｺﾏﾝﾄﾞ：";
constexpr char kSmtpPassCommandLabel[] = "SMTPｺﾏﾝﾄﾞ：";
constexpr char kProviderLabel[] = "ﾌﾟﾛﾊﾞｲﾀﾞｰ：";
constexpr char kClientIdLabel[] = "ｸﾗｲｱﾝﾄID：";
constexpr char kClientSecretLabel[] = "ｸﾗｲｱﾝﾄｼｰｸﾚｯﾄ：";
constexpr char kTokenUrlLabel[] = "ﾄｰｸﾝURL：";
constexpr char kAuthUrlLabel[] = "認可URL：";
constexpr char kDeviceUrlLabel[] = "ﾃﾞﾊﾞｲｽURL：";
constexpr char kScopeLabel[] = "ｽｺｰﾌﾟ：";
constexpr int kCustomProvider = 2;

int SecurityIndex(int stored) { return stored >= 0 && stored <= 2 ? stored : 0; }
int IndexIn(int stored, int last) { return stored >= 0 && stored <= last ? stored : 0; }

OAuthLoginHook& LoginHook() {
  static OAuthLoginHook hook = RunOAuthLoginBox;
  return hook;
}

}  // namespace

void SetOAuthLoginHook(OAuthLoginHook hook) { LoginHook() = std::move(hook); }

AccountCheckRunner::~AccountCheckRunner() {
  if (thread_.joinable()) thread_.join();
}

void AccountCheckRunner::Start(const MailSettings& mail) {
  if (running_) return;
  if (thread_.joinable()) thread_.join();
  running_ = true;
  // The check may wait for the servers as long as the socket time-outs: the sheet stays usable.
  thread_ = std::thread([this, mail] {
    std::vector<AccountCheckLine> lines;
    CheckAccounts(mail, &lines);
    std::string report;
    for (const AccountCheckLine& line : lines) report += (line.step ? "" : "  ") + line.text + "\n";
    // The runner waits for this thread before it goes, so it is still there to take the report.
    QMetaObject::invokeMethod(
        this,
        [this, report] {
          running_ = false;
          emit finished(report);
        },
        Qt::QueuedConnection);
  });
}

CMailSecurityDlg::CMailSecurityDlg(const MailSettings& record, std::string iniFile, AccountCheckRunner* checker,
                                   QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      record_(record),
      iniFile_(std::move(iniFile)),
      checker_(checker) {
  setObjectName("securityDialog");
  setWindowTitle(QString::fromUtf8("受信と送信の詳細設定"));
  const int protocol = record.MailProtocol == 1 ? 1 : 0;
  auto* ok = new QPushButton("OK", this);
  ok->setObjectName("ok");
  ok->setDefault(true);
  auto* cancel = new QPushButton(QString::fromUtf8("キャンセル"), this);
  cancel->setObjectName("cancel");
  checkAccounts_ = new QPushButton(QString::fromUtf8(kCheckAccounts), this);
  checkAccounts_->setObjectName("checkAccounts");
  checkAccounts_->setAutoDefault(false);
  AddTool(checkAccounts_,
          "入力中の設定で受信ｻｰﾊﾞｰとSMTPｻｰﾊﾞｰに接続して確認します。\nメールの受信、削除、送信は行いません。");
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(checkAccounts_);
  buttons->addStretch();
  buttons->addWidget(ok);
  buttons->addWidget(cancel);

  tabs_ = new QTabWidget(this);
  QTabWidget* tabs = tabs_;
  tabs->setObjectName("securityTabs");
  auto* connection = new QWidget(tabs);
  auto* connectionLayout = new QVBoxLayout(connection);
  connectionLayout->addWidget(createSecurityGroup(protocol));
  connectionLayout->addWidget(createAuthGroup());
  connectionLayout->addWidget(createImapGroup());
  connectionLayout->addStretch();
  tabs->addTab(connection, QString::fromUtf8("接続"));
  auto* login = new QWidget(tabs);
  auto* loginLayout = new QVBoxLayout(login);
  loginLayout->addWidget(createMethodGroup());
  loginLayout->addWidget(createOAuthGroup());
  loginLayout->addStretch();
  tabs->addTab(login, QString::fromUtf8("ログイン"));

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tabs);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  showRecord(protocol);
  enableSmtpAccount();
  enableOAuth();
  checkAccounts_->setEnabled(!checker_->running());

  connect(ok, &QPushButton::clicked, this, &CMailSecurityDlg::accept);
  connect(cancel, &QPushButton::clicked, this, &CMailSecurityDlg::reject);
  connect(smtpAuth_, &QCheckBox::clicked, this, &CMailSecurityDlg::enableSmtpAccount);
  connect(checkAccounts_, &QPushButton::clicked, this, &CMailSecurityDlg::onCheckAccounts);
  connect(authMethod_, &QComboBox::currentIndexChanged, this, &CMailSecurityDlg::enableOAuth);
  connect(oauthProvider_, &QComboBox::currentIndexChanged, this, &CMailSecurityDlg::enableOAuth);
  connect(oauthLogin_, &QPushButton::clicked, this, &CMailSecurityDlg::onOAuthLogin);
  connect(checker_, &AccountCheckRunner::finished, this, [this] {
    checkAccounts_->setText(QString::fromUtf8(kCheckAccounts));
    checkAccounts_->setEnabled(true);
  });
  qv::UseDialogLook(this);
  AlignLabelColumns(this);
}

void CMailSecurityDlg::showRecord(int protocol) {
  popSecurity_->setCurrentIndex(SecurityIndex(record_.PopSecurity));
  smtpSecurity_->setCurrentIndex(SecurityIndex(record_.SmtpSecurity));
  caFile_->setText(FromCp932(record_.CaFile));
  smtpAuth_->setChecked(record_.SmtpAuth != 0);
  smtpUserId_->setText(FromCp932(record_.SmtpUserID));
  smtpPassword_->setText(FromCp932(record_.SmtpPasswd));
  imapFolder_->setText(FromCp932(record_.ImapFolder));
  imapIdle_->setChecked(record_.ImapIdle != 0);
  imapFolder_->setEnabled(protocol == 1);
  imapIdle_->setEnabled(protocol == 1);
  authMethod_->setCurrentIndex(IndexIn(record_.AuthMethod, 1));
  passCommand_->setText(FromCp932(record_.PassCommand));
  smtpPassCommand_->setText(FromCp932(record_.SmtpPassCommand));
  oauthProvider_->setCurrentIndex(IndexIn(record_.OAuthProvider, kCustomProvider));
  oauthClientId_->setText(FromCp932(record_.OAuthClientId));
  oauthClientSecret_->setText(FromCp932(record_.OAuthClientSecret));
  oauthTokenUrl_->setText(FromCp932(record_.OAuthTokenUrl));
  oauthAuthUrl_->setText(FromCp932(record_.OAuthAuthUrl));
  oauthDeviceUrl_->setText(FromCp932(record_.OAuthDeviceUrl));
  oauthScope_->setText(FromCp932(record_.OAuthScope));
}

QGroupBox* CMailSecurityDlg::createSecurityGroup(int protocol) {
  auto* group = new QGroupBox(QString::fromUtf8("暗号化"), this);
  auto securityList = [group](const char* name, const char* tls, const char* tip) {
    auto* list = new QComboBox(group);
    list->setObjectName(name);
    for (const char* item : {"なし", tls, "SSL/TLS"}) list->addItem(QString::fromUtf8(item));
    AddTool(list, tip);
    return list;
  };
  popSecurity_ = securityList("popSecurity", protocol == 1 ? "STARTTLS" : "STLS",
                              protocol == 1 ? "IMAPｻｰﾊﾞｰとの通信を暗号化する方法を選択します。"
                                            : "POP3ｻｰﾊﾞｰとの通信を暗号化する方法を選択します。");
  smtpSecurity_ = securityList("smtpSecurity", "STARTTLS", "SMTPｻｰﾊﾞｰとの通信を暗号化する方法を選択します。");
  auto* layout = new QGridLayout(group);
  layout->addWidget(new QLabel(QString::fromUtf8(kSecurityLabel[protocol]), group), 0, 0);
  layout->addWidget(popSecurity_, 0, 1);
  layout->addWidget(new QLabel(QString::fromUtf8(kSmtpLabel), group), 1, 0);
  layout->addWidget(smtpSecurity_, 1, 1);
  caFile_ = AddTextRow(layout, 2, kCaFileLabel, "caFile", sizeof record_.CaFile - 1,
                       "システムの証明書に加えて信頼する証明書(PEM形式)のファイルを設定します。");
  caFile_->setMinimumWidth(240);
  auto* browse = new QPushButton(QString::fromUtf8("参照..."), group);
  browse->setObjectName("browseCaFile");
  browse->setAutoDefault(false);
  layout->addWidget(browse, 2, 2);
  layout->setColumnStretch(1, 1);
  connect(browse, &QPushButton::clicked, this, &CMailSecurityDlg::onBrowseCaFile);
  return group;
}

QGroupBox* CMailSecurityDlg::createAuthGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("SMTP認証"), this);
  auto* layout = new QGridLayout(group);
  smtpAuth_ = new QCheckBox(QString::fromUtf8("SMTP認証を行う(SMTP AUTH)"), group);
  smtpAuth_->setObjectName("smtpAuth");
  AddTool(smtpAuth_, "チェックを付けるとメール送信時にSMTP認証を行います。");
  layout->addWidget(smtpAuth_, 0, 0, 1, 2);
  // The SMTP account: empty boxes use the POP3 account.
  smtpUserId_ = AddTextRow(layout, 1, kSmtpUserLabel, "smtpUserId", sizeof record_.SmtpUserID - 1,
                           "SMTP認証のﾕｰｻﾞｰIDを設定します。\n空欄のときはPOP3のﾕｰｻﾞｰIDを使います。");
  smtpPassword_ = AddTextRow(layout, 2, kSmtpPasswordLabel, "smtpPassword", sizeof record_.SmtpPasswd - 1,
                             "SMTP認証のﾊﾟｽﾜｰﾄﾞを設定します。\n空欄のときはPOP3のﾊﾟｽﾜｰﾄﾞを使います。", 1, true);
  smtpPassword_->setEchoMode(QLineEdit::Password);
  layout->setColumnStretch(1, 1);
  return group;
}

QGroupBox* CMailSecurityDlg::createImapGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("IMAP"), this);
  auto* layout = new QGridLayout(group);
  imapFolder_ = AddTextRow(layout, 0, kImapFolderLabel, "imapFolder", sizeof record_.ImapFolder - 1,
                           "IMAPで新着メールを確認するﾌｫﾙﾀﾞ名を設定します。");
  imapIdle_ = new QCheckBox(QString::fromUtf8("新着を待つ(IDLE)(&I)"), group);
  imapIdle_->setObjectName("imapIdle");
  AddTool(imapIdle_, "チェックを付けると確認の合間もIMAPｻｰﾊﾞｰからの新着の知らせを待ち、すぐに返信します。");
  layout->addWidget(imapIdle_, 1, 1);
  layout->setColumnStretch(1, 1);
  return group;
}

QGroupBox* CMailSecurityDlg::createMethodGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("ログイン方法"), this);
  auto* layout = new QGridLayout(group);
  authMethod_ = new QComboBox(group);
  authMethod_->setObjectName("authMethod");
  for (const char* item : {"パスワード", "OAuth2(アクセストークン)"}) authMethod_->addItem(QString::fromUtf8(item));
  AddTool(authMethod_,
          "受信ｻｰﾊﾞｰとSMTPｻｰﾊﾞｰへのﾛｸﾞｲﾝ方法を選択します。\nOAuth2ではﾊﾟｽﾜｰﾄﾞは送信されず、"
          "ﾊﾟｽﾜｰﾄﾞｺﾏﾝﾄﾞか下のﾛｸﾞｲﾝで得たｱｸｾｽﾄｰｸﾝを使います。");
  auto* label = new QLabel(QString::fromUtf8(kAuthMethodLabel), group);
  label->setBuddy(authMethod_);
  layout->addWidget(label, 0, 0);
  layout->addWidget(authMethod_, 0, 1);
  // Commands may hold ';' no more than other texts: the settings file would cut them there.
  passCommand_ = AddTextRow(layout, 1, kPassCommandLabel, "passCommand", sizeof record_.PassCommand - 1,
                            "ﾊﾟｽﾜｰﾄﾞかｱｸｾｽﾄｰｸﾝを出力するｺﾏﾝﾄﾞを設定します(例: secret-tool lookup "
                            "service quorvex)。\n出力の1行目を使い、保存したﾊﾟｽﾜｰﾄﾞは使いません。"
                            "ｺﾏﾝﾄﾞはｼｪﾙを通さずに実行します。");
  passCommand_->setMinimumWidth(240);
  smtpPassCommand_ = AddTextRow(layout, 2, kSmtpPassCommandLabel, "smtpPassCommand",
                                sizeof record_.SmtpPassCommand - 1,
                                "SMTP認証のﾊﾟｽﾜｰﾄﾞかｱｸｾｽﾄｰｸﾝを出力するｺﾏﾝﾄﾞを設定します。\n"
                                "空欄のときはﾊﾟｽﾜｰﾄﾞｺﾏﾝﾄﾞを使います。");
  layout->setColumnStretch(1, 1);
  return group;
}

QGroupBox* CMailSecurityDlg::createOAuthGroup() {
  auto* group = new QGroupBox(QString::fromUtf8("OAuth2"), this);
  auto* layout = new QGridLayout(group);
  oauthProvider_ = new QComboBox(group);
  oauthProvider_->setObjectName("oauthProvider");
  for (const char* item : {"Microsoft", "Google", "その他(URLを指定)"}) oauthProvider_->addItem(QString::fromUtf8(item));
  AddTool(oauthProvider_, "ﾒｰﾙのﾌﾟﾛﾊﾞｲﾀﾞｰを選択します。\nその他のときはURLとｽｺｰﾌﾟを設定します。");
  auto* label = new QLabel(QString::fromUtf8(kProviderLabel), group);
  label->setBuddy(oauthProvider_);
  layout->addWidget(label, 0, 0);
  layout->addWidget(oauthProvider_, 0, 1);
  oauthClientId_ = AddTextRow(layout, 1, kClientIdLabel, "oauthClientId", sizeof record_.OAuthClientId - 1,
                              "ﾌﾟﾛﾊﾞｲﾀﾞｰに登録したｱﾌﾟﾘｹｰｼｮﾝのｸﾗｲｱﾝﾄIDを設定します。");
  oauthClientSecret_ =
      AddTextRow(layout, 2, kClientSecretLabel, "oauthClientSecret", sizeof record_.OAuthClientSecret - 1,
                 "ｸﾗｲｱﾝﾄｼｰｸﾚｯﾄを設定します。\nﾌﾟﾛﾊﾞｲﾀﾞｰが発行しないときは空欄にします。", 1, true);
  oauthClientSecret_->setEchoMode(QLineEdit::Password);
  oauthTokenUrl_ = AddTextRow(layout, 3, kTokenUrlLabel, "oauthTokenUrl", sizeof record_.OAuthTokenUrl - 1,
                              "ﾄｰｸﾝｴﾝﾄﾞﾎﾟｲﾝﾄのURLを設定します。");
  oauthAuthUrl_ = AddTextRow(layout, 4, kAuthUrlLabel, "oauthAuthUrl", sizeof record_.OAuthAuthUrl - 1,
                             "認可ｴﾝﾄﾞﾎﾟｲﾝﾄのURLを設定します。");
  oauthDeviceUrl_ = AddTextRow(layout, 5, kDeviceUrlLabel, "oauthDeviceUrl", sizeof record_.OAuthDeviceUrl - 1,
                               "ﾃﾞﾊﾞｲｽ認可ｴﾝﾄﾞﾎﾟｲﾝﾄのURLを設定します。");
  oauthScope_ = AddTextRow(layout, 6, kScopeLabel, "oauthScope", sizeof record_.OAuthScope - 1,
                           "ﾌﾟﾛﾊﾞｲﾀﾞｰに求めるｽｺｰﾌﾟをｽﾍﾟｰｽで区切って設定します。\n空欄のときはｽｺｰﾌﾟを送りません。");
  oauthLogin_ = new QPushButton(QString::fromUtf8("ログイン(&O)..."), group);
  oauthLogin_->setObjectName("oauthLogin");
  oauthLogin_->setAutoDefault(false);
  AddTool(oauthLogin_, "ﾌﾟﾛﾊﾞｲﾀﾞｰにﾛｸﾞｲﾝしてｱｸｾｽﾄｰｸﾝを得られるようにします。\n"
                       "ﾊﾟｽﾜｰﾄﾞｺﾏﾝﾄﾞを使うときは不要です。");
  layout->addWidget(oauthLogin_, 7, 1, Qt::AlignRight);
  layout->setColumnStretch(1, 1);
  return group;
}

void CMailSecurityDlg::enableOAuth() {
  const bool oauth = authMethod_->currentIndex() == 1;
  const bool custom = oauth && oauthProvider_->currentIndex() == kCustomProvider;
  for (QWidget* box : std::initializer_list<QWidget*>{oauthProvider_, oauthClientId_, oauthClientSecret_}) {
    box->setEnabled(oauth);
  }
  for (QWidget* box : std::initializer_list<QWidget*>{oauthTokenUrl_, oauthAuthUrl_, oauthDeviceUrl_, oauthScope_}) {
    box->setEnabled(custom);
  }
  oauthLogin_->setEnabled(oauth && LoginHook() != nullptr);
}

void CMailSecurityDlg::onOAuthLogin() {
  // The hook may have gone since the dialog opened (tests take it back).
  if (const OAuthLoginHook hook = LoginHook()) hook(Merged(record_), iniFile_, this);
}

void CMailSecurityDlg::enableSmtpAccount() {
  smtpUserId_->setEnabled(smtpAuth_->isChecked());
  smtpPassword_->setEnabled(smtpAuth_->isChecked());
}

void CMailSecurityDlg::onBrowseCaFile() {
  SetChosenPath(caFile_,
                QFileDialog::getOpenFileName(this, QString::fromUtf8("CA証明書を選択してください"), caFile_->text(),
                                             "PEM (*.pem *.crt);;* (*)"),
                sizeof record_.CaFile);
}

void CMailSecurityDlg::onCheckAccounts() {
  checkAccounts_->setEnabled(false);
  checkAccounts_->setText(QString::fromUtf8("確認中…"));
  checker_->Start(Merged(record_));
}

MailSettings CMailSecurityDlg::Merged(MailSettings record) const {
  record.PopSecurity = popSecurity_->currentIndex();
  record.SmtpSecurity = smtpSecurity_->currentIndex();
  qv::CopySjisField(record.CaFile, sizeof record.CaFile, ToCp932(caFile_->text()));
  record.SmtpAuth = smtpAuth_->isChecked() ? 1 : 0;
  qv::CopySjisField(record.SmtpUserID, sizeof record.SmtpUserID, ToCp932(smtpUserId_->text()));
  qv::CopySjisField(record.SmtpPasswd, sizeof record.SmtpPasswd, ToCp932(smtpPassword_->text()));
  qv::CopySjisField(record.ImapFolder, sizeof record.ImapFolder, ToCp932(imapFolder_->text()));
  record.ImapIdle = imapIdle_->isChecked() ? 1 : 0;
  record.AuthMethod = authMethod_->currentIndex();
  qv::CopySjisField(record.PassCommand, sizeof record.PassCommand, ToCp932(passCommand_->text()));
  qv::CopySjisField(record.SmtpPassCommand, sizeof record.SmtpPassCommand, ToCp932(smtpPassCommand_->text()));
  record.OAuthProvider = oauthProvider_->currentIndex();
  qv::CopySjisField(record.OAuthClientId, sizeof record.OAuthClientId, ToCp932(oauthClientId_->text()));
  qv::CopySjisField(record.OAuthClientSecret, sizeof record.OAuthClientSecret, ToCp932(oauthClientSecret_->text()));
  qv::CopySjisField(record.OAuthTokenUrl, sizeof record.OAuthTokenUrl, ToCp932(oauthTokenUrl_->text()));
  qv::CopySjisField(record.OAuthAuthUrl, sizeof record.OAuthAuthUrl, ToCp932(oauthAuthUrl_->text()));
  qv::CopySjisField(record.OAuthDeviceUrl, sizeof record.OAuthDeviceUrl, ToCp932(oauthDeviceUrl_->text()));
  qv::CopySjisField(record.OAuthScope, sizeof record.OAuthScope, ToCp932(oauthScope_->text()));
  return record;
}

void CMailSecurityDlg::accept() {
  const MailRefusal refusal = CheckMailDetails(Merged(record_));
  if (refusal.check != 0) {
    qv::ShowMessageBox(refusal.message, refusal.caption);
    if (auto* box = findChild<QLineEdit*>(refusal.box)) {
      // The box's tab comes to the front first: a hidden box takes no focus.
      for (int tab = 0; tab < tabs_->count(); ++tab) {
        if (tabs_->widget(tab)->isAncestorOf(box)) tabs_->setCurrentIndex(tab);
      }
      box->setFocus();
    }
    return;
  }
  QDialog::accept();
}

}  // namespace qxdlg
