#include "app/shell/sibling_link.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "platform/event.h"
#include "platform/files.h"
#include "platform/registry.h"

namespace {

class SiblingPictureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = qv::MakeWorkFolder("SP");
    ASSERT_FALSE(root_.empty());
    sibling_ = root_ + "orbisk";
    ASSERT_EQ(mkdir(sibling_.c_str(), 0700), 0);
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  bool Take(const std::string& path) {
    char buffer[4096] = {};
    std::memcpy(buffer, path.data(), std::min(path.size(), sizeof buffer - 1));
    return TakeSiblingPicture(buffer, sibling_, root_ + "QVTmp000.___");
  }

  std::string root_;
  std::string sibling_;
  const std::string bmp_ = "BM" + std::string(60, '\x01');
};

TEST_F(SiblingPictureTest, OnlyARegularBmpIsTakenAndOnlyTheSiblingsOwnFileDeleted) {
  struct Case {
    std::string name;  // file made for the case, relative to the root ("" for none)
    std::string content;
    bool taken;
    bool deleted;
  };
  const std::vector<Case> cases = {
      {"orbisk/Orbisk000001.bmp", bmp_, true, true},
      {"elsewhere.bmp", bmp_, true, false},  // copied, but not the sibling's to delete
      {"orbisk/notes.txt", "hello, not a picture at all, but long enough to be one" + std::string(20, '.'), false, false},
      {"orbisk/short.bmp", "BM", false, false},
      {"orbisk/missing.bmp", "", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = root_ + c.name;
    if (!c.content.empty()) {
      ASSERT_TRUE(qv::WriteFileBytes(path, c.content));
    }
    std::filesystem::remove(root_ + "QVTmp000.___");
    EXPECT_EQ(Take(path), c.taken);
    EXPECT_EQ(qv::ReadFileBytes(root_ + "QVTmp000.___"), c.taken ? c.content : "");
    EXPECT_EQ(qv::FileSize(path) < 0, c.deleted || c.content.empty());
  }

  // A link, a folder and a pipe are not regular files; a path of 260 bytes without its end is
  // too long. None is taken or deleted.
  ASSERT_TRUE(qv::WriteFileBytes(root_ + "target.bmp", bmp_));
  ASSERT_EQ(symlink((root_ + "target.bmp").c_str(), (sibling_ + "/link.bmp").c_str()), 0);
  ASSERT_EQ(mkfifo((sibling_ + "/pipe.bmp").c_str(), 0600), 0);
  for (const std::string& path : {sibling_ + "/link.bmp", sibling_, sibling_ + "/pipe.bmp"}) {
    EXPECT_FALSE(Take(path)) << path;
  }
  EXPECT_TRUE(std::filesystem::exists(root_ + "target.bmp"));
  EXPECT_TRUE(std::filesystem::is_fifo(sibling_ + "/pipe.bmp"));
  std::string longName = sibling_ + "/" + std::string(300, 'a');
  EXPECT_FALSE(Take(longName.substr(0, 260)));
  EXPECT_FALSE(std::filesystem::exists(root_ + "QVTmp000.___"));
}

// Without the link every capture of the sibling entry fails, so Load says why it has none.
TEST_F(SiblingPictureTest, LoadSaysWhyTheLinkIsMissing) {
  setenv("QUORVEX_REGISTRY", (root_ + "registry.reg").c_str(), 1);
  qv::Event ready;
  SiblingLink unregistered(ready);
  EXPECT_FALSE(unregistered.Load());
  EXPECT_EQ(unregistered.why(), "Orbisk has not registered its folder");

  HKEY key;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk\\Orbisk", &key), ERROR_SUCCESS);
  ASSERT_EQ(RegSetValueExA(key, "Directory", 0, REG_SZ, reinterpret_cast<const unsigned char*>(sibling_.c_str()),
                           static_cast<uint32_t>(sibling_.size() + 1)),
            ERROR_SUCCESS);
  RegCloseKey(key);
  SiblingLink withoutPlugin(ready);
  EXPECT_FALSE(withoutPlugin.Load());
  EXPECT_NE(withoutPlugin.why().find(sibling_ + "/QXComm.so"), std::string::npos) << withoutPlugin.why();
  unsetenv("QUORVEX_REGISTRY");
}

}  // namespace
