#include "platform/trusted_code.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "platform/process.h"

namespace {

class TrustedCodeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = qv::MakeWorkFolder("TC");
    ASSERT_FALSE(root_.empty());
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  // A small program in `folder` (made with `folderMode`), the file with `fileMode`.
  std::string Program(const std::string& folder, mode_t folderMode, mode_t fileMode) {
    std::filesystem::create_directories(folder);
    chmod(folder.c_str(), folderMode);
    std::string path = folder + "/program";
    qv::WriteFileBytes(path, "#!/bin/sh\necho ran \"$@\"\n");
    chmod(path.c_str(), fileMode);
    return path;
  }

  std::string root_;
};

// Code is taken only from a place no other user can change, and never through a link. Each
// refusal names the path and says why.
TEST_F(TrustedCodeTest, OnlyASafePlaceIsAccepted) {
  const std::string good = Program(root_ + "safe", 0700, 0755);
  const std::string shared = Program(root_ + "shared", 0777, 0755);
  const std::string sticky = Program(root_ + "sticky", 01777, 0755);
  const std::string groupFolder = Program(root_ + "group", 0770, 0755);
  const std::string writable = Program(root_ + "writable", 0755, 0757);
  const std::string groupWritable = Program(root_ + "groupwritable", 0755, 0775);
  ASSERT_EQ(symlink(good.c_str(), (root_ + "safe/link").c_str()), 0);
  ASSERT_EQ(symlink((root_ + "safe").c_str(), (root_ + "linked-folder").c_str()), 0);
  ASSERT_EQ(mkdir((root_ + "safe/folder").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo((root_ + "safe/fifo").c_str(), 0700), 0);
  struct Case {
    std::string path;
    bool accepted;
    const char* reason;
  };
  const Case cases[] = {
      {good, true, ""},
      // The folder may be reached through a link (as /lib is): the folder itself is checked.
      {root_ + "linked-folder/program", true, ""},
      {".", false, "not absolute"},
      {"program", false, "not absolute"},
      {"./safe/program", false, "not absolute"},
      {"", false, "not absolute"},
      {shared, false, "group or others may change it (mode 0777)"},
      {sticky, false, "group or others may change it (mode 1777)"},
      {groupFolder, false, "group or others may change it (mode 0770)"},
      {writable, false, "group or others may change it (mode 0757)"},
      {groupWritable, false, "group or others may change it (mode 0775)"},
      {root_ + "safe/link", false, "it is a symbolic link"},
      {root_ + "safe/folder", false, "not a regular file"},
      {root_ + "safe/fifo", false, "not a regular file"},
      {root_ + "safe/missing", false, "cannot be opened"},
      {root_ + "missing/program", false, "its folder cannot be opened"},
      {root_ + "safe/", false, "names no file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::string why;
    int fd = qv::OpenTrustedCode(c.path, &why);
    EXPECT_EQ(fd >= 0, c.accepted) << why;
    if (fd >= 0) {
      close(fd);
      continue;
    }
    EXPECT_EQ(why.rfind(c.path + " is not used: ", 0), 0u) << why;
    EXPECT_NE(why.find(c.reason), std::string::npos) << why;
  }
}

// A file or folder of another user is refused (only root can make one here).
TEST_F(TrustedCodeTest, AnotherUsersFileOrFolderIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "making a file of another user needs root";
  const std::string theirFile = Program(root_ + "mine", 0700, 0755);
  ASSERT_EQ(chown(theirFile.c_str(), 4242, 4242), 0);
  const std::string inTheirFolder = Program(root_ + "theirs", 0755, 0755);
  ASSERT_EQ(chown((root_ + "theirs").c_str(), 4242, 4242), 0);
  for (const std::string& path : {theirFile, inTheirFolder}) {
    std::string why;
    EXPECT_EQ(qv::OpenTrustedCode(path, &why), -1) << path;
    EXPECT_NE(why.find("belongs to another user (uid 4242)"), std::string::npos) << why;
  }
}

// What runs is the file that was checked, through its descriptor, even when the path names
// another file by then; a script's interpreter finds it too.
TEST_F(TrustedCodeTest, TheCheckedDescriptorIsWhatRuns) {
  const std::string path = Program(root_ + "safe", 0700, 0755);
  std::string why;
  int fd = qv::OpenTrustedCode(path, &why);
  ASSERT_GE(fd, 0) << why;
  qv::WriteFileBytes(path + ".new", "#!/bin/sh\necho swapped\n");
  chmod((path + ".new").c_str(), 0755);
  ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
  qv::ProcessOptions options;
  options.captureOutput = true;
  options.timeoutMs = 20000;
  options.programFd = fd;
  qv::ProcessResult result = qv::RunProcess({path, "a", "b"}, options);
  close(fd);
  EXPECT_TRUE(result.Succeeded()) << result.error;
  EXPECT_EQ(result.output, "ran a b\n");
}

}  // namespace
