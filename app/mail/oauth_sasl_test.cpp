#include "app/mail/oauth_sasl.h"

#include <gtest/gtest.h>

#include <string>

#include "app/mail/encodings.h"

namespace {

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

}  // namespace
