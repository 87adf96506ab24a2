#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>

#include "platform/timing.h"

namespace qv {
namespace {
// Queued sends are written out once they reach this size.
constexpr size_t kFlushSize = 64 * 1024;

// Waits until `fd` is ready for `events` or `deadline` (a tick) has passed; false on time-out
// or error. An abort ends the wait as a time-out does.
bool WaitFor(int fd, short events, uint32_t deadline) {
  for (;;) {
    if (AbortRequested()) return false;
    int32_t remaining = TickDiff(deadline, GetTickCount32());
    if (remaining < 0) remaining = 0;
    pollfd p{fd, events, 0};
    int ready = poll(&p, 1, remaining < kAbortCheckMs ? remaining : kAbortCheckMs);
    if (ready > 0) return true;
    if (ready == 0 && remaining <= kAbortCheckMs) return false;
    if (ready < 0 && errno != EINTR) return false;
  }
}

uint32_t DeadlineAfter(int64_t ms) {
  if (ms > INT_MAX / 2) ms = INT_MAX / 2;
  if (ms < 0) ms = 0;
  return GetTickCount32() + static_cast<uint32_t>(ms);
}

// After an SSL call returned `result`: waits for what the library needs to go on. True when
// the call may be repeated, false on a real failure or time-out.
bool WaitForTls(SSL* ssl, int fd, int result, uint32_t deadline) {
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
      return WaitFor(fd, POLLIN, deadline);
    case SSL_ERROR_WANT_WRITE:
      return WaitFor(fd, POLLOUT, deadline);
    default:
      return false;
  }
}

std::string NameText(X509_NAME* name) {
  if (!name) return {};
  BIO* bio = BIO_new(BIO_s_mem());
  if (!bio) return {};
  X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253);
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  std::string text(data ? data : "", length > 0 ? static_cast<size_t>(length) : 0);
  BIO_free(bio);
  return text;
}

std::string LibraryReason() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "connection closed during the handshake";
  char buffer[256];
  ERR_error_string_n(code, buffer, sizeof buffer);
  return buffer;
}

// What the certificate check found wrong first: the library's error and the certificate it was
// about. The verify callback fills it during the handshake.
struct VerifyFailure {
  int error = X509_V_OK;
  std::string subject;
  std::string issuer;
};

int RecordVerifyFailure(int preverified, X509_STORE_CTX* store) {
  if (preverified) return preverified;
  auto* ssl = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  auto* failure = ssl ? static_cast<VerifyFailure*>(SSL_get_app_data(ssl)) : nullptr;
  if (failure && failure->error == X509_V_OK) {
    failure->error = X509_STORE_CTX_get_error(store);
    X509* certificate = X509_STORE_CTX_get_current_cert(store);
    if (certificate) {
      failure->subject = NameText(X509_get_subject_name(certificate));
      failure->issuer = NameText(X509_get_issuer_name(certificate));
    }
  }
  return preverified;
}

// The client contexts made so far, by trusted certificates. Reading the system's certificates
// costs more than a handshake, so each context is made once and shared; contexts live until
// the program ends and are freed then.
struct ContextCache {
  ~ContextCache() {
    for (auto& entry : contexts) SSL_CTX_free(entry.second);
  }
  std::mutex mutex;
  std::map<std::string, SSL_CTX*> contexts;
};

ContextCache& Contexts() {
  // The library is set up first, so its own clean-up at exit runs after the cache is freed.
  static const bool initialised = OPENSSL_init_ssl(0, nullptr) == 1;
  static ContextCache cache;
  (void)initialised;
  return cache;
}

// The system's trust store. Its hashed certificate folder is read lazily, only the certificates
// of the issuers a server's chain names, where loading the whole bundle file would cost more
// than the handshakes. SSL_CERT_FILE or SSL_CERT_DIR in the environment, or a system without
// that folder, get OpenSSL's usual default paths.
void UseSystemTrustStore(SSL_CTX* context) {
  const char* defaultFolder = X509_get_default_cert_dir();
  struct stat st;
  if (!std::getenv(X509_get_default_cert_file_env()) && !std::getenv(X509_get_default_cert_dir_env()) &&
      stat(defaultFolder, &st) == 0 && S_ISDIR(st.st_mode) && SSL_CTX_load_verify_dir(context, defaultFolder) == 1) {
    return;
  }
  ERR_clear_error();
  SSL_CTX_set_default_verify_paths(context);
}

// The client context of one set of trusted certificates: the system's trust store plus the CA
// file as it is now (path, modification time and size; a changed file makes a new context).
// Null when the library cannot make a context (its reason in `*detail`) or the CA file cannot
// be read (`*failure` kCaFile, `*detail` the file).
SSL_CTX* ClientContext(const std::string& caFile, TlsFailure* failure, std::string* detail) {
  ContextCache& cache = Contexts();
  std::mutex& contextsMutex = cache.mutex;
  std::map<std::string, SSL_CTX*>& contexts = cache.contexts;
  std::string key = caFile;
  if (!caFile.empty()) {
    struct stat st;
    if (stat(caFile.c_str(), &st) == 0) {
      // Appended piece by piece: GCC 12 warns falsely about "literal" + std::string.
      key.append("\n").append(std::to_string(st.st_mtim.tv_sec)).append(".");
      key.append(std::to_string(st.st_mtim.tv_nsec)).append(".").append(std::to_string(st.st_size));
    }
  }
  std::lock_guard lock(contextsMutex);
  auto found = contexts.find(key);
  if (found != contexts.end()) return found->second;
  SSL_CTX* context = SSL_CTX_new(TLS_client_method());
  if (!context) {
    *detail = LibraryReason();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  UseSystemTrustStore(context);
  if (!caFile.empty() && SSL_CTX_load_verify_locations(context, caFile.c_str(), nullptr) != 1) {
    ERR_clear_error();
    SSL_CTX_free(context);
    *failure = TlsFailure::kCaFile;
    *detail = caFile;
    return nullptr;
  }
  contexts[key] = context;
  return context;
}

ConnectHook& Hook() {
  static ConnectHook hook;
  return hook;
}

bool IsIpv4Address(const std::string& host) {
  in_addr address{};
  return inet_pton(AF_INET, host.c_str(), &address) == 1;
}

}  // namespace

void SetConnectHook(ConnectHook hook) { Hook() = std::move(hook); }

TcpConnection::~TcpConnection() { Close(); }

void TcpConnection::Drop() {
  if (ssl_) {
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  pending_.clear();
}

void TcpConnection::Close() {
  if (fd_ >= 0) {
    (void)Flush();
    // One attempt at close_notify; a peer that does not take it at once is not waited for.
    if (ssl_ && fd_ >= 0) (void)SSL_shutdown(ssl_);
  }
  Drop();
}

bool TcpConnection::Connect(const std::string& host, int port) {
  Close();
  tlsFailure_ = TlsFailure::kNone;
  tlsDetail_.clear();
  if (host.empty() || port <= 0 || port > 65535) return false;
  if (Hook()) {
    int fd = Hook()(host, port);
    if (fd < 0) return false;
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fd_ = fd;
    replyRunning_ = false;
    sendRunning_ = false;
    return true;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found) return false;
  sockaddr_in address = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
  freeaddrinfo(found);
  address.sin_port = htons(static_cast<uint16_t>(port));

  // The socket stays non-blocking: every wait is a poll with its time-out.
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int r = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (r != 0 && errno != EINPROGRESS) {
    ::close(fd);
    return false;
  }
  if (r != 0) {
    bool ready = WaitFor(fd, POLLOUT, DeadlineAfter(GetTimings().socketConnectTimeoutMs));
    int error = 0;
    socklen_t length = sizeof error;
    if (!ready || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      ::close(fd);
      return false;
    }
  }
  // Writes leave whole (see Flush), so there is nothing for Nagle's algorithm to gather.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  fd_ = fd;
  replyRunning_ = false;
  sendRunning_ = false;
  return true;
}

bool TcpConnection::StartTls(const std::string& host, const std::string& caFile) {
  tlsFailure_ = TlsFailure::kHandshake;
  tlsDetail_.clear();
  if (fd_ < 0 || ssl_ || !Flush()) {
    tlsDetail_ = "no open connection";
    Drop();
    return false;
  }
  // A peer that closes while the library writes must fail the write, not end the program.
  static std::once_flag ignorePipe;
  std::call_once(ignorePipe, [] { signal(SIGPIPE, SIG_IGN); });

  SSL_CTX* context = ClientContext(caFile, &tlsFailure_, &tlsDetail_);
  if (!context) {
    Drop();
    return false;
  }
  ssl_ = SSL_new(context);
  if (!ssl_) {
    tlsDetail_ = LibraryReason();
    Drop();
    return false;
  }
  SSL_set_mode(ssl_, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  SSL_set_fd(ssl_, fd_);
  VerifyFailure failure;
  SSL_set_app_data(ssl_, &failure);
  SSL_set_verify(ssl_, SSL_VERIFY_PEER, RecordVerifyFailure);
  // A certificate the user named in the CA file is trusted as it is, even when it is a
  // self-signed server certificate rather than a CA.
  X509_VERIFY_PARAM_set_flags(SSL_get0_param(ssl_), X509_V_FLAG_PARTIAL_CHAIN);
  // Only the subjectAltName names a host (RFC 6125 6.4.4: no fall-back to the common name),
  // and a wildcard stands for a whole label only ("*.example.org", never "m*.example.org").
  X509_VERIFY_PARAM_set_hostflags(SSL_get0_param(ssl_),
                                  X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  if (IsIpv4Address(host)) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), host.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl_, host.c_str());
    SSL_set1_host(ssl_, host.c_str());
  }

  uint32_t deadline = DeadlineAfter(GetTimings().socketReceiveTimeoutMs);
  for (;;) {
    ERR_clear_error();
    int result = SSL_connect(ssl_);
    if (result == 1) {
      SSL_set_app_data(ssl_, nullptr);
      tlsFailure_ = TlsFailure::kNone;
      replyRunning_ = false;
      sendRunning_ = false;
      return true;
    }
    if (WaitForTls(ssl_, fd_, result, deadline)) continue;
    break;
  }
  SSL_set_app_data(ssl_, nullptr);
  if (failure.error != X509_V_OK) {
    tlsFailure_ = failure.error == X509_V_ERR_HOSTNAME_MISMATCH || failure.error == X509_V_ERR_IP_ADDRESS_MISMATCH
                      ? TlsFailure::kHostMismatch
                      : TlsFailure::kUntrusted;
    tlsDetail_ = std::string(X509_verify_cert_error_string(failure.error)) + "; subject: " + failure.subject +
                 "; issuer: " + failure.issuer;
  } else {
    tlsDetail_ = LibraryReason();
  }
  ERR_clear_error();
  Drop();
  return false;
}

bool TcpConnection::SendAll(std::string_view data) {
  if (fd_ < 0) return false;
  // A request: the reply to it gets a deadline of its own.
  replyRunning_ = false;
  pending_.append(data);
  return pending_.size() < kFlushSize || Flush();
}

bool TcpConnection::WriteOut(std::string_view data) {
  if (!sendRunning_) {
    sendDeadline_ = DeadlineAfter(GetTimings().socketSendTimeoutMs);
    sendRunning_ = true;
  }
  const uint32_t deadline = sendDeadline_;
  while (!data.empty()) {
    if (ssl_) {
      ERR_clear_error();
      int n = SSL_write(ssl_, data.data(), static_cast<int>(data.size() > INT_MAX ? INT_MAX : data.size()));
      if (n > 0) {
        data.remove_prefix(static_cast<size_t>(n));
      } else if (!WaitForTls(ssl_, fd_, n, deadline)) {
        return false;
      }
      continue;
    }
    ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
    if (n > 0) {
      data.remove_prefix(static_cast<size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!WaitFor(fd_, POLLOUT, deadline)) return false;
    } else {
      return false;
    }
  }
  return true;
}

bool TcpConnection::Flush() {
  if (fd_ < 0) {
    pending_.clear();
    return false;
  }
  if (pending_.empty()) return true;
  std::string data = std::move(pending_);
  pending_.clear();
  if (WriteOut(data)) return true;
  // A peer that stopped reading, or a broken line: nothing more can be said on it. The
  // connection is reset, not closed: a close would leave the unsent bytes (and the end of the
  // connection) queued behind the peer's full window.
  linger reset{1, 0};
  setsockopt(fd_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  Drop();
  return false;
}

long TcpConnection::Receive(char* buffer, size_t size) {
  if (fd_ < 0 || !Flush()) return -1;
  sendRunning_ = false;
  if (!replyRunning_) {
    replyDeadline_ = DeadlineAfter(GetTimings().socketReceiveTimeoutMs);
    replyRunning_ = true;
  }
  // Tested before every receive: a server that floods the line is bounded as one that trickles.
  long n = TickDiff(GetTickCount32(), replyDeadline_) >= 0 ? kNothingYet : ReceiveBefore(buffer, size, replyDeadline_);
  if (n == kNothingYet) {
    // What the server says after the deadline answers nothing we wait for any more.
    Drop();
    return -1;
  }
  return n;
}

long TcpConnection::ReceiveWithin(char* buffer, size_t size, int64_t ms) {
  if (fd_ < 0 || !Flush()) return -1;
  sendRunning_ = false;
  replyRunning_ = false;
  return ReceiveBefore(buffer, size, DeadlineAfter(ms));
}

long TcpConnection::ReceiveBefore(char* buffer, size_t size, uint32_t deadline) {
  if (size == 0) return 0;
  int chunk = static_cast<int>(size > INT_MAX ? INT_MAX : size);
  auto waited = [&](bool ready) -> long {
    if (ready) return 0;
    if (AbortRequested()) return -1;
    return TickDiff(GetTickCount32(), deadline) >= 0 ? kNothingYet : -1;
  };
  if (ssl_) {
    for (;;) {
      ERR_clear_error();
      errno = 0;
      int n = SSL_read(ssl_, buffer, chunk);
      if (n > 0) return n;
      int error = SSL_get_error(ssl_, n);
      // A peer that ends the session, or closes the line without saying so, has closed.
      if (error == SSL_ERROR_ZERO_RETURN) return 0;
      if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0) return 0;
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -1;
      if (long failed = waited(WaitForTls(ssl_, fd_, n, deadline))) return failed;
    }
  }
  for (;;) {
    ssize_t n = ::recv(fd_, buffer, size, 0);
    if (n >= 0) return static_cast<long>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return -1;
    if (long failed = waited(WaitFor(fd_, POLLIN, deadline))) return failed;
  }
}

}  // namespace qv
