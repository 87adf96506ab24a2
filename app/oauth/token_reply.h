// The answers of an OAuth2 provider's token and device authorization endpoints (RFC 6749
// section 5, RFC 8628 section 3.2), read with Qt's JSON reader. Every answer is untrusted: it
// must be one JSON object whose fields have the documented types and sane sizes, or it is
// refused with a reason. No token ever appears in a reason.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The longest token (access or refresh token, device code) taken: Microsoft's access tokens
// run to a few kilobytes; anything far beyond is not a token.
inline constexpr size_t kMaxTokenBytes = 16 * 1024;
// The longest lifetime an access token may claim: a day. A longer one would keep a token that
// the provider has long forgotten.
inline constexpr int64_t kMaxExpiresInSeconds = 24 * 3600;
// The lifetime assumed when the provider names none (the field is only recommended).
inline constexpr int64_t kDefaultExpiresInSeconds = 600;

struct TokenAnswer {
  enum class Kind {
    kTokens,   // a new access token (and perhaps a refresh token)
    kError,    // the provider's error answer: `error` and `description`
    kInvalid,  // not a usable answer: `why`
  };
  Kind kind = Kind::kInvalid;
  std::string accessToken;
  std::string refreshToken;  // empty: none came (the old one stays valid)
  int64_t expiresIn = 0;     // seconds
  std::string error;         // the error code (ASCII), e.g. "authorization_pending"
  std::string description;   // the provider's error_description, printable ASCII, cut to 200 bytes
  std::string why;           // our reason for kInvalid, CP932
};

// Reads the token endpoint's answer with HTTP status `status` and body `body`. An answer with an
// "error" field is kError whatever the status; a 200 answer needs a printable-ASCII
// "access_token" of at most kMaxTokenBytes, a "token_type" of "Bearer" (any case) when it has
// one, an integer "expires_in" from 1 to kMaxExpiresInSeconds (kDefaultExpiresInSeconds when
// missing) and, when present, a "refresh_token" like the access token. Anything else is
// kInvalid.
[[nodiscard]] TokenAnswer ParseTokenAnswer(int status, std::string_view body);

struct DeviceAnswer {
  bool ok = false;
  std::string deviceCode;
  std::string userCode;
  std::string verificationUri;          // where the user goes (https, or http on loopback)
  std::string verificationUriComplete;  // the same with the code filled in; may be empty
  int64_t expiresIn = 0;                // seconds the codes live, 1 to a day
  int64_t interval = 5;                 // seconds between polls, 1 to 600; 5 when missing
  std::string why;                      // our reason when not ok, CP932 (or the provider's error)
};

// Reads the device authorization endpoint's answer. Needs status 200, "device_code" (like a
// token), a printable "user_code" of at most 64 bytes, "verification_uri" (or Google's
// "verification_url") that CheckEndpointUrl accepts, an integer "expires_in" from 1 to a day
// and, when present, an integer "interval" from 1 to 600.
[[nodiscard]] DeviceAnswer ParseDeviceAnswer(int status, std::string_view body);
