// Blocking IPv4 TCP connections with connect and receive time-outs from the timings record,
// so a silent server cannot hold a worker forever.
//
// Sends are collected and go out as one write when the program turns to listen (Receive),
// when much has been collected, on Flush and on Close: a command or a whole mail written in
// many small pieces then leaves in few segments, never waiting for the peer's delayed
// acknowledgement of each piece.
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
  // Queues every byte for sending (writing out what is queued once it is large); false when
  // the connection is closed or a write failed. A peer that has gone may show only at the
  // next Flush or Receive.
  [[nodiscard]] bool SendAll(std::string_view data);
  // Writes out everything queued; false when a write failed or the connection is closed.
  [[nodiscard]] bool Flush();
  // Writes out what is queued, then receives at most `size` bytes, waiting at most the
  // receive time-out. Returns the count, 0 when the peer closed the connection, -1 on error,
  // time-out or a failed write.
  [[nodiscard]] long Receive(char* buffer, size_t size);
  // Writes out what is queued (failures ignored) and closes.
  void Close();
  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  std::string pending_;
};

}  // namespace qv
