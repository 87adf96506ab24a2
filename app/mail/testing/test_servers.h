// A scripted TCP server on loopback for protocol transcript tests (POP3, SMTP).
//
// The server listens on a free 127.0.0.1 port as soon as it is made. Start() runs its script on
// its own thread: it accepts one connection, then performs the steps in order. Every line the
// client sends is recorded (without its CR LF, in arrival order over all connections), whether
// it was read by a step or after the script ended: once the steps are done the server keeps
// reading and recording until the client closes the connection, then closes it too.
//
//   ScriptedServer server;
//   server.Send("+OK ready\r\n").Read().Send("+OK\r\n").Read().Send("-ERR no\r\n");
//   server.Start();
//   ... client talks to 127.0.0.1:server.port() ...
//   server.Wait();   // the script has run and the client has closed
//   EXPECT_EQ(server.Received(), (std::vector<std::string>{"USER u", "PASS p", "QUIT"}));
//
// Each Send is one send() call with Nagle switched off; put a Pause between two Sends to make
// the client see them in separate receives (loopback delivers them apart in practice; clients
// must be correct either way). The destructor stops the thread whatever state it is in.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/timing.h"

namespace qv::test {

class ScriptedServer {
 public:
  ScriptedServer() {
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        listen(listenFd_, 8) == 0) {
      socklen_t length = sizeof address;
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
      port_ = ntohs(address.sin_port);
    }
  }
  ~ScriptedServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    CloseConnection();
    if (listenFd_ >= 0) ::close(listenFd_);
  }
  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  // The listening port, 0 when the listener could not be made.
  int port() const { return port_; }

  // ---- script steps (add them before Start) ----

  // Sends `bytes` in one send() call.
  ScriptedServer& Send(std::string bytes) { return Add({StepKind::kSend, std::move(bytes), 0}); }
  // Reads and records one line.
  ScriptedServer& Read() { return Add({StepKind::kRead, {}, 0}); }
  // Reads and records `count` lines.
  ScriptedServer& Read(int count) {
    for (int i = 0; i < count; ++i) Read();
    return *this;
  }
  // Reads and records lines up to and including one equal to `line` (e.g. "." after DATA).
  ScriptedServer& ReadUntil(std::string line) {
    return Add({StepKind::kReadUntil, std::move(line), 0});
  }
  // Waits `ms` milliseconds (keep it small: a few milliseconds split TCP segments).
  ScriptedServer& Pause(int ms) { return Add({StepKind::kPause, {}, ms}); }
  // Stops answering: records whatever arrives until the client closes the connection (for
  // example after its receive time-out) or the server is destroyed.
  ScriptedServer& GoSilent() { return Add({StepKind::kSilent, {}, 0}); }
  // Closes the connection at once, without reading what the client still sends.
  ScriptedServer& Cut() { return Add({StepKind::kCut, {}, 0}); }
  // Stops reading but keeps the connection open until the client closes it (a peer whose
  // buffers fill up, so the client's sends block).
  ScriptedServer& StopReading() { return Add({StepKind::kStopReading, {}, 0}); }
  // Finishes the current connection (records lines until the client closes it) and accepts
  // the next one; the following steps talk to the new connection.
  ScriptedServer& NextConnection() { return Add({StepKind::kNextConnection, {}, 0}); }

  // Runs the script on the server's thread.
  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  // Waits until the script has finished and the last connection is closed, at most
  // `timeoutMs`; true when it finished.
  bool Wait(int64_t timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done_) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (thread_.joinable()) thread_.join();
    return true;
  }

  // Every line received so far, without CR LF (a last line cut off without CR LF included).
  std::vector<std::string> Received() const {
    std::lock_guard lock(mutex_);
    return received_;
  }
  // Number of connections accepted so far.
  int Connections() const { return connections_; }

 private:
  enum class StepKind { kSend, kRead, kReadUntil, kPause, kSilent, kCut, kStopReading, kNextConnection };
  struct Step {
    StepKind kind;
    std::string text;
    int ms;
  };

  ScriptedServer& Add(Step step) {
    steps_.push_back(std::move(step));
    return *this;
  }

  bool AcceptConnection() {
    while (!stop_) {
      pollfd p{listenFd_, POLLIN, 0};
      if (poll(&p, 1, 20) > 0) {
        fd_ = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd_ < 0) return false;
        int yes = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        ++connections_;
        return true;
      }
    }
    return false;
  }

  void CloseConnection() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pending_.clear();
  }

  // Receives more bytes into pending_; false when the peer closed, on error or on stop.
  bool ReceiveMore() {
    while (!stop_ && fd_ >= 0) {
      pollfd p{fd_, POLLIN, 0};
      int ready = poll(&p, 1, 20);
      if (ready < 0) return false;
      if (ready == 0) continue;
      char buffer[4096];
      ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) {
        return false;
      }
      pending_.append(buffer, static_cast<size_t>(n));
      return true;
    }
    return false;
  }

  // Reads one line and records it; false when none arrives (the partial rest is recorded).
  bool ReadLine(std::string* line) {
    for (;;) {
      size_t end = pending_.find('\n');
      if (end != std::string::npos) {
        std::string text = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        Record(text);
        if (line) *line = text;
        return true;
      }
      if (!ReceiveMore()) {
        if (!pending_.empty()) Record(pending_);
        pending_.clear();
        return false;
      }
    }
  }

  void Record(const std::string& line) {
    std::lock_guard lock(mutex_);
    received_.push_back(line);
  }

  void Drain() {
    while (fd_ >= 0 && ReadLine(nullptr)) {
    }
    CloseConnection();
  }

  void Run() {
    if (listenFd_ < 0 || !AcceptConnection()) {
      done_ = true;
      return;
    }
    for (const Step& step : steps_) {
      if (stop_) break;
      switch (step.kind) {
        case StepKind::kSend:
          if (fd_ >= 0) (void)!::send(fd_, step.text.data(), step.text.size(), MSG_NOSIGNAL);
          break;
        case StepKind::kRead:
          if (fd_ >= 0) ReadLine(nullptr);
          break;
        case StepKind::kReadUntil: {
          std::string line;
          while (fd_ >= 0 && ReadLine(&line) && line != step.text) {
          }
          break;
        }
        case StepKind::kPause:
          std::this_thread::sleep_for(std::chrono::milliseconds(step.ms));
          break;
        case StepKind::kSilent:
          Drain();
          break;
        case StepKind::kCut:
          CloseConnection();
          break;
        case StepKind::kStopReading:
          while (fd_ >= 0 && !stop_) {
            pollfd p{fd_, POLLRDHUP, 0};
            if (poll(&p, 1, 20) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR))) break;
          }
          CloseConnection();
          break;
        case StepKind::kNextConnection:
          Drain();
          if (!AcceptConnection()) {
            done_ = true;
            return;
          }
          break;
      }
    }
    Drain();
    done_ = true;
  }

  int listenFd_ = -1;
  int port_ = 0;
  int fd_ = -1;
  std::string pending_;
  std::vector<Step> steps_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> done_{false};
  std::atomic<int> connections_{0};
  mutable std::mutex mutex_;
  std::vector<std::string> received_;
};

// A test fixture with short socket time-outs for every test of the suite; the timings in use
// before come back afterwards.
class ShortSocketTimeoutsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = qv::GetTimings();
    qv::Timings fast = saved_;
    fast.socketConnectTimeoutMs = 2000;
    fast.socketReceiveTimeoutMs = 2000;
    qv::SetTimings(fast);
  }
  void TearDown() override { qv::SetTimings(saved_); }

 private:
  qv::Timings saved_;
};

}  // namespace qv::test
