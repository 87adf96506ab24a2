#include "platform/trusted_code.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace qv {
namespace {

// Why the file or folder described by `st` may not hold code we run; empty when it may.
std::string UnsafeOwnerOrMode(const struct stat& st) {
  if (st.st_uid != geteuid() && st.st_uid != 0) return "it belongs to another user (uid " + std::to_string(st.st_uid) + ")";
  if (st.st_mode & (S_IWGRP | S_IWOTH)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return std::string("group or others may change it (mode ") + mode + ")";
  }
  return {};
}

}  // namespace

int OpenTrustedCode(const std::string& path, std::string* why) {
  auto refuse = [&](const std::string& reason) {
    *why = path + " is not used: " + reason;
    return -1;
  };
  if (path.empty() || path[0] != '/') return refuse("the path is not absolute");
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return refuse("it names no file");

  int folderFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return refuse("its folder cannot be opened (" + std::string(std::strerror(errno)) + ")");
  struct stat st;
  std::string problem = fstat(folderFd, &st) == 0 ? UnsafeOwnerOrMode(st) : std::strerror(errno);
  if (!problem.empty()) {
    close(folderFd);
    return refuse("its folder " + folder + ": " + problem);
  }
  // A device or FIFO is never opened (opening some has effects of its own); what is opened
  // is checked again below, since the name may point elsewhere by then.
  if (fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode)) {
    close(folderFd);
    return refuse("it is not a regular file");
  }
  // The file is opened in the folder that was checked, and never through a link.
  int fd = openat(folderFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  int openError = errno;
  close(folderFd);
  if (fd < 0) {
    return refuse(openError == ELOOP ? "it is a symbolic link" : std::string("it cannot be opened (") +
                                                                       std::strerror(openError) + ")");
  }
  if (fstat(fd, &st) != 0) {
    problem = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    problem = "it is not a regular file";
  } else {
    problem = UnsafeOwnerOrMode(st);
  }
  if (!problem.empty()) {
    close(fd);
    return refuse(problem);
  }
  // Opened without blocking (a FIFO must not hold us); what runs or loads reads it normally.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

void* LoadTrustedLibrary(const std::string& path, std::string* why) {
  int fd = OpenTrustedCode(path, why);
  if (fd < 0) return nullptr;
  // The loader opens the checked file itself, through this process's descriptor table.
  const std::string viaDescriptor = "/proc/self/fd/" + std::to_string(fd);
  void* module = dlopen(viaDescriptor.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!module) {
    const char* error = dlerror();
    *why = path + " could not be loaded: " + (error ? error : "unknown error");
  }
  close(fd);
  return module;
}

}  // namespace qv
