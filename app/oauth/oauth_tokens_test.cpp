#include "app/oauth/oauth_tokens.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <thread>

#include "app/oauth/http_post.h"
#include "app/oauth/testing/fake_provider.h"
#include "app/oauth/token_file.h"
#include "app/settings/activity_log.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

using qv::test::FakeProvider;
using qv::test::FollowingBrowser;

// One provider second is a few milliseconds here, so a poll interval of 5 is 10 ms.
constexpr int64_t kTestSecondMs = 2;

class OAuthTokensTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = qv::GetTimings();
    qv::Timings timings = saved_;
    timings.oauthSecondMs = kTestSecondMs;
    timings.httpTimeoutMs = 20000;
    timings.oauthBrowserWaitMs = 20000;
    qv::SetTimings(timings);
    folder_ = qv::MakeWorkFolder("OT");
    ASSERT_FALSE(folder_.empty());
    ASSERT_GT(provider_.port(), 0) << "tests/oauth_provider.py did not start";
    settings_.deviceUrl = provider_.Url("/device");
    settings_.tokenUrl = provider_.Url("/token");
    settings_.authorizeUrl = provider_.Url("/authorize");
    settings_.scope = "mail";
    settings_.clientId = "quorvex-test";
    settings_.tokenFile = TokenFilePath(folder_ + "Quorvex.ini");
    out_ = open_memstream(&outBytes_, &outSize_);
  }
  void TearDown() override {
    std::fclose(out_);
    free(outBytes_);
    qv::SetTimings(saved_);
    std::filesystem::remove_all(folder_);
  }

  std::string Printed() {
    std::fflush(out_);
    return std::string(outBytes_, outSize_);
  }
  StoredTokens Stored() {
    StoredTokens tokens;
    std::string why;
    EXPECT_EQ(LoadTokenFile(settings_.tokenFile, &tokens, &why), TokenFileStatus::kRead) << why;
    return tokens;
  }
  // Logs in with the device grant the provider approves at once.
  void LogIn() {
    LoginResult login = tokens_.DeviceLogin(settings_, out_);
    ASSERT_TRUE(login.ok) << login.why;
  }

  qv::Timings saved_;
  FakeProvider provider_;
  std::string folder_;
  OAuthSettings settings_;
  RecordingLogSink log_;
  OAuthTokens tokens_{&log_};
  FILE* out_ = nullptr;
  char* outBytes_ = nullptr;
  size_t outSize_ = 0;
};

TEST_F(OAuthTokensTest, DeviceGrantFollowsTheProvidersAnswers) {
  struct Case {
    std::vector<const char*> script;
    bool ok;
    const char* why;  // a part of the reason when not ok
  };
  const Case cases[] = {
      {{"pending", "deny"}, false, "拒否"},
      {{"decline"}, false, "拒否"},
      {{"pending", "expire"}, false, "有効期限"},
      {{"approve"}, true, ""},
      {{"pending", "pending", "slow_down", "pending", "approve"}, true, ""},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(settings_.tokenFile);
    QJsonArray script;
    for (const char* step : c.script) script.append(step);
    provider_.Control("/control/script", {{"device", script}});
    size_t pollsBefore = provider_.Requests("/token").size();
    LoginResult login = tokens_.DeviceLogin(settings_, out_);
    EXPECT_EQ(login.ok, c.ok) << c.script.back() << ": " << login.why;
    EXPECT_NE(qv::Utf8FromCp932(login.why).find(c.why), std::string::npos) << login.why;
    EXPECT_EQ(provider_.Requests("/token").size() - pollsBefore, c.script.size()) << c.script.back();
    EXPECT_EQ(std::filesystem::exists(settings_.tokenFile), c.ok);
  }
  // What the user is told: the address and the code; no token.
  std::string printed = Printed();
  EXPECT_NE(printed.find(provider_.Url("/device-login")), std::string::npos) << printed;
  EXPECT_NE(printed.find("-"), std::string::npos);
  StoredTokens stored = Stored();
  EXPECT_EQ(printed.find(stored.refreshToken), std::string::npos);
  EXPECT_EQ(printed.find(stored.accessToken), std::string::npos);
  for (const std::string& line : log_.lines()) EXPECT_EQ(line.find(stored.accessToken), std::string::npos);
  EXPECT_TRUE(provider_.Active(stored.accessToken));

  // The polls were sent with the device grant and the client id, and after a slow_down the
  // interval grew by five seconds (10 ms to 20 ms here).
  std::vector<QJsonObject> all = provider_.Requests("/token");
  ASSERT_GE(all.size(), 5u);
  std::vector<QJsonObject> polls(all.end() - 5, all.end());  // the last case's
  EXPECT_EQ(polls[0].value("form").toObject().value("grant_type").toString(),
            "urn:ietf:params:oauth:grant-type:device_code");
  EXPECT_EQ(polls[0].value("form").toObject().value("client_id").toString(), "quorvex-test");
  auto gapMs = [&](size_t i) { return (polls[i].value("time").toDouble() - polls[i - 1].value("time").toDouble()) * 1000; };
  EXPECT_GE(gapMs(1), 5 * kTestSecondMs);   // pending -> pending: the interval
  EXPECT_GE(gapMs(3), 10 * kTestSecondMs);  // slow_down -> pending: five seconds more
  EXPECT_GE(gapMs(4), 10 * kTestSecondMs);  // and it stays longer
}

TEST_F(OAuthTokensTest, DeviceGrantEndsWhenTheCodeExpiresUnanswered) {
  // Longer provider seconds here (50 ms): each poll's own HTTP time stays small beside the
  // 250 ms interval, also on a busy machine, so the count below is the deadline's.
  qv::Timings timings = qv::GetTimings();
  timings.oauthSecondMs = 50;
  qv::SetTimings(timings);
  FakeProvider shortLived({"--device-expires-in", "30"});
  settings_.deviceUrl = shortLived.Url("/device");
  settings_.tokenUrl = shortLived.Url("/token");
  shortLived.Control("/control/script", {{"device", QJsonArray{"pending"}}});
  LoginResult login = tokens_.DeviceLogin(settings_, out_);
  EXPECT_FALSE(login.ok);
  EXPECT_NE(qv::Utf8FromCp932(login.why).find("有効期限"), std::string::npos);
  // 30 seconds of 5-second polls: at most 6, and the wait stopped by itself.
  size_t polls = shortLived.Requests("/token").size();
  EXPECT_GE(polls, 4u);
  EXPECT_LE(polls, 6u);
  EXPECT_FALSE(std::filesystem::exists(settings_.tokenFile));
}

TEST_F(OAuthTokensTest, AccessTokenIsReusedThenRefreshedBeforeItExpires) {
  LogIn();
  StoredTokens first = Stored();
  size_t requests = provider_.Requests("/token").size();
  TokenResult token = tokens_.AccessToken(settings_, false);
  ASSERT_TRUE(token.ok) << token.why;
  EXPECT_EQ(token.accessToken, first.accessToken);
  EXPECT_EQ(provider_.Requests("/token").size(), requests);  // nothing asked

  // A token with less than the margin left is refreshed before use; one just past it is not.
  for (int64_t left : {kRefreshMarginSeconds + 5, kRefreshMarginSeconds}) {
    StoredTokens stored = Stored();
    ASSERT_TRUE(SaveTokenFile(settings_.tokenFile, {stored.refreshToken, stored.accessToken, std::time(nullptr) + left},
                              nullptr));
    token = tokens_.AccessToken(settings_, false);
    ASSERT_TRUE(token.ok) << token.why;
    EXPECT_EQ(token.accessToken != stored.accessToken, left <= kRefreshMarginSeconds) << left;
  }
  StoredTokens refreshed = Stored();
  EXPECT_EQ(refreshed.refreshToken, first.refreshToken);  // kept: the provider sent the same
  EXPECT_NEAR(static_cast<double>(refreshed.expiresAt), static_cast<double>(std::time(nullptr) + 3600), 30);
  EXPECT_TRUE(provider_.Active(token.accessToken));
  std::vector<QJsonObject> refreshes = provider_.Requests("/token");
  EXPECT_EQ(refreshes.back().value("form").toObject().value("grant_type").toString(), "refresh_token");

  // After a server rejected it: a new one even though the stored one still looks fresh.
  token = tokens_.AccessToken(settings_, true);
  ASSERT_TRUE(token.ok) << token.why;
  EXPECT_NE(token.accessToken, refreshed.accessToken);
}

TEST_F(OAuthTokensTest, ExpiredTokenRefreshedRevokedOneReported) {
  LogIn();
  StoredTokens stored = Stored();
  // The provider let the token expire, and so did the clock.
  provider_.Control("/control/expire", {{"token", QString::fromStdString(stored.accessToken)}});
  EXPECT_FALSE(provider_.Active(stored.accessToken));
  ASSERT_TRUE(SaveTokenFile(settings_.tokenFile, {stored.refreshToken, stored.accessToken, std::time(nullptr) - 10},
                            nullptr));
  TokenResult token = tokens_.AccessToken(settings_, false);
  ASSERT_TRUE(token.ok) << token.why;
  EXPECT_TRUE(provider_.Active(token.accessToken));

  provider_.Control("/control/revoke", {{"token", "all"}});
  token = tokens_.AccessToken(settings_, true);
  EXPECT_FALSE(token.ok);
  EXPECT_EQ(token.failure, TokenFailure::kRejected);
  EXPECT_NE(qv::Utf8FromCp932(token.why).find("invalid_grant"), std::string::npos) << token.why;
  EXPECT_NE(qv::Utf8FromCp932(token.why).find("--oauth2-login"), std::string::npos);
  ASSERT_FALSE(log_.lines().empty());
  EXPECT_NE(log_.lines().back().find("invalid_grant"), std::string::npos);
  for (const std::string& line : log_.lines()) EXPECT_EQ(line.find(stored.refreshToken), std::string::npos);

  std::filesystem::remove(settings_.tokenFile);
  token = tokens_.AccessToken(settings_, false);
  EXPECT_EQ(token.failure, TokenFailure::kNotLoggedIn);
}

TEST_F(OAuthTokensTest, TokenFileOthersMayReadIsNotUsed) {
  LogIn();
  size_t requests = provider_.Requests("/token").size();
  ASSERT_EQ(chmod(settings_.tokenFile.c_str(), 0644), 0);
  TokenResult token = tokens_.AccessToken(settings_, false);
  EXPECT_FALSE(token.ok);
  EXPECT_EQ(token.failure, TokenFailure::kTokenFile);
  EXPECT_TRUE(token.accessToken.empty());
  EXPECT_EQ(provider_.Requests("/token").size(), requests);
}

TEST_F(OAuthTokensTest, ClientSecretIsSentWhenSet) {
  FakeProvider confidential({"--client-secret", "s3cret"});
  settings_.deviceUrl = confidential.Url("/device");
  settings_.tokenUrl = confidential.Url("/token");
  LoginResult login = tokens_.DeviceLogin(settings_, out_);
  EXPECT_FALSE(login.ok);  // without the secret: invalid_client
  EXPECT_NE(login.why.find("invalid_client"), std::string::npos) << login.why;
  settings_.clientSecret = "s3cret";
  login = tokens_.DeviceLogin(settings_, out_);
  EXPECT_TRUE(login.ok) << login.why;
  EXPECT_TRUE(tokens_.AccessToken(settings_, true).ok);
}

TEST_F(OAuthTokensTest, EndpointsOutsideTheRulesAreNotContacted) {
  settings_.tokenUrl = "http://example.invalid/token";
  LoginResult login = tokens_.DeviceLogin(settings_, out_);
  EXPECT_FALSE(login.ok);
  EXPECT_NE(login.why.find("OAuthTokenUrl"), std::string::npos);
  EXPECT_TRUE(provider_.Requests("/device").empty());
  ASSERT_TRUE(SaveTokenFile(settings_.tokenFile, {"rt-x", "", 0}, nullptr));
  TokenResult token = tokens_.AccessToken(settings_, false);
  EXPECT_EQ(token.failure, TokenFailure::kSettings);
}

TEST_F(OAuthTokensTest, BrowserGrantWithPkceOnALoopbackRedirect) {
  FollowingBrowser browser;
  LoginResult login = tokens_.BrowserLogin(settings_, out_, [&](const std::string& url) { return browser(url); });
  ASSERT_TRUE(login.ok) << login.why;
  browser.thread.join();
  EXPECT_EQ(browser.redirectedTo.rfind("http://127.0.0.1:", 0), 0u) << browser.redirectedTo;
  EXPECT_TRUE(provider_.Active(Stored().accessToken));
  std::vector<QJsonObject> authorize = provider_.Requests("/authorize");
  ASSERT_EQ(authorize.size(), 1u);
  QJsonObject asked = authorize[0].value("form").toObject();
  EXPECT_EQ(asked.value("code_challenge_method").toString(), "S256");
  EXPECT_EQ(asked.value("scope").toString(), "mail");
  EXPECT_EQ(asked.value("state").toString().size(), 43);
  QJsonObject exchange = provider_.Requests("/token").back().value("form").toObject();
  EXPECT_EQ(exchange.value("grant_type").toString(), "authorization_code");
  EXPECT_EQ(exchange.value("redirect_uri").toString(), asked.value("redirect_uri").toString());
  EXPECT_NE(Printed().find(provider_.Url("/authorize?")), std::string::npos);
}

TEST_F(OAuthTokensTest, BrowserGrantRefusesAForeignStateAndADenial) {
  struct Case {
    QJsonObject script;
    const char* why;
  };
  const Case cases[] = {
      {{{"authorize_state", "someone-elses"}}, "state"},
      {{{"authorize_state", QJsonValue::Null}, {"authorize", "deny"}}, "access_denied"},
  };
  for (const Case& c : cases) {
    provider_.Control("/control/script", c.script);
    FollowingBrowser browser;
    LoginResult login = tokens_.BrowserLogin(settings_, out_, [&](const std::string& url) { return browser(url); });
    EXPECT_FALSE(login.ok) << c.why;
    EXPECT_NE(login.why.find(c.why), std::string::npos) << login.why;
    EXPECT_FALSE(std::filesystem::exists(settings_.tokenFile));
  }
  // No code was ever traded in.
  EXPECT_TRUE(provider_.Requests("/token").empty());
}

TEST_F(OAuthTokensTest, StopEndsEitherLogInAndNothingIsSaved) {
  // Unstopped, the device grant would end on its own when the code expires (10,000 provider
  // seconds, 20 s here) and the browser grant when its 20 s wait is over: both with other
  // reasons. Both are far beyond a stop, also on a busy machine.
  FakeProvider provider({"--device-expires-in", "10000"});
  settings_.deviceUrl = provider.Url("/device");
  settings_.tokenUrl = provider.Url("/token");
  settings_.authorizeUrl = provider.Url("/authorize");
  provider.Control("/control/script", {{"device", QJsonArray{"pending"}}});
  for (bool browser : {false, true}) {
    StopFlag stop{false};
    OAuthTokens tokens(&log_, &stop);
    const size_t pollsBefore = provider.Requests("/token").size();
    std::thread user;
    LoginResult login;
    if (browser) {
      // The user cancels once the browser has been opened and never comes back.
      login = tokens.BrowserLogin(settings_, out_, [&](const std::string&) {
        user = std::thread([&stop] { stop = true; });
        return true;
      });
    } else {
      // The user cancels after the first poll.
      user = std::thread([&] {
        while (provider.Requests("/token").size() == pollsBefore) qv::SleepMs(5);
        stop = true;
      });
      login = tokens.DeviceLogin(settings_, out_);
    }
    user.join();
    EXPECT_FALSE(login.ok) << browser;
    EXPECT_NE(qv::Utf8FromCp932(login.why).find("中止"), std::string::npos) << browser << ": " << login.why;
    EXPECT_FALSE(std::filesystem::exists(settings_.tokenFile)) << browser;
  }
  // A stop already set ends the log-in before its first request.
  const size_t requestsBefore = provider.Requests("/device").size();
  StopFlag stopped{true};
  OAuthTokens tokens(&log_, &stopped);
  LoginResult login = tokens.DeviceLogin(settings_, out_);
  EXPECT_NE(qv::Utf8FromCp932(login.why).find("中止"), std::string::npos) << login.why;
  EXPECT_EQ(provider.Requests("/device").size(), requestsBefore);
}

TEST_F(OAuthTokensTest, AnswerSizeCapAtTheLimitAndOnePast) {
  for (size_t size : {kMaxHttpAnswerBytes, kMaxHttpAnswerBytes + 1}) {
    std::string body = R"({"access_token":"at"})";
    body.resize(size, ' ');
    provider_.Control("/control/script", {{"raw", QJsonArray{QJsonObject{{"body", QString::fromStdString(body)}}}}});
    HttpAnswer answer = HttpPostForm(settings_.tokenUrl, {{"grant_type", "refresh_token"}});
    EXPECT_EQ(answer.received, size == kMaxHttpAnswerBytes) << size << ": " << answer.why;
    EXPECT_EQ(answer.body.size(), size == kMaxHttpAnswerBytes ? size : 0u);
  }
}

TEST_F(OAuthTokensTest, RedirectIsNotFollowed) {
  provider_.Control("/control/script",
                    {{"raw", QJsonArray{QJsonObject{{"status", 302},
                                                    {"headers", QJsonObject{{"Location", QString::fromStdString(provider_.Url("/elsewhere"))}}},
                                                    {"body", ""}}}}});
  HttpAnswer answer = HttpPostForm(settings_.tokenUrl, {{"grant_type", "refresh_token"}});
  EXPECT_TRUE(answer.received);
  EXPECT_EQ(answer.status, 302);
  EXPECT_TRUE(provider_.Requests("/elsewhere").empty());
}

}  // namespace
