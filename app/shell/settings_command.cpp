#include "app/shell/settings_command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QApplication>

#include "app/settings/config_command.h"
#include "app/settings/senders_command.h"
#include "app/settings/settings.h"
#include "app/shell/device_selection.h"
#include "app/shell/settings_library.h"
#include "app/shell/window_app.h"
#include "core/qxdvcore.h"
#include "platform/files.h"
#include "platform/text.h"

int RunSettingsCommand(const CommandLineOptions& options, int argc, char** argv) {
  if (!ScreenNamed("--settings")) return 1;
  if (!options.iniPath.empty()) qv::SetSettingsPathOverride(options.iniPath);
  std::unique_ptr<QApplication> application = MakeApplication(argc, argv, "--settings");
  application->setApplicationName("Quorvex");
  ConfigureApplication(*application);
  QDOPENDIALOGINFO info{};
  std::snprintf(info.szAppFolder, sizeof info.szAppFolder, "%s", qv::ProgramFolder().c_str());
  const std::string path = qv::SettingsPath();
  if (path.size() >= sizeof info.szIniFile) {
    std::fprintf(stderr, "Quorvex: the settings path is too long for the settings sheet: %s\n", path.c_str());
    return 1;
  }
  std::memcpy(info.szIniFile, path.c_str(), path.size() + 1);
  std::string error;
  if (CreateFirstSettings(path.c_str(), &error) == FirstSettings::kFailed) {
    std::fprintf(stderr, "Quorvex: %s\n", error.c_str());
  }
  info.bPictureHidden = 1;
  SettingsLibrary library(qv::ProgramFolder() + "libQXDVDlg.so");
  QDOpenDialogFunction open = library.Entry();
  if (!open) {
    std::fprintf(stderr, "Quorvex: the settings sheet cannot be opened: %s\n", library.error().c_str());
    return 1;
  }
  QXStartup();
  open(0, &info, nullptr);
  QXCleanup();
  return 0;
}

int RunConfigOption(const CommandLineOptions& options) {
  if (!options.iniPath.empty()) qv::SetSettingsPathOverride(options.iniPath);
  ConfigOptions config;
  config.in = stdin;
  config.reveal = options.reveal;
  config.listDevices = ListDeviceNames;
  return RunConfigCommand(options.config, qv::SettingsPath(), stdout, stderr, config);
}

int RunSendersOption(const CommandLineOptions& options) {
  if (!options.iniPath.empty()) qv::SetSettingsPathOverride(options.iniPath);
  return RunSendersCommand(options.senders, qv::SettingsPath(), stdout, stderr);
}

int RunListDevices(FILE* out, FILE* err) {
  std::vector<std::string> names = ListDeviceNames();
  for (const std::string& name : names) std::fprintf(out, "%s\n", qv::Utf8FromCp932(name).c_str());
  if (names.empty()) std::fprintf(err, "Quorvex: no capture device was found\n");
  return names.empty() ? 1 : 0;
}
