// Running Quorvex without a window.
#pragma once

#include <cstdio>
#include <string>

#include "app/settings/settings.h"
#include "app/shell/command_line.h"

// Lines (UTF-8) that tell what the responder would do with `settings`: capture device, mail
// servers, connection, check interval, filters, reply pictures per carrier class, converter
// and log files. Texts of the settings file are CP932 and are converted for the terminal.
[[nodiscard]] std::string DescribeSettings(const AllSettings& settings);

// Runs the responder without a window: loads the settings (from --ini or the default settings
// path) and the address list, prints where the settings file is and what the responder will
// do, starts the capture core and the configured device, starts both workers with the patrol
// on (the first check at once) and runs the owner's timer; log lines are printed to `out` as
// they are appended. SIGINT or SIGTERM makes an orderly exit after the running cycle (replies
// of mails already deleted are still sent); a second one aborts the running cycle's waits and
// exits with clean-up. SIGHUP reads the settings and the address list again. With --once, one
// check runs (and its capture-and-reply run when requests were accepted), then the program
// ends. Returns the exit status: 1 when the private work folder cannot be made; with --once 0
// when every accepted request was answered, 1 when a step failed (dial-up, capture, a send)
// or accepted mails were kept on the server (no camera started), 2 when the mailbox could not
// be logged in to or the mail settings are incomplete; 0 otherwise.
// Must be called before any other thread is started, because it blocks the stop signals for
// the whole process.
int RunHeadless(const CommandLineOptions& options, FILE* out);

// The exit status of --once: 2 when the mailbox could not be logged in to; 1 when a step of the
// responder failed (`failures`), a reply could not be sent (`failedReplies`) or accepted mails
// were kept on the server for a later check (`heldRequests`); else 0.
[[nodiscard]] int OnceStatus(bool loginFailed, int failures, int failedReplies, int heldRequests);

// --check-accounts: loads the settings (from --ini or the default path), dials up when the
// settings ask for it, checks the mailbox (POP3 or IMAP) and SMTP accounts and prints the
// report to `out` (UTF-8), then hangs up. With OAuthClientId set, a first line tells whether an
// OAuth2 access token can be had (refreshing it when due). Returns 0 when both accounts work
// (and the token can be had), 1 when either fails.
int RunAccountCheck(const CommandLineOptions& options, FILE* out);
