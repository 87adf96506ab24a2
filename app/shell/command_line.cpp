#include "app/shell/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

// Reads a whole argument as a finite number of at least 0.
bool ParseScale(const std::string& text, double* scale) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < 0) return false;
  *scale = value;
  return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& arguments, CommandLineOptions* options, std::string* error) {
  *options = CommandLineOptions();
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      options->help = true;
    } else if (argument == "--version" || argument == "-V") {
      options->version = true;
    } else if (argument == "--list-devices") {
      options->listDevices = true;
    } else if (argument == "--headless") {
      options->headless = true;
    } else if (argument == "--once") {
      options->once = true;
    } else if (argument == "--check-accounts") {
      options->checkAccounts = true;
    } else if (argument == "--window") {
      options->window = true;
    } else if (argument == "--settings") {
      options->settings = true;
    } else if (argument == "--config") {
      const std::string verb = i + 1 < arguments.size() ? arguments[i + 1] : "";
      const size_t words = verb == "list" ? 1 : (verb == "get" || verb == "set") ? 2 : 0;
      if (words == 0 || i + words >= arguments.size()) {
        *error = "--config needs list, get SECTION.KEY or set SECTION.KEY=VALUE";
        return false;
      }
      options->config.assign(arguments.begin() + static_cast<long>(i) + 1,
                             arguments.begin() + static_cast<long>(i + words) + 1);
      i += words;
    } else if (argument == "--timing-scale" || argument.rfind("--timing-scale=", 0) == 0) {
      std::string value;
      if (argument == "--timing-scale") {
        if (i + 1 < arguments.size()) value = arguments[++i];
      } else {
        value = argument.substr(15);
      }
      if (!ParseScale(value, &options->timingScale)) {
        *error = "--timing-scale needs a number of at least 0";
        return false;
      }
    } else if (argument == "--ini" || argument.rfind("--ini=", 0) == 0) {
      if (argument == "--ini") {
        if (i + 1 == arguments.size()) {
          *error = "--ini needs the path of a settings file";
          return false;
        }
        options->iniPath = arguments[++i];
      } else {
        options->iniPath = argument.substr(6);
      }
      if (options->iniPath.empty()) {
        *error = "--ini needs the path of a settings file";
        return false;
      }
    } else {
      *error = "unknown argument: " + argument;
      return false;
    }
  }
  if (options->window && (options->headless || options->once || options->checkAccounts)) {
    *error = "--window cannot be combined with --headless, --once or --check-accounts";
    return false;
  }
  const int commands = options->headless + options->once + options->checkAccounts + options->window +
                       options->settings + !options->config.empty() + options->listDevices;
  if ((options->settings || !options->config.empty() || options->listDevices) && commands > 1) {
    *error = "--settings, --config and --list-devices run alone";
    return false;
  }
  if (!options->headless && !options->help && !options->version && commands == 0) {
    options->headless = true;
    options->headlessImplied = true;
  }
  return true;
}

std::string UsageText() {
  return "usage: Quorvex [--window | --headless | --once | --check-accounts] [--ini PATH] [--timing-scale F]\n"
         "       Quorvex --settings [--ini PATH]\n"
         "       Quorvex --config list | get SECTION.KEY | set SECTION.KEY=VALUE [--ini PATH]\n"
         "       Quorvex --list-devices | --version | --help\n"
         "\n"
         "Watches a POP3 or IMAP mailbox and answers every accepted request mail with a fresh\n"
         "camera picture, converted for the sender's phone.\n"
         "\n"
         "  --window            open the window (the default when a display is there)\n"
         "  --headless          run without a window: check the mailbox every MailTimer\n"
         "                      minutes (the first check at once; with IMAP IDLE also as\n"
         "                      soon as mail arrives) and answer the requests;\n"
         "                      log lines go to standard output; Ctrl+C or SIGTERM ends it\n"
         "                      after the running cycle\n"
         "  --once              one mail check now and, when requests were accepted, one\n"
         "                      capture-and-reply run, then end (see the exit status)\n"
         "  --check-accounts    log in to the POP3 or IMAP server and count the mails (IMAP:\n"
         "                      and tell whether it offers IDLE), open the SMTP session up to\n"
         "                      authentication, without fetching, deleting or sending\n"
         "                      anything; one line per step; status 0 when both work\n"
         "  --ini PATH          use the settings file PATH instead of Quorvex.ini beside the\n"
         "                      program\n"
         "  --timing-scale F    multiply every fixed wait (polls, pauses, time-outs) by F;\n"
         "                      0 for tests (socket time-outs keep one second)\n"
         "  --settings          open the settings sheet alone, without the main window\n"
         "  --config list       print every setting as SECTION.KEY=VALUE\n"
         "  --config get SECTION.KEY\n"
         "                      print one setting\n"
         "  --config set SECTION.KEY=VALUE\n"
         "                      change one setting, checked as the settings sheet checks it\n"
         "  --list-devices      print the capture devices by the names DeviceName takes, one\n"
         "                      a line (the sibling camera program's entry too, when usable)\n"
         "  -V, --version       print the version\n"
         "  -h, --help          show this text\n"
         "\n"
         "Without options Quorvex opens its window when $DISPLAY or $WAYLAND_DISPLAY names a\n"
         "display, else it runs as with --headless, where message boxes go to standard error.\n"
         "Environment: QUORVEX_TEST_DEVICES (synthetic cameras), QUORVEX_TEST_FRAME (their\n"
         "picture), QUORVEX_REGISTRY (the registry file), QUORVEX_NMCLI (the nmcli program).\n"
         "\n"
         "Exit status:\n"
         "  0  done; --once: every accepted request was answered; --check-accounts: both\n"
         "     accounts work\n"
         "  1  a wrong command line; no screen for --window or --settings; no private work\n"
         "     folder; --once: a step failed (dial-up, capture, a send); --check-accounts: an\n"
         "     account failed; --config: the settings file could not be written;\n"
         "     --list-devices: no capture device\n"
         "  2  --once: the mail settings are incomplete, or the mailbox refused the log-in or\n"
         "     could not be reached; --config: an unknown key or a value it cannot take (nothing\n"
         "     is written)\n"
         "See Quorvex(1) for the settings keys and files.\n";
}
