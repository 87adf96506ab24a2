// The OAuth2 parts of the terminal commands: `Quorvex --oauth2-login` and the token line of
// `--check-accounts`.
#pragma once

#include <cstdio>
#include <string>

#include "app/oauth/oauth_tokens.h"
#include "app/settings/settings.h"
#include "app/shell/command_line.h"

// --oauth2-login: loads the mail settings (from --ini or the default path), runs the device
// log-in (or, with --browser, the browser log-in through `open`) with the provider they name,
// printing what the user must do to `out` and the reasons of a failure to `err` (UTF-8).
// Returns 0 when the tokens were kept, 1 when the log-in failed or the settings do not allow it.
int RunOAuthLogin(const CommandLineOptions& options, FILE* out, FILE* err,
                  const BrowserOpener& open = &OpenWithDesktop);

// Whether an access token can be had for `mail` of the settings file `settingsPath`, as one
// report line (CP932) "OAuth2 ... OK" or "OAuth2 ... NG" followed by the reason; never the
// token. False when it cannot.
[[nodiscard]] bool CheckOAuthToken(const MailSettings& mail, const std::string& settingsPath, std::string* line);
