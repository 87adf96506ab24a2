// A private Dovecot POP3 (and IMAP) server for tests, run through
// tests/fixtures/pop3_server.py, and the test certificates of tests/fixtures/test_ca.py.
//
//   DovecotServer server;
//   if (!server.Start()) GTEST_SKIP() << server.why();   // no Dovecot on this machine
//   server.Add({{"mail1", "From: a@b\r\n\r\nhi\r\n"}});
//   ... POP3 client on 127.0.0.1:server.port(), user kUser, password kPassword ...
//   EXPECT_EQ(server.List(), (std::vector<std::string>{"mail1"}));
//
// With options (DovecotServer::Options: IMAP, TLS with the test certificates, TLS required)
// the ports of every service are read from the fixture's JSON line: pop3sPort(), imapPort(),
// imapsPort(). Restart() stops the server and starts it again on the same ports and mailbox,
// cutting every open connection.
//
// The server lives in its own temporary folder and is stopped, and the folder removed, when
// the object ends. Start() fails (with the reason in why()) when /usr/sbin/dovecot or
// /usr/bin/python3 is missing (or, for IMAP, /usr/lib/dovecot/imap; for TLS, /usr/bin/openssl)
// or the server does not come up.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/files.h"

extern char** environ;

namespace qv::test {

class DovecotServer {
 public:
  static constexpr const char* kUser = "quorvex";
  static constexpr const char* kPassword = "secret";

  DovecotServer() = default;
  ~DovecotServer() {
    if (started_) (void)Run({"stop", folder_});
    if (!folder_.empty()) (void)Run({}, "rm -rf '" + folder_ + "'");
  }
  DovecotServer(const DovecotServer&) = delete;
  DovecotServer& operator=(const DovecotServer&) = delete;

  struct Options {
    bool imap = false;         // IMAP beside POP3 (with IDLE)
    bool tls = false;          // TLS with the test certificates (caFile() trusts them)
    bool tlsRequired = false;  // with tls: no log-in before TLS (IMAP: LOGINDISABLED)
  };

  // True when the machine has what the server needs.
  static bool Available() {
    return access("/usr/sbin/dovecot", X_OK) == 0 && access("/usr/bin/python3", X_OK) == 0;
  }

  bool Start() { return Start(Options{}); }
  bool Start(const Options& options) {
    if (!Available() || (options.imap && access("/usr/lib/dovecot/imap", X_OK) != 0) ||
        (options.tls && access("/usr/bin/openssl", X_OK) != 0)) {
      why_ = "Dovecot (/usr/sbin/dovecot, with /usr/lib/dovecot/imap for IMAP), /usr/bin/python3 or "
             "/usr/bin/openssl is not installed";
      return false;
    }
    folder_ = MakeWorkFolder("qv-dovecot-");
    if (folder_.empty()) {
      why_ = "no temporary folder";
      return false;
    }
    folder_.pop_back();  // no trailing '/'
    std::vector<std::string> arguments{"start", folder_};
    if (options.tls) {
      std::string made;
      std::string certificates = folder_ + "/certificates";
      if (!Run({"make", certificates}, {}, &made, "test_ca.py")) {
        why_ = "the test certificates were not made: " + made;
        return false;
      }
      caFile_ = certificates + "/ca.pem";
      arguments.insert(arguments.end(), {"--tls", certificates + "/server.pem", certificates + "/server.key"});
      if (options.tlsRequired) arguments.push_back("--tls-required");
    }
    if (options.imap) arguments.push_back("--imap");
    std::string output;
    if (!Run(arguments, {}, &output)) {
      why_ = "the POP3 test server did not start: " + output;
      return false;
    }
    started_ = true;
    bool json = options.imap || options.tls;
    port_ = json ? JsonPort(output, "pop3") : std::atoi(output.c_str());
    pop3sPort_ = json ? JsonPort(output, "pop3s") : 0;
    imapPort_ = json ? JsonPort(output, "imap") : 0;
    imapsPort_ = json ? JsonPort(output, "imaps") : 0;
    if (port_ <= 0) {
      why_ = "the POP3 test server named no port: " + output;
      return false;
    }
    return true;
  }

  // Stops the server and starts it again on the same ports and mailbox; open connections are
  // cut. True when it is back.
  bool Restart() { return started_ && Run({"restart", folder_}); }

  int port() const { return port_; }
  int pop3sPort() const { return pop3sPort_; }
  int imapPort() const { return imapPort_; }
  int imapsPort() const { return imapsPort_; }
  // The test CA's certificate (PEM) with Options::tls; the server's certificate names
  // "localhost" and 127.0.0.1.
  const std::string& caFile() const { return caFile_; }
  const std::string& why() const { return why_; }
  const std::string& folder() const { return folder_; }

  // Delivers mails (name, exact bytes) in order; names use letters, digits, '_' and '-'.
  bool Add(const std::vector<std::pair<std::string, std::string>>& mails) {
    std::vector<std::string> arguments{"add", folder_};
    for (const auto& [name, bytes] : mails) {
      std::string path = folder_ + "/" + name;
      std::ofstream(path, std::ios::binary) << bytes;
      arguments.push_back(path);
    }
    return Run(arguments);
  }

  // Names of the mails still in the mailbox, oldest first.
  std::vector<std::string> List() {
    std::string output;
    std::vector<std::string> names;
    if (!Run({"list", folder_}, {}, &output)) return {"<list failed>"};
    size_t start = 0;
    for (size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1) {
      names.push_back(output.substr(start, end - start));
    }
    return names;
  }

 private:
  static std::string Script(const std::string& name) {
    if (const char* source = std::getenv("QUORVEX_SOURCE_DIR")) {
      return std::string(source) + "/tests/fixtures/" + name;
    }
    return std::string(QUORVEX_SOURCE_DIR) + "/tests/fixtures/" + name;
  }

  // The port of `service` in the fixture's JSON line {"pop3": P, "imap": null, ...}; 0 when
  // it is null or missing.
  static int JsonPort(const std::string& json, const std::string& service) {
    size_t at = json.find("\"" + service + "\":");
    return at == std::string::npos ? 0 : std::atoi(json.c_str() + at + service.size() + 3);
  }

  // Runs the fixture script `script` with `arguments` (or `shell` through /bin/sh when
  // given), collecting its standard output; true when it exits with 0.
  bool Run(const std::vector<std::string>& arguments, const std::string& shell = {},
           std::string* output = nullptr, const std::string& script = "pop3_server.py") {
    std::vector<std::string> argv;
    if (shell.empty()) {
      argv = {"/usr/bin/python3", Script(script)};
      argv.insert(argv.end(), arguments.begin(), arguments.end());
    } else {
      argv = {"/bin/sh", "-c", shell};
    }
    std::vector<char*> pointers;
    for (std::string& a : argv) pointers.push_back(a.data());
    pointers.push_back(nullptr);
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, pipeFds[0]);
    pid_t pid;
    int spawned = posix_spawn(&pid, argv[0].c_str(), &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    std::string collected;
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;) collected.append(buffer, n);
    close(pipeFds[0]);
    if (output) *output = collected;
    if (spawned != 0) return false;
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  std::string folder_;
  std::string why_;
  std::string caFile_;
  int port_ = 0;
  int pop3sPort_ = 0;
  int imapPort_ = 0;
  int imapsPort_ = 0;
  bool started_ = false;
};

}  // namespace qv::test
