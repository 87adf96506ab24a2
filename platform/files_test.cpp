#include "platform/files.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace qv {
namespace {

TEST(Files, SettingsPathReplacesOrAppendsExtension) {
  EXPECT_EQ(SettingsPathFor("/opt/q/Quorvex"), "/opt/q/Quorvex.ini");
  EXPECT_EQ(SettingsPathFor("/opt/q/Quorvex.bin"), "/opt/q/Quorvex.ini");
  EXPECT_EQ(SettingsPathFor("/opt/q.d/Quorvex"), "/opt/q.d/Quorvex.ini");
  EXPECT_EQ(FolderOf("/opt/q/Quorvex"), "/opt/q/");
  EXPECT_EQ(FolderOf("Quorvex"), "");
}

TEST(Files, UnwritableProgramFolderMovesToTheUserFolder) {
  // The test program's own folder is writable here; as root every folder is, so only the
  // writable case can be checked.
  EXPECT_EQ(ProgramDataFolder(), ProgramFolder());
  setenv("XDG_CONFIG_HOME", "/tmp/xdg", 1);
  EXPECT_EQ(UserConfigFolder(), "/tmp/xdg/quorvex/");
  unsetenv("XDG_CONFIG_HOME");
}

// A system service runs without HOME: the home folder comes from the password database, never
// from a folder every local user can write.
TEST(Files, WithoutHomeTheUserFolderComesFromThePasswordDatabase) {
  const char* savedHome = getenv("HOME");
  std::string home = savedHome ? savedHome : "";
  unsetenv("HOME");
  unsetenv("XDG_CONFIG_HOME");
  passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr);
  EXPECT_EQ(UserConfigFolder(), std::string(entry->pw_dir) + (std::string(entry->pw_dir).back() == '/' ? "" : "/") +
                                    ".config/quorvex/");
  EXPECT_NE(UserConfigFolder().rfind("/tmp/", 0), 0u);
  setenv("HOME", "relative/home", 1);  // not a path: not trusted either
  EXPECT_EQ(UserConfigFolder().rfind("relative", 0), std::string::npos);
  if (savedHome) setenv("HOME", home.c_str(), 1);
}

TEST(Files, PrivateFoldersAreMadeLevelByLevelForTheUserOnly) {
  std::string root = MakeWorkFolder("PF");
  ASSERT_FALSE(root.empty());
  std::string deep = root + "a/b/c/";
  EXPECT_TRUE(MakePrivateFolder(deep));
  for (const std::string& level : {root + "a", root + "a/b", root + "a/b/c"}) {
    struct stat st;
    ASSERT_EQ(stat(level.c_str(), &st), 0) << level;
    EXPECT_EQ(st.st_mode & 0777, 0700u) << level;
  }
  EXPECT_TRUE(MakePrivateFolder(deep));  // already there
  EXPECT_TRUE(WriteFileBytes(root + "file", "x"));
  EXPECT_FALSE(MakePrivateFolder(root + "file/below/"));  // a file in the way
  EXPECT_EQ(std::system(("rm -rf '" + root + "'").c_str()), 0);
}

TEST(Files, OverrideWins) {
  SetSettingsPathOverride("/tmp/x/own.ini");
  EXPECT_EQ(SettingsPath(), "/tmp/x/own.ini");
  SetSettingsPathOverride("");
  EXPECT_NE(SettingsPath(), "/tmp/x/own.ini");
}

TEST(Files, TemporaryNamesAreUniqueAndCreated) {
  std::string folder = MakeWorkFolder("SS");
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  std::string a = MakeTempFile(folder, "B64");
  std::string b = MakeTempFile(folder, "B64");
  ASSERT_FALSE(a.empty());
  EXPECT_NE(a, b);
  EXPECT_EQ(a.substr(folder.size(), 3), "B64");
  EXPECT_EQ(FileSize(a), 0);
  EXPECT_EQ(FileSize(folder + "missing"), -1);
  EXPECT_TRUE(MakeTempFile(folder + "no/such/folder", "B64").empty());
  const std::string bytes("a\0b\r\n", 5);
  EXPECT_TRUE(WriteFileBytes(a, bytes));
  EXPECT_EQ(ReadFileBytes(a), bytes);
  EXPECT_FALSE(WriteFileBytes(folder + "no/such/file", bytes));
  EXPECT_EQ(ReadFileBytes(folder + "no/such/file"), "");
  unlink(a.c_str());
  unlink(b.c_str());
  EXPECT_EQ(rmdir(folder.c_str()), 0);
}

}  // namespace
}  // namespace qv
