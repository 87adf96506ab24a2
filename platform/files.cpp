#include "platform/files.h"

#include <fcntl.h>
#include <pwd.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fstream>
#include <sstream>
#include <mutex>
#include <vector>

namespace qv {
namespace {
std::mutex overrideMutex;
std::string settingsOverride;

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}
}  // namespace

std::string TempFolder() {
  const char* env = getenv("TMPDIR");
  return WithSlash(env && *env ? env : "/tmp");
}

std::string MakeTempFile(const std::string& folder, const std::string& prefix) {
  std::string pattern = WithSlash(folder) + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  int fd = mkstemp(buffer.data());
  if (fd < 0) return {};
  close(fd);
  return buffer.data();
}

std::string MakeWorkFolder(const std::string& prefix) {
  std::string pattern = TempFolder() + prefix + "XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) return {};
  return WithSlash(buffer.data());
}

std::string ProgramPath() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  return std::string(buffer, n);
}

std::string ProgramFolder() { return FolderOf(ProgramPath()); }

bool ProgramIsInstalled() {
  static const std::string kInstalledFolder = "/lib/quorvex/";
  std::string folder = ProgramFolder();
  return folder.size() >= kInstalledFolder.size() &&
         folder.compare(folder.size() - kInstalledFolder.size(), kInstalledFolder.size(), kInstalledFolder) == 0;
}

std::string SettingsPathFor(const std::string& programPath) {
  size_t slash = programPath.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = programPath.rfind('.');
  if (dot != std::string::npos && dot > nameStart) return programPath.substr(0, dot) + ".ini";
  return programPath + ".ini";
}

std::string UserConfigFolder() {
  const char* xdg = getenv("XDG_CONFIG_HOME");
  if (xdg && *xdg == '/') return WithSlash(xdg) + "quorvex/";
  const char* home = getenv("HOME");
  if (home && *home == '/') return WithSlash(home) + ".config/quorvex/";
  // No HOME (a system service): the password database knows the user's home folder.
  passwd entry{};
  passwd* found = nullptr;
  std::vector<char> buffer(16384);
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir && found->pw_dir[0] == '/') {
    return WithSlash(found->pw_dir) + ".config/quorvex/";
  }
  return {};
}

bool MakePrivateFolder(const std::string& folder) {
  if (folder.empty()) return false;
  for (size_t slash = folder.find('/', 1); ; slash = folder.find('/', slash + 1)) {
    std::string level = folder.substr(0, slash);
    struct stat st;
    if (stat(level.c_str(), &st) != 0) {
      if (mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) return false;
    } else if (!S_ISDIR(st.st_mode)) {
      return false;
    }
    if (slash == std::string::npos || slash + 1 >= folder.size()) break;
  }
  struct stat st;
  return stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ProgramDataFolder() {
  std::string folder = ProgramFolder();
  if (!ProgramIsInstalled() && access(folder.c_str(), W_OK) == 0) return folder;
  std::string own = UserConfigFolder();
  if (own.empty()) return folder;
  MakePrivateFolder(own);
  return own;
}

std::string SettingsPath() {
  {
    std::lock_guard lock(overrideMutex);
    if (!settingsOverride.empty()) return settingsOverride;
  }
  std::string own = SettingsPathFor(ProgramPath());
  if (!ProgramIsInstalled() && access(FolderOf(own).c_str(), W_OK) == 0) return own;
  std::string folder = UserConfigFolder();
  if (folder.empty()) return own;
  MakePrivateFolder(folder);
  std::string name = own.substr(own.rfind('/') + 1);
  return folder + name;
}

void SetSettingsPathOverride(const std::string& path) {
  std::lock_guard lock(overrideMutex);
  settingsOverride = path;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return path.substr(0, slash + 1);
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteFileBytes(const std::string& path, std::string_view bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return static_cast<bool>(out);
}

bool ReplaceFileContents(const std::string& path, std::string_view bytes, std::string* error) {
  auto fail = [error](const std::string& reason) {
    if (error) *error = reason;
    return false;
  };
  std::string target = path;
  struct stat st;
  bool exists = lstat(path.c_str(), &st) == 0;
  if (exists && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved)) return fail(std::strerror(errno));
    target = resolved;
    exists = stat(target.c_str(), &st) == 0;
  }
  if (exists && !S_ISREG(st.st_mode)) return fail("it is not a file");
  std::string folder = FolderOf(target);
  std::string temp = MakeTempFile(folder.empty() ? "./" : folder, ".qvnew");
  if (temp.empty()) return fail("no new file can be made beside it: " + std::string(std::strerror(errno)));
  int fd = open(temp.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  bool ok = fd >= 0 && (!exists || fchmod(fd, st.st_mode & 07777) == 0) &&
            WriteAt(fd, bytes.data(), bytes.size(), 0) && fsync(fd) == 0;
  int savedErrno = errno;
  if (fd >= 0 && close(fd) != 0 && ok) {
    ok = false;
    savedErrno = errno;
  }
  if (ok && rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    return fail(std::strerror(savedErrno));
  }
  return true;
}

void RemoveRegularFile(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && (S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))) unlink(path.c_str());
}

bool ReadAt(int fd, void* buffer, size_t size, long long offset) {
  auto* out = static_cast<char*>(buffer);
  while (size > 0) {
    ssize_t n = pread(fd, out, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    out += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) close(fd_);
}

bool WriteAt(int fd, const void* buffer, size_t size, long long offset) {
  auto* in = static_cast<const char*>(buffer);
  while (size > 0) {
    ssize_t n = pwrite(fd, in, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    in += n;
    size -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

long long FileSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

}  // namespace qv
