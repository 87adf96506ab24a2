#include "app/shell/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <initializer_list>

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

// The words of a command that follows arguments[*at]: its verb alone (`alone`) or a verb of
// `withWord` and the one word after it. Moves *at to the last word taken; false when the words
// are not there.
bool TakeCommandWords(const std::vector<std::string>& arguments, size_t* at, const std::string& alone,
                      std::initializer_list<const char*> withWord, std::vector<std::string>* words) {
  const std::string verb = *at + 1 < arguments.size() ? arguments[*at + 1] : "";
  size_t count = verb == alone ? 1 : 0;
  for (const char* candidate : withWord) {
    if (verb == candidate) count = 2;
  }
  if (count == 0 || *at + count >= arguments.size()) return false;
  words->assign(arguments.begin() + static_cast<long>(*at) + 1, arguments.begin() + static_cast<long>(*at + count) + 1);
  *at += count;
  return true;
}

// The options that only switch something on.
struct SwitchOption {
  const char* name;
  const char* shortName;  // "" when there is none
  bool CommandLineOptions::*member;
};
constexpr SwitchOption kSwitches[] = {
    {"--help", "-h", &CommandLineOptions::help},
    {"--version", "-V", &CommandLineOptions::version},
    {"--list-devices", "", &CommandLineOptions::listDevices},
    {"--headless", "", &CommandLineOptions::headless},
    {"--once", "", &CommandLineOptions::once},
    {"--check-accounts", "", &CommandLineOptions::checkAccounts},
    {"--window", "", &CommandLineOptions::window},
    {"--settings", "", &CommandLineOptions::settings},
    {"--reveal", "", &CommandLineOptions::reveal},
    {"--oauth2-login", "", &CommandLineOptions::oauth2Login},
    {"--browser", "", &CommandLineOptions::browser},
};

bool TakeSwitch(const std::string& argument, CommandLineOptions* options) {
  for (const SwitchOption& option : kSwitches) {
    if (argument == option.name || (option.shortName[0] != '\0' && argument == option.shortName)) {
      options->*option.member = true;
      return true;
    }
  }
  return false;
}

// The value of an option `name` given as "NAME VALUE" or "NAME=VALUE", with *at moved past
// it; false when arguments[*at] is another option. `*missing` tells a NAME without a value.
bool TakeValue(const std::vector<std::string>& arguments, size_t* at, const std::string& name, std::string* value,
               bool* missing) {
  const std::string& argument = arguments[*at];
  *missing = false;
  if (argument.rfind(name + "=", 0) == 0) {
    *value = argument.substr(name.size() + 1);
    return true;
  }
  if (argument != name) return false;
  *missing = *at + 1 == arguments.size();
  *value = *missing ? "" : arguments[++*at];
  return true;
}

// Takes the option at arguments[*at] (with its words or value); false with *error when it is
// unknown or incomplete.
bool TakeOption(const std::vector<std::string>& arguments, size_t* at, CommandLineOptions* options,
                std::string* error) {
  const std::string& argument = arguments[*at];
  if (TakeSwitch(argument, options)) return true;
  if (argument == "--config") {
    if (TakeCommandWords(arguments, at, "list", {"get", "set"}, &options->config)) return true;
    *error = "--config needs list, get SECTION.KEY or set SECTION.KEY[=VALUE]";
    return false;
  }
  if (argument == "--senders") {
    if (TakeCommandWords(arguments, at, "list", {"add", "remove"}, &options->senders)) return true;
    *error = "--senders needs list, add ADDRESS or remove ADDRESS";
    return false;
  }
  std::string value;
  bool missing = false;
  if (TakeValue(arguments, at, "--timing-scale", &value, &missing)) {
    if (ParseScale(value, &options->timingScale)) return true;
    *error = "--timing-scale needs a number of at least 0";
    return false;
  }
  if (TakeValue(arguments, at, "--ini", &options->iniPath, &missing)) {
    if (!missing && !options->iniPath.empty()) return true;
    *error = "--ini needs the path of a settings file";
    return false;
  }
  *error = "unknown argument: " + argument;
  return false;
}

// Refuses commands that cannot go together (false with *error for the first one found), and
// makes a command line that asks for nothing run without a window.
bool CheckCommands(CommandLineOptions* options, std::string* error) {
  if (options->window && (options->headless || options->once || options->checkAccounts)) {
    *error = "--window cannot be combined with --headless, --once or --check-accounts";
    return false;
  }
  const int commands = options->headless + options->once + options->checkAccounts + options->window +
                       options->settings + !options->config.empty() + !options->senders.empty() +
                       options->listDevices + options->oauth2Login;
  if ((options->settings || !options->config.empty() || !options->senders.empty() || options->listDevices ||
       options->oauth2Login) &&
      commands > 1) {
    *error = "--settings, --config, --senders, --list-devices and --oauth2-login run alone";
    return false;
  }
  if (options->browser && !options->oauth2Login) {
    *error = "--browser goes with --oauth2-login";
    return false;
  }
  if (options->reveal && options->config.empty()) {
    *error = "--reveal goes with --config get or --config list";
    return false;
  }
  if (!options->headless && !options->help && !options->version && commands == 0) {
    options->headless = true;
    options->headlessImplied = true;
  }
  return true;
}

}  // namespace

bool ParseCommandLine(const std::vector<std::string>& arguments, CommandLineOptions* options, std::string* error) {
  *options = CommandLineOptions();
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (!TakeOption(arguments, &i, options, error)) return false;
  }
  return CheckCommands(options, error);
}

std::string UsageText() {
  return "usage: Quorvex [--window | --headless | --once | --check-accounts] [--ini PATH] [--timing-scale F]\n"
         "       Quorvex --settings [--ini PATH]\n"
         "       Quorvex --config list | get SECTION.KEY | set SECTION.KEY[=VALUE] [--reveal] [--ini PATH]\n"
         "       Quorvex --senders list | add ADDRESS | remove ADDRESS [--ini PATH]\n"
         "       Quorvex --oauth2-login [--browser] [--ini PATH] [--timing-scale F]\n"
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
         "                      anything; one line per step; status 0 when both work; with\n"
         "                      OAuthClientId set, first whether an OAuth2 access token can\n"
         "                      be had (the token is not shown)\n"
         "  --ini PATH          use the settings file PATH instead of Quorvex.ini beside the\n"
         "                      program\n"
         "  --timing-scale F    multiply every fixed wait (polls, pauses, time-outs) by F;\n"
         "                      0 for tests (socket time-outs keep one second)\n"
         "  --settings          open the settings sheet alone, without the main window\n"
         "  --config list       print every setting as SECTION.KEY=VALUE (passwords as\n"
         "                      ********)\n"
         "  --config get SECTION.KEY\n"
         "                      print one setting (a password as ********)\n"
         "  --reveal            with --config get or list: print passwords as they are\n"
         "  --config set SECTION.KEY=VALUE\n"
         "                      change one setting, checked as the settings sheet checks it;\n"
         "                      status 2 when it is refused\n"
         "  --config set SECTION.KEY\n"
         "                      the same with the value read from standard input (one line;\n"
         "                      not shown on a terminal): keeps passwords out of the process\n"
         "                      list and the shell history\n"
         "  --senders list      print the sender address list (MailList.dat beside the\n"
         "                      settings file); a new settings file answers only the\n"
         "                      senders listed there\n"
         "  --senders add ADDRESS\n"
         "                      add a sender (name@domain; * alone for any name or domain),\n"
         "                      checked as the settings sheet checks it; status 2 when it\n"
         "                      is refused or already listed\n"
         "  --senders remove ADDRESS\n"
         "                      remove a sender; status 2 when it is not listed\n"
         "  --oauth2-login      log in to the OAuth2 provider of the settings (OAuthProvider,\n"
         "                      OAuthClientId) with a device code: prints an address and a\n"
         "                      code to enter there from any browser, waits until the log-in\n"
         "                      is done, and keeps the tokens in Quorvex.tokens beside the\n"
         "                      settings file (readable by the user only)\n"
         "  --browser           with --oauth2-login: log in through this machine's browser\n"
         "                      instead (it comes back to 127.0.0.1); Google's mail scope\n"
         "                      needs this one\n"
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
         "     folder; --once: a step failed (dial-up, capture, a send) or the requests wait\n"
         "     on the server for a camera; --check-accounts: an\n"
         "     account failed; --config: the settings file could not be written;\n"
         "     --list-devices: no capture device; --oauth2-login: the log-in failed\n"
         "  2  --once: the mail settings are incomplete, or the mailbox refused the log-in or\n"
         "     could not be reached; --config: an unknown key or a value it cannot take (nothing\n"
         "     is written); --senders: an address refused, already listed, or (remove) not\n"
         "     listed (nothing is written)\n"
         "See Quorvex(1) for the settings keys and files.\n";
}
