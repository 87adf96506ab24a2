#include "app/shell/command_line.h"

bool ParseCommandLine(const std::vector<std::string>& arguments, CommandLineOptions* options, std::string* error) {
  *options = CommandLineOptions();
  for (size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      options->help = true;
    } else if (argument == "--headless") {
      options->headless = true;
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
  if (!options->headless && !options->help) {
    options->headless = true;
    options->headlessImplied = true;
  }
  return true;
}

std::string UsageText() {
  return "usage: Quorvex [--headless] [--ini PATH]\n"
         "\n"
         "Watches a POP3 mailbox and answers every accepted request mail with a fresh camera\n"
         "picture, converted for the sender's phone.\n"
         "\n"
         "  --headless   run without a window; log lines go to standard output\n"
         "  --ini PATH   use the settings file PATH instead of Quorvex.ini beside the program\n"
         "  --help       show this text\n";
}
