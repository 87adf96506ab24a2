#include "platform/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/testing/tls_peer.h"

#include "platform/timing.h"

namespace qv {
namespace {

// A listening loopback socket on a free port.
struct Listener {
  int fd = -1;
  int port = 0;
  Listener() {
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(fd, 4);
    socklen_t n = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
    port = ntohs(a.sin_port);
  }
  ~Listener() { ::close(fd); }
};

TEST(Socket, SendsReceivesAndTimesOut) {
  Timings saved = GetTimings();
  Timings fast;
  fast.socketReceiveTimeoutMs = 50;
  SetTimings(fast);
  Listener listener;
  TcpConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", listener.port));
  int peer = accept(listener.fd, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  // Pieces go out together when the connection turns to listen.
  ASSERT_TRUE(connection.SendAll("USER "));
  ASSERT_TRUE(connection.SendAll("a\r\n"));
  char buffer[64];
  EXPECT_EQ(recv(peer, buffer, sizeof buffer, MSG_DONTWAIT), -1);
  ASSERT_TRUE(connection.Flush());
  EXPECT_EQ(recv(peer, buffer, sizeof buffer, 0), 8);
  send(peer, "+OK\r\n", 5, 0);
  EXPECT_EQ(connection.Receive(buffer, sizeof buffer), 5);
  // A short wait for news tells a quiet peer apart and leaves the connection usable.
  EXPECT_EQ(connection.ReceiveWithin(buffer, sizeof buffer, 0), TcpConnection::kNothingYet);
  EXPECT_EQ(connection.ReceiveWithin(buffer, sizeof buffer, 5), TcpConnection::kNothingYet);
  send(peer, "* 3 EXISTS\r\n", 12, 0);
  EXPECT_EQ(connection.ReceiveWithin(buffer, sizeof buffer, 1000), 12);
  ASSERT_TRUE(connection.SendAll("STAT\r\n"));
  EXPECT_EQ(connection.Receive(buffer, sizeof buffer), -1);  // silent peer: time-out
  EXPECT_EQ(recv(peer, buffer, sizeof buffer, 0), 6);         // the command left before the wait
  EXPECT_FALSE(connection.IsOpen());                          // and nothing more is heard
  ::close(peer);
  ASSERT_TRUE(connection.Connect("127.0.0.1", listener.port));
  peer = accept(listener.fd, nullptr, nullptr);
  ::close(peer);
  EXPECT_EQ(connection.Receive(buffer, sizeof buffer), 0);  // closed
  SetTimings(saved);
}

// Milliseconds since `start`.
int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST(Socket, AReplyThatTricklesOrFloodsEndsAtTheReceiveTimeOut) {
  Timings saved = GetTimings();
  Timings fast;
  fast.socketReceiveTimeoutMs = 300;
  SetTimings(fast);
  // One byte every 20 ms (each receive sees news long before its time-out), or the line
  // flooded: either way the reply to one request is over at the receive time-out.
  for (int pauseMs : {20, 0}) {
    SCOPED_TRACE(pauseMs);
    Listener listener;
    TcpConnection connection;
    ASSERT_TRUE(connection.Connect("127.0.0.1", listener.port));
    int peer = accept(listener.fd, nullptr, nullptr);
    ASSERT_GE(peer, 0);
    std::atomic<bool> stop{false};
    std::thread talker([&] {
      for (int sent = 0; !stop && sent < 100000; ++sent) {
        if (::send(peer, "*", 1, MSG_NOSIGNAL) != 1) break;
        if (pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
      }
    });
    ASSERT_TRUE(connection.SendAll("A1 NOOP\r\n"));
    auto start = std::chrono::steady_clock::now();
    char buffer[64];
    long received = 0;
    while (connection.Receive(buffer, sizeof buffer) > 0 && MsSince(start) < 5000) ++received;
    EXPECT_GT(received, 2);
    EXPECT_LT(MsSince(start), 2000);
    EXPECT_FALSE(connection.IsOpen());
    stop = true;
    talker.join();
    ::close(peer);
  }
  SetTimings(saved);
}

TEST(Socket, APeerThatReadsALittleAtATimeEndsALargeSendAtTheSendTimeOut) {
  Timings saved = GetTimings();
  Timings fast;
  fast.socketSendTimeoutMs = 300;
  SetTimings(fast);
  Listener listener;
  TcpConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", listener.port));
  int peer = accept(listener.fd, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    char buffer[4096];
    while (!stop && ::recv(peer, buffer, sizeof buffer, 0) > 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });
  // Each 64 KiB write alone would leave well within the time-out; the mail as a whole cannot.
  std::string block(64 * 1024, 'x');
  auto start = std::chrono::steady_clock::now();
  bool sent = true;
  for (int i = 0; i < 1024 && sent && MsSince(start) < 10000; ++i) sent = connection.SendAll(block);
  sent = sent && connection.Flush();
  EXPECT_FALSE(sent);
  EXPECT_LT(MsSince(start), 3000);
  EXPECT_FALSE(connection.IsOpen());
  stop = true;
  ::shutdown(peer, SHUT_RDWR);
  reader.join();
  ::close(peer);
  SetTimings(saved);
}

TEST(Socket, APeerThatStopsReadingFailsTheSendWithinTheTimeOut) {
  Timings saved = GetTimings();
  Timings fast;
  fast.socketSendTimeoutMs = 100;
  SetTimings(fast);
  Listener listener;
  TcpConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", listener.port));
  int peer = accept(listener.fd, nullptr, nullptr);
  ASSERT_GE(peer, 0);
  // Far more than the socket buffers of both ends hold; the peer never reads.
  std::string block(1 << 20, 'x');
  bool sent = true;
  for (int i = 0; i < 64 && sent; ++i) sent = connection.SendAll(block);
  EXPECT_FALSE(sent);
  EXPECT_FALSE(connection.IsOpen());
  ::close(peer);
  SetTimings(saved);
}

TEST(Socket, AnAbortEndsAReceiveAtOnce) {
  Timings saved = GetTimings();
  Timings slow;
  slow.socketReceiveTimeoutMs = 60000;
  SetTimings(slow);
  Listener listener;
  TcpConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", listener.port));
  int peer = accept(listener.fd, nullptr, nullptr);
  std::thread stopper([] {
    SleepMs(50);
    RequestAbort();
  });
  char buffer[16];
  EXPECT_EQ(connection.Receive(buffer, sizeof buffer), -1);  // long before the time-out
  stopper.join();
  ClearAbort();
  ::close(peer);
  SetTimings(saved);
}

TEST(Socket, RefusesBadTargets) {
  TcpConnection connection;
  EXPECT_FALSE(connection.Connect("", 110));
  EXPECT_FALSE(connection.Connect("127.0.0.1", 0));
  EXPECT_FALSE(connection.Connect("no-such-host.invalid", 110));
  int port;
  { Listener closed; port = closed.port; }
  EXPECT_FALSE(connection.Connect("127.0.0.1", port));
  EXPECT_FALSE(connection.SendAll("x"));
  char c;
  EXPECT_EQ(connection.Receive(&c, 1), -1);
  EXPECT_FALSE(connection.StartTls("localhost", ""));
}

TEST(Socket, AConnectHookHandsOverItsSocket) {
  std::string dialled;
  int peer = -1;
  SetConnectHook([&](const std::string& host, int port) {
    dialled = host + ":" + std::to_string(port);
    if (port == 1) return -1;
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
    peer = ends[1];
    return ends[0];
  });
  TcpConnection connection;
  EXPECT_FALSE(connection.Connect("mail.example", 1));
  EXPECT_EQ(dialled, "mail.example:1");
  ASSERT_TRUE(connection.Connect("mail.example", 110));
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(connection.SendAll("QUIT\r\n"));
  ASSERT_TRUE(connection.Flush());
  char buffer[16];
  EXPECT_EQ(recv(peer, buffer, sizeof buffer, 0), 6);
  // The handed-over socket waits with the time-outs like a dialled one: nothing there yet.
  Timings saved = GetTimings();
  Timings fast;
  fast.socketReceiveTimeoutMs = 20;
  SetTimings(fast);
  EXPECT_EQ(connection.Receive(buffer, sizeof buffer), -1);
  SetTimings(saved);
  SetConnectHook(nullptr);
  ::close(peer);
}

}  // namespace
}  // namespace qv

namespace qv {
namespace {

// The certificate checks, each reached the way a user's settings reach them: by host name
// through the connect hook (so the host-name check itself runs), or by IPv4 address.
TEST(SocketTls, TheCertificateMustNameTheHostInItsSubjectAltName) {
  test::TestCa ca;
  struct Case {
    const char* name;
    const char* host;
    const char* commonName;
    std::vector<std::string> altNames;
    TlsFailure expected;
  };
  const Case cases[] = {
      {"named host", "mail.example", "mail.example", {"DNS:mail.example"}, TlsFailure::kNone},
      {"another host", "mail.example", "other.example", {"DNS:other.example"}, TlsFailure::kHostMismatch},
      {"host in the common name only", "mail.example", "mail.example", {}, TlsFailure::kHostMismatch},
      {"common name names the host, altName another", "mail.example", "mail.example", {"DNS:other.example"},
       TlsFailure::kHostMismatch},
      {"whole-label wildcard", "mx.mail.example", "mail", {"DNS:*.mail.example"}, TlsFailure::kNone},
      {"partial wildcard", "mx.mail.example", "mail", {"DNS:m*.mail.example"}, TlsFailure::kHostMismatch},
      {"IP address", "127.0.0.1", "mail", {"IP:127.0.0.1"}, TlsFailure::kNone},
      {"IP address in a DNS name only", "127.0.0.1", "127.0.0.1", {"DNS:127.0.0.1"}, TlsFailure::kHostMismatch},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TlsScriptedPeer peer(ca.Issue(c.commonName, c.altNames), {}, {"hello\r\n"});
    std::string dialled;
    SetConnectHook([&](const std::string& host, int) {
      dialled = host;
      return peer.TakeClientEnd();
    });
    TcpConnection connection;
    ASSERT_TRUE(connection.Connect(c.host, 993));
    EXPECT_EQ(dialled, c.host);
    bool secured = connection.StartTls(c.host, ca.caFile());
    EXPECT_EQ(secured, c.expected == TlsFailure::kNone) << connection.tlsDetail();
    EXPECT_EQ(connection.tlsFailure(), c.expected) << connection.tlsDetail();
    if (secured) {
      char buffer[16];
      EXPECT_EQ(connection.Receive(buffer, sizeof buffer), 7);
    }
    connection.Close();
    SetConnectHook({});
  }
}

TEST(SocketTls, AHandshakeThatTricklesEndsAtTheReceiveTimeOut) {
  Timings saved = GetTimings();
  Timings fast;
  fast.socketReceiveTimeoutMs = 300;
  SetTimings(fast);
  int ends[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
  std::atomic<bool> stop{false};
  // A record header announcing a long handshake message, then its bytes one by one.
  std::thread talker([&, fd = ends[1]] {
    const char header[] = "\x16\x03\x03\x40\x00";
    (void)!::send(fd, header, 5, MSG_NOSIGNAL);
    for (int i = 0; !stop && i < 1000; ++i) {
      if (::send(fd, "\x02", 1, MSG_NOSIGNAL) != 1) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  SetConnectHook([&](const std::string&, int) { return ends[0]; });
  TcpConnection connection;
  ASSERT_TRUE(connection.Connect("mail.example", 995));
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(connection.StartTls("mail.example", ""));
  EXPECT_LT(MsSince(start), 2000);
  EXPECT_EQ(connection.tlsFailure(), TlsFailure::kHandshake);
  stop = true;
  talker.join();
  ::close(ends[1]);
  SetConnectHook({});
  SetTimings(saved);
}

}  // namespace
}  // namespace qv
