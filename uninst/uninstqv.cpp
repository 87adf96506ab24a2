#include "uninst/uninstqv.h"

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/files.h"
#include "platform/registry.h"

namespace {

// The folder "Directory" names, or "" when it is missing, not a string, does not fit the
// 256-byte buffer with its terminating zero, or is not an absolute path.
std::string ProductFolder(HKEY productKey) {
  unsigned char buffer[256] = {};
  uint32_t size = sizeof buffer;
  uint32_t type = REG_NONE;
  if (RegQueryValueExA(productKey, kUninstDirectoryValue, nullptr, &type, buffer, &size) != ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  std::string folder(reinterpret_cast<const char*>(buffer), strnlen(reinterpret_cast<const char*>(buffer), sizeof buffer));
  if (!UninstFolderAccepted(folder.c_str(), folder.size())) return {};
  return folder;
}

}  // namespace

int LibMain(void*, unsigned short, unsigned short, char*) { return 1; }

int UninstInitialize(void*, void*, long) {
  HKEY product = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kUninstProductKey, &product) == ERROR_SUCCESS) {
    std::string folder = ProductFolder(product);
    if (!folder.empty()) {
      for (const char* name : kUninstRemovedFiles) qv::RemoveRegularFile(folder + "/" + name);
    }
    RegCloseKey(product);
  }
  HKEY vendor = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kUninstVendorKey, &vendor) == ERROR_SUCCESS) {
    // A key that cannot be deleted stays; there is nobody to tell.
    static_cast<void>(RegDeleteKeyA(vendor, kUninstProductName));
    RegCloseKey(vendor);
  }
  return 0;
}

int UninstUnInitialize(void*, void*, long) { return 0; }
