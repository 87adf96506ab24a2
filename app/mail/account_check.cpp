#include "app/mail/account_check.h"

#include "app/mail/imap_session.h"
#include "app/mail/pop3_session.h"
#include "app/mail/smtp_session.h"
#include "app/settings/activity_log.h"
#include "platform/text.h"

namespace {

// Takes the sessions' log lines into the report as reason lines, without time and category.
class ReportSink : public LogSink {
 public:
  explicit ReportSink(std::vector<AccountCheckLine>* report) : report_(report) {}
  void AppendLog(const std::string& line) override {
    size_t mark = line.find("] ");
    report_->push_back({false, mark == std::string::npos ? line : line.substr(mark + 2)});
  }

 private:
  std::vector<AccountCheckLine>* report_;
};

// "POP3 host:port (STLS)": the protocol, where, and the security (`upgrade` names level 1),
// with how the log-in proves who we are when it is not the plain password (`method`, may be null).
std::string Where(const char* protocol, const char* server, int port, int security, const char* upgrade,
                  const char* method) {
  const char* secured = security == 1 ? upgrade : security == 2 ? "TLS" : "plain";
  std::string where = std::string(protocol) + " " + server + ":" + std::to_string(port & 0xFFFF) + " (" + secured;
  if (method) where += std::string(", ") + method;
  return where + ")";
}

// The mailbox's log-in method for Where.
const char* MailboxMethod(const MailSettings& mail) { return mail.AuthMethod == 1 ? "OAuth2" : nullptr; }

// Adds the step line, then the reasons the sessions gave for it.
void AddStep(std::vector<AccountCheckLine>* report, const std::string& text,
             const std::vector<AccountCheckLine>& reasons) {
  report->push_back({true, text});
  report->insert(report->end(), reasons.begin(), reasons.end());
}

bool CheckPop(const MailSettings& mail, std::vector<AccountCheckLine>* report) {
  std::vector<AccountCheckLine> reasons;
  ReportSink sink(&reasons);
  std::string where = Where("POP3", mail.PopServer, mail.PopPort, mail.PopSecurity, "STLS", MailboxMethod(mail));
  Pop3Session session(&sink);
  if (!session.Open(MailboxAccountOf(mail))) {
    AddStep(report, where + SJIS(" ログイン ... NG"), reasons);
    return false;
  }
  long long count = -1;
  Pop3Result counted = session.Stat(&count);
  session.Quit();
  if (!counted.ok()) {
    reasons.push_back({false, counted.LogLine()});
    AddStep(report, where + SJIS(" ログイン ... OK、メール数 ... NG"), reasons);
    return false;
  }
  AddStep(report, where + SJIS(" ログイン ... OK (メール") + std::to_string(count) + SJIS("通)"), reasons);
  return true;
}

bool CheckImap(const MailSettings& mail, std::vector<AccountCheckLine>* report) {
  std::vector<AccountCheckLine> reasons;
  ReportSink sink(&reasons);
  std::string where = Where("IMAP", mail.PopServer, mail.PopPort, mail.PopSecurity, "STARTTLS", MailboxMethod(mail));
  ImapSession session(&sink);
  if (!session.Open(MailboxAccountOf(mail))) {
    AddStep(report, where + SJIS(" ログイン ... NG"), reasons);
    return false;
  }
  bool idle = session.HasCapability("IDLE");
  ImapFolderState folder;
  bool examined = session.Select(true, &folder);
  session.Logout();
  std::string name = SJIS("フォルダ「") + mail.ImapFolder + SJIS("」");
  if (!examined) {
    AddStep(report, where + SJIS(" ログイン ... OK、") + name + " ... NG", reasons);
    return false;
  }
  AddStep(report,
          where + SJIS(" ログイン ... OK (") + name + SJIS(" メール") + std::to_string(folder.exists) + SJIS("通、") +
              (idle ? SJIS("IDLE対応: 新着メールはすぐに受信します") : SJIS("IDLE非対応: 設定した間隔でメールチェックします")) +
              ")",
          reasons);
  return true;
}

bool CheckSmtp(const MailSettings& mail, std::vector<AccountCheckLine>* report) {
  std::vector<AccountCheckLine> reasons;
  ReportSink sink(&reasons);
  std::string where = Where("SMTP", mail.SmtpServer, mail.SmtpPort, mail.SmtpSecurity, "STARTTLS",
                            mail.SmtpAuth != 1 ? nullptr : mail.AuthMethod == 1 ? "AUTH OAuth2" : "AUTH");
  SmtpSession session(SmtpAccountOf(mail), &sink);
  // Up to and including authentication, then QUIT; its answer is not judged.
  bool opened = session.Connect().ok() && session.Hello(false).ok();
  if (opened) (void)session.Quit();
  session.Close();
  if (!opened) {
    AddStep(report, where + SJIS(" 接続 ... NG"), reasons);
    return false;
  }
  if (mail.SmtpAuth == 1 && mail.SmtpSecurity == 0) {
    reasons.push_back({false, SJIS("SMTPの認証情報は暗号化されずに送信されます(SmtpSecurity=0)。")});
  }
  AddStep(report, where + SJIS(" 接続 ... OK"), reasons);
  return true;
}

}  // namespace

int CheckAccounts(const MailSettings& mail, std::vector<AccountCheckLine>* report) {
  bool pop = mail.MailProtocol == 1 ? CheckImap(mail, report) : CheckPop(mail, report);
  bool smtp = CheckSmtp(mail, report);
  return pop && smtp ? 1 : 0;
}
