// A settings dialog library for the window tests: QDOpenDialog writes what it was given to the
// file named by $FAKE_SETTINGS_RECORD, stores MailTimer=9 in the settings file as a confirmed
// basic page would, and reports the device as stopped.
#include <cstdio>
#include <cstdlib>

#include "app/settings/ini.h"
#include "app/shell/settings_library.h"

extern "C" __attribute__((visibility("default"))) int QDOpenDialog(int, QDOPENDIALOGINFO* info, QWidget* parent) {
  if (!info) return 2;
  if (const char* record = std::getenv("FAKE_SETTINGS_RECORD")) {
    if (FILE* file = std::fopen(record, "w")) {
      std::fprintf(file, "folder=%s\nini=%s\nhidden=%d\nrunning=%d\nsibling=%d\nparent=%d\n", info->szAppFolder,
                   info->szIniFile, info->bPictureHidden, info->bDeviceRunning, info->bSiblingLink,
                   parent != nullptr);
      std::fclose(file);
    }
  }
  WriteIniString("BasicSettings", "MailTimer", "9", info->szIniFile);
  info->bDeviceRunning = 0;
  return 1;
}
