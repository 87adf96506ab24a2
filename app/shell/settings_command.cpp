#include "app/shell/settings_command.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <QApplication>

#include "app/settings/config_command.h"
#include "core/qxdvcore.h"
#include "platform/files.h"

namespace {

using OpenDialogFunction = int (*)(int, QDOPENDIALOGINFO*, QWidget*);

OpenDialogFunction LoadOpenDialog() {
  static OpenDialogFunction function = [] () -> OpenDialogFunction {
    const std::string path = qv::ProgramFolder() + "libQXDVDlg.so";
    void* library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      std::fprintf(stderr, "Quorvex: the settings library cannot be loaded: %s\n", dlerror());
      return nullptr;
    }
    auto entry = reinterpret_cast<OpenDialogFunction>(dlsym(library, "QDOpenDialog"));
    if (!entry) std::fprintf(stderr, "Quorvex: %s has no QDOpenDialog\n", path.c_str());
    return entry;
  }();
  return function;
}

bool HasScreen() {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    const char* value = std::getenv(name);
    if (value && *value) return true;
  }
  return false;
}

}  // namespace

int OpenSettingsDialog(QDOPENDIALOGINFO* info, QWidget* parent) {
  OpenDialogFunction open = LoadOpenDialog();
  return open ? open(0, info, parent) : 0;
}

int RunSettingsCommand(const CommandLineOptions& options, int argc, char** argv) {
  if (!HasScreen()) {
    std::fprintf(stderr, "Quorvex: --settings needs a screen; without one, use --config\n");
    return 1;
  }
  if (!options.iniPath.empty()) qv::SetSettingsPathOverride(options.iniPath);
  QApplication application(argc, argv);
  QDOPENDIALOGINFO info{};
  std::snprintf(info.szAppFolder, sizeof info.szAppFolder, "%s", qv::ProgramFolder().c_str());
  const std::string path = qv::SettingsPath();
  if (path.size() >= sizeof info.szIniFile) {
    std::fprintf(stderr, "Quorvex: the settings path is too long for the settings sheet: %s\n", path.c_str());
    return 1;
  }
  std::memcpy(info.szIniFile, path.c_str(), path.size() + 1);
  info.bPictureHidden = 1;
  QXStartup();
  const int result = OpenSettingsDialog(&info, nullptr);
  QXCleanup();
  return result == 0 ? 1 : 0;
}

int RunConfigOption(const CommandLineOptions& options) {
  if (!options.iniPath.empty()) qv::SetSettingsPathOverride(options.iniPath);
  return RunConfigCommand(options.config, qv::SettingsPath(), stdout, stderr);
}
