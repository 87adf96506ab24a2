#include "platform/process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "platform/timing.h"

namespace qv {
namespace {

// True while `pid` names a process that is still running (a zombie does not count).
bool IsRunning(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  size_t close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

TEST(Process, PassesArgumentsVerbatimWithoutShell) {
  ProcessOptions options;
  options.captureOutput = true;
  ProcessResult result =
      RunProcess({"/bin/sh", "-c", "printf '%s|' \"$@\"", "sh", "a b", "$HOME", "'q'", "*", ""}, options);
  ASSERT_EQ(result.outcome, ProcessOutcome::kExited);
  EXPECT_TRUE(result.Succeeded());
  EXPECT_EQ(result.output, "a b|$HOME|'q'|*||");

  // A bare name is looked up on PATH; the exit status comes back.
  result = RunProcess({"sh", "-c", "exit 3"});
  EXPECT_EQ(result.outcome, ProcessOutcome::kExited);
  EXPECT_EQ(result.exitCode, 3);
  EXPECT_FALSE(result.Succeeded());

  // Standard input is empty, so a program that reads it does not wait.
  result = RunProcess({"cat"}, options);
  EXPECT_TRUE(result.Succeeded());
  EXPECT_EQ(result.output, "");
}

TEST(Process, ReportsWhatCouldNotStartOrWasSignalled) {
  ProcessResult result = RunProcess({"/nonexistent/program", "x"});
  EXPECT_EQ(result.outcome, ProcessOutcome::kNotStarted);
  EXPECT_NE(result.error.find("/nonexistent/program"), std::string::npos);
  EXPECT_EQ(RunProcess({"no-such-program-on-path-quorvex"}).outcome, ProcessOutcome::kNotStarted);
  EXPECT_EQ(RunProcess({}).outcome, ProcessOutcome::kNotStarted);

  result = RunProcess({"/bin/sh", "-c", "kill -TERM $$"});
  EXPECT_EQ(result.outcome, ProcessOutcome::kSignalled);
  EXPECT_EQ(result.exitCode, SIGTERM);
}

TEST(Process, LargeOutputNeitherBlocksNorOverflows) {
  ProcessOptions options;
  options.captureOutput = true;
  options.outputLimit = 1000;
  ProcessResult result = RunProcess({"/bin/sh", "-c", "head -c 300000 /dev/zero; echo done >&2"}, options);
  EXPECT_TRUE(result.Succeeded());
  EXPECT_EQ(result.output.size(), 1000u);
}

// Output far larger than the pipe holds arrives over many reads while the program still
// writes, and all of it is kept up to the limit.
TEST(Process, CollectsOutputLargerThanThePipe) {
  ProcessOptions options;
  options.captureOutput = true;
  ProcessResult result = RunProcess({"/bin/sh", "-c", "head -c 300000 /dev/zero | tr '\\0' x"}, options);
  EXPECT_TRUE(result.Succeeded());
  EXPECT_EQ(result.output, std::string(300000, 'x'));
}

TEST(Process, DoesNotHandDescriptorsToTheProgram) {
  int fd = open("/dev/null", O_RDONLY);  // deliberately without close-on-exec
  ASSERT_GE(fd, 0);
  int high = dup2(fd, 57);
  ASSERT_EQ(high, 57);
  ProcessResult result = RunProcess({"/bin/sh", "-c", "test -e /proc/self/fd/57"});
  EXPECT_EQ(result.exitCode, 1);
  close(57);
  close(fd);
}

TEST(Process, TimeOutKillsAndReapsTheWholeGroup) {
  std::string folder = MakeWorkFolder("PR");
  ASSERT_FALSE(folder.empty());
  std::string pids = folder + "pids";
  // The shell starts a child of its own and waits for it; both must go.
  std::string script = "sleep 30 & echo $$ $! > '" + pids + "'; wait";
  ProcessOptions options;
  options.timeoutMs = 300;
  uint32_t start = GetTickCount32();
  ProcessResult result = RunProcess({"/bin/sh", "-c", script}, options);
  int32_t elapsed = TickDiff(GetTickCount32(), start);
  EXPECT_EQ(result.outcome, ProcessOutcome::kTimedOut);
  EXPECT_GE(elapsed, 250);
  EXPECT_LT(elapsed, 20000);
  std::istringstream numbers(qv::ReadFileBytes(pids));
  pid_t shell = 0, child = 0;
  ASSERT_TRUE(numbers >> shell >> child);
  // The shell was reaped by us: it is gone, not a zombie.
  EXPECT_EQ(kill(shell, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  // Its child was killed with it (its new parent reaps it in its own time).
  for (int i = 0; i < 200 && IsRunning(child); ++i) SleepMs(5);
  EXPECT_FALSE(IsRunning(child));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace qv
