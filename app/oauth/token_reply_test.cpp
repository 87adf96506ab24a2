#include "app/oauth/token_reply.h"

#include <gtest/gtest.h>

#include <string>

#include "app/oauth/pkce.h"

namespace {

std::string Token(size_t size) { return std::string(size, 'T'); }

TEST(TokenAnswerTest, ReadsTokensAndRefusesEveryMalformedAnswer) {
  using Kind = TokenAnswer::Kind;
  struct Case {
    const char* name;
    int status;
    std::string body;
    Kind kind;
  };
  const std::string longest = Token(kMaxTokenBytes);
  const Case cases[] = {
      {"whole answer", 200, R"({"access_token":"at1","token_type":"Bearer","expires_in":3600,"refresh_token":"rt1"})",
       Kind::kTokens},
      {"token type in any case", 200, R"({"access_token":"at1","token_type":"bearer","expires_in":60})", Kind::kTokens},
      {"no expires_in", 200, R"({"access_token":"at1"})", Kind::kTokens},
      {"longest token", 200, R"({"access_token":")" + longest + R"(","expires_in":60})", Kind::kTokens},
      {"token one past the longest", 200, R"({"access_token":")" + longest + R"(T","expires_in":60})", Kind::kInvalid},
      {"refresh token one past the longest", 200,
       R"({"access_token":"a","refresh_token":")" + longest + R"(T","expires_in":60})", Kind::kInvalid},
      {"expires_in a day", 200, R"({"access_token":"a","expires_in":86400})", Kind::kTokens},
      {"expires_in one past a day", 200, R"({"access_token":"a","expires_in":86401})", Kind::kInvalid},
      {"expires_in one second", 200, R"({"access_token":"a","expires_in":1})", Kind::kTokens},
      {"expires_in zero", 200, R"({"access_token":"a","expires_in":0})", Kind::kInvalid},
      {"expires_in negative", 200, R"({"access_token":"a","expires_in":-5})", Kind::kInvalid},
      {"expires_in a fraction", 200, R"({"access_token":"a","expires_in":1.5})", Kind::kInvalid},
      {"expires_in text", 200, R"({"access_token":"a","expires_in":"3600"})", Kind::kInvalid},
      {"expires_in huge", 200, R"({"access_token":"a","expires_in":1e300})", Kind::kInvalid},
      {"token type mac", 200, R"({"access_token":"a","token_type":"mac"})", Kind::kInvalid},
      {"no access token", 200, R"({"token_type":"Bearer","expires_in":60})", Kind::kInvalid},
      {"empty access token", 200, R"({"access_token":""})", Kind::kInvalid},
      {"access token a number", 200, R"({"access_token":12})", Kind::kInvalid},
      {"access token with a space", 200, R"({"access_token":"a b"})", Kind::kInvalid},
      {"access token with a line break", 200, R"({"access_token":"a\nb"})", Kind::kInvalid},
      {"access token beyond ASCII", 200, R"({"access_token":"a\u00e9"})", Kind::kInvalid},
      {"refresh token a list", 200, R"({"access_token":"a","refresh_token":[]})", Kind::kInvalid},
      {"an array", 200, R"([{"access_token":"a"}])", Kind::kInvalid},
      {"a string", 200, R"("access_token")", Kind::kInvalid},
      {"not JSON", 200, "access_token=a", Kind::kInvalid},
      {"empty", 200, "", Kind::kInvalid},
      {"cut short", 200, R"({"access_token":"a")", Kind::kInvalid},
      {"tokens with a failure status", 400, R"({"access_token":"a"})", Kind::kInvalid},
      {"a redirect", 302, "", Kind::kInvalid},
      {"error", 400, R"({"error":"authorization_pending"})", Kind::kError},
      {"error with status 200", 200, R"({"error":"slow_down","error_description":"wait"})", Kind::kError},
      {"error not a string", 400, R"({"error":7})", Kind::kInvalid},
      {"error not a string beside a token", 200, R"({"error":7,"access_token":"a"})", Kind::kInvalid},
      {"error empty", 400, R"({"error":""})", Kind::kInvalid},
  };
  for (const Case& c : cases) {
    TokenAnswer answer = ParseTokenAnswer(c.status, c.body);
    EXPECT_EQ(answer.kind, c.kind) << c.name;
    EXPECT_EQ(answer.why.empty(), c.kind != Kind::kInvalid) << c.name;
    if (c.kind == Kind::kInvalid) {
      EXPECT_EQ(answer.why.find("TTTT"), std::string::npos) << c.name;
    }
  }
  TokenAnswer whole = ParseTokenAnswer(200, cases[0].body);
  EXPECT_EQ(whole.accessToken, "at1");
  EXPECT_EQ(whole.refreshToken, "rt1");
  EXPECT_EQ(whole.expiresIn, 3600);
  EXPECT_EQ(ParseTokenAnswer(200, R"({"access_token":"a"})").expiresIn, kDefaultExpiresInSeconds);
  TokenAnswer error = ParseTokenAnswer(200, R"({"error":"slow_down","error_description":"wait\u0001 a bit"})");
  EXPECT_EQ(error.error, "slow_down");
  EXPECT_EQ(error.description, "wait? a bit");
  EXPECT_EQ(ParseTokenAnswer(400, R"({"error":"x","error_description":")" + Token(500) + "\"}").description.size(),
            200u);
}

TEST(DeviceAnswerTest, ReadsTheCodesAndRefusesMalformedOnes) {
  struct Case {
    const char* name;
    int status;
    std::string body;
    bool ok;
  };
  const std::string fields = R"("device_code":"dc","user_code":"ABCD-1234",)";
  const Case cases[] = {
      {"whole", 200, "{" + fields + R"("verification_uri":"https://p.example/device","expires_in":900,"interval":5})", true},
      {"Google's url name, no interval", 200, "{" + fields + R"("verification_url":"https://p.example/d","expires_in":900})",
       true},
      {"loopback http", 200, "{" + fields + R"("verification_uri":"http://127.0.0.1:9/d","expires_in":900})", true},
      {"plain http elsewhere", 200, "{" + fields + R"("verification_uri":"http://p.example/d","expires_in":900})", false},
      {"no device code", 200, R"({"user_code":"A","verification_uri":"https://p.example/","expires_in":9})", false},
      {"no user code", 200, R"({"device_code":"d","verification_uri":"https://p.example/","expires_in":9})", false},
      {"user code too long", 200,
       R"({"device_code":"d","user_code":")" + Token(65) + R"(","verification_uri":"https://p.example/","expires_in":9})",
       false},
      {"user code the longest", 200,
       R"({"device_code":"d","user_code":")" + Token(64) + R"(","verification_uri":"https://p.example/","expires_in":9})",
       true},
      {"no expires_in", 200, "{" + fields + R"("verification_uri":"https://p.example/"})", false},
      {"interval zero", 200, "{" + fields + R"("verification_uri":"https://p.example/","expires_in":9,"interval":0})",
       false},
      {"interval 600", 200, "{" + fields + R"("verification_uri":"https://p.example/","expires_in":9,"interval":600})",
       true},
      {"interval 601", 200, "{" + fields + R"("verification_uri":"https://p.example/","expires_in":9,"interval":601})",
       false},
      {"error", 400, R"({"error":"invalid_client"})", false},
      {"failure status", 500, "{" + fields + R"("verification_uri":"https://p.example/","expires_in":9})", false},
      {"an array", 200, "[]", false},
  };
  for (const Case& c : cases) {
    DeviceAnswer answer = ParseDeviceAnswer(c.status, c.body);
    EXPECT_EQ(answer.ok, c.ok) << c.name << ": " << answer.why;
    EXPECT_EQ(answer.why.empty(), c.ok) << c.name;
  }
  DeviceAnswer whole = ParseDeviceAnswer(200, cases[0].body);
  EXPECT_EQ(whole.deviceCode, "dc");
  EXPECT_EQ(whole.userCode, "ABCD-1234");
  EXPECT_EQ(whole.verificationUri, "https://p.example/device");
  EXPECT_EQ(whole.expiresIn, 900);
  EXPECT_EQ(whole.interval, 5);
  EXPECT_EQ(ParseDeviceAnswer(200, cases[1].body).interval, 5);
}

TEST(PkceTest, ChallengeIsTheS256OfTheVerifier) {
  // The example pair of RFC 7636, appendix B.
  EXPECT_EQ(CodeChallengeOf("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"), "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
  std::string verifier = MakeCodeVerifier();
  EXPECT_EQ(verifier.size(), 43u);
  EXPECT_EQ(verifier.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos);
  EXPECT_NE(verifier, MakeCodeVerifier());
}

}  // namespace
