// quorvex-uninstall: removes the current user's Quorvex settings. Loads libUninstQV.so from its
// own folder, calls LibMain, UninstInitialize and UninstUnInitialize in this order, and reports
// what went: the settings file and the address list in the folder that the product key names,
// and the product key. When the user enabled the user unit quorvex.service, it is disabled
// first (and stopped): through `systemctl --user disable --now` ($QUORVEX_SYSTEMCTL, else
// systemctl) when a user manager answers, and its links in the user's unit folder are removed
// in any case, so none is left pointing at a unit that goes with the package. Log files,
// pictures and the registry file itself stay.
//
//   quorvex-uninstall [--help]
//
// The library deletes the key even where it removed no file; the tool does not let that orphan
// the files. It applies the library's folder rule first: a "Directory" the library would not
// use (relative, too long) leaves everything as it is, reported. And a file that stays after
// the clean-up keeps the key's "Directory", so a later run still finds it.
//
// Exit status 0 when nothing of that is left (also when there was nothing), 1 when the library
// cannot be used or something stayed.
#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "uninst/uninstqv.h"

namespace {

const std::string kProductKeyPath = std::string("HKEY_CURRENT_USER\\") + kUninstProductKey;

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

bool ProductKeyExists() {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, kUninstProductKey, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The files the clean-up is after in `folder`, as far as they exist now.
std::vector<std::string> ExistingProductFiles(const std::string& folder) {
  std::vector<std::string> files;
  if (!UninstFolderAccepted(folder.c_str(), folder.size())) return files;
  for (const char* name : kUninstRemovedFiles) {
    std::string path = folder + "/" + name;
    if (Exists(path)) files.push_back(path);
  }
  return files;
}

const char kUnitName[] = "quorvex.service";

// The user's unit folder, "$XDG_CONFIG_HOME/systemd/user/" (beside Quorvex's own folder).
std::string UserUnitFolder() {
  std::string own = qv::UserConfigFolder();  // ".../quorvex/"
  if (own.size() < 8) return {};
  return own.substr(0, own.size() - 8) + "systemd/user/";
}

// The links that enabling the unit made: quorvex.service in any "*.wants" or "*.requires"
// folder of the user's unit folder.
std::vector<std::string> UnitLinks() {
  std::vector<std::string> links;
  const std::string folder = UserUnitFolder();
  DIR* units = folder.empty() ? nullptr : opendir(folder.c_str());
  if (!units) return links;
  while (const dirent* entry = readdir(units)) {
    std::string name = entry->d_name;
    auto endsWith = [&name](const std::string& tail) {
      return name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0;
    };
    if (!endsWith(".wants") && !endsWith(".requires")) continue;
    std::string link = folder + name + "/" + kUnitName;
    struct stat st;
    if (lstat(link.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) links.push_back(link);
  }
  closedir(units);
  return links;
}

// Disables an enabled unit; false when a link stayed.
bool DisableUserUnit() {
  std::vector<std::string> links = UnitLinks();
  if (links.empty()) return true;
  const char* systemctl = std::getenv("QUORVEX_SYSTEMCTL");
  qv::ProcessOptions options;
  options.timeoutMs = 60000;
  options.captureOutput = true;  // "Failed to connect to bus" without a user manager is no news
  qv::ProcessResult result = qv::RunProcess(
      {systemctl && *systemctl ? systemctl : "systemctl", "--user", "disable", "--now", kUnitName}, options);
  bool ok = true;
  for (const std::string& link : links) {
    // Without a user manager (or with one that keeps its own folder) the link goes by hand.
    if (unlink(link.c_str()) != 0 && errno != ENOENT) {
      std::printf("Not removed: %s (%s)\n", link.c_str(), std::strerror(errno));
      ok = false;
    }
  }
  if (ok) {
    std::printf("Disabled the user unit %s%s\n", kUnitName,
                result.Succeeded() ? " and stopped it" : " (no user manager answered: its links were removed)");
  }
  return ok;
}

// Loads the library and calls its entries in order; false with a message when it cannot.
bool RunCleanUp(const std::string& libraryPath) {
  void* library = dlopen(libraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    std::fprintf(stderr, "quorvex-uninstall: cannot load %s: %s\n", libraryPath.c_str(), dlerror());
    return false;
  }
  auto libMain = reinterpret_cast<UninstLibMainFunction>(dlsym(library, "LibMain"));
  auto initialize = reinterpret_cast<UninstFunction>(dlsym(library, "UninstInitialize"));
  auto uninitialize = reinterpret_cast<UninstFunction>(dlsym(library, "UninstUnInitialize"));
  bool ok = libMain && initialize && uninitialize;
  if (!ok) {
    std::fprintf(stderr, "quorvex-uninstall: %s lacks LibMain, UninstInitialize or UninstUnInitialize\n",
                 libraryPath.c_str());
  } else if (libMain(nullptr, 0, 0, nullptr) != 1) {
    std::fprintf(stderr, "quorvex-uninstall: %s refused to start\n", libraryPath.c_str());
    ok = false;
  } else {
    initialize(nullptr, nullptr, 0);
    uninitialize(nullptr, nullptr, 0);
  }
  dlclose(library);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    bool help = argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0);
    std::fprintf(help ? stdout : stderr,
                 "usage: quorvex-uninstall\n"
                 "Removes Quorvex's settings file and address list (the folder named by %s,\n"
                 "value %s, in %s) and that key, after disabling the user unit quorvex.service\n"
                 "when it is enabled. Log files and pictures stay.\n",
                 kProductKeyPath.c_str(), kUninstDirectoryValue, qv::RegistryFilePath().c_str());
    return help ? 0 : 1;
  }
  std::string folder;
  const bool hasFolder = qv::ReadRegistryString(kProductKeyPath, kUninstDirectoryValue, &folder) && !folder.empty();
  if (hasFolder && !UninstFolderAccepted(folder.c_str(), folder.size())) {
    // The library would remove no file there and still delete the key: nothing is done.
    std::printf("Not removed: anything. %s names the folder \"%s\", which is not an absolute path of at most 255 "
                "bytes; the key stays in %s so that the settings can still be found\n",
                kProductKeyPath.c_str(), folder.c_str(), qv::RegistryFilePath().c_str());
    return 1;
  }
  int status = DisableUserUnit() ? 0 : 1;
  std::vector<std::string> files = ExistingProductFiles(folder);
  bool hadKey = ProductKeyExists();
  if (!RunCleanUp(qv::ProgramFolder() + "libUninstQV.so")) return 1;

  bool fileStayed = false;
  for (const std::string& path : files) {
    bool gone = !Exists(path);
    std::printf("%s %s\n", gone ? "Removed" : "Not removed:", path.c_str());
    if (!gone) fileStayed = true;
  }
  if (fileStayed) {
    // The key names where the files are: it stays while they do.
    status = 1;
    if (!ProductKeyExists() && !qv::WriteRegistryString(kProductKeyPath, kUninstDirectoryValue, folder)) {
      std::printf("Not kept: the key %s could not be written again in %s\n", kProductKeyPath.c_str(),
                  qv::RegistryFilePath().c_str());
    } else {
      std::printf("Kept the key %s in %s while files stay\n", kProductKeyPath.c_str(),
                  qv::RegistryFilePath().c_str());
    }
    return status;
  }
  if (hadKey) {
    bool gone = !ProductKeyExists();
    std::printf("%s %s from %s\n", gone ? "Removed the key" : "Not removed: the key", kProductKeyPath.c_str(),
                qv::RegistryFilePath().c_str());
    if (!gone) status = 1;
  }
  if (files.empty() && !hadKey && status == 0) {
    std::printf("Nothing to remove: %s holds no %s\n", qv::RegistryFilePath().c_str(), kProductKeyPath.c_str());
  }
  return status;
}
