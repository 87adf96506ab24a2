#include "app/settings/state_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "app/settings/settings_test_folder.h"
#include "platform/files.h"

namespace {

using StateFileTest = SettingsFolderTest;

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST_F(StateFileTest, SectionsRoundTripPrivatelyAndOthersAreKept) {
  EXPECT_EQ(StateFilePath("/home/u/.config/quorvex/Quorvex.ini"), "/home/u/.config/quorvex/Quorvex.state");
  EXPECT_EQ(StateFilePath("/opt/q.d/Quorvex"), "/opt/q.d/Quorvex.state");
  EXPECT_EQ(StateFilePath("cams.v2.ini"), "cams.v2.state");

  const std::string path = StateFilePath(path_);
  StateFile missing(path);
  std::string error;
  ASSERT_TRUE(missing.Load(&error)) << error;
  EXPECT_TRUE(missing.Lines("ReplyCount").empty());

  // What another part of the program wrote is kept as it was read; a CR before the LF, lines
  // before the first section and empty lines are no lines.
  qv::WriteFileBytes(path, "stray\n[Judged]\r\nuid 7\r\n\n[ReplyCount]\nday 2024-06-01 3\n[Judged]\nuid 9\n"
                          "[]\nnot judged");
  chmod(path.c_str(), 0644);
  StateFile file(path);
  ASSERT_TRUE(file.Load(&error)) << error;
  EXPECT_EQ(file.Lines("Judged"), (std::vector<std::string>{"uid 7", "uid 9"}));
  file.SetLines("ReplyCount", {"day 2024-06-02 1", "", "[x]", "a\nb", "reply 1 a@x.jp"});
  file.SetLines("Empty", {});
  ASSERT_TRUE(file.Save(&error)) << error;
  EXPECT_EQ(qv::ReadFileBytes(path),
            "[Judged]\nuid 7\nuid 9\n[ReplyCount]\nday 2024-06-02 1\nreply 1 a@x.jp\n[]\nnot judged\n");
  EXPECT_EQ(ModeOf(path), 0600u);  // made private, though it was readable by others
  file.SetLines("Judged", {});
  ASSERT_TRUE(file.Save(&error));
  EXPECT_EQ(qv::ReadFileBytes(path), "[ReplyCount]\nday 2024-06-02 1\nreply 1 a@x.jp\n[]\nnot judged\n");

  std::filesystem::remove(path);
  StateFile fresh(path);
  fresh.SetLines("ReplyCount", {"day 2024-06-02 1"});
  ASSERT_TRUE(fresh.Save(&error));
  EXPECT_EQ(ModeOf(path), 0600u);
}

TEST_F(StateFileTest, UnreadableOrOversizedFilesAreRefusedNotGuessedAt) {
  const std::string path = StateFilePath(path_);
  std::string error;
  // At the size limit the file is read; one byte more and it is refused.
  std::string bytes = "[A]\n" + std::string(kMaxStateFileBytes - 5, 'x') + "\n";
  ASSERT_EQ(bytes.size(), kMaxStateFileBytes);
  qv::WriteFileBytes(path, bytes);
  StateFile file(path);
  EXPECT_TRUE(file.Load(&error)) << error;
  EXPECT_EQ(file.Lines("A").size(), 1u);
  qv::WriteFileBytes(path, bytes + "y");
  EXPECT_FALSE(file.Load(&error));
  EXPECT_NE(error.find("larger"), std::string::npos);
  EXPECT_TRUE(file.Lines("A").empty());

  std::filesystem::remove(path);
  std::filesystem::create_directory(path);
  EXPECT_FALSE(file.Load(&error));
  EXPECT_FALSE(file.Save(&error));  // a folder in its place is not replaced

  StateFile nowhere(folder_ + "missing/Quorvex.state");
  nowhere.SetLines("A", {"x"});
  EXPECT_FALSE(nowhere.Save(&error));
  EXPECT_FALSE(error.empty());
}

}  // namespace
