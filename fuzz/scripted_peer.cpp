#include "fuzz/scripted_peer.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/socket.h"

namespace qv::fuzz {
namespace {

// Without /proc the peer takes a client that has read everything and stayed quiet this long
// as waiting.
constexpr auto kFallbackIdleTime = std::chrono::milliseconds(20);
// Rounds spent yielding before the peer sleeps a millisecond per round: the client usually
// reaches its wait within a few.
constexpr int kYieldRounds = 64;

bool IsSocketWait(long number) {
#ifdef SYS_poll
  if (number == SYS_poll) return true;
#endif
  return number == SYS_ppoll;
}

// Reads what the client sent into `received`; false when it has closed its end.
bool Drain(int fd, std::string* received) {
  char buffer[4096];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
      received->append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK;
  }
}

}  // namespace

ScriptedPeer::ScriptedPeer(const std::vector<std::string_view>& replies)
    : replies_(replies.begin(), replies.end()) {
  SetConnectHook([this](const std::string&, int) { return Connect(); });
}

ScriptedPeer::~ScriptedPeer() {
  SetConnectHook(nullptr);
  HangUp();
}

std::string ScriptedPeer::Finish() {
  HangUp();
  return received_;
}

int ScriptedPeer::Connect() {
  HangUp();
  int ends[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
  fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
  ++connections_;
  server_ = std::thread(&ScriptedPeer::Serve, this, ends[1], gettid());
  return ends[0];
}

void ScriptedPeer::HangUp() {
  if (!server_.joinable()) return;
  stop_ = true;
  server_.join();
  stop_ = false;
}

bool ScriptedPeer::ClientWaits(int fd, pid_t client, Clock::time_point idleSince) const {
  int unread = 0;
  if (ioctl(fd, SIOCOUTQ, &unread) != 0 || unread > 0) return false;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(client));
  int file = open(path, O_RDONLY | O_CLOEXEC);
  bool quietLongEnough = Clock::now() - idleSince >= kFallbackIdleTime;
  if (file < 0) return quietLongEnough;
  char text[32];
  ssize_t n = read(file, text, sizeof text - 1);
  close(file);
  if (n <= 0) return quietLongEnough;
  text[n] = '\0';
  // "running" while the client works; the number of the call it is blocked in otherwise.
  if (text[0] < '0' || text[0] > '9') return false;
  return IsSocketWait(std::strtol(text, nullptr, 10));
}

bool ScriptedPeer::SendReply(int fd, std::string_view reply) {
  while (!reply.empty() && !stop_) {
    ssize_t n = send(fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      reply.remove_prefix(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return false;
    // The client reads at its pace; what it sends meanwhile must not fill up the other way.
    if (!Drain(fd, &received_)) return false;
    pollfd p{fd, POLLOUT, 0};
    poll(&p, 1, 1);
  }
  return !stop_;
}

void ScriptedPeer::Serve(int fd, pid_t client) {
  int idleRounds = 0;
  Clock::time_point idleSince = Clock::now();
  while (!stop_ && Drain(fd, &received_)) {
    if (ClientWaits(fd, client, idleSince)) {
      idleRounds = 0;
      idleSince = Clock::now();
      // Out of replies: hang up, as a server that has nothing more to say.
      static const bool shown = getenv("QUORVEX_FUZZ_LOG") != nullptr;
      if (shown && next_ < replies_.size()) {
        std::fprintf(stderr, "peer, connection %d, reply %zu: %zu bytes\n", connections_, next_ + 1,
                     replies_[next_].size());
      }
      if (next_ >= replies_.size() || !SendReply(fd, replies_[next_++])) break;
      continue;
    }
    if (++idleRounds < kYieldRounds) {
      sched_yield();
    } else {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, 1);
    }
  }
  close(fd);
}

}  // namespace qv::fuzz
