#include "app/settings/address_list_file.h"

#include <strings.h>

#include <cstdio>

#include "platform/files.h"

std::string AddressListPath(const std::string& settingsPath) {
  return qv::FolderOf(settingsPath) + "MailList.dat";
}

bool ReadAddressListFile(const std::string& path, std::vector<std::string>* entries, size_t lineLimit) {
  entries->clear();
  FILE* file = std::fopen(path.c_str(), "rb");
  if (!file) return false;
  std::string line;
  char block[256];
  for (;;) {
    size_t n = std::fread(block, 1, sizeof block, file);
    for (size_t i = 0; i < n; ++i) {
      if (block[i] == '\n') {
        entries->push_back(std::move(line));
        line.clear();
      } else if (line.size() < lineLimit) {
        line += block[i];
      }
    }
    if (n < sizeof block) break;
  }
  bool readable = !std::ferror(file);
  std::fclose(file);
  if (!readable) entries->clear();
  return readable;
}

bool WriteAddressListFile(const std::string& path, const std::vector<std::string>& entries, std::string* error) {
  std::string bytes;
  for (const std::string& entry : entries) {
    bytes += entry;
    bytes += '\n';
  }
  return qv::ReplaceFileContents(path, bytes, error);
}

int FindListEntry(const std::vector<std::string>& entries, std::string_view address) {
  for (size_t i = 0; i < entries.size(); ++i) {
    const std::string& entry = entries[i];
    if (entry.size() == address.size() && strncasecmp(entry.data(), address.data(), entry.size()) == 0) {
      return static_cast<int>(i);
    }
  }
  return -1;
}
