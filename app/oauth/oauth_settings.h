// Where a provider's OAuth2 endpoints are and what Quorvex asks it for: the presets of the
// providers Quorvex knows, or the endpoints a custom provider names in the settings.
#pragma once

#include <string>

#include "app/settings/settings.h"

enum class OAuthProviderKind { kMicrosoft = 0, kGoogle = 1, kCustom = 2 };

struct OAuthSettings {
  std::string deviceUrl;     // the device authorization endpoint
  std::string tokenUrl;      // the token endpoint
  std::string authorizeUrl;  // the authorization endpoint (the browser log-in)
  std::string scope;         // space-separated; empty: no scope parameter is sent
  std::string clientId;
  std::string clientSecret;  // empty: a public client (no secret is sent)
  std::string tokenFile;     // where the tokens are kept (TokenFilePath of the settings file)
};

// The OAuth2 settings of `mail` for the settings file `settingsPath`. A preset provider
// (OAuthProvider 0 or 1) takes its own endpoints and scopes and ignores the custom keys;
// OAuthProvider 2 takes OAuthDeviceUrl, OAuthTokenUrl, OAuthAuthUrl and OAuthScope. False with
// a reason (CP932, for the log) for an unknown provider number or a missing client id; the
// endpoints themselves are checked where they are used (CheckEndpointUrl).
[[nodiscard]] bool OAuthSettingsFrom(const MailSettings& mail, const std::string& settingsPath,
                                     OAuthSettings* settings, std::string* why);

// Whether the settings of `mail` ask for the built-in token handling: a client id is set.
[[nodiscard]] bool OAuthConfigured(const MailSettings& mail);

// Whether Quorvex may send a client's credentials or a token to `url`: https with a host, or
// plain http to 127.0.0.1 or localhost only (a provider on the same machine). Anything else
// (other schemes, http elsewhere, user names in the address, control bytes, spaces) is
// refused with a reason (CP932) naming `what` (the setting's key).
[[nodiscard]] bool CheckEndpointUrl(const std::string& url, const char* what, std::string* why);
