// The settings sheet of the dialog library, libQXDVDlg.so beside the program, and the
// commands that run without the main window: --settings and --config.
#pragma once

#include "app/shell/command_line.h"
#include "dialogs/qxdvdlg.h"

// Loads the dialog library (once per process) and runs its sheet with `info`; `parent` may be
// null. Returns QDOpenDialog's result (1 OK, 2 Cancel), or 0 when the library or its entry
// cannot be loaded (a line on standard error says why).
int OpenSettingsDialog(QDOPENDIALOGINFO* info, QWidget* parent);

// Quorvex --settings: starts the capture core and runs the sheet alone for the settings file
// (--ini or the default), then stops the capture core again. Exit status 0 after OK or
// Cancel, 1 when there is no screen or the library cannot be loaded.
int RunSettingsCommand(const CommandLineOptions& options, int argc, char** argv);

// Quorvex --config: see app/settings/config_command.h; the settings file is --ini or the
// default. Returns the exit status.
int RunConfigOption(const CommandLineOptions& options);
