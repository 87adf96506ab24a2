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

// Loads the settings (from --ini or the default settings path), prints where the settings file
// is and what the responder would do, then waits for SIGINT or SIGTERM. Returns the exit
// status (0 after a stop signal). Must be called before any other thread is started, because
// it blocks the stop signals for the whole process.
int RunHeadless(const CommandLineOptions& options, FILE* out);
