// The tests' OAuth2 provider: tests/oauth_provider.py run with /usr/bin/python3 on a free
// loopback port for as long as the fixture lives, with the test's own calls to its control
// endpoints. Talks to it with libcurl directly, never through the code under test.
#pragma once

#include <curl/curl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace qv::test {

// A plain HTTP exchange for the tests: no redirect followed.
struct TestHttpAnswer {
  long status = 0;
  std::string body;
  std::string location;  // the Location of a redirect
};

inline size_t TestHttpReceive(char* data, size_t size, size_t count, void* user) {
  static_cast<std::string*>(user)->append(data, size * count);
  return size * count;
}

// GETs `url` (or POSTs `body` with `contentType` when not empty).
inline TestHttpAnswer TestHttp(const std::string& url, const std::string& body = {},
                               const std::string& contentType = "application/json") {
  TestHttpAnswer answer;
  CURL* curl = curl_easy_init();
  curl_slist* headers = nullptr;
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &TestHttpReceive);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 20000L);
  if (!body.empty()) {
    headers = curl_slist_append(headers, ("Content-Type: " + contentType).c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    curl_easy_setopt(curl, CURLOPT_COPYPOSTFIELDS, body.c_str());
  }
  if (curl_easy_perform(curl) == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
    char* location = nullptr;
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
    if (location) answer.location = location;
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return answer;
}

class FakeProvider {
 public:
  // Starts the provider with `options` (see tests/oauth_provider.py); port() is 0 on failure.
  explicit FakeProvider(std::vector<std::string> options = {}) {
    std::vector<std::string> argv{"/usr/bin/python3", std::string(QUORVEX_SOURCE_DIR) + "/tests/oauth_provider.py"};
    argv.insert(argv.end(), options.begin(), options.end());
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    int spawned = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    std::string line;
    char c;
    while (spawned == 0 && read(fds[0], &c, 1) == 1 && c != '\n') line += c;
    close(fds[0]);
    if (spawned != 0) pid_ = -1;
    port_ = std::atoi(line.c_str());
  }
  ~FakeProvider() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  FakeProvider(const FakeProvider&) = delete;
  FakeProvider& operator=(const FakeProvider&) = delete;

  [[nodiscard]] int port() const { return port_; }
  [[nodiscard]] std::string Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
  }

  // POSTs `json` to a control endpoint and returns its answer object.
  QJsonObject Control(const std::string& path, const QJsonObject& json) const {
    TestHttpAnswer answer = TestHttp(Url(path), QJsonDocument(json).toJson(QJsonDocument::Compact).toStdString());
    EXPECT_EQ(answer.status, 200) << path << ": " << answer.body;
    return QJsonDocument::fromJson(QByteArray::fromStdString(answer.body)).object();
  }
  // The provider's request log, only the requests to `path`.
  [[nodiscard]] std::vector<QJsonObject> Requests(const std::string& path) const {
    TestHttpAnswer answer = TestHttp(Url("/control/log"));
    std::vector<QJsonObject> requests;
    for (const QJsonValue& entry : QJsonDocument::fromJson(QByteArray::fromStdString(answer.body)).array()) {
      if (entry.toObject().value("path").toString().toStdString() == path) requests.push_back(entry.toObject());
    }
    return requests;
  }
  // Whether the access token `token` is live for the provider (its introspection says active).
  [[nodiscard]] bool Active(const std::string& token) const {
    TestHttpAnswer answer = TestHttp(Url("/introspect"), "token=" + token, "application/x-www-form-urlencoded");
    return QJsonDocument::fromJson(QByteArray::fromStdString(answer.body)).object().value("active").toBool();
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
};

// The browser: a plain HTTP client that asks the provider's log-in page and follows its
// redirect to the loopback address, as a browser would after the user agreed. Called from
// any thread; the page is asked on a thread of its own.
struct FollowingBrowser {
  std::thread thread;
  std::string redirectedTo;
  bool operator()(const std::string& url) {
    thread = std::thread([this, url] {
      TestHttpAnswer page = TestHttp(url);
      redirectedTo = page.location;
      if (!page.location.empty()) TestHttp(page.location);
    });
    return true;
  }
  ~FollowingBrowser() {
    if (thread.joinable()) thread.join();
  }
};

}  // namespace qv::test
