// A mail server for the network targets, played from the fuzz input: it stands behind the
// socket layer's connect hook, so the real client code runs over a real (local) stream socket.
//
// The peer knows no protocol. It says its next reply whenever the client waits for one: when
// the client has read everything sent so far and sits in its socket wait (seen in
// /proc/self/task/TID/syscall). So a reply may be a whole protocol reply, a part of one (the
// rest comes as the next reply, as from a server that sends in pieces) or several at once.
// Whatever the client sends is read and kept. When the replies run out and the client
// waits, the peer hangs up. A new connection goes on with the next reply; the connection
// before it is hung up. This keeps every run deterministic and free of time-outs.
//
// While a peer lives it owns the connect hook; one peer at a time. With QUORVEX_FUZZ_LOG set it
// prints each reply it says on standard error.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qv::fuzz {

class ScriptedPeer {
 public:
  explicit ScriptedPeer(const std::vector<std::string_view>& replies);
  ~ScriptedPeer();
  ScriptedPeer(const ScriptedPeer&) = delete;
  ScriptedPeer& operator=(const ScriptedPeer&) = delete;

  // Hangs up and returns every byte the client sent, over all its connections.
  [[nodiscard]] std::string Finish();
  // Connections the client made.
  [[nodiscard]] int connections() const { return connections_; }

 private:
  // The hook: a socketpair, one end served on a thread of its own, the other for the client.
  int Connect();
  void HangUp();
  void Serve(int fd, pid_t client);
  // Whether the client waits for the peer: it read everything and sits in its socket wait.
  using Clock = std::chrono::steady_clock;
  [[nodiscard]] bool ClientWaits(int fd, pid_t client, Clock::time_point idleSince) const;
  [[nodiscard]] bool SendReply(int fd, std::string_view reply);

  std::vector<std::string> replies_;
  size_t next_ = 0;       // touched by one serving thread at a time
  std::string received_;  // likewise
  int connections_ = 0;
  std::thread server_;
  std::atomic<bool> stop_{false};
};

}  // namespace qv::fuzz
