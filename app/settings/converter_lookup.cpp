#include "app/settings/converter_lookup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <mutex>

#include "platform/files.h"
#include "platform/registry.h"
#include "platform/trusted_code.h"

namespace {

std::mutex bundledFolderMutex;
bool bundledFolderSet = false;
std::string bundledFolder;

std::string BundledConverterFolder() {
  std::lock_guard lock(bundledFolderMutex);
  return bundledFolderSet ? bundledFolder : qv::ProgramFolder();
}

}  // namespace

std::string ConverterPathFromCommand(const std::string& command) {
  size_t start = command.find_first_not_of(" \t");
  if (start == std::string::npos) return {};
  if (command[start] == '"') {
    size_t close = command.find('"', start + 1);
    if (close != std::string::npos) return command.substr(start + 1, close - start - 1);
  }
  std::string unquoted;
  for (size_t i = start; i < command.size(); ++i) {
    if (command[i] != '"') unquoted.push_back(command[i]);
  }
  return unquoted.substr(0, unquoted.find_first_of(" \t"));
}

bool ConverterIsTrusted(const std::string& path, std::string* why) {
  int fd = qv::OpenTrustedCode(path, why);
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::string BundledConverter(const std::string& folder) {
  if (folder.empty()) return {};
  std::string path = folder + "qvconvert";
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || access(path.c_str(), X_OK) != 0) return {};
  return path;
}

void SetBundledConverterFolder(const std::string& folder) {
  std::lock_guard lock(bundledFolderMutex);
  bundledFolderSet = true;
  bundledFolder = folder;
}

bool LocateConverter(std::string* converterPath, std::string* refusal) {
  converterPath->clear();
  if (refusal) refusal->clear();
  std::string command;
  std::string path;
  if (qv::ReadRegistryString(kConverterCommandKey, "", &command)) path = ConverterPathFromCommand(command);
  if (path.empty()) path = BundledConverter(BundledConverterFolder());
  if (path.empty()) return false;
  std::string why;
  if (!ConverterIsTrusted(path, &why)) {
    if (refusal) *refusal = why;
    return false;
  }
  *converterPath = path;
  return true;
}
