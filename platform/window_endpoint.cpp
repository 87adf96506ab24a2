#include "platform/window_endpoint.h"

#include <fcntl.h>
#include <pwd.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace qv {
namespace {

// The message as it travels: number, wParam and lParam, little-endian, 20 bytes.
constexpr size_t kWireSize = 4 + 8 + 8;

void PutInt(unsigned char* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetInt(const unsigned char* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(in[i]) << (8 * i);
  return value;
}

bool MakeAddress(const std::string& path, sockaddr_un* address) {
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  if (path.size() >= sizeof address->sun_path) return false;
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

std::string SocketPath(const std::string& folder, WindowHandle handle) { return folder + "#" + std::to_string(handle); }

std::string TitleFileName(std::string title) {
  for (char& c : title) {
    if (c == '/') c = '_';
  }
  if (title.empty() || title[0] == '#' || title[0] == '.') title = "_" + title;
  return title;
}

}  // namespace

std::string WindowEndpointFolder(std::string* why) {
  std::string folder;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime && *runtime) {
    folder = std::string(runtime) + "/quorvex-windows/";
  } else {
    // No runtime folder: a folder in the user's own home, never a name in a shared folder such
    // as /tmp, where another user could make it first.
    const char* cache = std::getenv("XDG_CACHE_HOME");
    std::string base = cache && *cache && cache[0] == '/' ? std::string(cache) : std::string();
    if (base.empty()) {
      const char* home = std::getenv("HOME");
      if (!home || home[0] != '/') {
        const passwd* entry = getpwuid(getuid());
        home = entry ? entry->pw_dir : nullptr;
      }
      if (home && home[0] == '/') base = std::string(home) + "/.cache";
    }
    if (base.empty()) {
      if (why) *why = "no folder for window endpoints: XDG_RUNTIME_DIR, XDG_CACHE_HOME and HOME are all unset";
      return {};
    }
    mkdir(base.c_str(), 0700);
    folder = base + "/quorvex-windows/";
  }
  mkdir(folder.c_str(), 0700);
  struct stat st;
  // Someone else's folder, or one others may write to, would let them pose as a window.
  std::string problem;
  // Without its trailing '/': lstat of "link/" would follow the link.
  if (lstat(folder.substr(0, folder.size() - 1).c_str(), &st) != 0) {
    problem = std::strerror(errno);
  } else if (!S_ISDIR(st.st_mode)) {
    problem = "it is not a folder";
  } else if (st.st_uid != getuid()) {
    problem = "it belongs to another user";
  } else if ((st.st_mode & 0077) != 0) {
    problem = "others may use it (it must be mode 0700)";
  }
  if (!problem.empty()) {
    if (why) *why = "the window endpoint folder " + folder + " is not used: " + problem;
    return {};
  }
  return folder;
}

WindowEndpoint::WindowEndpoint(const std::string& title) {
  static std::atomic<int> sequence{0};
  std::string folder = WindowEndpointFolder();
  if (folder.empty()) return;
  handle_ = static_cast<WindowHandle>(getpid()) * 65536 + (++sequence % 65536);
  socketPath_ = SocketPath(folder, handle_);
  sockaddr_un address;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  unlink(socketPath_.c_str());  // a socket of an earlier process with the same number
  if (!MakeAddress(socketPath_, &address) || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return;
  }
  fd_ = fd;
  // The title link is replaced in one step, so a finder sees the old window or the new one.
  linkPath_ = folder + TitleFileName(title);
  std::string temporary = linkPath_ + ".new" + std::to_string(handle_);
  unlink(temporary.c_str());
  if (symlink(std::string("#").append(std::to_string(handle_)).c_str(), temporary.c_str()) != 0 ||
      rename(temporary.c_str(), linkPath_.c_str()) != 0) {
    unlink(temporary.c_str());
    linkPath_.clear();
  }
}

WindowEndpoint::~WindowEndpoint() {
  if (fd_ < 0) return;
  if (!linkPath_.empty()) {
    char target[64];
    ssize_t length = readlink(linkPath_.c_str(), target, sizeof target - 1);
    if (length > 0 && std::string(target, static_cast<size_t>(length)) == std::string("#").append(std::to_string(handle_))) {
      unlink(linkPath_.c_str());
    }
  }
  close(fd_);
  unlink(socketPath_.c_str());
}

bool WindowEndpoint::Receive(WindowMessage* message, int timeoutMs) {
  if (fd_ < 0) return false;
  for (;;) {
    pollfd waiting{fd_, POLLIN, 0};
    int ready = poll(&waiting, 1, timeoutMs < 0 ? -1 : timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    unsigned char wire[kWireSize + 1];
    ssize_t received = recv(fd_, wire, sizeof wire, MSG_DONTWAIT);
    if (received < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (received != static_cast<ssize_t>(kWireSize)) {
      if (received < 0) return false;
      timeoutMs = 0;  // not a message: look for another one without waiting again
      continue;
    }
    message->message = static_cast<uint32_t>(GetInt(wire, 4));
    message->wParam = static_cast<int64_t>(GetInt(wire + 4, 8));
    message->lParam = static_cast<int64_t>(GetInt(wire + 12, 8));
    return true;
  }
}

WindowHandle FindWindowByTitle(const std::string& title) {
  std::string folder = WindowEndpointFolder();
  if (folder.empty()) return 0;
  char target[64];
  ssize_t length = readlink((folder + TitleFileName(title)).c_str(), target, sizeof target - 1);
  if (length < 2 || target[0] != '#') return 0;
  target[length] = '\0';
  char* end = nullptr;
  long long handle = std::strtoll(target + 1, &end, 10);
  if (*end != '\0' || handle <= 0) return 0;
  // Only a socket somebody still reads from is a window.
  sockaddr_un address;
  if (!MakeAddress(SocketPath(folder, handle), &address)) return 0;
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  bool live = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return live ? handle : 0;
}

bool PostWindowMessage(WindowHandle window, uint32_t message, int64_t wParam, int64_t lParam) {
  if (window <= 0) return false;
  std::string folder = WindowEndpointFolder();
  sockaddr_un address;
  if (folder.empty() || !MakeAddress(SocketPath(folder, window), &address)) return false;
  unsigned char wire[kWireSize];
  PutInt(wire, message, 4);
  PutInt(wire + 4, static_cast<uint64_t>(wParam), 8);
  PutInt(wire + 12, static_cast<uint64_t>(lParam), 8);
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  bool sent = sendto(fd, wire, sizeof wire, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&address), sizeof address) ==
              static_cast<ssize_t>(sizeof wire);
  close(fd);
  return sent;
}

}  // namespace qv
