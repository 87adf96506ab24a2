// Test support: a real SMTP server (aiosmtpd, tests/fixtures/smtp_server.py) on a free
// loopback port that stores every message it receives, and an independent reader of those
// messages (Python's `email` package, tests/fixtures/read_mail.py) whose verdict comes back
// as a QJsonObject.
//
//   qv::test::SmtpPeer peer;
//   if (!peer.Start()) GTEST_SKIP() << peer.error();
//   ... send to 127.0.0.1:peer.port() ...
//   std::vector<std::string> mails = peer.StoredMails();   // "mail-0001.eml", ... in order
//   QJsonObject mail = qv::test::ReadMail(mails[0]);
//
// Both scripts need Debian's python3-aiosmtpd and run with /usr/bin/python3 (the python3 on
// the PATH may not see Debian's packages). Start() fails with a message when it is missing,
// and tests then report themselves skipped.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace qv::test {

inline constexpr char kSystemPython[] = "/usr/bin/python3";

// The folder of the shared test fixtures (tests/fixtures/ of the source tree).
inline std::string FixtureFolder() {
  return std::string(QUORVEX_SOURCE_DIR) + "/tests/fixtures/";
}

// Starts `argv` (argv[0] a full path) with its standard output on a pipe; returns the
// process id (-1 on failure) and the pipe's reading end in `*output`.
inline pid_t SpawnWithOutput(const std::vector<std::string>& argv, int* output) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid;
  int spawned = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    return -1;
  }
  *output = pipeFds[0];
  return pid;
}

// Runs `argv` and returns its standard output; `status` receives the exit status (-1 when it
// could not run). Reads until the program has ended, not until end of file: a daemon it
// started may hold the pipe open long after.
inline std::string RunAndCapture(const std::vector<std::string>& argv, int* status) {
  *status = -1;
  int fd;
  pid_t pid = SpawnWithOutput(argv, &fd);
  if (pid < 0) return {};
  fcntl(fd, F_SETFL, O_NONBLOCK);
  std::string output;
  char buffer[4096];
  int wstatus = 0;
  for (bool ended = false; !ended;) {
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 20);
    ended = waitpid(pid, &wstatus, WNOHANG) == pid;
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) output.append(buffer, n);
  }
  close(fd);
  *status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
  return output;
}

// True when the system Python can import aiosmtpd.
inline bool HaveAiosmtpd() {
  int status;
  RunAndCapture({kSystemPython, "-c", "import aiosmtpd"}, &status);
  return status == 0;
}

// The reader's verdict on the stored mail `path` (see read_mail.py for the fields); an empty
// object when the reader failed.
inline QJsonObject ReadMail(const std::string& path) {
  int status;
  std::string json = RunAndCapture({kSystemPython, FixtureFolder() + "read_mail.py", path}, &status);
  if (status != 0) return {};
  return QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
}

class SmtpPeer {
 public:
  SmtpPeer() = default;
  ~SmtpPeer() { Stop(); }
  SmtpPeer(const SmtpPeer&) = delete;
  SmtpPeer& operator=(const SmtpPeer&) = delete;

  // Starts the server with a fresh message folder; false (see error()) when it cannot run.
  bool Start() {
    if (!HaveAiosmtpd()) {
      error_ = "python3-aiosmtpd is not installed for /usr/bin/python3";
      return false;
    }
    char pattern[] = "/tmp/qv-smtp-peer-XXXXXX";
    if (!mkdtemp(pattern)) {
      error_ = "cannot make a message folder";
      return false;
    }
    folder_ = pattern;
    int fd;
    pid_ = SpawnWithOutput({kSystemPython, FixtureFolder() + "smtp_server.py", "--folder", folder_}, &fd);
    if (pid_ < 0) {
      error_ = "cannot start smtp_server.py";
      return false;
    }
    // The port line comes once the server listens; give a slow machine ten seconds.
    std::string line;
    pollfd p{fd, POLLIN, 0};
    while (line.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
      char buffer[64];
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n <= 0) break;
      line.append(buffer, n);
    }
    close(fd);
    port_ = atoi(line.c_str());
    if (port_ <= 0) {
      error_ = "smtp_server.py did not report its port";
      Stop();
      return false;
    }
    return true;
  }

  void Stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
      folder_.clear();
    }
  }

  int port() const { return port_; }
  const std::string& error() const { return error_; }
  const std::string& folder() const { return folder_; }

  // Paths of the stored messages, in arrival order.
  std::vector<std::string> StoredMails() const {
    std::vector<std::string> mails;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ignored)) {
      if (entry.path().extension() == ".eml") mails.push_back(entry.path().string());
    }
    std::sort(mails.begin(), mails.end());
    return mails;
  }

  // The envelope of a stored message (its .json beside the .eml).
  static QJsonObject Envelope(const std::string& mailPath) {
    std::filesystem::path json(mailPath);
    json.replace_extension(".json");
    FILE* file = fopen(json.c_str(), "rb");
    if (!file) return {};
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, n);
    fclose(file);
    return QJsonDocument::fromJson(QByteArray::fromStdString(text)).object();
  }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string folder_;
  std::string error_;
};

}  // namespace qv::test
