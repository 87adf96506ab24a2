// The settings file: the input is a whole Quorvex.ini. Every record is loaded from it
// (LoadAllSettings, through GetIniString), then one key is written into it (WriteIniString)
// and must read back, while the keys of the other sections keep their values.
#include <stdlib.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "app/settings/ini.h"
#include "app/settings/settings.h"
#include "fuzz/fuzz_support.h"

using namespace qv::fuzz;

namespace {

template <size_t N>
bool Terminated(const char (&field)[N]) {
  return memchr(field, '\0', N) != nullptr;
}

// The values of a few keys outside MailSettings, as one text.
std::string OtherValues(const char* path) {
  static const char* const kProbes[][2] = {
      {"BasicSettings", "MailTimer"}, {"BasicSettings", "DeviceName"}, {"SendSettings", "Title"},
      {"FilterSettings", "TitleFiltText"}, {"PictSettings0", "Type"}, {"Window", "MainLeft"}};
  std::string values;
  for (const auto& probe : kProbes) {
    char buffer[256];
    int n = GetIniString(probe[0], probe[1], "(none)", buffer, sizeof buffer, path);
    Check(n >= 0 && static_cast<size_t>(n) < sizeof buffer && buffer[n] == '\0',
          "GetIniString's count or terminator");
    values += std::string(buffer, static_cast<size_t>(n)) + '\n';
  }
  return values;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The converter lookup reads the registry: an empty one, never the user's.
  static const bool ready = setenv("QUORVEX_REGISTRY", (WorkFolder() + "/no-registry.reg").c_str(), 1) == 0;
  (void)ready;
  std::string path = WriteWorkFile("Quorvex.ini", AsText(data, size));

  AllSettings settings;
  Check(LoadAllSettings(path.c_str(), &settings) == 1, "LoadAllSettings failed");
  Check(settings.basic.MailTimer >= 1 && settings.basic.MailTimer <= 10, "MailTimer out of its range");
  Check(settings.mail.PopSecurity >= 0 && settings.mail.PopSecurity <= 2, "PopSecurity out of its range");
  Check(settings.mail.SmtpSecurity >= 0 && settings.mail.SmtpSecurity <= 2, "SmtpSecurity out of its range");
  Check(Terminated(settings.basic.DeviceName) && Terminated(settings.basic.LogFolder) &&
            Terminated(settings.mail.UserName) && Terminated(settings.mail.Passwd) &&
            Terminated(settings.mail.SmtpPasswd) && Terminated(settings.mail.CaFile) &&
            Terminated(settings.send.Title) && Terminated(settings.send.MailText) &&
            Terminated(settings.send.SendName) && Terminated(settings.filter.TitleFiltText),
        "a text field without its terminating zero");
  Check(strlen(settings.send.MailText) <= 255, "MailText over 255 bytes");

  std::string before = OtherValues(path.c_str());
  Check(WriteIniString("MailSettings", "PopPort", "995", path.c_str()) == 1, "WriteIniString failed");
  char port[16];
  (void)GetIniString("MailSettings", "PopPort", "", port, sizeof port, path.c_str());
  Check(strcmp(port, "995") == 0, "the written key does not read back");
  Check(OtherValues(path.c_str()) == before, "writing a key changed another section");
  return 0;
}
