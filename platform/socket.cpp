#include "platform/socket.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/timing.h"

namespace qv {
namespace {
// Queued sends are written out once they reach this size.
constexpr size_t kFlushSize = 64 * 1024;

int PollTimeout(int64_t ms) { return ms > INT_MAX ? INT_MAX : static_cast<int>(ms < 0 ? 0 : ms); }
}  // namespace

TcpConnection::~TcpConnection() { Close(); }

void TcpConnection::Close() {
  if (fd_ >= 0) {
    (void)Flush();
    ::close(fd_);
  }
  fd_ = -1;
  pending_.clear();
}

bool TcpConnection::Connect(const std::string& host, int port) {
  Close();
  if (host.empty() || port <= 0 || port > 65535) return false;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  sockaddr_in address = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
  freeaddrinfo(found);
  address.sin_port = htons(static_cast<uint16_t>(port));

  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  // Connect without blocking, then wait for the result at most the connect time-out.
  int flags = fcntl(fd, F_GETFL);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  int r = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (r != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return false;
  }
  if (r != 0) {
    pollfd p{fd, POLLOUT, 0};
    int ready;
    do {
      ready = poll(&p, 1, PollTimeout(GetTimings().socketConnectTimeoutMs));
    } while (ready < 0 && errno == EINTR);
    int error = 0;
    socklen_t length = sizeof error;
    if (ready <= 0 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      ::close(fd);
      return false;
    }
  }
  fcntl(fd, F_SETFL, flags);
  // Writes leave whole (see Flush), so there is nothing for Nagle's algorithm to gather.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fd_ = fd;
  return true;
}

bool TcpConnection::SendAll(std::string_view data) {
  if (fd_ < 0) return false;
  pending_.append(data);
  return pending_.size() < kFlushSize || Flush();
}

bool TcpConnection::Flush() {
  std::string_view data = pending_;
  bool ok = fd_ >= 0;
  while (ok && !data.empty()) {
    ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else data.remove_prefix(static_cast<size_t>(n));
  }
  pending_.clear();
  return ok;
}

long TcpConnection::Receive(char* buffer, size_t size) {
  if (fd_ < 0 || !Flush()) return -1;
  pollfd p{fd_, POLLIN, 0};
  int ready;
  do {
    ready = poll(&p, 1, PollTimeout(GetTimings().socketReceiveTimeoutMs));
  } while (ready < 0 && errno == EINTR);
  if (ready <= 0) return -1;
  ssize_t n;
  do {
    n = ::recv(fd_, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? -1 : static_cast<long>(n);
}

}  // namespace qv
