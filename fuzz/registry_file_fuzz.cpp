// The registry file: the input is a whole registry.reg. The values the program reads are
// looked up (the converter's open command and its program path, the sibling program's folder),
// a value is queried with too small a buffer, then one value is written: it must read back,
// and the values read before must not change (the file is rewritten whole).
#include <stdlib.h>

#include <cstdint>
#include <string>

#include "app/settings/converter_lookup.h"
#include "fuzz/fuzz_support.h"
#include "platform/registry.h"

using namespace qv::fuzz;

namespace {

constexpr char kSiblingKey[] = "HKEY_CURRENT_USER\\Software\\Halvorsk\\Orbisk";
constexpr char kProductKey[] = "HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex";

// The values the program reads, as one text ("-" for a missing one).
std::string ReadValues() {
  std::string values;
  std::string value;
  values += qv::ReadRegistryString(kConverterCommandKey, "", &value) ? value : "-";
  values += '\n';
  values += qv::ReadRegistryString(kSiblingKey, "Directory", &value) ? value : "-";
  std::string converter;
  bool located = LocateConverter(&converter);
  Check(located == !converter.empty(), "LocateConverter's result and its path disagree");
  return values + '\n' + converter;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = WorkFolder() + "/registry.reg";
  static const bool ready = setenv("QUORVEX_REGISTRY", path.c_str(), 1) == 0;
  (void)ready;
  (void)WriteWorkFile("registry.reg", AsText(data, size));
  std::string before = ReadValues();

  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk\\Orbisk", &key) == ERROR_SUCCESS) {
    uint32_t type = 0;
    uint32_t needed = 0;
    if (RegQueryValueExA(key, "Directory", nullptr, &type, nullptr, &needed) == ERROR_SUCCESS && needed > 0) {
      std::string buffer(needed, '\0');
      uint32_t room = needed - 1;
      Check(RegQueryValueExA(key, "Directory", nullptr, &type, reinterpret_cast<unsigned char*>(buffer.data()),
                             &room) == ERROR_MORE_DATA && room == needed,
            "a short buffer is not refused with the size needed");
      room = needed;
      Check(RegQueryValueExA(key, "Directory", nullptr, &type, reinterpret_cast<unsigned char*>(buffer.data()),
                             &room) == ERROR_SUCCESS && room == needed,
            "a value does not fit the size it asked for");
    }
    Check(RegCloseKey(key) == ERROR_SUCCESS, "RegCloseKey refused an open key");
  }

  Check(qv::WriteRegistryString(kProductKey, "Directory", "/opt/quorvex"), "WriteRegistryString failed");
  std::string written;
  Check(qv::ReadRegistryString(kProductKey, "Directory", &written) && written == "/opt/quorvex",
        "the written value does not read back");
  Check(ReadValues() == before, "writing a value changed another value");
  return 0;
}
