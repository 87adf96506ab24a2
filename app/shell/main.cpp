// Quorvex: the program's entry.
#include <cstdio>
#include <string>
#include <vector>

#include "app/shell/command_line.h"
#include "app/shell/version.h"
#include "app/shell/headless.h"
#include "app/shell/oauth_command.h"
#include "app/shell/settings_command.h"
#include "app/shell/window_app.h"

int main(int argc, char** argv) {
  CommandLineOptions options;
  std::string error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &options, &error)) {
    std::fprintf(stderr, "Quorvex: %s\n%s", error.c_str(), UsageText().c_str());
    return 1;
  }
  if (options.help) {
    std::fputs(UsageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("Quorvex %s\n", ProgramVersion());
    return 0;
  }
  if (options.listDevices) return RunListDevices(stdout, stderr);
  if (options.checkAccounts) return RunAccountCheck(options, stdout);
  if (options.oauth2Login) return RunOAuthLogin(options, stdout, stderr);
  if (options.settings) return RunSettingsCommand(options, argc, argv);
  if (!options.config.empty()) return RunConfigOption(options);
  if (!options.senders.empty()) return RunSendersOption(options);
  if (options.window || (options.headlessImplied && DisplayAvailable())) return RunWindow(options, argc, argv);
  return RunHeadless(options, stdout);
}
