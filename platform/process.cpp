#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "platform/timing.h"

extern char** environ;

namespace qv {
namespace {

class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

class SpawnAttributes {
 public:
  SpawnAttributes() { posix_spawnattr_init(&attributes_); }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  posix_spawnattr_t* get() { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// Closes a descriptor when it goes out of scope.
struct Descriptor {
  int fd = -1;
  ~Descriptor() { Close(); }
  void Close() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A descriptor that becomes readable when the child ends; -1 when the kernel offers none.
int OpenProcessDescriptor(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  return -1;
#endif
}

// Reads what the pipe holds now; false once it is closed or broken.
bool DrainPipe(int fd, std::string* output, size_t limit) {
  char buffer[4096];
  while (true) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      size_t keep = output->size() < limit ? std::min(limit - output->size(), static_cast<size_t>(n)) : 0;
      output->append(buffer, keep);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    return false;
  }
}

void FillResult(int status, ProcessResult* result) {
  if (WIFEXITED(status)) {
    result->outcome = ProcessOutcome::kExited;
    result->exitCode = WEXITSTATUS(status);
  } else {
    result->outcome = ProcessOutcome::kSignalled;
    result->exitCode = WIFSIGNALED(status) ? WTERMSIG(status) : -1;
  }
}

// Starts `arguments` as RunProcess describes, with `outputFd` (when not -1) as its standard
// output. Returns 0 with the new process in *pid, or posix_spawn's error number.
int Spawn(const std::vector<std::string>& arguments, const ProcessOptions& options, int outputFd, pid_t* pid) {
  std::vector<char*> argv;
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  FileActions actions;
  posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (outputFd >= 0) posix_spawn_file_actions_adddup2(actions.get(), outputFd, STDOUT_FILENO);
  // The checked program is run through its descriptor, as descriptor 3 of the new process
  // (a script's interpreter opens it there too); nothing else of ours goes along: our sockets
  // and files are none of the program's business.
  const std::string runPath = options.programFd >= 0 ? "/proc/self/fd/3" : arguments[0];
  if (options.programFd >= 0) posix_spawn_file_actions_adddup2(actions.get(), options.programFd, 3);
  posix_spawn_file_actions_addclosefrom_np(actions.get(), options.programFd >= 0 ? 4 : 3);

  SpawnAttributes attributes;
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int signal : {SIGPIPE, SIGINT, SIGTERM, SIGQUIT, SIGHUP, SIGCHLD}) sigaddset(&defaults, signal);
  sigset_t noMask;
  sigemptyset(&noMask);
  posix_spawnattr_setsigdefault(attributes.get(), &defaults);
  posix_spawnattr_setsigmask(attributes.get(), &noMask);
  // Its own process group, so a time-out can kill whatever the program started too.
  posix_spawnattr_setpgroup(attributes.get(), 0);
  posix_spawnattr_setflags(attributes.get(), POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  const bool searchPath = options.programFd < 0 && arguments[0].find('/') == std::string::npos;
  return searchPath ? posix_spawnp(pid, argv[0], actions.get(), attributes.get(), argv.data(), environ)
                    : posix_spawn(pid, runPath.c_str(), actions.get(), attributes.get(), argv.data(), environ);
}

enum class Ending {
  kEnded,    // the program ended; its wait status is in *status
  kLost,     // somebody else reaped it; result->error says so
  kStopped,  // the time-out ran out or an abort was requested first; it still runs
};

// Waits for the end of the program `pid`, collecting what it writes to `readEnd` (when open)
// into result->output meanwhile. An unreadable pipe is closed.
Ending AwaitEnd(pid_t pid, const ProcessOptions& options, Descriptor* readEnd, int* status, ProcessResult* result) {
  Descriptor processFd;
  processFd.fd = OpenProcessDescriptor(pid);
  const int64_t deadline = options.timeoutMs >= 0 ? NowMs() + options.timeoutMs : -1;
  for (;;) {
    pid_t done = waitpid(pid, status, WNOHANG);
    if (done == pid) return Ending::kEnded;
    if (done < 0 && errno != EINTR) {
      // Someone else reaped it (a SIGCHLD handler of the host program); nothing to wait for.
      result->error = std::string("lost track of the program: ") + std::strerror(errno);
      return Ending::kLost;
    }
    int waitMs = -1;
    if (deadline >= 0) {
      int64_t left = deadline - NowMs();
      if (left <= 0) return Ending::kStopped;
      waitMs = static_cast<int>(std::min<int64_t>(left, 1 << 30));
    }
    // Without a process descriptor, look again every few milliseconds; an abort ends the wait
    // as the time-out does.
    if (processFd.fd < 0 && (waitMs < 0 || waitMs > 10)) waitMs = 10;
    if (waitMs < 0 || waitMs > kAbortCheckMs) waitMs = kAbortCheckMs;
    if (AbortRequested()) return Ending::kStopped;
    pollfd watched[2];
    nfds_t count = 0;
    if (processFd.fd >= 0) watched[count++] = {processFd.fd, POLLIN, 0};
    if (readEnd->fd >= 0) watched[count++] = {readEnd->fd, POLLIN, 0};
    int ready = poll(watched, count, waitMs);
    if (ready > 0 && readEnd->fd >= 0) {
      const pollfd& pipeState = watched[count - 1];
      if (pipeState.revents & (POLLIN | POLLHUP | POLLERR)) {
        if (!DrainPipe(readEnd->fd, &result->output, options.outputLimit)) readEnd->Close();
      }
    }
  }
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& arguments, const ProcessOptions& options) {
  ProcessResult result;
  if (arguments.empty() || arguments[0].empty()) {
    result.error = "no program given";
    return result;
  }
  Descriptor readEnd;
  Descriptor writeEnd;
  if (options.captureOutput) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
      result.error = std::string("cannot make a pipe: ") + std::strerror(errno);
      return result;
    }
    readEnd.fd = ends[0];
    writeEnd.fd = ends[1];
  }

  pid_t pid = -1;
  if (int spawnError = Spawn(arguments, options, writeEnd.fd, &pid); spawnError != 0) {
    result.error = "cannot start " + arguments[0] + ": " + std::strerror(spawnError);
    return result;
  }
  writeEnd.Close();
  if (readEnd.fd >= 0) fcntl(readEnd.fd, F_SETFL, fcntl(readEnd.fd, F_GETFL) | O_NONBLOCK);

  int status = 0;
  switch (AwaitEnd(pid, options, &readEnd, &status, &result)) {
    case Ending::kLost:
      result.outcome = ProcessOutcome::kExited;
      result.exitCode = -1;
      return result;
    case Ending::kStopped:
      kill(-pid, SIGKILL);
      kill(pid, SIGKILL);
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      result.outcome = ProcessOutcome::kTimedOut;
      result.exitCode = -1;
      return result;
    case Ending::kEnded:
      break;
  }
  // What the program wrote just before it ended; a descendant that keeps the pipe open must
  // not hold us, so only what is there now is taken.
  if (readEnd.fd >= 0) DrainPipe(readEnd.fd, &result.output, options.outputLimit);
  FillResult(status, &result);
  return result;
}

}  // namespace qv
