// The account check: whether the configured mailbox and submission server work, tried without
// fetching, deleting or sending anything. `Quorvex --check-accounts` prints it; the mail
// settings page shows it.
#pragma once

#include <string>
#include <vector>

#include "app/settings/settings.h"

// One line of the check's report, in CP932.
struct AccountCheckLine {
  bool step = false;  // a step with its verdict ("... OK" or "... NG"); else a reason line
  std::string text;
};

// Logs in to the POP3 server of `mail` (security, STLS and certificates as the settings say)
// and counts the waiting messages with STAT, then QUIT; or, with MailProtocol 1, to the IMAP
// server, examines the folder (its message count) and tells whether the server offers IDLE,
// then LOGOUT; connects to the SMTP server and runs the session up to and including
// authentication (EHLO, STARTTLS, AUTH as configured), then QUIT. Each step adds a line with
// its verdict to `report`; the lines the sessions log for a failure (what failed, where, and
// the server's reply: TLS, STLS, STARTTLS, LOGINDISABLED, authentication, connection, folder)
// come after it. No secret appears in the report. Returns 1 when both accounts work, else 0.
// Blocks for at most the socket time-outs of the timings record.
int CheckAccounts(const MailSettings& mail, std::vector<AccountCheckLine>* report);
