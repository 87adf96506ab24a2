#include "dialogs/oauth_login_box.h"

#include <cstdio>
#include <functional>

#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/oauth/oauth_settings.h"
#include "dialogs/settings_sheet.h"
#include "dialogs/text_fields.h"
#include "platform/dialog_look.h"
#include "platform/text.h"

namespace qxdlg {
namespace {

constexpr char kClose[] = "閉じる";
constexpr char kStop[] = "中止";

// What a log-in prints, handed on in whole lines: a UTF-8 character or an address is never
// split between two deliveries.
struct PrintedLines {
  std::function<void(std::string)> deliver;
  std::string pending;
};

ssize_t WritePrinted(void* cookie, const char* data, size_t size) {
  auto* printed = static_cast<PrintedLines*>(cookie);
  printed->pending.append(data, size);
  const size_t end = printed->pending.rfind('\n');
  if (end != std::string::npos) {
    printed->deliver(printed->pending.substr(0, end + 1));
    printed->pending.erase(0, end + 1);
  }
  return static_cast<ssize_t>(size);
}

int ClosePrinted(void* cookie) {
  auto* printed = static_cast<PrintedLines*>(cookie);
  if (!printed->pending.empty()) printed->deliver(printed->pending + "\n");
  printed->pending.clear();
  return 0;
}

}  // namespace

COAuthLoginDlg::COAuthLoginDlg(const MailSettings& mail, std::string iniFile, BrowserOpener open, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      mail_(mail),
      iniFile_(std::move(iniFile)),
      open_(std::move(open)) {
  setObjectName("oauthLoginBox");
  setWindowTitle(QString::fromUtf8("OAuth2ログイン"));
  auto* intro = new QLabel(QString::fromUtf8("ﾒｰﾙのﾌﾟﾛﾊﾞｲﾀﾞｰにﾛｸﾞｲﾝして、受信と送信に使うﾄｰｸﾝを保存します。\n"
                                             "このﾊﾟｿｺﾝのﾌﾞﾗｳｻﾞｰでﾛｸﾞｲﾝするか、表示されるｺｰﾄﾞを"
                                             "別の機器で入力してください。"),
                           this);
  intro->setWordWrap(true);
  browser_ = new QPushButton(QString::fromUtf8("ブラウザーでログイン(&B)"), this);
  browser_->setObjectName("browserLogin");
  AddTool(browser_, "このﾊﾟｿｺﾝのﾌﾞﾗｳｻﾞｰでﾌﾟﾛﾊﾞｲﾀﾞｰのﾛｸﾞｲﾝ画面を開きます。");
  device_ = new QPushButton(QString::fromUtf8("コードでログイン(&D)"), this);
  device_->setObjectName("deviceLogin");
  AddTool(device_, "ﾛｸﾞｲﾝ用のｱﾄﾞﾚｽとｺｰﾄﾞを表示します。\nｽﾏｰﾄﾌｫﾝなど別の機器のﾌﾞﾗｳｻﾞｰで開いて入力します。");
  for (QPushButton* button : {browser_, device_}) button->setAutoDefault(false);
  auto* choices = new QHBoxLayout;
  choices->addWidget(browser_);
  choices->addWidget(device_);
  choices->addStretch();
  printed_ = new QPlainTextEdit(this);
  printed_->setObjectName("printed");
  printed_->setReadOnly(true);
  printed_->setMinimumWidth(440);
  // Room for what a device log-in prints (five lines) without a scroll bar.
  printed_->setFixedHeight(printed_->fontMetrics().lineSpacing() * 8);
  status_ = new QLabel(this);
  status_->setObjectName("status");
  status_->setWordWrap(true);
  status_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  close_ = new QPushButton(QString::fromUtf8(kClose), this);
  close_->setObjectName("close");
  close_->setMinimumWidth(75);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(close_);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(intro);
  layout->addLayout(choices);
  layout->addWidget(printed_);
  layout->addWidget(status_);
  layout->addLayout(buttons);
  layout->setSizeConstraint(QLayout::SetFixedSize);

  connect(browser_, &QPushButton::clicked, this, [this] { start(true); });
  connect(device_, &QPushButton::clicked, this, [this] { start(false); });
  connect(close_, &QPushButton::clicked, this, &COAuthLoginDlg::reject);
  qv::UseDialogLook(this);
}

COAuthLoginDlg::~COAuthLoginDlg() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

void COAuthLoginDlg::start(bool browser) {
  if (running_) return;
  OAuthSettings settings;
  std::string why;
  if (!OAuthSettingsFrom(mail_, iniFile_, &settings, &why)) {
    status_->setText(FromCp932(why));
    return;
  }
  if (thread_.joinable()) thread_.join();
  stop_ = false;
  printed_->clear();
  status_->setText(QString::fromUtf8(browser ? "ブラウザーでのログインを待っています…" : "コードの入力を待っています…"));
  setRunning(true);
  // The box waits for this thread before it goes, so `this` is there for every hand-over.
  thread_ = std::thread([this, settings, browser] {
    PrintedLines printed;
    printed.deliver = [this](std::string lines) {
      QMetaObject::invokeMethod(this, [this, lines] { showPrinted(lines); }, Qt::QueuedConnection);
    };
    LoginResult result{false, SJIS("ログインの表示を準備できません。")};
    if (FILE* out = fopencookie(&printed, "w", {nullptr, &WritePrinted, nullptr, &ClosePrinted})) {
      OAuthTokens tokens(nullptr, &stop_);
      result = browser ? tokens.BrowserLogin(settings, out, open_) : tokens.DeviceLogin(settings, out);
      std::fclose(out);
    }
    QMetaObject::invokeMethod(
        this, [this, result, file = settings.tokenFile] { finish(result, file); }, Qt::QueuedConnection);
  });
}

void COAuthLoginDlg::showPrinted(const std::string& lines) {
  // Set as a whole, the text is shown from its first line (the instruction) on.
  QString text = printed_->toPlainText();
  if (!text.isEmpty()) text += '\n';
  text += QString::fromStdString(lines);
  if (text.endsWith('\n')) text.chop(1);
  printed_->setPlainText(text);
}

void COAuthLoginDlg::finish(const LoginResult& result, const std::string& tokenFile) {
  setRunning(false);
  status_->setText(result.ok ? QString::fromUtf8("ログインしました。トークンの保存先: ") + QString::fromStdString(tokenFile)
                             : QString::fromUtf8("ログインできませんでした: ") + FromCp932(result.why));
  emit loginEnded(result.ok);
  if (closeWhenEnded_) QDialog::reject();
}

void COAuthLoginDlg::setRunning(bool running) {
  running_ = running;
  browser_->setEnabled(!running);
  device_->setEnabled(!running);
  close_->setEnabled(true);
  close_->setText(QString::fromUtf8(running ? kStop : kClose));
}

void COAuthLoginDlg::reject() {
  if (!running_) {
    QDialog::reject();
    return;
  }
  closeWhenEnded_ = true;
  stop_ = true;
  close_->setEnabled(false);
  status_->setText(QString::fromUtf8("中止しています…"));
}

void RunOAuthLoginBox(const MailSettings& mail, const std::string& iniFile, QWidget* parent) {
  COAuthLoginDlg box(mail, iniFile, OpenWithDesktop, parent);
  box.exec();
}

}  // namespace qxdlg
