// Blocking IPv4 TCP connections with connect, receive and send time-outs from the timings
// record, so a silent server, or one that stops reading, cannot hold a worker forever. A
// connection can turn to TLS (OpenSSL) at any point, from the first byte or after a STARTTLS
// exchange; reads and writes look the same either way.
//
// The time-outs bound whole exchanges, not single calls: a server that trickles a byte now and
// then, or a peer that reads a little every few milliseconds, is as bounded as a silent one.
// - A reply: every Receive after a request (a send, the connect or the TLS handshake) shares
//   one deadline, the receive time-out after the first of them. Past it the connection is
//   dropped, whatever still arrives.
// - A request: every write since the last receive shares one deadline, the send time-out
//   after the first of them.
// - The TLS handshake: one deadline, the receive time-out.
//
// Sends are collected and go out as one write when the program turns to listen (Receive),
// when much has been collected, on Flush and on Close: a command or a whole mail written in
// many small pieces then leaves in few segments, never waiting for the peer's delayed
// acknowledgement of each piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

typedef struct ssl_st SSL;

namespace qv {

// Why StartTls failed.
enum class TlsFailure {
  kNone,
  kUntrusted,     // the certificate chain does not lead to a trusted certificate
  kHostMismatch,  // the certificate is not for the host name that was dialled
  kHandshake,     // the handshake failed otherwise (protocol, time-out, closed connection)
  kCaFile,        // the extra trusted certificates could not be read
};

// The seam for protocol tests and fuzzing: while a hook is set, Connect asks it for the
// connected stream socket of `host`:`port` instead of resolving and dialling. The hook returns
// a descriptor the connection then owns and makes non-blocking (one end of a socketpair, say),
// or -1 for a failed connect. Everything after the connect (time-outs, TLS, sends, receives)
// runs as with a real server. An empty hook restores real connects. Set it only while no
// Connect runs.
using ConnectHook = std::function<int(const std::string& host, int port)>;
void SetConnectHook(ConnectHook hook);

class TcpConnection {
 public:
  TcpConnection() = default;
  ~TcpConnection();
  TcpConnection(const TcpConnection&) = delete;
  TcpConnection& operator=(const TcpConnection&) = delete;

  // Resolves `host` (getaddrinfo, IPv4, first address) and connects to `port`, waiting at
  // most the connect time-out. Closes an earlier connection first. False on any failure.
  [[nodiscard]] bool Connect(const std::string& host, int port);
  // Turns the open connection into a TLS client connection (TLS 1.2 or later) and runs the
  // handshake. The server's certificate
  // must chain to the system's trusted certificates or to one of the PEM file `caFile` (may be
  // empty) and be valid for `host` (a DNS name, or an IPv4 address matched against the
  // certificate's IP addresses; the host name only in the subjectAltName, never the common
  // name, and a wildcard only as a whole label). Queued sends go out before. The whole
  // handshake must end within the receive time-out. On failure the connection is closed and
  // tlsFailure() / tlsDetail() say why.
  [[nodiscard]] bool StartTls(const std::string& host, const std::string& caFile);
  [[nodiscard]] bool IsTls() const { return ssl_ != nullptr; }
  [[nodiscard]] TlsFailure tlsFailure() const { return tlsFailure_; }
  // Words for the log: the certificate's subject and issuer for kUntrusted and kHostMismatch,
  // the library's reason otherwise. Never holds anything the program sent.
  [[nodiscard]] const std::string& tlsDetail() const { return tlsDetail_; }

  // Queues every byte for sending (writing out what is queued once it is large); false when
  // the connection is closed or a write failed. A peer that has gone may show only at the
  // next Flush or Receive.
  [[nodiscard]] bool SendAll(std::string_view data);
  // Writes out everything queued, by the deadline of the running request (see above); false
  // when a write failed or timed out (the connection is then closed) or the connection is
  // closed.
  [[nodiscard]] bool Flush();
  // Writes out what is queued, then receives at most `size` bytes, waiting at most until the
  // deadline of the running reply (see above). Returns the count, 0 when the peer closed the
  // connection, -1 on error, a failed write or a passed deadline (the connection is then
  // closed).
  [[nodiscard]] long Receive(char* buffer, size_t size);
  // What ReceiveWithin returns when nothing arrived in time; the connection stays usable.
  static constexpr long kNothingYet = -2;
  // As Receive, but waits at most `ms` (0: only what is there already) and tells a quiet
  // peer apart: kNothingYet when no byte arrived in time, -1 on error, a failed write or an
  // abort. For a connection that waits for news (IMAP IDLE) in short slices; a Receive after
  // it starts a new reply deadline.
  [[nodiscard]] long ReceiveWithin(char* buffer, size_t size, int64_t ms);
  // Writes out what is queued (failures ignored, at most the send time-out), ends TLS and
  // closes.
  void Close();
  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }

 private:
  // Writes `data` whole; false on failure or time-out.
  bool WriteOut(std::string_view data);
  // Receives once, waiting at most until `deadline` (a tick); kNothingYet when it passed.
  long ReceiveBefore(char* buffer, size_t size, uint32_t deadline);
  void Drop();

  int fd_ = -1;
  SSL* ssl_ = nullptr;
  std::string pending_;
  bool replyRunning_ = false;  // a Receive has started the deadline of the awaited reply
  uint32_t replyDeadline_ = 0;
  bool sendRunning_ = false;   // a write has started the deadline of the request
  uint32_t sendDeadline_ = 0;
  TlsFailure tlsFailure_ = TlsFailure::kNone;
  std::string tlsDetail_;
};

}  // namespace qv
