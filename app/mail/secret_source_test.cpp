#include "app/mail/secret_source.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "app/oauth/testing/fake_provider.h"
#include "app/oauth/token_file.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

using Args = std::vector<std::string>;

TEST(SplitCommandLine, QuotesAndEscapesAsAShellWithoutExpansions) {
  struct Case {
    const char* line;
    Args arguments;
  };
  const Case cases[] = {
      {"secret-tool lookup  host mail", {"secret-tool", "lookup", "host", "mail"}},
      {"a\tb", {"a", "b"}},
      {"  a  ", {"a"}},
      {"'a b' c", {"a b", "c"}},
      {"'a\\b \"c\"'", {"a\\b \"c\""}},
      {"\"a \\\"b\\\" \\\\ \\$ \\` \\n\"", {"a \"b\" \\ $ ` \\n"}},
      {"a\\ b \\'c", {"a b", "'c"}},
      {"a'b'\"c\"d", {"abcd"}},
      {"'' \"\"", {"", ""}},
      {"$HOME a;b a|b `x` *", {"$HOME", "a;b", "a|b", "`x`", "*"}},
      {"\"line\nbreak\"", {"line\nbreak"}},
  };
  for (const Case& c : cases) {
    Args arguments;
    std::string error;
    EXPECT_TRUE(SplitCommandLine(c.line, &arguments, &error)) << c.line << ": " << error;
    EXPECT_EQ(arguments, c.arguments) << c.line;
  }
  for (const char* broken : {"'open", "\"open", "\"open\\\"", "end\\", "", "  \t ", "a\nb", "a\rb"}) {
    Args arguments;
    std::string error;
    EXPECT_FALSE(SplitCommandLine(broken, &arguments, &error)) << broken;
    EXPECT_FALSE(error.empty()) << broken;
  }
}

// Short time-outs for the commands, restored afterwards.
class SecretCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = qv::GetTimings();
    qv::Timings fast = saved_;
    fast.secretCommandTimeoutMs = 300;
    qv::SetTimings(fast);
  }
  void TearDown() override { qv::SetTimings(saved_); }

  // A command line that runs `script` with /bin/sh (the test's own doing: the program never
  // runs a shell).
  static std::string Sh(const std::string& script) { return "/bin/sh -c '" + script + "'"; }

 private:
  qv::Timings saved_;
};

TEST_F(SecretCommandTest, TheFirstLineIsTheSecretAndFailuresNameOnlyHowTheCommandEnded) {
  const std::string atLimit(kSecretLineLimit, 'a');
  struct Case {
    std::string line;
    bool ok;
    std::string secret;  // when ok
    const char* logged;  // UTF-8, part of the error when not ok
  };
  const Case cases[] = {
      {Sh("echo tok1"), true, "tok1", ""},
      {Sh("printf \"tok2\\r\\nsecond\\n\""), true, "tok2", ""},
      {Sh("printf tok3"), true, "tok3", ""},
      {Sh("printf \" tok 4 \\n\""), true, " tok 4 ", ""},
      {Sh("head -c " + std::to_string(kSecretLineLimit) + " /dev/zero | tr \"\\0\" a"), true, atLimit, ""},
      {Sh("head -c " + std::to_string(kSecretLineLimit) + " /dev/zero | tr \"\\0\" a; printf \"\\r\\n\""), true,
       atLimit, ""},
      {Sh("head -c " + std::to_string(kSecretLineLimit + 1) + " /dev/zero | tr \"\\0\" a"), false, "",
       "1行目が長すぎます"},
      {Sh("head -c 100000 /dev/zero | tr \"\\0\" a"), false, "", "1行目が長すぎます"},
      {Sh("echo leaked-secret; exit 3"), false, "", "PassCommandのコマンドが失敗しました (終了コード 3)"},
      {Sh("true"), false, "", "終了コード 0、出力なし"},
      {Sh("echo; echo second"), false, "", "終了コード 0、出力なし"},
      {Sh("printf \"\\r\\n\""), false, "", "終了コード 0、出力なし"},
      {Sh("echo leaked-secret; kill -9 $$"), false, "", "シグナル 9 で終了"},
      {Sh("echo leaked-secret; exec sleep 5"), false, "", "300 ミリ秒以内に終わらなかったため停止"},
      {"/nonexistent/helper --flag", false, "", "PassCommandのコマンドが失敗しました (起動できません"},
      {"'unterminated", false, "", "PassCommandのコマンドを読めません"},
  };
  for (const Case& c : cases) {
    SecretResult result = RunSecretCommand("PassCommand", c.line);
    EXPECT_EQ(result.ok, c.ok) << c.line << ": " << qv::Utf8FromCp932(result.error);
    if (c.ok) {
      EXPECT_EQ(result.secret, c.secret) << c.line;
      EXPECT_TRUE(result.error.empty());
    } else {
      EXPECT_TRUE(result.secret.empty()) << c.line;
      EXPECT_NE(qv::Utf8FromCp932(result.error).find(c.logged), std::string::npos)
          << c.line << ": " << qv::Utf8FromCp932(result.error);
      EXPECT_EQ(result.error.find("leaked"), std::string::npos) << c.line;
    }
  }
}

// A settings record with the given secrets.
MailSettings Mail(const char* passwd, const char* smtpPasswd, const std::string& passCommand,
                  const std::string& smtpPassCommand, int authMethod = 0) {
  MailSettings mail;
  std::strcpy(mail.Passwd, passwd);
  std::strcpy(mail.SmtpPasswd, smtpPasswd);
  std::strcpy(mail.PassCommand, passCommand.c_str());
  std::strcpy(mail.SmtpPassCommand, smtpPassCommand.c_str());
  mail.AuthMethod = authMethod;
  return mail;
}

TEST_F(SecretCommandTest, ACommandTakesThePlaceOfEveryStoredPasswordAndTheSubmissionFallsBackToIt) {
  const std::string box = "/bin/echo from-pass-command";
  const std::string submit = "/bin/echo from-smtp-pass-command";
  struct Case {
    const char* name;
    MailSettings mail;
    const char* mailbox;     // the mailbox's secret; null: Get fails
    const char* submission;  // the submission's; null: Get fails
  };
  const Case cases[] = {
      {"stored only", Mail("pw", "", "", ""), "pw", "pw"},
      {"stored submission password", Mail("pw", "spw", "", ""), "pw", "spw"},
      {"nothing stored", Mail("", "", "", ""), "", ""},
      {"mailbox command", Mail("pw", "spw", box, ""), "from-pass-command", "from-pass-command"},
      {"submission command", Mail("pw", "spw", "", submit), "pw", "from-smtp-pass-command"},
      {"both commands", Mail("pw", "spw", box, submit), "from-pass-command", "from-smtp-pass-command"},
      {"OAuth2 with a command", Mail("pw", "spw", box, "", 1), "from-pass-command", "from-pass-command"},
      {"OAuth2 with the submission's command only", Mail("pw", "spw", "", submit, 1), nullptr,
       "from-smtp-pass-command"},
      {"OAuth2 without a command", Mail("pw", "spw", "", "", 1), nullptr, nullptr},
  };
  for (const Case& c : cases) {
    std::shared_ptr<SecretSource> source = SecretSourceOf(c.mail);
    for (bool renew : {false, true}) {
      for (auto [purpose, wanted] : {std::pair{SecretPurpose::kMailbox, c.mailbox},
                                     std::pair{SecretPurpose::kSubmission, c.submission}}) {
        SecretResult result = renew ? source->Renew(purpose) : source->Get(purpose);
        EXPECT_EQ(result.ok, wanted != nullptr) << c.name << " " << static_cast<int>(purpose);
        if (wanted) {
          EXPECT_EQ(result.secret, wanted) << c.name << " " << static_cast<int>(purpose);
        }
        if (!wanted) {
          EXPECT_NE(qv::Utf8FromCp932(result.error).find("AuthMethod=1"), std::string::npos) << c.name;
          EXPECT_TRUE(result.secret.empty()) << c.name;
        }
      }
    }
  }
}

TEST_F(SecretCommandTest, RenewRunsTheCommandAgain) {
  char folder[] = "/tmp/qv-secret-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string counter = std::string(folder) + "/count";
  // Prints token-1, token-2, ... one more each run.
  MailSettings mail = Mail("pw", "", Sh("echo x >> " + counter + "; echo token-$(wc -l < " + counter + ")"), "");
  std::shared_ptr<SecretSource> source = SecretSourceOf(mail);
  EXPECT_EQ(source->Get(SecretPurpose::kMailbox).secret, "token-1");
  EXPECT_EQ(source->Renew(SecretPurpose::kMailbox).secret, "token-2");
  EXPECT_EQ(AccountSecret(source.get(), "unused", SecretPurpose::kMailbox, true).secret, "token-3");
  EXPECT_EQ(AccountSecret(nullptr, "given", SecretPurpose::kMailbox, true).secret, "given");
  std::filesystem::remove_all(folder);
}

}  // namespace

namespace {

// With AuthMethod 1, no command and a client id, the token comes from the built-in token
// handling: the stored access token at log-in, a fresh one after a server refused it.
TEST(BuiltInTokenSource, GetGivesTheStoredTokenRenewAFreshOne) {
  qv::test::FakeProvider provider;
  ASSERT_GT(provider.port(), 0);
  std::string folder = qv::MakeWorkFolder("BT");
  ASSERT_FALSE(folder.empty());
  qv::SetSettingsPathOverride(folder + "Quorvex.ini");
  QJsonObject issued = provider.Control("/control/issue", {});
  std::string refresh = issued.value("refresh_token").toString().toStdString();
  std::string access = issued.value("access_token").toString().toStdString();
  ASSERT_TRUE(SaveTokenFile(folder + "Quorvex.tokens", {refresh, access, std::time(nullptr) + 3600}, nullptr));

  MailSettings mail;
  std::strcpy(mail.Passwd, "stored-password");
  mail.AuthMethod = 1;
  mail.OAuthProvider = 2;
  std::strcpy(mail.OAuthClientId, "quorvex-test");
  std::strcpy(mail.OAuthTokenUrl, provider.Url("/token").c_str());
  std::shared_ptr<SecretSource> source = SecretSourceOf(mail);
  for (SecretPurpose purpose : {SecretPurpose::kMailbox, SecretPurpose::kSubmission}) {
    SecretResult got = source->Get(purpose);
    EXPECT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.secret, access);
  }
  SecretResult renewed = source->Renew(SecretPurpose::kMailbox);
  ASSERT_TRUE(renewed.ok) << renewed.error;
  EXPECT_NE(renewed.secret, access);
  EXPECT_TRUE(provider.Active(renewed.secret));
  EXPECT_EQ(source->Get(SecretPurpose::kSubmission).secret, renewed.secret);

  // A revoked grant: the reason, never the stored password.
  provider.Control("/control/revoke", {{"token", "all"}});
  SecretResult refused = source->Renew(SecretPurpose::kSubmission);
  EXPECT_FALSE(refused.ok);
  EXPECT_TRUE(refused.secret.empty());
  EXPECT_NE(refused.error.find("invalid_grant"), std::string::npos) << refused.error;

  // Without a client id there is no built-in source: the log-in is refused, not the password sent.
  mail.OAuthClientId[0] = '\0';
  SecretResult none = SecretSourceOf(mail)->Get(SecretPurpose::kMailbox);
  EXPECT_FALSE(none.ok);
  EXPECT_TRUE(none.secret.empty());
  qv::SetSettingsPathOverride("");
  std::filesystem::remove_all(folder);
}

}  // namespace
