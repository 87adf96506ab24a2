// The OAuth2 log-ins of the three sessions against scripted servers, and the secret sources
// as the sessions use them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/mail/encodings.h"
#include "app/mail/imap_session.h"
#include "app/mail/oauth_sasl.h"
#include "app/mail/pop3_session.h"
#include "app/mail/secret_source.h"
#include "app/mail/smtp_session.h"
#include "app/mail/testing/test_servers.h"
#include "app/settings/activity_log.h"
#include "platform/text.h"

namespace {

using qv::test::ScriptedServer;
using Lines = std::vector<std::string>;

constexpr char kUser[] = "user@example.com";
// {"status":"401","schemes":"Bearer"}
const std::string kChallenge = Base64Encode(R"({"status":"401","schemes":"Bearer"})");

// Hands out tokens in turn: Get the first, each Renew the next; nothing when they run out.
class TokenList : public SecretSource {
 public:
  explicit TokenList(std::vector<std::string> tokens) : tokens_(std::move(tokens)) {}
  SecretResult Get(SecretPurpose purpose) override {
    purposes.push_back(purpose);
    return Next(0);
  }
  SecretResult Renew(SecretPurpose purpose) override {
    purposes.push_back(purpose);
    return Next(++renewals);
  }
  int renewals = 0;
  std::vector<SecretPurpose> purposes;

 private:
  SecretResult Next(size_t index) {
    if (index >= tokens_.size()) return {false, {}, qv::Cp932FromUtf8("新しいトークンがありません。")};
    return {true, tokens_[index], {}};
  }
  std::vector<std::string> tokens_;
};

std::string XOAuth2(const std::string& token) {
  return Base64Encode(OAuthInitialResponse(OAuthMechanism::kXOAuth2, kUser, "127.0.0.1", 0, token));
}
std::string Bearer(const std::string& token, int port) {
  return Base64Encode(OAuthInitialResponse(OAuthMechanism::kOAuthBearer, kUser, "127.0.0.1", port, token));
}

class OAuthLoginTest : public qv::test::ShortSocketTimeoutsTest {
 protected:
  MailboxAccount Mailbox(const ScriptedServer& server, std::shared_ptr<SecretSource> secrets) {
    MailboxAccount account;
    account.server = "127.0.0.1";
    account.userId = kUser;
    account.port = server.port();
    account.security = 0;
    account.authMethod = 1;
    account.secrets = std::move(secrets);
    return account;
  }
  SmtpAccount Submission(const ScriptedServer& server, std::shared_ptr<SecretSource> secrets) {
    SmtpAccount account;
    account.server = "127.0.0.1";
    account.port = server.port();
    account.authenticate = true;
    account.userId = kUser;
    account.authMethod = 1;
    account.secrets = std::move(secrets);
    return account;
  }
  std::string Log() const {
    std::string all;
    for (const std::string& line : log_.lines()) all += qv::Utf8FromCp932(line) + "\n";
    return all;
  }

  RecordingLogSink log_;
};

TEST(OAuthSasl, InitialResponsesFailureAnswersAndTheChoiceOfMechanism) {
  EXPECT_EQ(OAuthInitialResponse(OAuthMechanism::kXOAuth2, "a@b.c", "mail.example", 993, "T0k"),
            std::string("user=a@b.c\x01" "auth=Bearer T0k\x01\x01"));
  // RFC 7628 3.1: ',' and '=' of the user name escaped in the GS2 header.
  EXPECT_EQ(OAuthInitialResponse(OAuthMechanism::kOAuthBearer, "a,b=c@d", "mail.example", 0x10000 + 587, "T0k"),
            std::string("n,a=a=2Cb=3Dc@d,\x01host=mail.example\x01port=587\x01" "auth=Bearer T0k\x01\x01"));
  EXPECT_EQ(OAuthFailureAnswer(OAuthMechanism::kXOAuth2), "");
  EXPECT_EQ(OAuthFailureAnswer(OAuthMechanism::kOAuthBearer), "AQ==");
  EXPECT_EQ(ChooseOAuthMechanism(true, true), OAuthMechanism::kXOAuth2);
  EXPECT_EQ(ChooseOAuthMechanism(false, true), OAuthMechanism::kOAuthBearer);
  EXPECT_EQ(ChooseOAuthMechanism(false, false), OAuthMechanism::kNone);
  EXPECT_EQ(OAuthChallengeText(Base64Encode("{\"status\":\"400\",\r\n\x01\"x\"}")), "{\"status\":\"400\",\"x\"}");
  EXPECT_EQ(OAuthChallengeText(Base64Encode(std::string(300, 'a'))).size(), 200u);
  for (const char* bad : {"", "a b", "a\x01", "a\x7F", "\xC3\xA9"}) EXPECT_FALSE(UsableInOAuthResponse(bad)) << bad;
  EXPECT_TRUE(UsableInOAuthResponse("ya29.A-b_c~d+e/f="));
}

TEST_F(OAuthLoginTest, Pop3SendsTheTokenByTheOfferedMechanismAndNeverAPassword) {
  // RFC 5034 4: the AUTH line with its CR LF holds at most 255 octets. With this user a token
  // of 144 bytes makes it exactly 255.
  const std::string atLimit(144, 't');
  const std::string pastLimit(145, 't');
  ASSERT_EQ(("AUTH XOAUTH2 " + XOAuth2(atLimit) + "\r\n").size(), Pop3Session::kMaxCommandOctets);
  struct Case {
    const char* name;
    const char* sasl;  // the SASL line of CAPA
    std::string token;
    bool separate;     // the response goes after an empty challenge
    bool opened;
  };
  const Case cases[] = {
      {"XOAUTH2 first", "SASL PLAIN OAUTHBEARER XOAUTH2\r\n", "tok", false, true},
      {"OAUTHBEARER only", "SASL oauthbearer\r\n", "tok", false, true},
      {"at the line limit", "SASL XOAUTH2\r\n", atLimit, false, true},
      {"one past the line limit", "SASL XOAUTH2\r\n", pastLimit, true, true},
      {"no OAuth2 mechanism", "SASL PLAIN LOGIN\r\n", "tok", false, false},
      {"no SASL at all", "USER\r\n", "tok", false, false},
  };
  for (const Case& c : cases) {
    const bool bearer = std::string(c.sasl).find("XOAUTH2") == std::string::npos;
    ScriptedServer server;
    server.Send("+OK ready\r\n").Read().Send(std::string("+OK\r\n") + c.sasl + ".\r\n");
    if (c.separate) server.Read().Send("+ \r\n");
    if (c.opened) server.Read().Send("+OK welcome\r\n");
    server.Read().Send("+OK bye\r\n");
    server.Start();
    auto tokens = std::make_shared<TokenList>(std::vector<std::string>{c.token});
    Pop3Session session(&log_);
    MailboxAccount account = Mailbox(server, tokens);
    account.password = "stored-password";  // never used with a source
    EXPECT_EQ(session.Open(account), c.opened) << c.name;
    session.Quit();
    ASSERT_TRUE(server.Wait()) << c.name;
    const std::string response = bearer ? Bearer(c.token, server.port()) : XOAuth2(c.token);
    const std::string mechanism = bearer ? "OAUTHBEARER" : "XOAUTH2";
    Lines wanted{"CAPA"};
    if (c.separate) {
      wanted.insert(wanted.end(), {"AUTH " + mechanism, response});
    } else if (c.opened) {
      wanted.push_back("AUTH " + mechanism + " " + response);
    }
    wanted.push_back("QUIT");
    EXPECT_EQ(server.Received(), wanted) << c.name;
    EXPECT_EQ(tokens->renewals, 0) << c.name;
    if (!c.opened) {
      EXPECT_NE(Log().find("POP3サーバーがOAuth2の認証方式(XOAUTH2, OAUTHBEARER)を提供していないため"), std::string::npos);
    }
    EXPECT_EQ(Log().find("stored-password"), std::string::npos);
  }
}

TEST_F(OAuthLoginTest, Pop3AnswersAFailureChallengeAndTriesOneFreshToken) {
  struct Case {
    const char* name;
    Lines tokens;        // Get, then each Renew
    int refusals;        // how many AUTH exchanges the server refuses (at most 2)
    bool opened;
  };
  const Case cases[] = {
      {"fresh token accepted", {"old", "fresh"}, 1, true},
      {"fresh token refused too", {"old", "fresh", "third"}, 2, false},
      {"no fresh token", {"old"}, 1, false},
  };
  for (const Case& c : cases) {
    for (bool bearer : {false, true}) {
      ScriptedServer server;
      server.Send("+OK ready\r\n").Read().Send(std::string("+OK\r\nSASL ") + (bearer ? "OAUTHBEARER" : "XOAUTH2") +
                                               "\r\n.\r\n");
      for (int i = 0; i < c.refusals; ++i) {
        // The server repeats the token it was given: the log must not.
        server.Read().Send("+ " + kChallenge + "\r\n").Read().Send("-ERR [AUTH] bad token " + c.tokens[i] + "\r\n");
      }
      if (c.opened) server.Read().Send("+OK welcome\r\n");
      server.Read().Send("+OK bye\r\n");
      server.Start();
      auto tokens = std::make_shared<TokenList>(c.tokens);
      Pop3Session session(&log_);
      EXPECT_EQ(session.Open(Mailbox(server, tokens)), c.opened) << c.name;
      session.Quit();
      ASSERT_TRUE(server.Wait()) << c.name;
      Lines wanted{"CAPA"};
      const int attempts = c.tokens.size() > 1 ? std::min(c.refusals + 1, 2) : 1;
      for (int i = 0; i < attempts; ++i) {
        wanted.push_back(bearer ? "AUTH OAUTHBEARER " + Bearer(c.tokens[i], server.port())
                                : "AUTH XOAUTH2 " + XOAuth2(c.tokens[i]));
        if (i < c.refusals) wanted.push_back(bearer ? "AQ==" : "");
      }
      wanted.push_back("QUIT");
      EXPECT_EQ(server.Received(), wanted) << c.name << " " << bearer;
      EXPECT_EQ(tokens->renewals, 1) << c.name;
      const std::string log = Log();
      EXPECT_NE(log.find("POP3サーバーがOAuth2のトークンを受け付けませんでした"), std::string::npos) << log;
      EXPECT_NE(log.find(R"({"status":"401","schemes":"Bearer"} -ERR [AUTH] bad token ***)"), std::string::npos)
          << log;
      for (const std::string& token : c.tokens) EXPECT_EQ(log.find(token), std::string::npos) << log;
    }
  }
}

TEST_F(OAuthLoginTest, ImapAuthenticatesWithSaslIrWhereOfferedAndRetriesOnceWithAFreshToken) {
  struct Case {
    const char* name;
    const char* capabilities;
    Lines tokens;
    int refusals;  // refused AUTHENTICATE exchanges before an OK (or the end)
    bool opened;
  };
  const Case cases[] = {
      {"SASL-IR XOAUTH2", "IMAP4rev1 SASL-IR AUTH=XOAUTH2 AUTH=OAUTHBEARER", {"tok"}, 0, true},
      {"XOAUTH2 without SASL-IR", "IMAP4rev1 AUTH=XOAUTH2", {"tok"}, 0, true},
      {"OAUTHBEARER only", "IMAP4rev1 SASL-IR AUTH=OAUTHBEARER LOGINDISABLED", {"tok"}, 0, true},
      {"refused, fresh token accepted", "IMAP4rev1 SASL-IR AUTH=XOAUTH2", {"old", "fresh"}, 1, true},
      {"refused twice", "IMAP4rev1 AUTH=OAUTHBEARER", {"old", "fresh", "third"}, 2, false},
      {"no OAuth2 mechanism", "IMAP4rev1 SASL-IR AUTH=PLAIN", {"tok"}, 0, false},
  };
  for (const Case& c : cases) {
    const std::string capabilities = c.capabilities;
    const bool saslIr = capabilities.find("SASL-IR") != std::string::npos;
    const bool none = capabilities.find("AUTH=PLAIN") != std::string::npos;
    const bool bearer = capabilities.find("XOAUTH2") == std::string::npos;
    const std::string mechanism = bearer ? "OAUTHBEARER" : "XOAUTH2";
    ScriptedServer server;
    server.Send("* OK [CAPABILITY " + capabilities + "] ready\r\n");
    Lines wanted;
    int tag = 1;
    for (int i = 0; !none && i <= c.refusals && i < 2; ++i, ++tag) {
      const std::string prefix = "A" + std::to_string(tag);
      const std::string response = bearer ? Bearer(c.tokens[i], server.port()) : XOAuth2(c.tokens[i]);
      if (saslIr) {
        wanted.push_back(prefix + " AUTHENTICATE " + mechanism + " " + response);
        server.Read();
      } else {
        wanted.insert(wanted.end(), {prefix + " AUTHENTICATE " + mechanism, response});
        server.Read().Send("+ \r\n").Read();
      }
      if (i < c.refusals) {
        wanted.push_back(bearer ? "AQ==" : "");
        server.Send("+ " + kChallenge + "\r\n").Read().Send(prefix + " NO [AUTHENTICATIONFAILED] bad " +
                                                           c.tokens[i] + "\r\n");
      } else {
        server.Send(prefix + " OK [CAPABILITY IMAP4rev1 IDLE] logged in\r\n");
      }
    }
    const std::string logout = "A" + std::to_string(tag) + " LOGOUT";
    wanted.push_back(logout);
    server.Read().Send("* BYE\r\n" + logout.substr(0, logout.find(' ')) + " OK\r\n");
    server.Start();
    auto tokens = std::make_shared<TokenList>(c.tokens);
    ImapSession session(&log_);
    MailboxAccount account = Mailbox(server, tokens);
    account.password = "stored-password";
    EXPECT_EQ(session.Open(account), c.opened) << c.name;
    if (c.opened) {
      EXPECT_TRUE(session.HasCapability("IDLE")) << c.name;
      session.Logout();
    }
    ASSERT_TRUE(server.Wait()) << c.name;
    EXPECT_EQ(server.Received(), wanted) << c.name;
    EXPECT_EQ(tokens->renewals, std::min(c.refusals, 1)) << c.name;
    const std::string log = Log();
    if (none) {
      EXPECT_NE(log.find("IMAPサーバーがOAuth2の認証方式(XOAUTH2, OAUTHBEARER)を提供していないため"), std::string::npos);
    }
    if (c.refusals > 0) {
      EXPECT_NE(log.find(R"(を受け付けませんでした ()" + mechanism + R"() ({"status":"401","schemes":"Bearer"} [AUTHENTICATIONFAILED] bad ***))"),
                std::string::npos)
          << log;
    }
    for (const std::string& token : c.tokens) EXPECT_EQ(log.find(token), std::string::npos) << log;
    EXPECT_EQ(log.find("stored-password"), std::string::npos);
  }
}

TEST_F(OAuthLoginTest, SmtpAuthenticatesWithTheTokenAndNeverFallsBackToAPassword) {
  struct Case {
    const char* name;
    const char* auth;  // the AUTH line of the EHLO reply
    Lines tokens;
    int refusals;
    SmtpStatus status;
  };
  const Case cases[] = {
      {"XOAUTH2", "AUTH PLAIN LOGIN XOAUTH2 OAUTHBEARER", {"tok"}, 0, SmtpStatus::kOk},
      {"OAUTHBEARER only", "AUTH=OAUTHBEARER", {"tok"}, 0, SmtpStatus::kOk},
      {"refused, fresh token accepted", "AUTH XOAUTH2", {"old", "fresh"}, 1, SmtpStatus::kOk},
      {"refused twice", "AUTH OAUTHBEARER", {"old", "fresh", "third"}, 2, SmtpStatus::kAuthRefused},
      {"refused, no fresh token", "AUTH XOAUTH2", {"old"}, 1, SmtpStatus::kAuthRefused},
      {"no OAuth2 mechanism", "AUTH PLAIN LOGIN", {"tok"}, 0, SmtpStatus::kAuthRefused},
  };
  for (const Case& c : cases) {
    const std::string auth = c.auth;
    const bool none = auth.find("OAUTH") == std::string::npos;
    const bool bearer = auth.find("XOAUTH2") == std::string::npos;
    ScriptedServer server;
    server.Send("220 ready\r\n").Read().Send("250-hello\r\n250 " + auth + "\r\n");
    Lines wanted{"EHLO 127.0.0.1"};
    const int attempts = none ? 0 : c.tokens.size() > 1 ? std::min(c.refusals + 1, 2) : 1;
    for (int i = 0; i < attempts; ++i) {
      wanted.push_back(std::string("AUTH ") + (bearer ? "OAUTHBEARER " + Bearer(c.tokens[i], server.port())
                                                      : "XOAUTH2 " + XOAuth2(c.tokens[i])));
      if (i < c.refusals) {
        wanted.push_back(bearer ? "AQ==" : "");
        server.Read().Send("334 " + kChallenge + "\r\n").Read().Send("535 5.7.8 bad " + c.tokens[i] + "\r\n");
      } else {
        server.Read().Send("235 ok\r\n");
      }
    }
    if (c.status != SmtpStatus::kOk) {
      wanted.push_back("QUIT");
      server.Read().Send("221 bye\r\n");
    }
    server.Start();
    auto tokens = std::make_shared<TokenList>(c.tokens);
    SmtpAccount account = Submission(server, tokens);
    account.password = "stored-password";
    SmtpSession session(account, &log_);
    ASSERT_TRUE(session.Connect().ok()) << c.name;
    SmtpResult result = session.Hello(false);
    EXPECT_EQ(result.status, c.status) << c.name;
    session.Close();
    ASSERT_TRUE(server.Wait()) << c.name;
    EXPECT_EQ(server.Received(), wanted) << c.name;
    EXPECT_EQ(tokens->purposes.front(), SecretPurpose::kSubmission);
    const std::string log = Log();
    if (none) {
      EXPECT_NE(log.find("SMTPサーバーがOAuth2の認証方式(XOAUTH2, OAUTHBEARER)を提供していないため"), std::string::npos);
    }
    if (c.refusals > 0) {
      EXPECT_NE(log.find(R"({"status":"401","schemes":"Bearer"} 535 5.7.8 bad ***)"), std::string::npos) << log;
    }
    for (const std::string& token : c.tokens) EXPECT_EQ(log.find(token), std::string::npos) << log;
  }
}

TEST_F(OAuthLoginTest, ASecretThatCannotBeHadNeverOpensAConnection) {
  MailSettings mail;
  std::strcpy(mail.Passwd, "stored-password");
  std::strcpy(mail.PassCommand, "/bin/sh -c 'echo leaked-output; exit 7'");
  ScriptedServer server;
  server.Start();
  MailboxAccount account = Mailbox(server, SecretSourceOf(mail));
  account.authMethod = 0;
  EXPECT_FALSE(Pop3Session(&log_).Open(account));
  EXPECT_FALSE(ImapSession(&log_).Open(account));
  EXPECT_EQ(server.Connections(), 0);
  const std::string log = Log();
  EXPECT_NE(log.find("POP3: PassCommandのコマンドが失敗しました (終了コード 7)"), std::string::npos) << log;
  EXPECT_NE(log.find("IMAP: PassCommandのコマンドが失敗しました (終了コード 7)"), std::string::npos) << log;
  EXPECT_EQ(log.find("leaked"), std::string::npos) << log;
}

TEST_F(OAuthLoginTest, APasswordFromTheCommandTakesThePlaceOfTheStoredOne) {
  MailSettings mail;
  std::strcpy(mail.Passwd, "stored-password");
  std::strcpy(mail.SmtpPasswd, "stored-submission");
  std::strcpy(mail.PassCommand, "/bin/echo 'from command'");
  ScriptedServer pop;
  pop.Send("+OK ready\r\n").Read().Send("+OK\r\n").Read().Send("+OK in\r\n").Read().Send("+OK bye\r\n");
  pop.Start();
  Pop3Session session(&log_);
  MailboxAccount account = Mailbox(pop, SecretSourceOf(mail));
  account.authMethod = 0;
  EXPECT_TRUE(session.Open(account));
  session.Quit();
  ASSERT_TRUE(pop.Wait());
  EXPECT_EQ(pop.Received(), (Lines{std::string("USER ") + kUser, "PASS from command", "QUIT"}));

  ScriptedServer smtp;
  smtp.Send("220 ready\r\n").Read().Send("250-hello\r\n250 AUTH PLAIN\r\n").Read().Send("235 ok\r\n");
  smtp.Start();
  SmtpAccount submission = Submission(smtp, SecretSourceOf(mail));
  submission.authMethod = 0;
  SmtpSession smtpSession(submission, &log_);
  ASSERT_TRUE(smtpSession.Connect().ok());
  EXPECT_TRUE(smtpSession.Hello(false).ok());
  smtpSession.Close();
  ASSERT_TRUE(smtp.Wait());
  EXPECT_EQ(smtp.Received(), (Lines{"EHLO 127.0.0.1", "AUTH PLAIN " + Base64Encode(std::string("\0", 1) + kUser +
                                                                                    std::string("\0", 1) +
                                                                                    "from command")}));
}

}  // namespace
