#include "app/image/converter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"
#include "platform/timing.h"

namespace {

class ConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qv::MakeWorkFolder("CV");
    ASSERT_FALSE(folder_.empty());
    setenv("QUORVEX_REGISTRY", (folder_ + "registry.reg").c_str(), 1);
    saved_ = qv::GetTimings();
  }
  void TearDown() override {
    qv::SetTimings(saved_);
    unsetenv("QUORVEX_REGISTRY");
    std::filesystem::remove_all(folder_);
  }

  // Writes an executable shell script and returns its path.
  std::string Script(const std::string& name, const std::string& body) {
    std::string path = folder_ + name;
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
    return path;
  }

  std::string folder_;
  qv::Timings saved_;
};

TEST_F(ConverterTest, RunsWithTheFourArgumentsAndNoShell) {
  std::string record = folder_ + "arguments";
  std::string converter =
      Script("conv dir x", "for a in \"$0\" \"$@\"; do printf '%s\\n' \"$a\"; done > '" + record + "'\nexit 0\n");
  std::string source = folder_ + "QVTmp002.___";
  std::string destination = folder_ + "it's $HOME;QVTmp005.gif";
  EXPECT_EQ(RunConverter(converter, source, destination), 1);
  // A script runs through the checked descriptor: its interpreter reads it from there.
  EXPECT_EQ(qv::ReadFileBytes(record), "/proc/self/fd/3\n" + source + "\n/convert=" + destination + "\n/silent\n");

  EXPECT_EQ(RunConverter(Script("failing", "exit 2\n"), source, destination), 0);
  EXPECT_EQ(RunConverter(folder_ + "missing-converter", source, destination), 0);
  EXPECT_FALSE(std::filesystem::exists(destination));

  // A converter others may change, or named by a relative path, never runs.
  std::string ran = folder_ + "ran";
  std::string writable = Script("writable", "touch '" + ran + "'\nexit 0\n");
  chmod(writable.c_str(), 0777);
  EXPECT_EQ(RunConverter(writable, source, destination), 0);
  EXPECT_EQ(RunConverter("writable", source, destination), 0);
  EXPECT_FALSE(std::filesystem::exists(ran));
}

TEST_F(ConverterTest, ConverterThatNeverEndsIsKilledAndLeavesNoPicture) {
  qv::Timings timings = qv::GetTimings();
  timings.converterTimeoutMs = 200;
  qv::SetTimings(timings);
  std::filesystem::create_directory(folder_ + "record");
  std::string pidFile = folder_ + "record/pid";
  std::string destination = folder_ + "QVTmp005.gif";
  std::string leftover = folder_ + ".conv-part";
  std::string converter = Script("hanging", "echo $$ > '" + pidFile + "'\nprintf 'GIF8' > '" + destination +
                                                "'\nprintf x > '" + leftover + "'\nwhile :; do sleep 1; done\n");
  uint32_t start = qv::GetTickCount32();
  EXPECT_EQ(RunConverter(converter, folder_ + "QVTmp002.___", destination), 0);
  int32_t elapsed = qv::TickDiff(qv::GetTickCount32(), start);
  EXPECT_GE(elapsed, 150);
  EXPECT_LT(elapsed, 10000);
  EXPECT_FALSE(std::filesystem::exists(destination));
  EXPECT_FALSE(std::filesystem::exists(leftover));  // nor its own temporary files
  EXPECT_TRUE(std::filesystem::exists(converter));   // what was there before stays
  pid_t pid = std::atoi(qv::ReadFileBytes(pidFile).c_str());
  ASSERT_GT(pid, 0);
  // Killed and reaped: not even a zombie is left.
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

}  // namespace
