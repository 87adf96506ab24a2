#include "app/shell/settings_command.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QApplication>

#include "app/settings/config_command.h"
#include "app/shell/settings_library.h"
#include "app/shell/window_app.h"
#include "core/qxdvcore.h"
#include "platform/files.h"

int RunSettingsCommand(const CommandLineOptions& options, int argc, char** argv) {
  const char* platform = std::getenv("QT_QPA_PLATFORM");
  if (!DisplayAvailable() && !(platform && *platform)) {
    std::fprintf(stderr, "Quorvex: --settings needs a screen; without one, use --config\n");
    return 1;
  }
  if (!options.iniPath.empty()) qv::SetSettingsPathOverride(options.iniPath);
  QApplication application(argc, argv);
  application.setApplicationName("Quorvex");
  ConfigureApplication(application);
  QDOPENDIALOGINFO info{};
  std::snprintf(info.szAppFolder, sizeof info.szAppFolder, "%s", qv::ProgramFolder().c_str());
  const std::string path = qv::SettingsPath();
  if (path.size() >= sizeof info.szIniFile) {
    std::fprintf(stderr, "Quorvex: the settings path is too long for the settings sheet: %s\n", path.c_str());
    return 1;
  }
  std::memcpy(info.szIniFile, path.c_str(), path.size() + 1);
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
  return RunConfigCommand(options.config, qv::SettingsPath(), stdout, stderr);
}
