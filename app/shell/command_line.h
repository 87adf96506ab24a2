// The Quorvex program's command line.
#pragma once

#include <string>
#include <vector>

struct CommandLineOptions {
  bool help = false;      // --help: print the usage and end
  bool version = false;   // --version / -V: print the version and end
  bool listDevices = false;  // --list-devices: print the capture device names and end
  bool window = false;    // --window: open the window
  bool headless = false;  // run without a window (also when nothing was asked for)
  bool headlessImplied = false;  // headless because no option asked for anything: the window
                                 // opens instead when a display is there
  std::string iniPath;    // --ini PATH / --ini=PATH: the settings file to use instead of the default
  bool once = false;      // --once: one mail check now (and its capture-and-reply run), then end
  double timingScale = -1;  // --timing-scale F: every fixed wait multiplied by F (>= 0); -1 = unchanged
  bool checkAccounts = false;  // --check-accounts: try the mail accounts, print the result, end
  bool settings = false;  // --settings: the settings sheet alone, then end
  std::vector<std::string> config;  // --config list | get NAME | set NAME[=VALUE]: the words after --config
  std::vector<std::string> senders;  // --senders list | add ADDRESS | remove ADDRESS: the words after it
  bool reveal = false;    // --reveal (with --config): passwords shown as they are, not as ********
  bool oauth2Login = false;  // --oauth2-login: log in to the OAuth2 provider, keep the tokens, end
  bool browser = false;      // --browser (with --oauth2-login): the browser log-in, not the device code
};

// Parses the arguments after the program name. Returns false with a message in *error for an
// unknown option, a missing or empty PATH, a scale that is not a number of at least 0, a
// --config without list, get NAME or set NAME[=VALUE], a --senders without list, add ADDRESS or
// remove ADDRESS, --settings, --config, --senders, --list-devices or --oauth2-login together with another
// command, --oauth2-login with another command, --reveal without --config, --browser without
// --oauth2-login, or a stray argument.
[[nodiscard]] bool ParseCommandLine(const std::vector<std::string>& arguments, CommandLineOptions* options,
                                    std::string* error);

// The text --help prints.
[[nodiscard]] std::string UsageText();
