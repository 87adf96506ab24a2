#include "app/oauth/loopback_redirect.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>

#include "app/oauth/http_post.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

constexpr size_t kMaxRequestBytes = 8 * 1024;
constexpr int64_t kRequestReadMs = 5000;

// Waits until `fd` is readable, at most `waitMs` and in steps that look for a stop.
bool WaitReadable(int fd, int64_t waitMs, const StopFlag* stop) {
  uint32_t start = qv::GetTickCount32();
  for (;;) {
    if (StopRequested(stop)) return false;
    int64_t left = waitMs - qv::TickDiff(qv::GetTickCount32(), start);
    if (left <= 0) return false;
    pollfd entry{fd, POLLIN, 0};
    int ready = poll(&entry, 1, static_cast<int>(std::min<int64_t>(left, qv::kAbortCheckMs)));
    if (ready > 0) return true;
  }
}

// The request head (up to the blank line), or empty when it does not come whole in time.
std::string ReadRequestHead(int fd, const StopFlag* stop) {
  std::string head;
  char buffer[1024];
  while (head.find("\r\n\r\n") == std::string::npos && head.size() < kMaxRequestBytes) {
    if (!WaitReadable(fd, kRequestReadMs, stop)) return {};
    ssize_t got = recv(fd, buffer, sizeof buffer, 0);
    if (got <= 0) return {};
    head.append(buffer, static_cast<size_t>(got));
  }
  return head.find("\r\n\r\n") == std::string::npos ? std::string() : head;
}

void Answer(int fd, const char* status, const std::string& text) {
  std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Quorvex</title></head><body><p>" +
                     text + "</p></body></html>\n";
  std::string reply = std::string("HTTP/1.1 ") + status +
                      "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: close\r\n"
                      "Content-Length: " + std::to_string(page.size()) + "\r\n\r\n" + page;
  size_t sent = 0;
  while (sent < reply.size()) {
    ssize_t n = send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<size_t>(n);
  }
}

// The query parameters of the request target "/?a=b&c=d"; false when the target is not the
// redirect path or a value is badly escaped.
bool RedirectQuery(const std::string& head, std::map<std::string, std::string>* query) {
  if (!head.starts_with("GET ")) return false;
  size_t end = head.find(' ', 4);
  if (end == std::string::npos) return false;
  std::string target = head.substr(4, end - 4);
  if (!target.starts_with("/?")) return false;
  std::string rest = target.substr(2);
  size_t start = 0;
  while (start <= rest.size()) {
    size_t amp = rest.find('&', start);
    if (amp == std::string::npos) amp = rest.size();
    std::string pair = rest.substr(start, amp - start);
    start = amp + 1;
    if (pair.empty()) continue;
    size_t equals = pair.find('=');
    std::string name, value;
    if (!DecodeQueryValue(pair.substr(0, equals), &name)) return false;
    if (equals != std::string::npos && !DecodeQueryValue(pair.substr(equals + 1), &value)) return false;
    query->emplace(name, value);
  }
  return true;
}

std::string Printable(const std::string& text) {
  std::string result;
  for (unsigned char c : text.substr(0, 200)) result += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
  return result;
}

}  // namespace

LoopbackRedirect::LoopbackRedirect() {
  listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listenFd_, 8) != 0 ||
      getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(listenFd_);
    listenFd_ = -1;
    return;
  }
  port_ = ntohs(address.sin_port);
}

LoopbackRedirect::~LoopbackRedirect() {
  if (listenFd_ >= 0) close(listenFd_);
}

std::string LoopbackRedirect::RedirectUri() const { return "http://127.0.0.1:" + std::to_string(port_) + "/"; }

RedirectResult LoopbackRedirect::Wait(const std::string& state, int64_t waitMs, const StopFlag* stop) {
  RedirectResult result;
  uint32_t start = qv::GetTickCount32();
  while (listenFd_ >= 0) {
    int64_t left = waitMs - qv::TickDiff(qv::GetTickCount32(), start);
    if (!WaitReadable(listenFd_, left, stop)) break;
    int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::string head = ReadRequestHead(fd, stop);
    std::map<std::string, std::string> query;
    if (!RedirectQuery(head, &query)) {
      Answer(fd, "404 Not Found", "Not found.");
      close(fd);
      continue;
    }
    // The state is checked before anything else of the answer is believed: a request from
    // another page on this machine must not be able to hand us its code or its error.
    if (query["state"] != state) {
      Answer(fd, "400 Bad Request", "Quorvex: this log-in answer does not belong to the log-in that is running.");
      close(fd);
      result.why = SJIS("ブラウザーからの応答の state が一致しません。ログインを中止しました。");
      return result;
    }
    if (query.count("error") != 0) {
      Answer(fd, "200 OK", "Quorvex: the log-in was not completed. You may close this window.");
      close(fd);
      result.why = SJIS("プロバイダーがログインを拒否しました: ") + Printable(query["error"]);
      return result;
    }
    if (query["code"].empty()) {
      Answer(fd, "400 Bad Request", "Quorvex: the log-in answer holds no code.");
      close(fd);
      result.why = SJIS("ブラウザーからの応答にコードがありません。");
      return result;
    }
    Answer(fd, "200 OK", "Quorvex: log-in received. You may close this window.");
    close(fd);
    result.ok = true;
    result.code = query["code"];
    return result;
  }
  result.why = StopRequested(stop) ? SJIS("ログインを中止しました。") : SJIS("ブラウザーでのログインを待つ時間が過ぎました。");
  return result;
}
