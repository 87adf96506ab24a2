#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "app/mail/testing/dovecot_fixture.h"
#include "app/mail/mail_client.h"
#include "app/mail/pop3_session.h"
#include "app/mail/testing/test_servers.h"
#include "app/settings/activity_log.h"
#include "platform/files.h"
#include "platform/socket.h"
#include "platform/testing/tls_peer.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

using qv::test::ScriptedServer;
using Lines = std::vector<std::string>;

// Short socket time-outs for every test here (the shared fixture).
class Pop3Test : public qv::test::ShortSocketTimeoutsTest {
 protected:
  void UseServer(const ScriptedServer& server, const char* password = "pw") {
    client_.SetPopParams("127.0.0.1", "user", password, server.port());
  }
  // The account of `server` for a session of its own.
  static MailboxAccount AccountOf(const ScriptedServer& server) {
    MailboxAccount account;
    account.server = "127.0.0.1";
    account.userId = "user";
    account.password = "pw";
    account.port = server.port();
    return account;
  }
  // The log messages without their time and category.
  Lines Messages() const {
    Lines messages;
    for (const std::string& line : log_.lines()) messages.push_back(line.substr(line.find("] ") + 2));
    return messages;
  }
  bool Logged(const char* utf8) const {
    std::string wanted = qv::Cp932FromUtf8(utf8);
    for (const std::string& message : Messages()) {
      if (message.find(wanted) != std::string::npos) return true;
    }
    return false;
  }

  RecordingLogSink log_;
  CMailClient client_{&log_};
};

// The greeting and a successful log-in.
ScriptedServer& LogIn(ScriptedServer& server) {
  return server.Send("+OK ready\r\n").Read().Send("+OK\r\n").Read().Send("+OK logged in\r\n");
}

// A successful log-in to a server that knows no CAPA (so neither TOP, UIDL nor PIPELINING).
ScriptedServer& LogInNoCapa(ScriptedServer& server) { return LogIn(server).Read().Send("-ERR unknown command\r\n"); }

TEST_F(Pop3Test, FetchesEveryListedMessageByItsNumber) {
  ScriptedServer server;
  LogInNoCapa(server).Read().Send("+OK 2 messages\r\n7 30\r\n12 0\r\n.\r\n");
  server.Read().Send("+OK\r\nSubject: seven\r\n\r\n..dot\r\n.\r\n");
  server.Read().Send("+OK\r\n.\r\n");
  server.Read().Send("+OK bye\r\n");
  server.Start();
  UseServer(server);
  EXPECT_EQ(client_.CheckMail(), 1);
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Received(), (Lines{"USER user", "PASS pw", "CAPA", "LIST", "RETR 7", "RETR 12", "QUIT"}));
  ASSERT_EQ(client_.GetEntryCount(), 2);
  EXPECT_EQ(client_.GetEntry(0)->number, 7);
  EXPECT_EQ(client_.GetEntry(0)->size, 30);
  EXPECT_EQ(client_.GetEntry(0)->message, "Subject: seven\r\n\r\n.dot\r\n");
  EXPECT_EQ(client_.GetEntry(0)->deleteMark, 0);
  EXPECT_EQ(client_.GetEntry(1)->number, 12);
  EXPECT_EQ(client_.GetEntry(1)->message, "");
  EXPECT_EQ(client_.GetEntry(2), nullptr);
  EXPECT_EQ(client_.GetEntry(-1), nullptr);

  // Marks survive until the next exchange; DELE uses the numbers of the listing.
  client_.GetEntry(1)->deleteMark = 1;
  ScriptedServer deleter;
  LogInNoCapa(deleter).Read().Send("+OK deleted\r\n").Read().Send("+OK bye\r\n");
  deleter.Start();
  UseServer(deleter);
  client_.DeleteMarked();
  ASSERT_TRUE(deleter.Wait());
  EXPECT_EQ(deleter.Received(), (Lines{"USER user", "PASS pw", "CAPA", "DELE 12", "QUIT"}));
}

TEST_F(Pop3Test, CollectsListingsAndMessagesArrivingInPieces) {
  // 200 messages: the listing is far over 1024 bytes and comes in three pieces, the
  // terminator split between the last two; the greeting is split too.
  std::string listing = "+OK 200 messages\r\n";
  for (int n = 1; n <= 200; ++n) listing += std::to_string(n) + " 40\r\n";
  listing += ".\r\n";
  ScriptedServer server;
  server.Send("+O").Pause(5).Send("K ready\r\n").Read().Send("+OK\r\n").Read().Send("+OK\r\n");
  server.Read().Send("-ERR\r\n");
  server.Read().Send(listing.substr(0, 700)).Pause(5);
  server.Send(listing.substr(700, listing.size() - 700 - 2)).Pause(5).Send("\r\n");
  std::string mail = "From: a@b.example\r\nSubject: pieces\r\n\r\nbody line\r\n";
  std::string message = "+OK\r\n" + mail + ".\r\n";
  for (int n = 1; n <= 200; ++n) {
    server.Read();
    if (n == 1) {
      for (size_t at = 0; at < message.size(); at += 7) server.Send(message.substr(at, 7)).Pause(1);
    } else {
      server.Send(message);
    }
  }
  server.Read().Send("+OK\r\n");
  server.Start();
  UseServer(server);
  EXPECT_EQ(client_.CheckMail(), 1);
  ASSERT_TRUE(server.Wait());
  ASSERT_EQ(client_.GetEntryCount(), 200);
  for (int i = 0; i < 200; ++i) {
    ASSERT_EQ(client_.GetEntry(i)->number, i + 1);
    ASSERT_EQ(client_.GetEntry(i)->message, mail);
  }
  Lines received = server.Received();
  ASSERT_EQ(received.size(), 205u);
  EXPECT_EQ(received[4], "RETR 1");
  EXPECT_EQ(received[203], "RETR 200");
  EXPECT_EQ(received[204], "QUIT");
}

TEST_F(Pop3Test, RefusedLogInOrEmptyMailboxFetchesNothing) {
  ScriptedServer wrongPassword;
  wrongPassword.Send("+OK ready\r\n").Read().Send("+OK\r\n").Read().Send("-ERR [AUTH] failed\r\n");
  wrongPassword.Read().Send("+OK bye\r\n");
  wrongPassword.Start();
  UseServer(wrongPassword, "wrong");
  EXPECT_EQ(client_.CheckMail(), 0);
  ASSERT_TRUE(wrongPassword.Wait());
  EXPECT_EQ(wrongPassword.Received(), (Lines{"USER user", "PASS wrong", "QUIT"}));
  EXPECT_TRUE(Logged("POP3サーバーにログインできませんでした。 (-ERR [AUTH] failed)"));
  EXPECT_TRUE(client_.lastLoginFailed());
  EXPECT_TRUE(client_.lastCheckFailed());

  ScriptedServer empty;
  LogInNoCapa(empty).Read().Send("+OK 0 messages\r\n.\r\n").Read().Send("+OK\r\n");
  empty.Start();
  UseServer(empty);
  EXPECT_EQ(client_.CheckMail(), 0);
  ASSERT_TRUE(empty.Wait());
  EXPECT_EQ(empty.Received(), (Lines{"USER user", "PASS pw", "CAPA", "LIST", "QUIT"}));
  EXPECT_EQ(client_.GetEntryCount(), 0);
  EXPECT_FALSE(client_.lastLoginFailed());  // reached the server, found nothing
  EXPECT_FALSE(client_.lastCheckFailed());

  ScriptedServer badGreeting;
  badGreeting.Send("-ERR busy\r\n").Read().Send("+OK\r\n");
  badGreeting.Start();
  UseServer(badGreeting);
  EXPECT_EQ(client_.PopBeforeSmtp(), 0);
  ASSERT_TRUE(badGreeting.Wait());
  EXPECT_EQ(badGreeting.Received(), (Lines{"QUIT"}));
  EXPECT_TRUE(Logged("POP3サーバーにログインできませんでした。 (-ERR busy)"));
}

TEST_F(Pop3Test, MissingOrUnsafeParametersNeverConnect) {
  ScriptedServer server;
  server.Start();
  client_.SetPopParams("127.0.0.1", "", "pw", server.port());
  EXPECT_EQ(client_.CheckMail(), 0);
  client_.SetPopParams("127.0.0.1", "user", nullptr, server.port());
  EXPECT_EQ(client_.PopBeforeSmtp(), 0);
  client_.SetPopParams("127.0.0.1", "user", "pw\r\nDELE 1", server.port());
  EXPECT_EQ(client_.PopBeforeSmtp(), 0);
  client_.SetPopParams("127.0.0.1", "user\nDELE 1", "pw", server.port());
  EXPECT_EQ(client_.PopBeforeSmtp(), 0);
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_TRUE(Logged("改行文字"));
}

TEST_F(Pop3Test, StlsThatIsNotOfferedOrRefusedSendsNoPassword) {
  struct Case {
    const char* capa;  // the reply to CAPA
    const char* stls;  // the reply to STLS, null when STLS is not to be sent
    Lines received;
    const char* logged;
  };
  const Case cases[] = {
      {"+OK\r\nUSER\r\nUIDL\r\n.\r\n", nullptr, {"CAPA", "QUIT"}, "STLSに対応していない"},
      {"-ERR unknown command\r\n", nullptr, {"CAPA", "QUIT"}, "STLSに対応していないため、ログインしません。 (-ERR unknown command)"},
      {"+OK\r\nstls\r\n.\r\n", "-ERR not now\r\n", {"CAPA", "STLS", "QUIT"},
       "STLSを受け付けなかったため、ログインしません。 (-ERR not now)"},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    server.Send("+OK ready\r\n").Read().Send(c.capa);
    if (c.stls) server.Read().Send(c.stls);
    server.Read().Send("+OK\r\n");
    server.Start();
    client_.SetPopParams("127.0.0.1", "user", "pw", server.port(), 1, "");
    EXPECT_EQ(client_.CheckMail(), 0);
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.Received(), c.received) << c.capa;
    EXPECT_TRUE(Logged(c.logged)) << c.capa;
  }
  // A server that does not speak TLS on the POP3S port: the handshake fails, nothing is sent.
  ScriptedServer plain;
  plain.Send("+OK ready\r\n").Read();
  plain.Start();
  client_.SetPopParams("127.0.0.1", "user", "pw", plain.port(), 2, "");
  EXPECT_EQ(client_.CheckMail(), 0);
  EXPECT_TRUE(Logged("POP3: TLSの接続に失敗しました。"));
}

TEST_F(Pop3Test, PopBeforeSmtpLogsInAndQuits) {
  ScriptedServer server;
  LogIn(server).Read().Send("+OK\r\n");
  server.Start();
  client_.SetPopParams("127.0.0.1", "user", "pw", server.port() + 65536);  // low 16 bits
  EXPECT_EQ(client_.PopBeforeSmtp(), 1);
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Received(), (Lines{"USER user", "PASS pw", "QUIT"}));
}

TEST_F(Pop3Test, SilentServerTimesOutWithoutFetching) {
  qv::Timings fast = qv::GetTimings();
  fast.socketReceiveTimeoutMs = 100;
  qv::SetTimings(fast);
  ScriptedServer server;
  LogInNoCapa(server).Read().Send("+OK 1 message\r\n1 20\r\n").GoSilent();
  server.Start();
  UseServer(server);
  EXPECT_EQ(client_.CheckMail(), 0);
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(client_.GetEntryCount(), 0);
  Lines received = server.Received();
  EXPECT_EQ(received, (Lines{"USER user", "PASS pw", "CAPA", "LIST"}));  // no QUIT on a dead line
}

TEST_F(Pop3Test, ConnectionCutInsideAMessageDropsThatMessage) {
  ScriptedServer server;
  LogInNoCapa(server).Read().Send("+OK 3\r\n1 10\r\n2 500\r\n3 10\r\n.\r\n");
  server.Read().Send("+OK\r\nFrom: a@b\r\n.\r\n");
  server.Read().Send("+OK\r\nFrom: c@d\r\nSubject: cut").Cut();
  server.Start();
  UseServer(server);
  EXPECT_EQ(client_.CheckMail(), 1);
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Received(), (Lines{"USER user", "PASS pw", "CAPA", "LIST", "RETR 1", "RETR 2"}));
  // The cut message is neither parsed nor deleted: it comes again with the next check.
  ASSERT_EQ(client_.GetEntryCount(), 1);
  EXPECT_EQ(client_.GetEntry(0)->number, 1);
  EXPECT_TRUE(Logged("メールの受信中に接続が切れました。 (#2)"));

  // A connection lost inside the listing fetches nothing, and the old entries are gone.
  ScriptedServer listingCut;
  LogInNoCapa(listingCut).Read().Send("+OK 3\r\n1 10\r\n").Cut();
  listingCut.Start();
  UseServer(listingCut);
  EXPECT_EQ(client_.CheckMail(), 0);
  EXPECT_EQ(client_.GetEntryCount(), 0);
}

TEST_F(Pop3Test, TheScanListingNotTheStatusTextGivesTheMessages) {
  struct Case {
    const char* listing;
    Lines retrieved;  // RETR lines expected
  };
  const Case cases[] = {
      // Servers that answer LIST with free text, or with a count that does not agree.
      {"+OK Mailbox scan listing follows\r\n1 10\r\n.\r\n", {"RETR 1"}},
      {"+OK\r\n1 10\r\n.\r\n", {"RETR 1"}},
      {"+OK -5\r\n1 10\r\n.\r\n", {"RETR 1"}},
      {"+OK 99999999999 messages\r\n4 10\r\n5 10\r\n.\r\n", {"RETR 4", "RETR 5"}},
      {"+OK 1\r\n9 10\r\n10 10\r\n.\r\n", {"RETR 9", "RETR 10"}},
      {"+OK 2 messages (320 octets)\r\n.\r\n", {}},
      // Unreadable scan lines and oversized or negative sizes are skipped.
      {"+OK 5\r\nx y\r\n6 99999999999\r\n7 -1\r\n0 10\r\n8 10\r\n.\r\n", {"RETR 8"}},
      // One check holds at most 256 MiB of what arrived, not of what was announced: messages
      // announced as 64 MiB each that come small all fit.
      {"+OK\r\n1 67108864\r\n2 67108864\r\n3 67108864\r\n4 67108864\r\n5 1\r\n6 1\r\n.\r\n",
       {"RETR 1", "RETR 2", "RETR 3", "RETR 4", "RETR 5", "RETR 6"}},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    LogInNoCapa(server).Read().Send(c.listing);
    for (size_t i = 0; i < c.retrieved.size(); ++i) server.Read().Send("+OK\r\nFrom: a@b\r\n.\r\n");
    server.Read().Send("+OK\r\n");
    server.Start();
    UseServer(server);
    EXPECT_EQ(client_.CheckMail(), c.retrieved.empty() ? 0 : 1) << c.listing;
    ASSERT_TRUE(server.Wait());
    Lines expected{"USER user", "PASS pw", "CAPA", "LIST"};
    expected.insert(expected.end(), c.retrieved.begin(), c.retrieved.end());
    expected.push_back("QUIT");
    EXPECT_EQ(server.Received(), expected) << c.listing;
    EXPECT_EQ(client_.GetEntryCount(), static_cast<int>(c.retrieved.size()));
  }
  EXPECT_TRUE(Logged("サイズが大きすぎるメールを受信しませんでした。 (#6, 99999999999 bytes)"));
  EXPECT_TRUE(Logged("メール一覧の読めない行を飛ばしました。"));
}

TEST_F(Pop3Test, RefusedRetrieveSkipsOnlyThatMessage) {
  ScriptedServer server;
  LogInNoCapa(server).Read().Send("+OK 2\r\n1 10\r\n2 10\r\n.\r\n");
  server.Read().Send("-ERR no such message\r\n");
  server.Read().Send("+OK\r\nFrom: a@b\r\n.\r\n");
  server.Read().Send("+OK\r\n");
  server.Start();
  UseServer(server);
  EXPECT_EQ(client_.CheckMail(), 1);
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Received(), (Lines{"USER user", "PASS pw", "CAPA", "LIST", "RETR 1", "RETR 2", "QUIT"}));
  ASSERT_EQ(client_.GetEntryCount(), 1);
  EXPECT_EQ(client_.GetEntry(0)->number, 2);
  EXPECT_TRUE(Logged("メールを受信できませんでした。 (#1) (-ERR no such message)"));
}

TEST_F(Pop3Test, DeleteStopsWhenLogInFails) {
  ScriptedServer fetch;
  LogInNoCapa(fetch).Read().Send("+OK 1\r\n3 10\r\n.\r\n").Read().Send("+OK\r\nx\r\n.\r\n");
  fetch.Read().Send("+OK\r\n");
  fetch.Start();
  UseServer(fetch);
  ASSERT_EQ(client_.CheckMail(), 1);
  client_.GetEntry(0)->deleteMark = 1;

  ScriptedServer refusing;
  refusing.Send("+OK\r\n").Read().Send("-ERR unknown user\r\n").Read().Send("+OK\r\n");
  refusing.Start();
  UseServer(refusing);
  client_.DeleteMarked();
  ASSERT_TRUE(refusing.Wait());
  EXPECT_EQ(refusing.Received(), (Lines{"USER user", "QUIT"}));
}

// RETR gives the message as it was sent: the status line and the terminator gone, and one dot
// taken from every line that begins with one (RFC 1939 3), wherever the line is.
TEST_F(Pop3Test, RetrUndoesTheDotStuffingOfEveryLine) {
  struct Case {
    std::string response;
    std::string message;
  };
  const Case cases[] = {
      {"+OK\r\n.\r\n", ""},
      {"+OK\r\n..\r\n.\r\n", ".\r\n"},
      {"+OK 12 octets\r\n...x\r\na.b\r\n..\r\nend\r\n.\r\n", "..x\r\na.b\r\n.\r\nend\r\n"},
      {"+OK\r\nSubject: s\r\n\r\n..\r\n...\r\n.\r\n", "Subject: s\r\n\r\n.\r\n..\r\n"},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    LogInNoCapa(server).Read().Send("+OK\r\n1 10\r\n.\r\n").Read().Send(c.response).Read().Send("+OK\r\n");
    server.Start();
    UseServer(server);
    EXPECT_EQ(client_.CheckMail(), 1) << c.response;
    ASSERT_TRUE(server.Wait());
    ASSERT_EQ(client_.GetEntryCount(), 1) << c.response;
    EXPECT_EQ(client_.GetEntry(0)->message, c.message) << c.response;
  }
}

// Every refusal after the log-in shows the server's reply beside our words; a reply that
// repeats the password shows it masked.
TEST_F(Pop3Test, RefusalsShowTheServersReplyWithoutThePassword) {
  ScriptedServer locked;
  LogInNoCapa(locked).Read().Send("-ERR [IN-USE] mailbox locked\r\n").Read().Send("+OK\r\n");
  locked.Start();
  UseServer(locked);
  EXPECT_EQ(client_.CheckMail(), 0);
  ASSERT_TRUE(locked.Wait());
  EXPECT_EQ(locked.Received(), (Lines{"USER user", "PASS pw", "CAPA", "LIST", "QUIT"}));
  EXPECT_TRUE(Logged("メール一覧を受信できませんでした。 (-ERR [IN-USE] mailbox locked)"));
  EXPECT_FALSE(client_.lastLoginFailed());
  EXPECT_TRUE(client_.lastCheckFailed());

  ScriptedServer repeating;
  repeating.Send("+OK\r\n").Read().Send("+OK\r\n").Read().Send("-ERR password s3cr\x01" "et! is wrong\r\n");
  repeating.Read().Send("+OK\r\n");
  repeating.Start();
  UseServer(repeating, "s3cret!");
  EXPECT_EQ(client_.CheckMail(), 0);
  ASSERT_TRUE(repeating.Wait());
  EXPECT_TRUE(Logged("POP3サーバーにログインできませんでした。 (-ERR password *** is wrong)"));
  for (const std::string& message : Messages()) EXPECT_EQ(message.find("s3cret"), std::string::npos) << message;
}

// The listing holds at most the lines asked for: at the limit nothing is cut, one more is.
TEST_F(Pop3Test, TheListingIsCutOneLinePastItsLimit) {
  for (int listed : {2, 3}) {
    ScriptedServer server;
    std::string listing = "+OK\r\n";
    for (int n = 1; n <= listed; ++n) listing += std::to_string(n) + " 10\r\n";
    LogIn(server).Read().Send(listing + ".\r\n").Read().Send("+OK\r\n");
    server.Start();
    Pop3Session session(&log_);
    ASSERT_TRUE(session.Open(AccountOf(server)));
    std::vector<Pop3ScanLine> lines;
    bool cut = true;
    EXPECT_TRUE(session.List(2, &lines, &cut).ok());
    session.Quit();
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(cut, listed == 3) << listed;
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].number, 2);
    EXPECT_EQ(lines[1].size, 10);
  }
}

// ---- against a real POP3 server ----

TEST(Pop3Dovecot, FetchesAndDeletesRealMails) {
  qv::test::DovecotServer server;
  if (!server.Start()) GTEST_SKIP() << server.why();
  std::string crlf = "From: Taro <taro@example.jp>\r\nSubject: one\r\n\r\nfirst\r\n";
  std::string bareLf = "From: hanako@example.jp\nSubject: two\n\n.leading dot\nsecond\n";
  std::string third = "From: jiro@example.jp\r\nSubject: three\r\n\r\nthird\r\n";
  ASSERT_TRUE(server.Add({{"mail1", crlf}, {"mail2", bareLf}, {"mail3", third}}));

  RecordingLogSink log;
  CMailClient client(&log);
  client.SetPopParams("127.0.0.1", qv::test::DovecotServer::kUser, "wrong", server.port());
  EXPECT_EQ(client.CheckMail(), 0);
  EXPECT_EQ(client.PopBeforeSmtp(), 0);

  client.SetPopParams("127.0.0.1", qv::test::DovecotServer::kUser,
                      qv::test::DovecotServer::kPassword, server.port());
  EXPECT_EQ(client.PopBeforeSmtp(), 1);
  ASSERT_EQ(client.CheckMail(), 1);
  ASSERT_EQ(client.GetEntryCount(), 3);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(client.GetEntry(i)->number, i + 1);
  // The server offers TOP: the header and its blank line come, the body stays.
  EXPECT_EQ(client.GetEntry(0)->message, "From: Taro <taro@example.jp>\r\nSubject: one\r\n\r\n");
  EXPECT_EQ(client.GetEntry(0)->size, static_cast<int>(crlf.size()));
  // The server sends CR LF line ends.
  EXPECT_EQ(client.GetEntry(1)->message, "From: hanako@example.jp\r\nSubject: two\r\n\r\n");
  EXPECT_EQ(client.GetEntry(1)->name.empty(), false);  // UIDL names it

  client.GetEntry(0)->deleteMark = 1;
  client.GetEntry(2)->deleteMark = 1;
  client.DeleteMarked();
  EXPECT_EQ(server.List(), (Lines{"mail2"}));

  // The next check sees only what is left, numbered afresh.
  ASSERT_EQ(client.CheckMail(), 1);
  ASSERT_EQ(client.GetEntryCount(), 1);
  EXPECT_NE(client.GetEntry(0)->message.find("Subject: two"), std::string::npos);
}

}  // namespace

namespace {

// Milliseconds since `start`.
int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// A reply that never ends, one piece every 20 ms for two seconds, ends the exchange at the
// receive time-out: the status line of the greeting, and a listing.
TEST_F(Pop3Test, AReplyThatNeverEndsIsDroppedAtTheReceiveTimeOut) {
  qv::Timings timings = qv::GetTimings();
  timings.socketReceiveTimeoutMs = 400;
  qv::SetTimings(timings);
  struct Case {
    const char* name;
    bool inListing;
    Lines received;
    const char* logged;
  };
  const Case cases[] = {
      {"greeting", false, {}, "POP3サーバーにログインできませんでした。"},
      {"listing", true, {"USER user", "PASS pw", "CAPA", "LIST"}, "メール一覧を受信できませんでした。"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScriptedServer server;
    if (c.inListing) {
      LogInNoCapa(server).Read().Send("+OK 100 messages\r\n");
    } else {
      server.Send("+OK");
    }
    for (int i = 0; i < 100; ++i) server.Send(c.inListing ? std::to_string(i + 1) + " 10\r\n" : " .").Pause(20);
    server.Send(c.inListing ? ".\r\n" : "\r\n");
    server.Start();
    RecordingLogSink log;
    CMailClient client(&log);
    client.SetPopParams("127.0.0.1", "user", "pw", server.port());
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(client.CheckMail(), 0);
    EXPECT_LT(MsSince(start), 1500);
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.Received(), c.received);
    bool found = false;
    for (const std::string& line : log.lines()) found = found || line.find(qv::Cp932FromUtf8(c.logged)) != std::string::npos;
    EXPECT_TRUE(found);
  }
}

// The bytes one check holds are counted as they arrive: a server that announces 10 bytes and
// sends far more cannot carry a check past its budget. At the budget all three messages are
// held; one byte below it, the third is not read further.
TEST_F(Pop3Test, TheCheckBudgetCountsWhatArrivedNotWhatWasAnnounced) {
  const std::string body = "Subject: x\r\n\r\n" + std::string(86, 'b') + "\r\n";
  const std::string response = "+OK\r\n" + body + ".\r\n";
  const long long budget = 3 * static_cast<long long>(response.size());
  for (long long checkBytes : {budget, budget - 1}) {
    SCOPED_TRACE(checkBytes);
    const bool all = checkBytes == budget;
    ScriptedServer server;
    LogInNoCapa(server).Read().Send("+OK 3\r\n1 10\r\n2 10\r\n3 10\r\n.\r\n");
    for (int i = 0; i < 3; ++i) server.Read().Send(response);
    server.Read().Send("+OK\r\n");
    server.Start();
    RecordingLogSink log;
    CMailClient client(&log);
    client.SetCheckBytes(checkBytes);
    client.SetPopParams("127.0.0.1", "user", "pw", server.port());
    EXPECT_EQ(client.CheckMail(), 1);
    ASSERT_TRUE(server.Wait());
    ASSERT_EQ(client.GetEntryCount(), all ? 3 : 2);
    EXPECT_EQ(client.GetEntry(1)->message, body);
    bool deferred = false;
    for (const std::string& line : log.lines()) {
      deferred = deferred || line.find(qv::Cp932FromUtf8("一度に受信できる量を超えたため、残りの1個のメールは次回受信します。")) !=
                                 std::string::npos;
    }
    EXPECT_EQ(deferred, !all);
  }
}

// A security level that is not 0, 1 or 2 means TLS from the first byte: the client's first
// bytes are a TLS handshake, never USER or PASS in plain text.
TEST_F(Pop3Test, AnUnknownSecurityLevelMeansTlsFromTheFirstByte) {
  qv::test::TestCa ca;
  const qv::test::ServerCertificate leaf = ca.Issue("pop.example", {"DNS:pop.example"});
  for (int security : {-1, 3, 7}) {
    SCOPED_TRACE(security);
    qv::test::TlsScriptedPeer peer(leaf, {}, {"+OK ready\r\n", "+OK\r\n", "+OK\r\n", "-ERR\r\n", "+OK 0\r\n.\r\n", "+OK\r\n"});
    qv::SetConnectHook([&](const std::string&, int) { return peer.TakeClientEnd(); });
    client_.SetPopParams("pop.example", "user", "pw", 110, security, ca.caFile().c_str());
    EXPECT_EQ(client_.CheckMail(), 0);  // an empty mailbox, reached over TLS
    EXPECT_TRUE(peer.handshakeDone());
    EXPECT_EQ(peer.received(), (Lines{"USER user", "PASS pw", "CAPA", "LIST", "QUIT"}));
    qv::SetConnectHook({});
  }
}

// Text sent in plain after "+OK" to STLS came before the encryption: it is never taken as a
// reply of the protected session. Here it would have accepted USER.
TEST_F(Pop3Test, PlainTextAfterTheStlsGoAheadIsDropped) {
  qv::test::TestCa ca;
  qv::test::TlsScriptedPeer peer(ca.Issue("pop.example", {"DNS:pop.example"}),
                                 {"+OK ready\r\n", "+OK\r\nSTLS\r\n.\r\n", "+OK begin TLS\r\n+OK injected\r\n"},
                                 {"-ERR who are you\r\n", "+OK bye\r\n"});
  qv::SetConnectHook([&](const std::string&, int) { return peer.TakeClientEnd(); });
  client_.SetPopParams("pop.example", "user", "pw", 110, 1, ca.caFile().c_str());
  EXPECT_EQ(client_.CheckMail(), 0);
  EXPECT_TRUE(client_.lastLoginFailed());
  EXPECT_TRUE(peer.handshakeDone());
  EXPECT_EQ(peer.received(), (Lines{"CAPA", "STLS", "USER user", "QUIT"}));
  qv::SetConnectHook({});
}

}  // namespace

namespace {

// What the request step does after a check: every entry judged, then the delete exchange
// (none here: nothing is marked), which records them.
void JudgeAll(CMailClient& client) {
  for (int i = 0; i < client.GetEntryCount(); ++i) client.GetEntry(i)->judged = true;
  client.DeleteMarked();
}

// Answers each of `commands` as a server of two mails would (the listing, the unique-ids
// `uidl`, a header or a whole mail, the end).
void Answer(ScriptedServer& server, const Lines& commands, const std::string& uidl) {
  for (const std::string& command : commands) {
    server.Read();
    if (command == "LIST") {
      server.Send("+OK 2 messages\r\n1 100\r\n2 100\r\n.\r\n");
    } else if (command == "UIDL") {
      server.Send(uidl);
    } else if (command == "QUIT") {
      server.Send("+OK bye\r\n");
    } else {
      server.Send("+OK\r\nFrom: a@b.example\r\n\r\n.\r\n");
    }
  }
}

// Headers alone where the server offers TOP; mails judged before are passed over where it
// names them by UIDL, also after a restart (a new client reading the state file); a server
// with neither gets the whole mails every time, as before.
TEST_F(Pop3Test, MailsJudgedBeforeArePassedOverWhereTheServerNamesThem) {
  struct Case {
    const char* name;
    const char* capa;  // the reply to CAPA
    Lines first;       // the commands after CAPA at the first check (mails aaa, bbb)
    Lines second;      // and at the second (aaa gone, ccc new)
    std::string firstUidl = "+OK\r\n1 aaa\r\n2 bbb\r\n.\r\n";
    std::string secondUidl = "+OK\r\n1 bbb\r\n2 ccc\r\n.\r\n";
  };
  const Lines whole{"LIST", "RETR 1", "RETR 2", "QUIT"};
  const Lines headers{"LIST", "TOP 1 0", "TOP 2 0", "QUIT"};
  const Case cases[] = {
      {"no CAPA", "-ERR unknown command\r\n", whole, whole},
      {"neither TOP nor UIDL", "+OK\r\nUSER\r\nSASL PLAIN\r\n.\r\n", whole, whole},
      {"TOP without UIDL", "+OK\r\nTOP\r\n.\r\n", headers, headers},
      {"UIDL without TOP", "+OK\r\nUIDL\r\n.\r\n", {"LIST", "UIDL", "RETR 1", "RETR 2", "QUIT"},
       {"LIST", "UIDL", "RETR 2", "QUIT"}},
      {"TOP and UIDL", "+OK\r\ntop\r\nUIDL\r\nPIPELINING\r\n.\r\n", {"LIST", "UIDL", "TOP 1 0", "TOP 2 0", "QUIT"},
       {"LIST", "UIDL", "TOP 2 0", "QUIT"}},
      // Two mails of one unique-id cannot be told apart: neither is passed over.
      {"UIDL naming two alike", "+OK\r\nUIDL\r\n.\r\n", {"LIST", "UIDL", "RETR 1", "RETR 2", "QUIT"},
       {"LIST", "UIDL", "RETR 1", "RETR 2", "QUIT"}, "+OK\r\n1 same\r\n2 same\r\n.\r\n",
       "+OK\r\n1 same\r\n2 same\r\n.\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = qv::MakeWorkFolder("JM");
    ASSERT_FALSE(folder.empty());
    const std::string statePath = folder + "Quorvex.state";
    ScriptedServer server;
    LogIn(server).Read().Send(c.capa);
    Answer(server, c.first, c.firstUidl);
    server.NextConnection();
    LogIn(server).Read().Send(c.capa);
    Answer(server, c.second, c.secondUidl);
    server.Start();

    RecordingLogSink firstLog;
    CMailClient first(&firstLog);
    first.SetStatePath(statePath);
    first.SetPopParams("127.0.0.1", "user", "pw", server.port());
    ASSERT_EQ(first.CheckMail(), 1);
    ASSERT_EQ(first.GetEntryCount(), 2);
    JudgeAll(first);

    RecordingLogSink secondLog;
    CMailClient second(&secondLog);
    second.SetStatePath(statePath);
    second.SetPopParams("127.0.0.1", "user", "pw", server.port());
    ASSERT_EQ(second.CheckMail(), 1);
    ASSERT_TRUE(server.Wait());
    const bool named = c.second.size() < c.first.size();
    ASSERT_EQ(second.GetEntryCount(), named ? 1 : 2);
    EXPECT_EQ(second.GetEntry(0)->number, named ? 2 : 1);
    EXPECT_EQ(second.GetEntry(0)->name, named ? "ccc" : "");
    JudgeAll(second);

    Lines expected{"USER user", "PASS pw", "CAPA"};
    expected.insert(expected.end(), c.first.begin(), c.first.end());
    expected.insert(expected.end(), {"USER user", "PASS pw", "CAPA"});
    expected.insert(expected.end(), c.second.begin(), c.second.end());
    EXPECT_EQ(server.Received(), expected);
    bool passedOver = false;
    for (const std::string& line : secondLog.lines()) {
      passedOver = passedOver || line.find(qv::Cp932FromUtf8("判定済みの1個のメールは受信しませんでした。")) != std::string::npos;
    }
    EXPECT_EQ(passedOver, named);
    // The record: pruned to what the server still lists, with the new mail.
    const std::string record = named ? "[JudgedMail]\naccount pop3 127.0.0.1 " + std::to_string(server.port()) +
                                           " user %\nmail bbb\nmail ccc\n"
                                     : "";
    EXPECT_EQ(qv::ReadFileBytes(statePath), record);
    std::filesystem::remove_all(folder);
  }
}

// With PIPELINING the DELE commands go out together and their replies are read in order, each
// checked: a refused one is logged and the others still count.
TEST_F(Pop3Test, PipelinedDeletionsAreEachChecked) {
  for (bool pipelining : {true, false}) {
    SCOPED_TRACE(pipelining);
    ScriptedServer server;
    LogInNoCapa(server).Read().Send("+OK\r\n1 10\r\n2 10\r\n3 10\r\n.\r\n");
    for (int i = 0; i < 3; ++i) server.Read().Send("+OK\r\nFrom: a@b\r\n\r\n.\r\n");
    server.Read().Send("+OK\r\n").NextConnection();
    LogIn(server).Read().Send(pipelining ? "+OK\r\nPIPELINING\r\n.\r\n" : "+OK\r\nUSER\r\n.\r\n");
    const char* replies[] = {"+OK\r\n", "-ERR [IN-USE] locked\r\n", "+OK\r\n"};
    // A server that answers only once all three came: a client that waits for each reply
    // would wait in vain.
    if (pipelining) server.Read(3);
    for (const char* reply : replies) {
      if (!pipelining) server.Read();
      server.Send(reply);
    }
    server.Read().Send("+OK\r\n");
    server.Start();
    RecordingLogSink log;
    CMailClient client(&log);
    client.SetPopParams("127.0.0.1", "user", "pw", server.port());
    ASSERT_EQ(client.CheckMail(), 1);
    ASSERT_EQ(client.GetEntryCount(), 3);
    for (int i = 0; i < 3; ++i) client.GetEntry(i)->deleteMark = 1;
    client.DeleteMarked();
    ASSERT_TRUE(server.Wait());
    Lines received = server.Received();
    ASSERT_GE(received.size(), 5u);
    EXPECT_EQ(Lines(received.end() - 5, received.end()), (Lines{"CAPA", "DELE 1", "DELE 2", "DELE 3", "QUIT"}));
    Lines refused;
    for (const std::string& line : log.lines()) {
      if (line.find(qv::Cp932FromUtf8("削除できませんでした")) != std::string::npos) refused.push_back(line);
    }
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find(qv::Cp932FromUtf8("メールを削除できませんでした。 (#2) (-ERR [IN-USE] locked)")),
              std::string::npos);
  }
}

// A check takes the first 100,000 entries of a listing: at the cap all of them, one past it
// the same number and a log line that says so. (A budget of no bytes keeps the check from
// fetching any: its log line counts the entries taken.)
TEST_F(Pop3Test, AListingOfOnePastTheCapTakesTheFirst100000) {
  for (int listed : {CMailClient::kMaxEntryCount, CMailClient::kMaxEntryCount + 1}) {
    SCOPED_TRACE(listed);
    std::string listing = "+OK\r\n";
    for (int n = 1; n <= listed; ++n) listing += std::to_string(n) + " 1\r\n";
    ScriptedServer server;
    LogInNoCapa(server).Read().Send(listing + ".\r\n").Read().Send("+OK\r\n");
    server.Start();
    RecordingLogSink log;
    CMailClient client(&log);
    client.SetCheckBytes(0);
    client.SetPopParams("127.0.0.1", "user", "pw", server.port());
    EXPECT_EQ(client.CheckMail(), 0);
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.Received(), (Lines{"USER user", "PASS pw", "CAPA", "LIST", "QUIT"}));
    Lines messages;
    for (const std::string& line : log.lines()) messages.push_back(qv::Utf8FromCp932(line.substr(line.find("] ") + 2)));
    Lines expected;
    if (listed > CMailClient::kMaxEntryCount) expected.push_back("メール数が多すぎるため、先頭の100000個だけを受信します。");
    expected.push_back("一度に受信できる量を超えたため、残りの100000個のメールは次回受信します。");
    EXPECT_EQ(messages, expected);
  }
}

}  // namespace

namespace {

// A UIDL listing is untrusted: only lines of a message number (1 to INT_MAX) and a unique-id
// of 1 to 70 printable bytes name a message; at most the lines asked for are read.
TEST_F(Pop3Test, UidlKeepsOnlyReadableLinesUpToItsLimit) {
  const std::string longest(70, 'u');
  ScriptedServer server;
  LogIn(server)
      .Read()
      .Send("+OK\r\n1 abc\r\nx abc\r\n0 abc\r\n2147483648 abc\r\n3\r\n4 " + longest + "v\r\n5 " + longest +
            "\r\n6 a\x01" "b\r\n2147483647 last\r\n8 past\r\n.\r\n")
      .Read()
      .Send("+OK\r\n");
  server.Start();
  Pop3Session session(&log_);
  ASSERT_TRUE(session.Open(AccountOf(server)));
  std::vector<Pop3UniqueId> ids;
  EXPECT_TRUE(session.Uidl(3, &ids).ok());
  session.Quit();
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Received(), (Lines{"USER user", "PASS pw", "UIDL", "QUIT"}));
  ASSERT_EQ(ids.size(), 3u);
  EXPECT_EQ(ids[0].number, 1);
  EXPECT_EQ(ids[0].id, "abc");
  EXPECT_EQ(ids[1].number, 5);
  EXPECT_EQ(ids[1].id, longest);
  EXPECT_EQ(ids[2].number, 2147483647);
  EXPECT_EQ(ids[2].id, "last");
}

}  // namespace
