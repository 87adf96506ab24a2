// A private Dovecot POP3 server for tests, run through tests/fixtures/pop3_server.py.
//
//   DovecotServer server;
//   if (!server.Start()) GTEST_SKIP() << server.why();   // no Dovecot on this machine
//   server.Add({{"mail1", "From: a@b\r\n\r\nhi\r\n"}});
//   ... POP3 client on 127.0.0.1:server.port(), user kUser, password kPassword ...
//   EXPECT_EQ(server.List(), (std::vector<std::string>{"mail1"}));
//
// The server lives in its own temporary folder and is stopped, and the folder removed, when
// the object ends. Start() fails (with the reason in why()) when /usr/sbin/dovecot or
// /usr/bin/python3 is missing or the server does not come up.
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

  // True when the machine has what the server needs.
  static bool Available() {
    return access("/usr/sbin/dovecot", X_OK) == 0 && access("/usr/bin/python3", X_OK) == 0;
  }

  bool Start() {
    if (!Available()) {
      why_ = "Dovecot (/usr/sbin/dovecot) or /usr/bin/python3 is not installed";
      return false;
    }
    folder_ = MakeWorkFolder("qv-dovecot-");
    if (folder_.empty()) {
      why_ = "no temporary folder";
      return false;
    }
    folder_.pop_back();  // no trailing '/'
    std::string output;
    if (!Run({"start", folder_}, {}, &output) || std::atoi(output.c_str()) <= 0) {
      why_ = "the POP3 test server did not start: " + output;
      return false;
    }
    started_ = true;
    port_ = std::atoi(output.c_str());
    return true;
  }

  int port() const { return port_; }
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
  static std::string Script() {
    if (const char* source = std::getenv("QUORVEX_SOURCE_DIR")) {
      return std::string(source) + "/tests/fixtures/pop3_server.py";
    }
    return std::string(QUORVEX_SOURCE_DIR) + "/tests/fixtures/pop3_server.py";
  }

  // Runs the fixture script with `arguments` (or `shell` through /bin/sh when given),
  // collecting its standard output; true when it exits with 0.
  bool Run(const std::vector<std::string>& arguments, const std::string& shell = {},
           std::string* output = nullptr) {
    std::vector<std::string> argv;
    if (shell.empty()) {
      argv = {"/usr/bin/python3", Script()};
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
  int port_ = 0;
  bool started_ = false;
};

}  // namespace qv::test
