// Blocking IPv4 TCP connections with connect and receive time-outs from the timings record,
// so a silent server cannot hold a worker forever.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qv {

class TcpConnection {
 public:
  TcpConnection() = default;
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Resolves `host` (getaddrinfo, IPv4, first address) and connects to `port`, waiting at
  // most the connect time-out. Closes an earlier connection first. False on any failure.
  [[nodiscard]] bool Connect(const std::string& host, int port);
  // Sends every byte; false when the peer is gone or the connection is closed.
  [[nodiscard]] bool SendAll(std::string_view data);
  // Receives at most `size` bytes, waiting at most the receive time-out. Returns the count,
  // 0 when the peer closed the connection, -1 on error or time-out.
  [[nodiscard]] long Receive(char* buffer, size_t size);
  void Close();
  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

}  // namespace qv
