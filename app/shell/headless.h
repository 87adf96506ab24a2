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
// they are appended. SIGINT or SIGTERM makes an orderly exit after the running cycle. With
// --once, one check runs (and its capture-and-reply run when requests were accepted), then the
// program ends. Returns the exit status: 0, or 2 with --once when the check could not log in.
// Must be called before any other thread is started, because it blocks the stop signals for
// the whole process.
int RunHeadless(const CommandLineOptions& options, FILE* out);

// --check-accounts: loads the settings (from --ini or the default path), dials up when the
// settings ask for it, checks the POP3 and SMTP accounts and prints the report to `out`
// (UTF-8), then hangs up. Returns 0 when both accounts work, 1 when either fails.
int RunAccountCheck(const CommandLineOptions& options, FILE* out);
