#include "app/shell/sibling_link.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/shell/device_selection.h"
#include "platform/registry.h"
#include "platform/timing.h"
#include "platform/trusted_code.h"

namespace {

constexpr size_t kPathLimit = 260;

bool Refuse(const std::string& path, const char* reason) {
  std::fprintf(stderr, "Quorvex: the picture from Orbisk (%s) is refused: %s\n", path.c_str(), reason);
  return false;
}

// Copies the open file `from` into a new `destination`; false on any error.
bool CopyOpenFile(int from, const std::string& destination) {
  int to = open(destination.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (to < 0) return false;
  char block[65536];
  bool good = true;
  for (;;) {
    ssize_t got = read(from, block, sizeof block);
    if (got == 0) break;
    if (got < 0) {
      good = false;
      break;
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(to, block + done, static_cast<size_t>(got - done));
      if (put <= 0) {
        good = false;
        break;
      }
      done += put;
    }
    if (!good) break;
  }
  if (close(to) != 0) good = false;
  if (!good) unlink(destination.c_str());
  return good;
}

// True when the file `path` lies directly in `folder`.
bool LiesIn(const std::string& path, const std::string& folder) {
  std::string parent = path.substr(0, path.find_last_of('/') + 1);
  if (parent.empty() || folder.empty()) return false;
  char parentReal[PATH_MAX];
  char folderReal[PATH_MAX];
  return realpath(parent.c_str(), parentReal) && realpath(folder.c_str(), folderReal) &&
         std::strcmp(parentReal, folderReal) == 0;
}

}  // namespace

bool TakeSiblingPicture(const char* buffer, const std::string& siblingFolder, const std::string& destination) {
  size_t length = strnlen(buffer, kPathLimit);
  if (length == kPathLimit) return Refuse(std::string(buffer, 40) + "...", "the path is longer than 259 bytes");
  std::string path(buffer, length);
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Refuse(path, "it cannot be opened (or is a link)");
  struct stat st;
  char magic[2] = {};
  bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  bool bitmap = regular && pread(fd, magic, 2, 0) == 2 && magic[0] == 'B' && magic[1] == 'M' && st.st_size >= 54;
  bool copied = bitmap && CopyOpenFile(fd, destination);
  close(fd);
  if (!regular) return Refuse(path, "not a regular file");
  if (!bitmap) return Refuse(path, "not a BMP file");
  if (!copied) return Refuse(path, "it could not be copied");
  if (LiesIn(path, siblingFolder)) unlink(path.c_str());
  return true;
}

SiblingLink::~SiblingLink() { Unload(); }

std::string SiblingLink::RegisteredFolder() {
  HKEY key;
  char value[256] = {};
  uint32_t size = sizeof value;
  if (RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk\\Orbisk", &key) == ERROR_SUCCESS) {
    if (RegQueryValueExA(key, "Directory", nullptr, nullptr, reinterpret_cast<unsigned char*>(value), &size) !=
        ERROR_SUCCESS) {
      value[0] = '\0';
    }
    RegCloseKey(key);
  }
  value[sizeof value - 1] = '\0';
  return value;
}

bool SiblingLink::Load() {
  if (available()) return true;
  folder_ = RegisteredFolder();
  why_.clear();
  if (folder_.empty()) {
    why_ = "Orbisk has not registered its folder";
    return false;
  }
  std::string plugin = folder_ + "/QXComm.so";
  void* module = qv::LoadTrustedLibrary(plugin, &why_);
  if (!module) return false;
  auto function = reinterpret_cast<GetImageFileNameFunction>(dlsym(module, "GetImageFileName"));
  if (!function) {
    why_ = plugin + " has no GetImageFileName";
    dlclose(module);
    return false;
  }
  std::lock_guard lock(pathMutex_);
  module_ = module;
  getImageFileName_ = function;
  loaded_ = true;
  return true;
}

void SiblingLink::Unload() {
  std::lock_guard lock(pathMutex_);
  loaded_ = false;
  getImageFileName_ = nullptr;
  if (module_) dlclose(module_);
  module_ = nullptr;
}

bool SiblingLink::Follow(const std::string& deviceName) {
  if (deviceName == SiblingEntryName()) return Load();
  Unload();
  return false;
}

bool SiblingLink::Offered() const {
  std::string folder = RegisteredFolder();
  if (folder.empty()) return false;
  std::string why;
  int fd = qv::OpenTrustedCode(folder + "/QXComm.so", &why);
  if (fd < 0) return false;
  close(fd);
  return true;
}

void SiblingLink::OnImageReady() {
  {
    std::lock_guard lock(pathMutex_);
    if (!getImageFileName_) return;
    std::memset(path_, 0, sizeof path_);
    getImageFileName_(path_);
  }
  ready_.Set();
}

bool SiblingLink::Selects(const std::string& deviceName) const {
  return available() && deviceName == SiblingEntryName();
}

bool SiblingLink::WaitForPicture() {
  const qv::Timings& timings = qv::GetTimings();
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(timings.siblingPollMs * timings.siblingPollCount);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0 || qv::AbortRequested()) return ready_.IsSet();
    // The abort flag cannot wake the wait (it is set from a signal handler): look at it often.
    if (ready_.Wait(std::min<int64_t>(left.count(), qv::kAbortCheckMs))) return true;
  }
}

bool SiblingLink::Capture(const std::string& path) {
  qv::WindowHandle sibling = qv::FindWindowByTitle("Orbisk");
  if (sibling) qv::PostWindowMessage(sibling, WM_SIBLING_CAPTURE, 0, ownWindow_);
  if (!WaitForPicture()) return false;
  char picture[kBufferSize];
  {
    std::lock_guard lock(pathMutex_);
    std::memcpy(picture, path_, sizeof picture);
  }
  bool taken = TakeSiblingPicture(picture, folder_, path);
  ready_.Reset();
  return taken;
}
