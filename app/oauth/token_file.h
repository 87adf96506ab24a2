// The file that keeps a user's OAuth2 tokens between runs: beside the state file, the settings
// file's name with ".tokens" for its extension ("Quorvex.ini" -> "Quorvex.tokens"). It holds
// the refresh token, the current access token and the moment it expires, one "name value"
// line each:
//   refresh_token 0.AAAA...
//   access_token eyJ0...
//   expires_at 1717236000
// The tokens open the user's mailbox, so the file must be the user's alone: it is written
// with mode 0600 (beside it, flushed and renamed over it, so a crash leaves the old or the
// new one), and a file that group or others may read or write, that belongs to someone else,
// or that is not a regular file is refused rather than read. It is untrusted input too:
// unknown lines are ignored, a token of bytes other than printable ASCII or longer than
// kMaxTokenBytes is dropped, a file above 64 KiB is refused.
#pragma once

#include <cstdint>
#include <string>

struct StoredTokens {
  std::string refreshToken;  // empty: none (a log-in is needed)
  std::string accessToken;   // empty: none
  int64_t expiresAt = 0;     // seconds since the epoch when accessToken expires
};

// The token file that belongs to the settings file `settingsPath`.
[[nodiscard]] std::string TokenFilePath(const std::string& settingsPath);

enum class TokenFileStatus {
  kRead,     // read; *tokens holds what it had
  kMissing,  // there is none yet; *tokens is empty
  kRefused,  // not read: *why says why (CP932); *tokens is empty
};

[[nodiscard]] TokenFileStatus LoadTokenFile(const std::string& path, StoredTokens* tokens, std::string* why);
// Replaces the file with `tokens`, mode 0600. False with a reason (CP932) when it cannot, or
// when the existing file belongs to someone else; the old file is then unchanged.
[[nodiscard]] bool SaveTokenFile(const std::string& path, const StoredTokens& tokens, std::string* why);
