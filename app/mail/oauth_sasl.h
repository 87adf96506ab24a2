// The SASL mechanisms that carry an OAuth2 access token to a mail server: XOAUTH2 (the form
// Microsoft and Google define) and OAUTHBEARER (RFC 7628). The sessions choose one from what
// the server offers, send its initial response, and answer a failure challenge as the
// mechanism requires before the server's final refusal.
#pragma once

#include <string>
#include <string_view>

enum class OAuthMechanism {
  kNone,         // the server offers neither
  kXOAuth2,
  kOAuthBearer,
};

// XOAUTH2 when offered, else OAUTHBEARER when offered, else kNone.
[[nodiscard]] OAuthMechanism ChooseOAuthMechanism(bool xoauth2Offered, bool oauthBearerOffered);

// The mechanism's name on the wire ("XOAUTH2", "OAUTHBEARER"); empty for kNone.
[[nodiscard]] const char* OAuthMechanismName(OAuthMechanism mechanism);

// The initial response, before base64:
//   XOAUTH2      "user=" user ^A "auth=Bearer " token ^A ^A
//   OAUTHBEARER  "n,a=" user ",^Ahost=" host "^Aport=" port "^Aauth=Bearer " token "^A^A"
//                (the user name with ',' as "=2C" and '=' as "=3D", RFC 7628 3.1 and RFC 5801)
// where ^A is the byte 0x01.
[[nodiscard]] std::string OAuthInitialResponse(OAuthMechanism mechanism, std::string_view user,
                                               std::string_view host, int port, std::string_view token);

// What the client sends (base64, without CR LF) in answer to the server's failure challenge:
// XOAUTH2 an empty line, OAUTHBEARER the single byte 0x01 ("AQ==", RFC 7628 3.2.3).
[[nodiscard]] std::string OAuthFailureAnswer(OAuthMechanism mechanism);

// The server's failure challenge (base64 of a JSON text with "status", "schemes", "scope") fit
// for the log: decoded, printable ASCII only, cut to 200 bytes. Untrusted input.
[[nodiscard]] std::string OAuthChallengeText(std::string_view base64);

// Whether `value` can go into the initial response: not empty, and no byte below 0x21 or
// above 0x7E (a token is printable ASCII without blanks; a 0x01 would end a field early).
[[nodiscard]] bool UsableInOAuthResponse(std::string_view value);
