// The settings commands that run without the main window: --settings, --config and --senders.
#pragma once

#include "app/shell/command_line.h"

// Quorvex --settings: starts the capture core and runs the sheet alone for the settings file
// (--ini or the default), then stops the capture core again. Exit status 0 after OK or
// Cancel, 1 when there is no screen or the library cannot be loaded.
int RunSettingsCommand(const CommandLineOptions& options, int argc, char** argv);

#include <cstdio>

// Quorvex --config: see app/settings/config_command.h; the settings file is --ini or the
// default, and a DeviceName is checked against the devices there are now. Returns the exit
// status.
int RunConfigOption(const CommandLineOptions& options);

// Quorvex --senders: see app/settings/senders_command.h; the settings file is --ini or the
// default. Returns the exit status.
int RunSendersOption(const CommandLineOptions& options);

// Quorvex --list-devices: the names of ListDeviceNames (device_selection.h), one a line in
// UTF-8 on `out`. Status 0, or 1 with a line on `err` when there is none.
int RunListDevices(FILE* out, FILE* err);
