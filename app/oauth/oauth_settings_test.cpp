#include "app/oauth/oauth_settings.h"

#include <gtest/gtest.h>

#include <cstring>

#include "app/oauth/http_post.h"
#include "platform/text.h"

namespace {

TEST(EndpointUrlTest, OnlyHttpsOrLoopbackHttpIsContacted) {
  struct Case {
    const char* url;
    bool ok;
  };
  const Case cases[] = {
      {"https://login.microsoftonline.com/common/oauth2/v2.0/token", true},
      {"HTTPS://oauth2.googleapis.com/token", true},
      {"https://idp.example:8443/token?tenant=a", true},
      {"http://127.0.0.1:8080/token", true},
      {"http://localhost/token", true},
      {"http://LOCALHOST:9/token", true},
      {"http://example.com/token", false},
      // Host names that only begin like loopback ones.
      {"http://127.0.0.1.example.com/token", false},
      {"http://localhost.example.com/token", false},
      {"http://localhost@example.com/token", false},
      {"https://user:pw@idp.example/token", false},
      {"http://127.0.0.2/token", false},
      {"ftp://idp.example/token", false},
      {"file:///etc/passwd", false},
      {"idp.example/token", false},
      {"https://", false},
      {"https:///token", false},
      {"https://idp.example:/token", false},
      {"https://idp.example:123456/token", false},
      {"https://idp.example/to ken", false},
      {"https://idp.example/\x01", false},
      // The printable ASCII range, at both its ends: '!' and '~' pass, DEL does not.
      {"https://idp.example/!~", true},
      {"https://idp.example/\x7f", false},
      {"", false},
  };
  std::string empty;
  EXPECT_FALSE(CheckEndpointUrl("", "OAuthTokenUrl", &empty));
  EXPECT_NE(qv::Utf8FromCp932(empty).find("空です"), std::string::npos) << empty;
  for (const Case& c : cases) {
    std::string why;
    EXPECT_EQ(CheckEndpointUrl(c.url, "OAuthTokenUrl", &why), c.ok) << c.url;
    EXPECT_EQ(why.empty(), c.ok) << c.url;
    if (!c.ok) {
      EXPECT_EQ(why.rfind("OAuthTokenUrl", 0), 0u) << c.url;
    }
  }
}

TEST(OAuthSettingsTest, PresetsCustomEndpointsAndRefusals) {
  MailSettings mail;
  EXPECT_EQ(mail.OAuthProvider, 0);  // a fresh install: Microsoft, not configured
  EXPECT_FALSE(OAuthConfigured(mail));
  OAuthSettings settings;
  std::string why;
  EXPECT_FALSE(OAuthSettingsFrom(mail, "/h/Quorvex.ini", &settings, &why));
  EXPECT_FALSE(why.empty());

  std::strcpy(mail.OAuthClientId, "client-1");
  std::strcpy(mail.OAuthTokenUrl, "http://127.0.0.1:1/token");  // ignored by the presets
  ASSERT_TRUE(OAuthSettingsFrom(mail, "/h/Quorvex.ini", &settings, &why)) << why;
  EXPECT_EQ(settings.deviceUrl, "https://login.microsoftonline.com/common/oauth2/v2.0/devicecode");
  EXPECT_EQ(settings.tokenUrl, "https://login.microsoftonline.com/common/oauth2/v2.0/token");
  EXPECT_EQ(settings.authorizeUrl, "https://login.microsoftonline.com/common/oauth2/v2.0/authorize");
  EXPECT_EQ(settings.scope,
            "offline_access https://outlook.office.com/IMAP.AccessAsUser.All "
            "https://outlook.office.com/POP.AccessAsUser.All https://outlook.office.com/SMTP.Send");
  EXPECT_EQ(settings.clientId, "client-1");
  EXPECT_EQ(settings.clientSecret, "");
  EXPECT_EQ(settings.tokenFile, "/h/Quorvex.tokens");

  mail.OAuthProvider = 1;
  std::strcpy(mail.OAuthClientSecret, "s3cret");
  ASSERT_TRUE(OAuthSettingsFrom(mail, "/h/Quorvex.ini", &settings, &why)) << why;
  EXPECT_EQ(settings.deviceUrl, "https://oauth2.googleapis.com/device/code");
  EXPECT_EQ(settings.tokenUrl, "https://oauth2.googleapis.com/token");
  EXPECT_EQ(settings.authorizeUrl, "https://accounts.google.com/o/oauth2/v2/auth");
  EXPECT_EQ(settings.scope, "https://mail.google.com/");
  EXPECT_EQ(settings.clientSecret, "s3cret");

  mail.OAuthProvider = 2;
  std::strcpy(mail.OAuthDeviceUrl, "http://127.0.0.1:1/device");
  std::strcpy(mail.OAuthAuthUrl, "http://127.0.0.1:1/authorize");
  std::strcpy(mail.OAuthScope, "mail");
  ASSERT_TRUE(OAuthSettingsFrom(mail, "/h/Quorvex.ini", &settings, &why)) << why;
  EXPECT_EQ(settings.deviceUrl, "http://127.0.0.1:1/device");
  EXPECT_EQ(settings.tokenUrl, "http://127.0.0.1:1/token");
  EXPECT_EQ(settings.authorizeUrl, "http://127.0.0.1:1/authorize");
  EXPECT_EQ(settings.scope, "mail");

  for (int provider : {-1, 3}) {
    mail.OAuthProvider = provider;
    why.clear();
    EXPECT_FALSE(OAuthSettingsFrom(mail, "/h/Quorvex.ini", &settings, &why)) << provider;
    EXPECT_FALSE(why.empty());
  }
}

TEST(QueryValueTest, DecodesEscapesAndRefusesBrokenOnes) {
  struct Case {
    const char* text;
    bool ok;
    const char* value;
  };
  const Case cases[] = {
      {"a%20b+c", true, "a b c"}, {"%41%2f", true, "A/"}, {"", true, ""},
      {"%", false, ""},           {"%4", false, ""},      {"a%zz", false, ""}, {"%4g", false, ""},
  };
  for (const Case& c : cases) {
    std::string value;
    EXPECT_EQ(DecodeQueryValue(c.text, &value), c.ok) << c.text;
    if (c.ok) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

}  // namespace
