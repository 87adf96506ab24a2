// Where the mail log-ins get their password or OAuth2 access token: the one place that decides
// between the stored password and a secret command.
//
// The sessions ask a SecretSource at log-in (Get), and once more after a server refused an
// OAuth2 token (Renew), so a source that can fetch a fresh token gets the chance. Every secret
// stays in memory only: no source and no session ever logs it, nor a command's output.
//
// The settings' source (SecretSourceOf):
//   the mailbox     PassCommand when set, else Passwd
//   the submission  SmtpPassCommand when set, else PassCommand, else SmtpPasswd, else Passwd
// (with a command set, no stored password is used). A command line is split into arguments
// like a shell would (SplitCommandLine) but never run through one; it runs through the process
// layer with the time-out of the timings record, and the first line of its standard output
// (without CR LF) is the secret. With AuthMethod 1 (OAuth2) and no command, the token comes from
// the built-in token handling (app/oauth/oauth_tokens.h) when OAuthClientId is set: the stored
// access token, refreshed when it is due and on Renew, from the token file beside the process's
// settings file (qv::SettingsPath()). Without OAuthClientId the settings give no token: the
// source says so at log-in.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings/settings.h"

// Whose secret is asked for.
enum class SecretPurpose {
  kMailbox,     // the POP3 or IMAP log-in
  kSubmission,  // SMTP AUTH
};

struct SecretResult {
  bool ok = false;
  std::string secret;  // the password or token when ok; never logged
  std::string error;   // when not ok: why, as one CP932 log text (never the command's output)
};

class SecretSource {
 public:
  virtual ~SecretSource() = default;
  // The secret for `purpose`. May run an outside program: call it from a worker, not the UI.
  [[nodiscard]] virtual SecretResult Get(SecretPurpose purpose) = 0;
  // A fresh secret after the server refused the one Get gave (an expired or revoked token).
  // A source with nothing fresher than Get answers as Get does.
  [[nodiscard]] virtual SecretResult Renew(SecretPurpose purpose) = 0;
};

// The source the settings `mail` name (see the file comment). Safe to use from several threads
// at once.
[[nodiscard]] std::shared_ptr<SecretSource> SecretSourceOf(const MailSettings& mail);

// The secret of an account whose source is `source` for `purpose` (Renew when `renew`); with no
// source, `password` as it is.
[[nodiscard]] SecretResult AccountSecret(SecretSource* source, const std::string& password, SecretPurpose purpose,
                                         bool renew = false);

// Splits `commandLine` into arguments as a POSIX shell does for a simple command without
// expansions: blanks (space, tab) separate arguments; '...' keeps everything up to the next
// ' as it is; "..." keeps everything up to the next unescaped " with \ escaping only \ " $ `
// and a line break; elsewhere \ keeps the next character as it is. False, with the reason
// (ASCII) in *error, for an unterminated quote, a \ at the end, a line break outside quotes,
// or no argument at all.
[[nodiscard]] bool SplitCommandLine(std::string_view commandLine, std::vector<std::string>* arguments,
                                    std::string* error);

// The longest first output line a secret command may give; a longer one fails.
inline constexpr size_t kSecretLineLimit = 16 * 1024;

// Runs the secret command `commandLine` of the setting `key` ("PassCommand") and takes the first
// line of its output. Fails, with a CP932 log text naming `key` and how the command ended (its
// exit status, the signal, the time-out, why it did not start; never its output), when the
// line cannot be split, the command does not start, ends other than with status 0, runs past
// secretCommandTimeoutMs, prints nothing on its first line, or a first line longer than
// kSecretLineLimit.
[[nodiscard]] SecretResult RunSecretCommand(const char* key, std::string_view commandLine);
