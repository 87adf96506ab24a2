// The built-in OAuth2 token handling: the log-ins that give Quorvex a refresh token (the
// device authorization grant, RFC 8628, and the authorization code grant with PKCE on a
// loopback redirect, RFC 7636 and RFC 8252), and the access token a mail log-in asks for,
// refreshed before it expires. Tokens live in the token file (token_file.h); the provider is
// reached through http_post.h; its answers are read by token_reply.h.
//
// No token, code or client secret ever appears in a log line or on the terminal.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

#include "app/oauth/login_stop.h"
#include "app/oauth/oauth_settings.h"
#include "app/oauth/token_reply.h"

class LogSink;

// An access token is refreshed when it has less than this left: a mail log-in must not start
// with a token that expires on the way.
inline constexpr int64_t kRefreshMarginSeconds = 60;

enum class TokenFailure {
  kNone,
  kNotLoggedIn,  // no refresh token stored: `Quorvex --oauth2-login` is needed
  kRejected,     // the provider refused the refresh token (revoked or expired): log in again
  kProvider,     // the provider could not be reached or answered nonsense
  kTokenFile,    // the token file was refused or cannot be written
  kSettings,     // an endpoint of the settings is refused
};

struct TokenResult {
  bool ok = false;
  std::string accessToken;  // when ok
  TokenFailure failure = TokenFailure::kNone;
  std::string why;          // when not ok: the reason (CP932), also logged
};

struct LoginResult {
  bool ok = false;
  std::string why;  // when not ok (CP932)
};

// Opens `url` in the user's browser; false when no browser could be started.
using BrowserOpener = std::function<bool(const std::string& url)>;
// The desktop's handler: `xdg-open URL` through the process layer.
[[nodiscard]] bool OpenWithDesktop(const std::string& url);

class OAuthTokens {
 public:
  // Log lines (category LOG_COMM) go to `log` when it is not null. A log-in ends early, as
  // stopped, when `stop` is set (login_stop.h; null: only the program's abort stops it).
  explicit OAuthTokens(LogSink* log = nullptr, const StopFlag* stop = nullptr) : log_(log), stop_(stop) {}

  // An access token for a mail log-in: the stored one while it has more than
  // kRefreshMarginSeconds left, else (and always with `forceRefresh`, after a server rejected
  // the token) a new one from the refresh token, saved to the token file at once. Safe to call
  // from several threads; one refresh runs at a time. Blocks at most for one HTTP request.
  [[nodiscard]] TokenResult AccessToken(const OAuthSettings& settings, bool forceRefresh);

  // The device authorization grant: asks the device endpoint for a code, prints the address
  // and the code to `out` (UTF-8), and polls the token endpoint at the provider's interval
  // (five seconds more after each slow_down) until the user agrees, refuses, or the code
  // expires. Seconds are the timings record's oauthSecondMs. The tokens are saved.
  [[nodiscard]] LoginResult DeviceLogin(const OAuthSettings& settings, FILE* out);

  // The authorization code grant: listens on 127.0.0.1 on a free port, prints the address of
  // the provider's log-in page to `out` and opens it with `open`, waits (oauthBrowserWaitMs)
  // for the browser to come back with a code and the same state, and trades the code and the
  // PKCE verifier for tokens, which are saved.
  [[nodiscard]] LoginResult BrowserLogin(const OAuthSettings& settings, FILE* out, const BrowserOpener& open);

 private:
  void Log(const std::string& message) const;
  // Saves the tokens of a successful answer (keeping `previousRefresh` when it has none).
  [[nodiscard]] bool Keep(const OAuthSettings& settings, const TokenAnswer& answer,
                          const std::string& previousRefresh, std::string* why);

  LogSink* log_;
  const StopFlag* stop_;
  std::mutex mutex_;
};
