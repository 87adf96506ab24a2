#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "app/mail/imap_idle.h"
#include "app/mail/mail_client.h"
#include "app/mail/testing/dovecot_fixture.h"
#include "app/mail/testing/test_servers.h"
#include "app/settings/activity_log.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

using qv::test::ScriptedServer;
using Lines = std::vector<std::string>;
using News = ImapIdle::News;

MailSettings ImapMailbox(int port, int security = 0, const char* password = "pw") {
  MailSettings mail;
  std::snprintf(mail.PopServer, sizeof mail.PopServer, "127.0.0.1");
  std::snprintf(mail.UserID, sizeof mail.UserID, "user");
  std::snprintf(mail.Passwd, sizeof mail.Passwd, "%s", password);
  mail.PopPort = port;
  mail.PopSecurity = security;
  mail.MailProtocol = 1;
  return mail;
}

// Short socket time-outs for every test here (the shared fixture).
class ImapTest : public qv::test::ShortSocketTimeoutsTest {
 protected:
  bool Logged(const char* utf8) const {
    std::string wanted = qv::Cp932FromUtf8(utf8);
    for (const std::string& line : log_.lines()) {
      if (line.find(wanted) != std::string::npos) return true;
    }
    return false;
  }
  std::string Log() const {
    std::string all;
    for (const std::string& line : log_.lines()) all += qv::Utf8FromCp932(line) + "\n";
    return all;
  }

  RecordingLogSink log_;
  CMailClient client_{&log_};
};

const char kCapabilities[] = "IMAP4rev1 IDLE UIDPLUS";

// The greeting (naming no capabilities), CAPABILITY and an accepted LOGIN.
ScriptedServer& LogIn(ScriptedServer& server, const std::string& capabilities = kCapabilities) {
  return server.Send("* OK ready\r\n")
      .Read()
      .Send("* CAPABILITY " + capabilities + "\r\nA1 OK done\r\n")
      .Read()
      .Send("A2 OK [CAPABILITY " + capabilities + "] logged in\r\n");
}

// SELECT and UID SEARCH ALL (UIDs 9 and 3).
ScriptedServer& ListTwo(ScriptedServer& server) {
  return server.Read()
      .Send("* 2 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\n* OK [UIDNEXT 10] next\r\nA3 OK [READ-WRITE] done\r\n")
      .Read()
      .Send("* SEARCH 9 3\r\nA4 OK\r\n");
}

// A delete exchange: SELECT with `uidValidity`, then OK to the three commands after it.
ScriptedServer& ServeDelete(ScriptedServer& server, const std::string& capabilities, const std::string& uidValidity) {
  return LogIn(server, capabilities)
      .Read()
      .Send("* OK [UIDVALIDITY " + uidValidity + "] ok\r\nA3 OK done\r\n")
      .Read()
      .Send("A4 OK\r\n")
      .Read()
      .Send("A5 OK\r\n")
      .Read()
      .Send("A6 OK\r\n");
}

const char kFetchTwo[] = "A5 UID FETCH 3,9 (UID RFC822.SIZE BODY.PEEK[HEADER])";
const Lines kListed = {"A1 CAPABILITY", "A2 LOGIN \"user\" \"pw\"", "A3 SELECT \"INBOX\"", "A4 UID SEARCH ALL",
                       kFetchTwo};

TEST_F(ImapTest, FetchesEveryHeaderInOneCommandAndKeepsItAsSent) {
  const std::string first = "Subject: seven\r\n.dot: x\r\n\r\n";
  ScriptedServer server;
  ListTwo(LogIn(server)).Read();
  // UID 9 answers first; the entries still come in UID order.
  server.Send("* 2 FETCH (UID 9 FLAGS (\\Seen) RFC822.SIZE 10 BODY[HEADER] \"Subject: \\\"q\\\"\")\r\n");
  std::string literal = "* 1 FETCH (UID 3 RFC822.SIZE 5000000 BODY[HEADER] {" + std::to_string(first.size()) +
                        "}\r\n" + first + ")\r\nA5 OK\r\n";
  for (size_t at = 0; at < literal.size(); at += 9) server.Send(literal.substr(at, 9)).Pause(1);
  server.Read().Send("* BYE bye\r\nA6 OK\r\n");
  server.Start();
  client_.SetMailbox(ImapMailbox(server.port()));
  EXPECT_EQ(client_.CheckMail(), 1);
  ASSERT_TRUE(server.Wait());
  Lines expected = kListed;
  expected.push_back("A6 LOGOUT");
  EXPECT_EQ(server.Received(), expected);
  ASSERT_EQ(client_.GetEntryCount(), 2);
  const MAILENTRY* entry = client_.GetEntry(0);
  EXPECT_EQ(entry->number, 1);
  EXPECT_EQ(entry->uid, 3u);
  EXPECT_EQ(entry->name, "3");
  EXPECT_EQ(entry->size, 5000000);  // the whole message's, as announced
  EXPECT_EQ(entry->message, first);
  EXPECT_EQ(client_.GetEntry(1)->uid, 9u);
  EXPECT_EQ(client_.GetEntry(1)->message, "Subject: \"q\"");
  EXPECT_FALSE(client_.lastLoginFailed());
  EXPECT_FALSE(client_.lastCheckFailed());

  // The delete exchange names the marked UIDs; UIDPLUS expunges only those.
  client_.GetEntry(1)->deleteMark = 1;
  struct Case {
    const char* name;
    std::string capabilities;
    const char* uidValidity;
    Lines after;  // the lines after SELECT
  };
  const Case cases[] = {
      {"UIDPLUS", kCapabilities, "7", {"A4 UID STORE 9 +FLAGS (\\Deleted)", "A5 UID EXPUNGE 9", "A6 LOGOUT"}},
      {"plain EXPUNGE", "IMAP4rev1", "7", {"A4 UID STORE 9 +FLAGS (\\Deleted)", "A5 EXPUNGE", "A6 LOGOUT"}},
      {"folder made anew", kCapabilities, "8", {"A4 LOGOUT"}},
  };
  for (const Case& c : cases) {
    ScriptedServer deleter;
    ServeDelete(deleter, c.capabilities, c.uidValidity);
    deleter.Start();
    client_.SetMailbox(ImapMailbox(deleter.port()));
    client_.DeleteMarked();
    ASSERT_TRUE(deleter.Wait()) << c.name;
    Lines lines = deleter.Received();
    ASSERT_GE(lines.size(), 3u) << c.name;
    EXPECT_EQ(Lines(lines.begin() + 3, lines.end()), c.after) << c.name;
  }
  EXPECT_TRUE(Logged("IMAPのフォルダが作り直されていたため、メールを削除しませんでした。"));
}

TEST_F(ImapTest, HostileAndBrokenResponsesEndCleanly) {
  struct Case {
    const char* name;
    std::string answer;   // the answer to the fetch (ends the script when `cut`)
    bool cut;             // the server closes after it
    int result;           // CheckMail's result (UID 9 kept)
    const char* logged;   // a line that must be logged, or null
    Lines end;            // the last lines the client sent
  };
  const std::string good9 = "* 2 FETCH (UID 9 BODY[HEADER] {5}\r\nx\r\n\r\n)\r\n";
  const Lines fetched{kFetchTwo};
  const Lines loggedOut{kFetchTwo, "A6 LOGOUT"};
  const Case cases[] = {
      {"unterminated literal", good9 + "* 1 FETCH (UID 3 BODY[HEADER] {100}\r\nSubject: x\r\n", true, 1,
       "メールの受信中に接続が切れました。", fetched},
      {"literal of 2^40", "* 1 FETCH (UID 3 BODY[HEADER] {1099511627776}\r\nSubject: x\r\n", false, 0,
       "サイズが大きすぎるメールを受信しませんでした。", fetched},
      {"BYE in the middle", "* BYE server shutting down\r\n", true, 0,
       "IMAPサーバーが接続を終了しました。 (server shutting down)", fetched},
      {"tagged NO", good9 + "A5 NO [UNAVAILABLE] try later\r\n", false, 1, "メールを受信できませんでした。 (try later)",
       loggedOut},
      {"NIL header", "* 1 FETCH (UID 3 BODY[HEADER] NIL)\r\n" + good9 + "A5 OK\r\n", false, 1,
       "メールを受信できませんでした。 (UID 3)", loggedOut},
      {"unterminated quoted string", "* 1 FETCH (UID 3 BODY[HEADER] \"Subject: x)\r\n" + good9 + "A5 OK\r\n", false,
       1, "IMAPサーバーの読めない応答を飛ばしました。", loggedOut},
      {"nesting bomb", "* 1 FETCH " + std::string(5000, '(') + "\r\n" + good9 + "A5 OK\r\n", false, 1,
       "IMAPサーバーの読めない応答を飛ばしました。", loggedOut},
      {"a header not asked for", "* 7 FETCH (UID 4 BODY[HEADER] {1}\r\nx)\r\n" + good9 + "A5 OK\r\n", false, 1,
       nullptr, loggedOut},
      {"the same UID twice", good9 + "* 2 FETCH (UID 9 BODY[HEADER] {1}\r\ny)\r\nA5 OK\r\n", false, 1, nullptr,
       loggedOut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    ListTwo(LogIn(server)).Read().Send(c.answer);
    if (c.cut) {
      server.Cut();
    } else {
      server.Read().Send("A6 OK\r\n");
    }
    server.Start();
    RecordingLogSink log;
    CMailClient client(&log);
    client.SetMailbox(ImapMailbox(server.port()));
    EXPECT_EQ(client.CheckMail(), c.result);
    ASSERT_TRUE(server.Wait());
    Lines lines = server.Received();
    ASSERT_GE(lines.size(), c.end.size());
    EXPECT_EQ(Lines(lines.end() - static_cast<long>(c.end.size()), lines.end()), c.end);
    if (c.logged) {
      std::string wanted = qv::Cp932FromUtf8(c.logged);
      bool found = false;
      for (const std::string& line : log.lines()) found = found || line.find(wanted) != std::string::npos;
      EXPECT_TRUE(found);
    }
    ASSERT_EQ(client.GetEntryCount(), c.result);
    if (c.result == 1) EXPECT_EQ(client.GetEntry(0)->message, "x\r\n\r\n");
  }
}

TEST_F(ImapTest, RefusalsBeforeTheFetchAreLoggedAndEndTheSession) {
  struct Case {
    const char* name;
    int security;
    std::string capabilities;
    std::vector<std::string> answers;  // to the commands after CAPABILITY, in order
    Lines sent;
    const char* logged;
    bool loginFailed;
  };
  const Case cases[] = {
      {"LOGINDISABLED", 0, "IMAP4rev1 STARTTLS LOGINDISABLED", {"* BYE\r\nA2 OK\r\n"},
       {"A1 CAPABILITY", "A2 LOGOUT"}, "(LOGINDISABLED)、ログインしません。", true},
      {"no STARTTLS", 1, "IMAP4rev1", {"* BYE\r\nA2 OK\r\n"}, {"A1 CAPABILITY", "A2 LOGOUT"},
       "STARTTLSに対応していないため", true},
      {"STARTTLS refused", 1, "IMAP4rev1 STARTTLS", {"A2 NO not now\r\n", "* BYE\r\nA3 OK\r\n"},
       {"A1 CAPABILITY", "A2 STARTTLS", "A3 LOGOUT"}, "STARTTLSを受け付けなかったため、ログインしません。 (not now)", true},
      // Bytes behind the go-ahead came in plain text: no handshake, no log-in.
      {"STARTTLS with bytes ahead", 1, "IMAP4rev1 STARTTLS", {"A2 OK go\r\n* CAPABILITY IMAP4rev1 AUTH=PLAIN\r\n"},
       {"A1 CAPABILITY", "A2 STARTTLS"}, "TLSの開始前に余分なデータ", true},
      {"LOGIN refused", 0, "IMAP4rev1", {"A2 NO [AUTHENTICATIONFAILED] Authentication failed.\r\n", "A3 OK\r\n"},
       {"A1 CAPABILITY", "A2 LOGIN \"user\" \"pw\"", "A3 LOGOUT"}, "ログインできませんでした。 (Authentication failed.)",
       true},
      {"SELECT refused", 0, "IMAP4rev1", {"A2 OK in\r\n", "A3 OK\r\n", "A4 NO [NONEXISTENT] no such folder\r\n",
                                          "A5 OK\r\n"},
       {"A1 CAPABILITY", "A2 LOGIN \"user\" \"pw\"", "A3 CAPABILITY", "A4 SELECT \"INBOX\"", "A5 LOGOUT"},
       "IMAPのフォルダ「INBOX」を開けませんでした。 (no such folder)", false},
      {"SEARCH refused", 0, "IMAP4rev1", {"A2 OK in\r\n", "A3 OK\r\n", "A4 OK\r\n", "A5 BAD what\r\n", "A6 OK\r\n"},
       {"A4 SELECT \"INBOX\"", "A5 UID SEARCH ALL", "A6 LOGOUT"}, "メール一覧を受信できませんでした。 (what)", false},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    server.Send("* OK ready\r\n").Read().Send("* CAPABILITY " + c.capabilities + "\r\nA1 OK\r\n");
    for (const std::string& answer : c.answers) server.Read().Send(answer);
    server.Start();
    RecordingLogSink log;
    CMailClient client(&log);
    client.SetMailbox(ImapMailbox(server.port(), c.security));
    EXPECT_EQ(client.CheckMail(), 0) << c.name;
    EXPECT_EQ(client.lastLoginFailed(), c.loginFailed) << c.name;
    EXPECT_TRUE(client.lastCheckFailed()) << c.name;  // the folder's content was never learnt
    ASSERT_TRUE(server.Wait()) << c.name;
    Lines lines = server.Received();
    ASSERT_GE(lines.size(), c.sent.size()) << c.name;
    EXPECT_EQ(Lines(lines.end() - static_cast<long>(c.sent.size()), lines.end()), c.sent) << c.name;
    std::string wanted = qv::Cp932FromUtf8(c.logged);
    bool found = false;
    for (const std::string& line : log.lines()) found = found || line.find(wanted) != std::string::npos;
    EXPECT_TRUE(found) << c.name;
  }
}

TEST_F(ImapTest, ANameOrPasswordThatCannotBeQuotedGoesAsALiteral) {
  ScriptedServer server;
  server.Send("* OK [CAPABILITY IMAP4rev1] ready\r\n")
      .Read()
      .Send("+ go on\r\n")
      .Read()
      .Send("A1 OK [CAPABILITY IMAP4rev1] in\r\n")
      .Read()
      .Send("A2 OK\r\n");
  server.Start();
  MailSettings mail = ImapMailbox(server.port(), 0, "p\xe9");
  std::snprintf(mail.UserID, sizeof mail.UserID, "a\"b\\c");
  client_.SetMailbox(mail);
  EXPECT_EQ(client_.PopBeforeSmtp(), 1);
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Received(), (Lines{"A1 LOGIN \"a\\\"b\\\\c\" {2}", "p\xe9", "A2 LOGOUT"}));
}

TEST_F(ImapTest, ALineBreakInTheNameOrThePasswordNeverConnects) {
  ScriptedServer server;
  server.Start();
  const struct {
    const char* user;
    const char* password;
  } cases[] = {{"user\r\nA9 DELETE INBOX", "pw"}, {"user", "pw\nA9 DELETE INBOX"}};
  for (const auto& c : cases) {
    MailSettings mail = ImapMailbox(server.port(), 0, c.password);
    std::snprintf(mail.UserID, sizeof mail.UserID, "%s", c.user);
    client_.SetMailbox(mail);
    EXPECT_EQ(client_.PopBeforeSmtp(), 0) << c.user;
  }
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_TRUE(Logged("改行文字"));
}

// ---- the idle session ----

// Log-in (IDLE offered) and EXAMINE with 2 messages, UIDVALIDITY 7 and `uidNext`.
ScriptedServer& Examined(ScriptedServer& server, int uidNext = 10) {
  return LogIn(server).Read().Send("* 2 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\n* OK [UIDNEXT " +
                                   std::to_string(uidNext) + "] ok\r\nA3 OK [READ-ONLY] done\r\n");
}

// Waits for news in slices of 5 ms until something other than kNone comes, at most `slices`.
News WaitForNews(ImapIdle& idle, int slices = 400) {
  News news = News::kNone;
  for (int i = 0; i < slices && news == News::kNone; ++i) news = idle.Wait(5);
  return news;
}

TEST_F(ImapTest, IdleReportsNewMailRenewsAndEnds) {
  ScriptedServer server;
  Examined(server)
      .Read()
      .Send("+ idling\r\n")
      .Pause(20)
      .Send("* OK Still here\r\n* 1 EXPUNGE\r\n")
      .Pause(20)
      .Send("* 2 EXISTS\r\n")
      .Read()  // DONE
      .Send("* 3 EXISTS\r\nA4 OK Idle completed.\r\n")
      .Read()
      .Send("+ idling\r\n");
  server.Start();
  ImapIdle idle(&log_);
  ImapFolderState known{2, 7, 10};
  ASSERT_EQ(idle.Start(MailboxAccountOf(ImapMailbox(server.port())), known), ImapIdle::Started::kIdling);
  EXPECT_EQ(idle.Wait(0), News::kNone);
  // 2 messages, one expunged, then 2 again: new mail.
  EXPECT_EQ(WaitForNews(idle), News::kNewMail);
  // The renewal: DONE, the tagged answer (news on the way counts), IDLE again.
  qv::Timings renewing = qv::GetTimings();
  renewing.imapIdleRenewMs = 0;
  qv::SetTimings(renewing);
  EXPECT_EQ(idle.Wait(0), News::kNewMail);
  idle.End();
  EXPECT_FALSE(idle.active());
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Received(), (Lines{"A1 CAPABILITY", "A2 LOGIN \"user\" \"pw\"", "A3 EXAMINE \"INBOX\"",
                                      "A4 IDLE", "DONE", "A5 IDLE", "DONE", "A6 LOGOUT"}));
  EXPECT_TRUE(Logged("IMAP IDLEで新着メールを待ちます。")) << Log();
  EXPECT_TRUE(Logged("新着メールが届きました。")) << Log();
}

TEST_F(ImapTest, IdleStartsAndEndsAsTheServerSays) {
  struct Case {
    const char* name;
    int uidNext;                 // in the EXAMINE answer (the last check saw 10)
    std::string afterIdle;       // the answer to IDLE and what follows
    ImapIdle::Started started;
    News first;                  // the first news after the start
    const char* logged;
  };
  const Case cases[] = {
      {"mail came between check and idle", 11, "+ idling\r\n", ImapIdle::Started::kIdling, News::kNewMail,
       "新着メールが届きました。"},
      {"connection dropped", 10, "+ idling\r\n", ImapIdle::Started::kIdling, News::kDropped,
       "IDLEの接続が切れたため、設定した間隔でのメールチェックに戻ります。"},
      {"BYE while idling", 10, "+ idling\r\n* BYE Server shutting down.\r\n", ImapIdle::Started::kIdling,
       News::kDropped, "(Server shutting down.)"},
      {"IDLE ended by the server", 10, "+ idling\r\nA4 OK Idle completed.\r\n", ImapIdle::Started::kIdling,
       News::kDropped, "IDLEの接続が切れたため"},
      {"IDLE refused", 10, "A4 NO not here\r\n", ImapIdle::Started::kFailed, News::kDropped,
       "IDLEを受け付けなかったため、設定した間隔でメールチェックします。 (not here)"},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    Examined(server, c.uidNext).Read().Send(c.afterIdle).Cut();
    server.Start();
    RecordingLogSink log;
    ImapIdle idle(&log);
    EXPECT_EQ(idle.Start(MailboxAccountOf(ImapMailbox(server.port())), ImapFolderState{2, 7, 10}), c.started) << c.name;
    EXPECT_EQ(WaitForNews(idle), c.first) << c.name;
    std::string wanted = qv::Cp932FromUtf8(c.logged);
    bool found = false;
    for (const std::string& line : log.lines()) found = found || line.find(wanted) != std::string::npos;
    EXPECT_TRUE(found) << c.name;
    idle.End();
    ASSERT_TRUE(server.Wait()) << c.name;
  }

  // A server without IDLE: the client never starts an idle session, and says so once.
  ScriptedServer plain;
  LogIn(plain, "IMAP4rev1")
      .Read()
      .Send("* OK [UIDVALIDITY 7] ok\r\nA3 OK\r\n")
      .Read()
      .Send("A4 OK\r\n")
      .Read()
      .Send("A5 OK\r\n");
  plain.Start();
  client_.SetMailbox(ImapMailbox(plain.port()));
  EXPECT_EQ(client_.CheckMail(), 0);
  ASSERT_TRUE(plain.Wait());
  EXPECT_FALSE(client_.StartIdle());
  EXPECT_FALSE(client_.StartIdle());
  EXPECT_EQ(plain.Connections(), 1);
  int said = 0;
  for (const std::string& line : log_.lines()) {
    said += line.find(qv::Cp932FromUtf8("IDLEに対応していないため")) != std::string::npos;
  }
  EXPECT_EQ(said, 1);
}

// ---- against a real IMAP server ----

MailSettings DovecotMailbox(int port, int security = 0, const char* password = qv::test::DovecotServer::kPassword) {
  MailSettings mail = ImapMailbox(port, security, password);
  std::snprintf(mail.UserID, sizeof mail.UserID, "%s", qv::test::DovecotServer::kUser);
  return mail;
}

// Waits for news on the client's idle session in slices of 10 ms, at most `slices`.
CMailClient::IdleNews WaitForClientNews(CMailClient& client, int slices = 1500) {
  CMailClient::IdleNews news = CMailClient::IdleNews::kNone;
  for (int i = 0; i < slices && news == CMailClient::IdleNews::kNone; ++i) news = client.WaitIdle(10);
  return news;
}

TEST(ImapDovecot, FetchesDeletesAndIdlesOnARealServer) {
  qv::test::DovecotServer server;
  if (!server.Start({.imap = true})) GTEST_SKIP() << server.why();
  std::string crlf = "From: Taro <taro@example.jp>\r\nSubject: one\r\n\r\nfirst\r\n";
  std::string bareLf = "From: hanako@example.jp\nSubject: two\n\n.leading dot\nsecond\n";
  std::string third = "From: jiro@example.jp\r\nSubject: three\r\n\r\nthird\r\n";
  ASSERT_TRUE(server.Add({{"mail1", crlf}, {"mail2", bareLf}, {"mail3", third}}));

  RecordingLogSink log;
  CMailClient client(&log);
  client.SetMailbox(DovecotMailbox(server.imapPort(), 0, "wrong"));
  EXPECT_EQ(client.CheckMail(), 0);
  EXPECT_TRUE(client.lastLoginFailed());
  EXPECT_EQ(client.PopBeforeSmtp(), 0);

  client.SetMailbox(DovecotMailbox(server.imapPort()));
  EXPECT_EQ(client.PopBeforeSmtp(), 1);
  ASSERT_EQ(client.CheckMail(), 1);
  ASSERT_EQ(client.GetEntryCount(), 3);
  // The same header a POP3 fetch keeps: as it was sent, in CR LF lines, with its blank line.
  EXPECT_EQ(client.GetEntry(0)->message, "From: Taro <taro@example.jp>\r\nSubject: one\r\n\r\n");
  EXPECT_EQ(client.GetEntry(1)->message, "From: hanako@example.jp\r\nSubject: two\r\n\r\n");
  client.GetEntry(0)->deleteMark = 1;
  client.GetEntry(2)->deleteMark = 1;
  client.DeleteMarked();
  EXPECT_EQ(server.List(), (Lines{"mail2"}));

  // Idle: a delivery is announced; a restart of the server drops the idle, which starts
  // again after the next check.
  ASSERT_EQ(client.CheckMail(), 1);
  ASSERT_TRUE(client.StartIdle());
  EXPECT_EQ(client.WaitIdle(0), CMailClient::IdleNews::kNone);
  ASSERT_TRUE(server.Add({{"mail4", third}}));
  EXPECT_EQ(WaitForClientNews(client), CMailClient::IdleNews::kNewMail);
  ASSERT_TRUE(server.Restart());
  EXPECT_EQ(WaitForClientNews(client), CMailClient::IdleNews::kDropped);
  EXPECT_FALSE(client.idling());
  ASSERT_EQ(client.CheckMail(), 1);
  EXPECT_EQ(client.GetEntryCount(), 2);
  ASSERT_TRUE(client.StartIdle());
  ASSERT_TRUE(server.Add({{"mail5", crlf}}));
  EXPECT_EQ(WaitForClientNews(client), CMailClient::IdleNews::kNewMail);
  client.EndIdle();
  EXPECT_FALSE(client.idling());
}

TEST(ImapDovecot, TlsFromTheFirstByteStartTlsAndLoginDisabled) {
  qv::test::DovecotServer server;
  if (!server.Start({.imap = true, .tls = true, .tlsRequired = true})) GTEST_SKIP() << server.why();
  ASSERT_TRUE(server.Add({{"mail1", "From: a@example.jp\r\nSubject: x\r\n\r\nx\r\n"}}));
  struct Case {
    const char* name;
    int port;
    int security;
    bool trusted;  // the test CA is given
    int result;
    const char* logged;  // empty: nothing in particular
  };
  const Case cases[] = {
      {"plain, LOGINDISABLED", server.imapPort(), 0, true, 0, "(LOGINDISABLED)、ログインしません。"},
      {"STARTTLS", server.imapPort(), 1, true, 1, ""},
      {"TLS", server.imapsPort(), 2, true, 1, ""},
      {"TLS, unknown CA", server.imapsPort(), 2, false, 0, "サーバーの証明書が信頼できません。"},
  };
  for (const Case& c : cases) {
    RecordingLogSink log;
    CMailClient client(&log);
    MailSettings mail = DovecotMailbox(c.port, c.security);
    std::snprintf(mail.PopServer, sizeof mail.PopServer, "localhost");
    if (c.trusted) std::snprintf(mail.CaFile, sizeof mail.CaFile, "%s", server.caFile().c_str());
    client.SetMailbox(mail);
    EXPECT_EQ(client.CheckMail(), c.result) << c.name;
    std::string wanted = qv::Cp932FromUtf8(c.logged);
    bool found = wanted.empty();
    for (const std::string& line : log.lines()) found = found || line.find(wanted) != std::string::npos;
    EXPECT_TRUE(found) << c.name;
  }
}

}  // namespace

namespace {

// Milliseconds since `start`.
int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// "* OK still here" every 20 ms for two seconds, then `tagged`.
ScriptedServer& Trickle(ScriptedServer& server, const std::string& tagged) {
  for (int i = 0; i < 100; ++i) server.Send("* OK still here\r\n").Pause(20);
  return server.Send(tagged);
}

// A server that keeps talking but never ends the exchange holds the client no longer than the
// receive time-out, after a command and after DONE; the idle then falls back to polling.
TEST_F(ImapTest, AnEndlessTrickleEndsTheExchangeAtTheReceiveTimeOut) {
  qv::Timings timings = qv::GetTimings();
  timings.socketReceiveTimeoutMs = 400;
  qv::SetTimings(timings);

  ScriptedServer command;
  Trickle(LogIn(command).Read().Send("* 2 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\nA3 OK done\r\n").Read(),
          "* SEARCH 3\r\nA4 OK\r\n");
  command.Start();
  client_.SetMailbox(ImapMailbox(command.port()));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client_.CheckMail(), 0);
  EXPECT_LT(MsSince(start), 1500);
  ASSERT_TRUE(command.Wait());
  EXPECT_EQ(command.Received().back(), "A4 UID SEARCH ALL");
  EXPECT_TRUE(Logged("メール一覧を受信できませんでした。")) << Log();

  ScriptedServer done;
  Trickle(Examined(done).Read().Send("+ idling\r\n").Read(), "A4 OK Idle completed.\r\n");
  done.Start();
  ImapIdle idle(&log_);
  ASSERT_EQ(idle.Start(MailboxAccountOf(ImapMailbox(done.port())), ImapFolderState{2, 7, 10}), ImapIdle::Started::kIdling);
  timings.imapIdleRenewMs = 0;
  qv::SetTimings(timings);
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(idle.Wait(0), News::kDropped);
  EXPECT_LT(MsSince(start), 1500);
  EXPECT_FALSE(idle.active());
  ASSERT_TRUE(done.Wait());
  EXPECT_EQ(done.Received().back(), "DONE");
  EXPECT_TRUE(Logged("IDLEの接続が切れたため、設定した間隔でのメールチェックに戻ります。")) << Log();
}

// EXISTS tells the folder's size: only a larger one is news, not the same count told again.
TEST_F(ImapTest, ARepeatedExistsWhileIdlingIsNoNews) {
  ScriptedServer server;
  Examined(server)
      .Read()
      .Send("+ idling\r\n")
      .Pause(60)
      .Send("* 2 EXISTS\r\n")
      .Pause(60)
      .Send("* 3 EXISTS\r\n")
      .Pause(60)
      .Send("* 3 EXISTS\r\n")
      .Pause(60)
      .Cut();
  server.Start();
  ImapIdle idle(&log_);
  ASSERT_EQ(idle.Start(MailboxAccountOf(ImapMailbox(server.port())), ImapFolderState{2, 7, 10}), ImapIdle::Started::kIdling);
  std::vector<News> heard;
  while (heard.empty() || heard.back() != News::kDropped) {
    heard.push_back(WaitForNews(idle));
    ASSERT_LT(heard.size(), 5u);
  }
  EXPECT_EQ(heard, (std::vector<News>{News::kNewMail, News::kDropped}));
}

// PREAUTH leaves no room for STARTTLS (RFC 3501 6.2.1): with security 1 the session ends
// without a command but LOGOUT.
TEST_F(ImapTest, PreauthWithStartTlsAskedForIsRefused) {
  ScriptedServer server;
  server.Send("* PREAUTH [CAPABILITY IMAP4rev1 STARTTLS IDLE] logged in already\r\n").Read().Send("* BYE\r\nA1 OK\r\n");
  server.Start();
  client_.SetMailbox(ImapMailbox(server.port(), 1));
  EXPECT_EQ(client_.CheckMail(), 0);
  EXPECT_TRUE(client_.lastLoginFailed());
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Received(), (Lines{"A1 LOGOUT"}));
  EXPECT_TRUE(Logged("IMAPサーバーがログイン済み(PREAUTH)のため、STARTTLSを行えません。")) << Log();
}

// A 16 MiB SEARCH answer ("1 1 1 ...", and more UIDs than a check takes) is read within its
// bound and parsed only up to the cap; the check goes on with what it took.
TEST_F(ImapTest, ASixteenMebibyteSearchIsTakenUpToTheCap) {
  std::string search = "* SEARCH";
  for (int uid = 1; uid <= CMailClient::kMaxEntryCount + 1; ++uid) search += " " + std::to_string(uid);
  while (search.size() + 2 < ImapReader::kMaxLineBytes) search += " 1";
  search.resize(ImapReader::kMaxLineBytes);
  if (search.back() == ' ') search.back() = '1';
  ScriptedServer server;
  LogIn(server)
      .Read()
      .Send("* 2 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\nA3 OK done\r\n")
      .Read()
      .Send(search + "\r\nA4 OK\r\n")
      .Read()
      .Send("A5 OK\r\n")
      .Read()
      .Send("A6 OK\r\n");
  server.Start();
  client_.SetMailbox(ImapMailbox(server.port()));
  EXPECT_EQ(client_.CheckMail(), 0);  // no header came, so no message
  ASSERT_TRUE(server.Wait());
  Lines received = server.Received();
  ASSERT_GE(received.size(), 2u);
  // The first 100,000 UIDs, in one command of one range.
  EXPECT_EQ(received[received.size() - 2], "A5 UID FETCH 1:" + std::to_string(CMailClient::kMaxEntryCount) +
                                                " (UID RFC822.SIZE BODY.PEEK[HEADER])");
  EXPECT_TRUE(Logged("メール数が多すぎるため、先頭の100000個だけを受信します。")) << Log();
}

// The largest header is fetched whole and one byte more is refused; what the whole message is
// announced to be does not count, only what is fetched.
TEST_F(ImapTest, AHeaderOfExactly64MiBIsFetchedAndOneByteMoreRefused) {
  const long long limit = CMailClient::kMaxMessageSize;
  std::string header = "Subject: big\r\nX-Long: ";
  header.resize(static_cast<size_t>(limit) - 4, 'x');
  header += "\r\n\r\n";
  struct Case {
    const char* name;
    long long announced;  // RFC822.SIZE
    std::string sent;     // the header
    int entries;
    const char* logged;
  };
  const Case cases[] = {
      {"at the limit", limit, header, 1, nullptr},
      {"sent one byte more", 100, header + "y", 0, "サイズが大きすぎるメールを受信しませんでした。"},
      {"a small header of a message announced larger", limit + 1, "Subject: s\r\n\r\n", 1, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    LogIn(server)
        .Read()
        .Send("* 1 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\nA3 OK done\r\n")
        .Read()
        .Send("* SEARCH 3\r\nA4 OK\r\n")
        .Read()
        .Send("* 1 FETCH (UID 3 RFC822.SIZE " + std::to_string(c.announced) + " BODY[HEADER] {" +
              std::to_string(c.sent.size()) + "}\r\n" + c.sent + ")\r\nA5 OK\r\n");
    server.Read().Send("A6 OK\r\n");
    server.Start();
    RecordingLogSink log;
    CMailClient client(&log);
    client.SetMailbox(ImapMailbox(server.port()));
    EXPECT_EQ(client.CheckMail(), c.entries);
    ASSERT_TRUE(server.Wait());
    ASSERT_EQ(client.GetEntryCount(), c.entries);
    if (c.entries) EXPECT_EQ(client.GetEntry(0)->message, c.sent);
    if (c.logged) {
      bool found = false;
      for (const std::string& line : log.lines()) found = found || line.find(qv::Cp932FromUtf8(c.logged)) != std::string::npos;
      EXPECT_TRUE(found);
    }
  }
}

// The bytes one check holds are counted as they arrive: announced as 10 bytes, each header
// brings 100. At the budget all three are held; one byte below it, the third is not read.
TEST_F(ImapTest, TheCheckBudgetCountsWhatArrivedNotWhatWasAnnounced) {
  const std::string body = "Subject: x\r\n\r\n" + std::string(84, 'b') + "\r\n";
  ASSERT_EQ(body.size(), 100u);
  for (long long checkBytes : {300LL, 299LL}) {
    SCOPED_TRACE(checkBytes);
    const bool all = checkBytes == 300;
    ScriptedServer server;
    LogIn(server)
        .Read()
        .Send("* 3 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\nA3 OK done\r\n")
        .Read()
        .Send("* SEARCH 1 2 3\r\nA4 OK\r\n")
        .Read();
    for (int uid = 1; uid <= 3; ++uid) {
      server.Send("* " + std::to_string(uid) + " FETCH (UID " + std::to_string(uid) + " RFC822.SIZE 10 BODY[HEADER] {100}\r\n" +
                  body + ")\r\n");
    }
    server.Send("A5 OK\r\n").Read().Send("A6 OK\r\n");
    server.Start();
    RecordingLogSink log;
    CMailClient client(&log);
    client.SetCheckBytes(checkBytes);
    client.SetMailbox(ImapMailbox(server.port()));
    EXPECT_EQ(client.CheckMail(), 1);
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(client.GetEntryCount(), all ? 3 : 2);
    bool deferred = false;
    for (const std::string& line : log.lines()) {
      deferred = deferred || line.find(qv::Cp932FromUtf8("一度に受信できる量を超えたため、残りの1個のメールは次回受信します。")) !=
                                 std::string::npos;
    }
    EXPECT_EQ(deferred, !all);
  }
}

}  // namespace

namespace {

// What the request step does after a check: every entry judged, then the delete exchange
// (none here: nothing is marked), which records them.
void JudgeAll(CMailClient& client) {
  for (int i = 0; i < client.GetEntryCount(); ++i) client.GetEntry(i)->judged = true;
  client.DeleteMarked();
}

// One check's connection: the folder's UIDVALIDITY and UIDs, and a header for each UID the
// client asks for (when `fetch` is set).
void ServeCheck(ScriptedServer& server, uint32_t uidValidity, const std::vector<uint32_t>& uids, bool fetch) {
  std::string search = "* SEARCH";
  std::string headers;
  for (size_t i = 0; i < uids.size(); ++i) {
    search += " " + std::to_string(uids[i]);
    headers += "* " + std::to_string(i + 1) + " FETCH (UID " + std::to_string(uids[i]) +
               " RFC822.SIZE 4000000 BODY[HEADER] {13}\r\nFrom: a@b\r\n\r\n)\r\n";
  }
  LogIn(server)
      .Read()
      .Send("* OK [UIDVALIDITY " + std::to_string(uidValidity) + "] ok\r\nA3 OK done\r\n")
      .Read()
      .Send(search + "\r\nA4 OK\r\n");
  // The server answers every UID it holds; the client keeps only those it asked for.
  if (fetch) server.Read().Send(headers + "A5 OK\r\n");
  server.Read().Send("* BYE\r\nA" + std::to_string(fetch ? 6 : 5) + " OK\r\n");
}

// Mails judged before are not fetched again while they stay, also after a restart (a new
// client reading the state file); a new UIDVALIDITY forgets them all, and a damaged record
// is read as none.
TEST_F(ImapTest, JudgedMailsStayUnfetchedUntilTheFolderIsMadeAnew) {
  const std::string folder = qv::MakeWorkFolder("JM");
  ASSERT_FALSE(folder.empty());
  const std::string statePath = folder + "Quorvex.state";
  const std::vector<uint32_t> later{2, 3, 4, 5, 9, 10};
  ScriptedServer server;
  ServeCheck(server, 7, {1, 2, 3, 4, 5, 9}, true);
  server.NextConnection();
  ServeCheck(server, 7, later, true);
  server.NextConnection();
  ServeCheck(server, 8, later, true);
  server.NextConnection();
  ServeCheck(server, 8, later, false);
  server.NextConnection();
  ServeCheck(server, 8, later, true);
  server.Start();

  auto check = [&](CMailClient& client, RecordingLogSink& log, int entries, const char* logged) {
    client.SetStatePath(statePath);
    client.SetMailbox(ImapMailbox(server.port()));
    EXPECT_EQ(client.CheckMail(), entries > 0 ? 1 : 0);
    EXPECT_EQ(client.GetEntryCount(), entries);
    JudgeAll(client);
    if (!logged) return;
    bool found = false;
    for (const std::string& line : log.lines()) found = found || line.find(qv::Cp932FromUtf8(logged)) != std::string::npos;
    EXPECT_TRUE(found) << logged;
  };
  RecordingLogSink firstLog;
  CMailClient first(&firstLog);
  check(first, firstLog, 6, nullptr);
  EXPECT_TRUE(firstLog.lines().empty());  // nothing known, nothing passed over
  RecordingLogSink restartedLog;
  CMailClient restarted(&restartedLog);
  check(restarted, restartedLog, 1, "判定済みの5個のメールは受信しませんでした。");
  EXPECT_EQ(restarted.GetEntry(0)->uid, 10u);
  check(restarted, restartedLog, 6, nullptr);  // UIDVALIDITY 8
  const size_t logged = restartedLog.lines().size();
  check(restarted, restartedLog, 0, nullptr);  // all judged: no fetch
  EXPECT_EQ(restartedLog.lines().size(), logged);  // said once after the start only

  ASSERT_TRUE(qv::WriteFileBytes(statePath, "[JudgedMail]\nmail 2\n"));
  RecordingLogSink damagedLog;
  CMailClient damaged(&damagedLog);
  check(damaged, damagedLog, 6, "判定済みメールの記録を読めないため、すべてのメールを判定し直します: ");
  ASSERT_TRUE(server.Wait());

  Lines fetches;
  for (const std::string& line : server.Received()) {
    if (line.find("UID FETCH") != std::string::npos) fetches.push_back(line);
  }
  const std::string items = " (UID RFC822.SIZE BODY.PEEK[HEADER])";
  EXPECT_EQ(fetches, (Lines{"A5 UID FETCH 1:5,9" + items, "A5 UID FETCH 10" + items, "A5 UID FETCH 2:5,9:10" + items,
                            "A5 UID FETCH 2:5,9:10" + items}));
  EXPECT_EQ(qv::ReadFileBytes(statePath), "[JudgedMail]\naccount imap 127.0.0.1 " + std::to_string(server.port()) +
                                              " user INBOX\nuidvalidity 8\nmail 10\nmail 2\nmail 3\nmail 4\nmail 5\nmail 9\n");
  std::filesystem::remove_all(folder);
}

// The deletion flags of the handled mails go in one UID STORE of their compact set, and only
// those are expunged.
TEST_F(ImapTest, TheHandledSetIsFlaggedInOneCommand) {
  ScriptedServer server;
  ServeCheck(server, 7, {1, 2, 3, 4, 5, 9, 11, 12}, true);
  server.NextConnection();
  ServeDelete(server, kCapabilities, "7");
  server.Start();
  client_.SetMailbox(ImapMailbox(server.port()));
  ASSERT_EQ(client_.CheckMail(), 1);
  ASSERT_EQ(client_.GetEntryCount(), 8);
  for (int index : {0, 1, 2, 4, 5, 6, 7}) client_.GetEntry(index)->deleteMark = 1;  // not UID 4
  client_.DeleteMarked();
  ASSERT_TRUE(server.Wait());
  Lines received = server.Received();
  ASSERT_GE(received.size(), 3u);
  EXPECT_EQ(Lines(received.end() - 3, received.end()),
            (Lines{"A4 UID STORE 1:3,5,9,11:12 +FLAGS (\\Deleted)", "A5 UID EXPUNGE 1:3,5,9,11:12", "A6 LOGOUT"}));
}

}  // namespace
