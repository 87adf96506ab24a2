#include "app/mail/account_check.h"

#include <cstdlib>
#include <memory>
#include <string_view>

#include "app/mail/mail_client.h"
#include "app/settings/activity_log.h"
#include "platform/socket.h"
#include "platform/text.h"

namespace {

// Takes the mail client's log lines into the report as reason lines, without time and
// category.
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

// "POP3 host:port (STLS)": the protocol, where, and the security (`upgrade` names level 1).
std::string Where(const char* protocol, const char* server, int port, int security, const char* upgrade,
                  bool auth) {
  const char* secured = security == 1 ? upgrade : security == 2 ? "TLS" : "plain";
  std::string where = std::string(protocol) + " " + server + ":" + std::to_string(port & 0xFFFF) + " (" + secured;
  if (auth) where += ", AUTH";
  return where + ")";
}

// The message count of a STAT reply "+OK n size"; -1 when the reply is not one.
long StatCount(qv::TcpConnection& connection) {
  if (!connection.SendAll("STAT\r\n")) return -1;
  std::string reply;
  char chunk[256];
  while (reply.find('\n') == std::string::npos && reply.size() < 1024) {
    long n = connection.Receive(chunk, sizeof chunk);
    if (n <= 0) return -1;
    reply.append(chunk, static_cast<size_t>(n));
  }
  if (reply.compare(0, 4, "+OK ") != 0) return -1;
  char* end = nullptr;
  long count = std::strtol(reply.c_str() + 4, &end, 10);
  return end == reply.c_str() + 4 || count < 0 ? -1 : count;
}

// Adds the step line, then the reasons the client gave for it.
void AddStep(std::vector<AccountCheckLine>* report, const std::string& text,
             const std::vector<AccountCheckLine>& reasons) {
  report->push_back({true, text});
  report->insert(report->end(), reasons.begin(), reasons.end());
}

bool CheckPop(const MailSettings& mail, std::vector<AccountCheckLine>* report) {
  std::vector<AccountCheckLine> reasons;
  ReportSink sink(&reasons);
  CMailClient client(&sink);
  client.SetMailbox(mail);
  std::string where = Where("POP3", mail.PopServer, mail.PopPort, mail.PopSecurity, "STLS", false);
  std::unique_ptr<qv::TcpConnection> connection = client.PopLogin();
  if (!connection) {
    AddStep(report, where + SJIS(" ログイン ... NG"), reasons);
    return false;
  }
  long count = StatCount(*connection);
  client.PopQuit(*connection);
  if (count < 0) {
    AddStep(report, where + SJIS(" ログイン ... OK、メール数 ... NG"), reasons);
    return false;
  }
  AddStep(report, where + SJIS(" ログイン ... OK (メール") + std::to_string(count) + SJIS("通)"),
          reasons);
  return true;
}

bool CheckImap(const MailSettings& mail, std::vector<AccountCheckLine>* report) {
  std::vector<AccountCheckLine> reasons;
  ReportSink sink(&reasons);
  CMailClient client(&sink);
  client.SetMailbox(mail);
  std::string where = Where("IMAP", mail.PopServer, mail.PopPort, mail.PopSecurity, "STARTTLS", false);
  std::unique_ptr<ImapSession> session = client.ImapLogin();
  if (!session) {
    AddStep(report, where + SJIS(" ログイン ... NG"), reasons);
    return false;
  }
  bool idle = session->HasCapability("IDLE");
  ImapFolderState folder;
  bool examined = session->Select(true, &folder);
  session->Logout();
  std::string name = SJIS("フォルダ「") + mail.ImapFolder + SJIS("」");
  if (!examined) {
    AddStep(report, where + SJIS(" ログイン ... OK、") + name + " ... NG", reasons);
    return false;
  }
  AddStep(report, where + SJIS(" ログイン ... OK (") + name + SJIS(" メール") + std::to_string(folder.exists) +
                      SJIS("通、") + (idle ? SJIS("IDLE対応: 新着メールはすぐに受信します") : SJIS("IDLE非対応: 設定した間隔でメールチェックします")) + ")",
          reasons);
  return true;
}

bool CheckSmtp(const MailSettings& mail, std::vector<AccountCheckLine>* report) {
  std::vector<AccountCheckLine> reasons;
  ReportSink sink(&reasons);
  CMailClient client(&sink);
  client.SetSmtpParams(mail.SmtpServer, mail.MailAddr, mail.UserName, mail.SmtpPort);
  client.SetSmtpSecurity(mail.SmtpSecurity, mail.SmtpAuth,
                         mail.SmtpUserID[0] != '\0' ? mail.SmtpUserID : mail.UserID,
                         mail.SmtpPasswd[0] != '\0' ? mail.SmtpPasswd : mail.Passwd, mail.CaFile);
  std::string where = Where("SMTP", mail.SmtpServer, mail.SmtpPort, mail.SmtpSecurity, "STARTTLS", mail.SmtpAuth == 1);
  std::unique_ptr<qv::TcpConnection> connection = client.SmtpConnect();
  if (!connection) {
    // The client says nothing about a server it could not reach; the check names it.
    if (reasons.empty()) {
      reasons.push_back({false, mail.SmtpServer[0] == '\0'
                                    ? SJIS("SMTPサーバーが設定されていません。")
                                    : SJIS("SMTPサーバーに接続できませんでした。") + " (" +
                                          std::string(mail.SmtpServer) + ":" + std::to_string(mail.SmtpPort) + ")"});
    }
    AddStep(report, where + SJIS(" 接続 ... NG"), reasons);
    return false;
  }
  int opened = client.SmtpOpenSession(*connection, false);
  if (opened == kSmtpSent) {
    if (connection->SendAll("QUIT\r\n")) (void)client.CheckSmtpReply(*connection);
  }
  client.SmtpClose(std::move(connection));
  if (opened != kSmtpSent) {
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
