// The cost of one hostile IMAP response: a mail check against a server whose UID SEARCH answer
// is one line of 16 MiB ("* SEARCH 1 1 1 ..."). Prints the time the check took and the
// process's peak resident memory, and fails (status 1) when the peak passes 100 MB.
//
//   bench/run imap_search [MiB]
//
// The server stands behind the socket layer's connect hook on a thread of its own, so only the
// client's memory is the process's.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "app/mail/mail_client.h"
#include "app/settings/activity_log.h"
#include "platform/text.h"
#include "platform/socket.h"

namespace {

// Peak resident memory of this process in kB (VmHWM).
long PeakResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

// Reads one command line from `fd`; false when the client closed.
bool ReadLine(int fd, std::string* line) {
  line->clear();
  char c;
  while (read(fd, &c, 1) == 1) {
    if (c == '\n') return true;
    if (c != '\r') line->push_back(c);
  }
  return false;
}

void WriteAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// The server: every command answered OK; SEARCH with `searchLine`.
void Serve(int fd, const std::string& searchLine) {
  WriteAll(fd, "* OK [CAPABILITY IMAP4rev1] ready\r\n");
  std::string line;
  while (ReadLine(fd, &line)) {
    std::string tag = line.substr(0, line.find(' '));
    if (line.find(" SEARCH ") != std::string::npos) WriteAll(fd, searchLine);
    if (line.find(" SELECT ") != std::string::npos) WriteAll(fd, "* 1 EXISTS\r\n* OK [UIDVALIDITY 1] ok\r\n");
    WriteAll(fd, tag + " OK done\r\n");
    if (line.find(" LOGOUT") != std::string::npos) break;
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  const size_t mebibytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 16;
  std::string searchLine = "* SEARCH";
  while (searchLine.size() + 4 <= mebibytes * 1024 * 1024) searchLine += " 1";
  searchLine += "\r\n";

  std::thread server;
  qv::SetConnectHook([&](const std::string&, int) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return -1;
    server = std::thread(Serve, ends[1], std::cref(searchLine));
    return ends[0];
  });
  MailSettings mail;
  std::snprintf(mail.PopServer, sizeof mail.PopServer, "imap.example");
  std::snprintf(mail.UserID, sizeof mail.UserID, "user");
  std::snprintf(mail.Passwd, sizeof mail.Passwd, "pw");
  mail.PopPort = 143;
  mail.MailProtocol = 1;
  RecordingLogSink log;
  CMailClient client(&log);
  client.SetMailbox(mail);
  long before = PeakResidentKb();
  auto start = std::chrono::steady_clock::now();
  int fetched = client.CheckMail();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  if (server.joinable()) server.join();
  qv::SetConnectHook({});
  long peak = PeakResidentKb();
  std::printf("SEARCH line of %zu bytes: check %d in %.2f s, peak resident %ld kB (%ld kB before)\n",
              searchLine.size(), fetched, seconds, peak, before);
  for (const std::string& line : log.lines()) std::printf("  log: %s\n", qv::Utf8FromCp932(line).c_str());
  return peak >= 0 && peak < 100 * 1000 ? 0 : 1;
}
