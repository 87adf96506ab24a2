#include "app/mail/account_check.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/mail/encodings.h"
#include "app/mail/testing/test_servers.h"
#include "platform/text.h"

namespace {

using qv::test::ScriptedServer;
using Lines = std::vector<std::string>;

// The report as "* step" and "  reason" lines in UTF-8.
Lines Shown(const std::vector<AccountCheckLine>& report) {
  Lines shown;
  for (const AccountCheckLine& line : report) shown.push_back((line.step ? "* " : "  ") + qv::Utf8FromCp932(line.text));
  return shown;
}

MailSettings Settings(int popPort, int smtpPort) {
  MailSettings mail;
  std::snprintf(mail.PopServer, sizeof mail.PopServer, "127.0.0.1");
  std::snprintf(mail.UserID, sizeof mail.UserID, "user");
  std::snprintf(mail.Passwd, sizeof mail.Passwd, "pw");
  std::snprintf(mail.SmtpServer, sizeof mail.SmtpServer, "127.0.0.1");
  mail.PopPort = popPort;
  mail.SmtpPort = smtpPort;
  return mail;
}

class AccountCheckTest : public qv::test::ShortSocketTimeoutsTest {};

// Both accounts work: the mail count, the session up to AUTH, then QUIT; nothing is fetched.
TEST_F(AccountCheckTest, SaysWhatWorks) {
  ScriptedServer pop;
  pop.Send("+OK ready\r\n").Read().Send("+OK\r\n").Read().Send("+OK\r\n").Read().Send("+OK 3 1200\r\n");
  pop.Read().Send("+OK bye\r\n");
  pop.Start();
  ScriptedServer smtp;
  smtp.Send("220 hi\r\n").Read().Send("250-hi\r\n250 AUTH PLAIN\r\n").Read().Send("235 ok\r\n").Read().Send("221 bye\r\n");
  smtp.Start();
  MailSettings mail = Settings(pop.port(), smtp.port());
  mail.SmtpAuth = 1;
  std::vector<AccountCheckLine> report;
  EXPECT_EQ(CheckAccounts(mail, &report), 1);
  ASSERT_TRUE(pop.Wait());
  ASSERT_TRUE(smtp.Wait());
  EXPECT_EQ(pop.Received(), (Lines{"USER user", "PASS pw", "STAT", "QUIT"}));
  EXPECT_EQ(smtp.Received(),
            (Lines{"EHLO 127.0.0.1", "AUTH PLAIN " + Base64Encode(std::string("\0user\0pw", 8)), "QUIT"}));
  const std::string where = ":" + std::to_string(smtp.port()) + " (plain, AUTH) ";
  EXPECT_EQ(Shown(report),
            (Lines{"* POP3 127.0.0.1:" + std::to_string(pop.port()) + " (plain) ログイン ... OK (メール3通)",
                   "* SMTP 127.0.0.1" + where + "接続 ... OK",
                   "  SMTPの認証情報は暗号化されずに送信されます(SmtpSecurity=0)。"}));
}

// Each failure names what failed and what the server answered; a server nobody answers on is
// named by the session itself.
TEST_F(AccountCheckTest, SaysWhatFailedAndWhatTheServerAnswered) {
  ScriptedServer pop;
  pop.Send("+OK ready\r\n").Read().Send("+OK\r\n").Read().Send("+OK\r\n").Read().Send("-ERR not now\r\n");
  pop.Read().Send("+OK bye\r\n");
  pop.Start();
  int closedPort;
  {
    ScriptedServer gone;
    closedPort = gone.port();
  }
  std::vector<AccountCheckLine> report;
  EXPECT_EQ(CheckAccounts(Settings(pop.port(), closedPort), &report), 0);
  ASSERT_TRUE(pop.Wait());
  EXPECT_EQ(pop.Received(), (Lines{"USER user", "PASS pw", "STAT", "QUIT"}));
  const std::string closed = std::to_string(closedPort);
  EXPECT_EQ(Shown(report),
            (Lines{"* POP3 127.0.0.1:" + std::to_string(pop.port()) + " (plain) ログイン ... OK、メール数 ... NG",
                   "  POP3サーバーがメール数を答えませんでした。 (-ERR not now)",
                   "* SMTP 127.0.0.1:" + closed + " (plain) 接続 ... NG",
                   "  SMTPサーバーに接続できませんでした。 (127.0.0.1:" + closed + ")"}));

  // A refused log-in and a refused greeting.
  ScriptedServer refusing;
  refusing.Send("+OK ready\r\n").Read().Send("-ERR [AUTH] no such user\r\n").Read().Send("+OK bye\r\n");
  refusing.Start();
  ScriptedServer busy;
  busy.Send("554 5.3.2 not now\r\n");
  busy.Start();
  report.clear();
  EXPECT_EQ(CheckAccounts(Settings(refusing.port(), busy.port()), &report), 0);
  ASSERT_TRUE(refusing.Wait());
  ASSERT_TRUE(busy.Wait());
  EXPECT_EQ(Shown(report),
            (Lines{"* POP3 127.0.0.1:" + std::to_string(refusing.port()) + " (plain) ログイン ... NG",
                   "  POP3サーバーにログインできませんでした。 (-ERR [AUTH] no such user)",
                   "* SMTP 127.0.0.1:" + std::to_string(busy.port()) + " (plain) 接続 ... NG",
                   "  SMTPサーバーが接続を受け付けませんでした。 (554 5.3.2 not now)"}));
}

}  // namespace
