#include "app/oauth/token_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "app/oauth/token_reply.h"
#include "platform/files.h"

namespace {

class TokenFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qv::MakeWorkFolder("TF");
    ASSERT_FALSE(folder_.empty());
    path_ = TokenFilePath(folder_ + "Quorvex.ini");
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string folder_;
  std::string path_;
};

TEST_F(TokenFileTest, PathSitsBesideTheSettingsFile) {
  EXPECT_EQ(TokenFilePath("/home/u/.config/quorvex/Quorvex.ini"), "/home/u/.config/quorvex/Quorvex.tokens");
  EXPECT_EQ(TokenFilePath("/opt/q.d/Quorvex"), "/opt/q.d/Quorvex.tokens");
}

TEST_F(TokenFileTest, SavedPrivateAndReadBack) {
  StoredTokens tokens;
  std::string why;
  EXPECT_EQ(LoadTokenFile(path_, &tokens, &why), TokenFileStatus::kMissing);
  ASSERT_TRUE(SaveTokenFile(path_, {"rt-1", "at-1", 1717236000}, &why)) << why;
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(qv::ReadFileBytes(path_), "refresh_token rt-1\naccess_token at-1\nexpires_at 1717236000\n");
  ASSERT_EQ(LoadTokenFile(path_, &tokens, &why), TokenFileStatus::kRead);
  EXPECT_EQ(tokens.refreshToken, "rt-1");
  EXPECT_EQ(tokens.accessToken, "at-1");
  EXPECT_EQ(tokens.expiresAt, 1717236000);

  // A file someone made readable to others is made private again when it is replaced.
  ASSERT_EQ(chmod(path_.c_str(), 0644), 0);
  ASSERT_TRUE(SaveTokenFile(path_, {"rt-2", "", 0}, &why)) << why;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(qv::ReadFileBytes(path_), "refresh_token rt-2\n");
}

TEST_F(TokenFileTest, RefusesAFileOthersMayReadOrThatIsNotTheUsers) {
  std::string why;
  ASSERT_TRUE(SaveTokenFile(path_, {"rt-1", "at-1", 5}, &why)) << why;
  StoredTokens tokens;
  for (mode_t mode : {0640, 0604, 0620, 0602, 0610, 0601}) {
    ASSERT_EQ(chmod(path_.c_str(), mode), 0);
    why.clear();
    EXPECT_EQ(LoadTokenFile(path_, &tokens, &why), TokenFileStatus::kRefused) << std::oct << mode;
    EXPECT_FALSE(why.empty());
    EXPECT_TRUE(tokens.refreshToken.empty());
  }
  ASSERT_EQ(chmod(path_.c_str(), 0400), 0);
  EXPECT_EQ(LoadTokenFile(path_, &tokens, &why), TokenFileStatus::kRead);
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);

  // A link in its place is not followed, even to a private file of the user's.
  std::string link = folder_ + "link.tokens";
  ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
  EXPECT_EQ(LoadTokenFile(link, &tokens, &why), TokenFileStatus::kRefused);
  EXPECT_FALSE(SaveTokenFile(link, {"rt-9", "", 0}, &why));

  // Another user's file (only root can make one here).
  if (geteuid() == 0) {
    ASSERT_EQ(chown(path_.c_str(), 65534, 65534), 0);
    why.clear();
    EXPECT_EQ(LoadTokenFile(path_, &tokens, &why), TokenFileStatus::kRefused);
    EXPECT_FALSE(why.empty());
    EXPECT_FALSE(SaveTokenFile(path_, {"rt-9", "", 0}, &why));
  }
}

TEST_F(TokenFileTest, UntrustedContentIsReadCarefully) {
  const std::string longest(kMaxTokenBytes, 'T');
  // A name without a value is no entry (the name is not taken for its own value).
  ASSERT_TRUE(qv::WriteFileBytes(
      path_, "junk\nrefresh_token " + longest + "\naccess_token\naccess_token a b\nexpires_at 12x\n"));
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  StoredTokens tokens;
  std::string why;
  ASSERT_EQ(LoadTokenFile(path_, &tokens, &why), TokenFileStatus::kRead);
  EXPECT_EQ(tokens.refreshToken, longest);
  EXPECT_EQ(tokens.accessToken, "");
  EXPECT_EQ(tokens.expiresAt, 0);

  ASSERT_TRUE(qv::WriteFileBytes(path_, "refresh_token " + longest + "T\n"));
  ASSERT_EQ(LoadTokenFile(path_, &tokens, &why), TokenFileStatus::kRead);
  EXPECT_EQ(tokens.refreshToken, "");

  ASSERT_TRUE(qv::WriteFileBytes(path_, std::string(64 * 1024 + 1, '\n')));
  EXPECT_EQ(LoadTokenFile(path_, &tokens, &why), TokenFileStatus::kRefused);
  ASSERT_TRUE(qv::WriteFileBytes(path_, std::string(64 * 1024, '\n')));
  EXPECT_EQ(LoadTokenFile(path_, &tokens, &why), TokenFileStatus::kRead);
}

}  // namespace
