#include "platform/socket.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

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
  ASSERT_TRUE(connection.SendAll("STAT\r\n"));
  EXPECT_EQ(connection.Receive(buffer, sizeof buffer), -1);  // silent peer: time-out
  EXPECT_EQ(recv(peer, buffer, sizeof buffer, 0), 6);         // the command left before the wait
  // A short wait for news tells a quiet peer apart and leaves the connection usable.
  EXPECT_EQ(connection.ReceiveWithin(buffer, sizeof buffer, 0), TcpConnection::kNothingYet);
  EXPECT_EQ(connection.ReceiveWithin(buffer, sizeof buffer, 5), TcpConnection::kNothingYet);
  send(peer, "* 3 EXISTS\r\n", 12, 0);
  EXPECT_EQ(connection.ReceiveWithin(buffer, sizeof buffer, 1000), 12);
  ::close(peer);
  EXPECT_EQ(connection.Receive(buffer, sizeof buffer), 0);  // closed
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
