#include "app/mail/oauth_sasl.h"

#include "app/mail/encodings.h"
#include "app/mail/session_result.h"

OAuthMechanism ChooseOAuthMechanism(bool xoauth2Offered, bool oauthBearerOffered) {
  if (xoauth2Offered) return OAuthMechanism::kXOAuth2;
  return oauthBearerOffered ? OAuthMechanism::kOAuthBearer : OAuthMechanism::kNone;
}

const char* OAuthMechanismName(OAuthMechanism mechanism) {
  switch (mechanism) {
    case OAuthMechanism::kXOAuth2:
      return "XOAUTH2";
    case OAuthMechanism::kOAuthBearer:
      return "OAUTHBEARER";
    case OAuthMechanism::kNone:
      break;
  }
  return "";
}

std::string OAuthInitialResponse(OAuthMechanism mechanism, std::string_view user, std::string_view host, int port,
                                 std::string_view token) {
  const std::string bearer = "auth=Bearer " + std::string(token) + "\x01\x01";
  if (mechanism == OAuthMechanism::kXOAuth2) return "user=" + std::string(user) + "\x01" + bearer;
  // The GS2 header names the user as a saslname: ',' and '=' escaped.
  std::string name;
  for (char c : user) {
    if (c == ',') {
      name += "=2C";
    } else if (c == '=') {
      name += "=3D";
    } else {
      name += c;
    }
  }
  return "n,a=" + name + ",\x01host=" + std::string(host) + "\x01port=" + std::to_string(port & 0xFFFF) + "\x01" +
         bearer;
}

std::string OAuthFailureAnswer(OAuthMechanism mechanism) {
  return mechanism == OAuthMechanism::kOAuthBearer ? Base64Encode("\x01") : std::string();
}

std::string OAuthChallengeText(std::string_view base64) {
  // The decoder reads at most what the log keeps: a longer challenge is cut anyway.
  return ServerReplyText(Base64Decode(base64.substr(0, 4096)));
}

bool UsableInOAuthResponse(std::string_view value) {
  if (value.empty()) return false;
  for (unsigned char c : value) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}
