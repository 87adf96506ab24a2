#include "platform/window_endpoint.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>

#include "platform/files.h"

namespace {

class WindowEndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    runtime_ = qv::MakeWorkFolder("WE");
    ASSERT_FALSE(runtime_.empty());
    setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("XDG_RUNTIME_DIR");
    std::filesystem::remove_all(runtime_);
  }
  std::string runtime_;
};

TEST_F(WindowEndpointTest, FoundByTitleReceivesPostsAndGoesAwayWithItsProgram) {
  EXPECT_EQ(qv::FindWindowByTitle("Orbisk"), 0);
  auto orbisk = std::make_unique<qv::WindowEndpoint>("Orbisk");
  ASSERT_TRUE(orbisk->ok());
  struct stat st;
  ASSERT_EQ(stat((runtime_ + "/quorvex-windows").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);

  qv::WindowHandle found = qv::FindWindowByTitle("Orbisk");
  EXPECT_EQ(found, orbisk->handle());
  qv::WindowMessage message;
  EXPECT_FALSE(orbisk->Receive(&message, 0));
  ASSERT_TRUE(qv::PostWindowMessage(found, 1147, 0, -5));
  ASSERT_TRUE(orbisk->Receive(&message, 1000));
  EXPECT_EQ(message.message, 1147u);
  EXPECT_EQ(message.wParam, 0);
  EXPECT_EQ(message.lParam, -5);

  // A stray datagram is not a message.
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::string path = qv::WindowEndpointFolder() + "#" + std::to_string(found);
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
  ASSERT_EQ(sendto(fd, "x", 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address), 1);
  close(fd);
  EXPECT_FALSE(orbisk->Receive(&message, 0));

  // A newer window takes the title over; the older one leaving does not take it away.
  auto newer = std::make_unique<qv::WindowEndpoint>("Orbisk");
  EXPECT_EQ(qv::FindWindowByTitle("Orbisk"), newer->handle());
  orbisk.reset();
  EXPECT_EQ(qv::FindWindowByTitle("Orbisk"), newer->handle());
  EXPECT_FALSE(qv::PostWindowMessage(found, 1147, 0, 0));
  newer.reset();
  EXPECT_EQ(qv::FindWindowByTitle("Orbisk"), 0);

  // A socket and link left behind by a program that is gone is not a window.
  int stale = socket(AF_UNIX, SOCK_DGRAM, 0);
  std::string stalePath = qv::WindowEndpointFolder() + "#77";
  std::memcpy(address.sun_path, stalePath.c_str(), stalePath.size() + 1);
  ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(stale);
  ASSERT_EQ(symlink("#77", (qv::WindowEndpointFolder() + "Orbisk").c_str()), 0);
  EXPECT_EQ(qv::FindWindowByTitle("Orbisk"), 0);
}

TEST_F(WindowEndpointTest, AFolderOthersCanWriteIsRefusedByName) {
  const std::string folder = runtime_ + "/quorvex-windows";
  ASSERT_EQ(mkdir(folder.c_str(), 0777), 0);
  chmod(folder.c_str(), 0777);
  std::string why;
  EXPECT_EQ(qv::WindowEndpointFolder(&why), "");
  EXPECT_NE(why.find(folder + "/"), std::string::npos) << why;
  EXPECT_FALSE(qv::WindowEndpoint("Orbisk").ok());
  // A link in its place, even to a private folder, is not the folder.
  ASSERT_EQ(rmdir(folder.c_str()), 0);
  ASSERT_EQ(mkdir((runtime_ + "/elsewhere").c_str(), 0700), 0);
  ASSERT_EQ(symlink((runtime_ + "/elsewhere").c_str(), folder.c_str()), 0);
  EXPECT_EQ(qv::WindowEndpointFolder(&why), "");
  EXPECT_NE(why.find(folder + "/"), std::string::npos) << why;
}

// Without XDG_RUNTIME_DIR the endpoints live in the user's own home, private, never under a
// name in /tmp that another user could make first.
TEST_F(WindowEndpointTest, WithoutARuntimeFolderTheUsersOwnPrivateFolderIsUsed) {
  unsetenv("XDG_RUNTIME_DIR");
  const char* savedHome = std::getenv("HOME");
  const std::string home = savedHome ? savedHome : "";
  setenv("HOME", runtime_.c_str(), 1);
  for (bool withCacheHome : {false, true}) {
    SCOPED_TRACE(withCacheHome);
    const std::string cache = runtime_ + (withCacheHome ? "/xdg-cache" : "/.cache");
    if (withCacheHome) setenv("XDG_CACHE_HOME", cache.c_str(), 1);
    std::string folder = qv::WindowEndpointFolder();
    EXPECT_EQ(folder, cache + "/quorvex-windows/");
    struct stat st;
    ASSERT_EQ(lstat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    qv::WindowEndpoint window("Orbisk");
    EXPECT_TRUE(window.ok());
    EXPECT_EQ(qv::FindWindowByTitle("Orbisk"), window.handle());
  }
  unsetenv("XDG_CACHE_HOME");
  if (savedHome) {
    setenv("HOME", home.c_str(), 1);
  } else {
    unsetenv("HOME");
  }
}

}  // namespace
