#include "app/shell/sibling_link.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "platform/event.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/timing.h"
#include "app/shell/device_selection.h"

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

// The capture worker's wait for the sibling's picture ends as soon as the window side sets the
// event (not at the next poll), when the polls have run out, or at once on an abort. An event
// that came is reset after the picture is taken; none is there when the wait gave up.
TEST_F(SiblingPictureTest, TheWaitForThePictureEndsWithTheEventTheLastPollOrAnAbort) {
  using Clock = std::chrono::steady_clock;
  const qv::Timings saved = qv::GetTimings();
  qv::Timings timings = saved;
  qv::Event ready;
  SiblingLink link(ready);
  auto timedCapture = [&] {
    const auto start = Clock::now();
    EXPECT_FALSE(link.Capture(root_ + "QVTmp000.___"));  // no plug-in: no picture path to take
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  };

  // The real poll: the event set a moment after the request ends the wait long before a poll.
  std::thread window([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ready.Set();
  });
  EXPECT_LT(timedCapture(), saved.siblingPollMs * 9 / 10);
  window.join();
  EXPECT_FALSE(ready.IsSet());

  // No picture: the wait lasts the polls, and not less.
  timings.siblingPollMs = 5;
  timings.siblingPollCount = 4;
  qv::SetTimings(timings);
  EXPECT_GE(timedCapture(), 20);

  // An abort ends a wait of the real length at once.
  qv::SetTimings(saved);
  qv::RequestAbort();
  EXPECT_LT(timedCapture(), saved.siblingPollMs);
  qv::ClearAbort();
  qv::SetTimings(saved);
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

// The plug-in runs code as this user: it is loaded only from a safe place, only while the
// sibling entry is the selected device, and unloaded when another device is selected.
TEST_F(SiblingPictureTest, ThePlugInIsLoadedOnlyFromASafePlaceAndOnlyWhileSelected) {
  const std::string built = qv::ProgramFolder() + "QXComm.so";
  ASSERT_TRUE(std::filesystem::exists(built)) << built;
  setenv("QUORVEX_REGISTRY", (root_ + "registry.reg").c_str(), 1);
  auto registerFolder = [](const std::string& folder) {
    HKEY key;
    ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk\\Orbisk", &key), ERROR_SUCCESS);
    ASSERT_EQ(RegSetValueExA(key, "Directory", 0, REG_SZ, reinterpret_cast<const unsigned char*>(folder.c_str()),
                             static_cast<uint32_t>(folder.size() + 1)),
              ERROR_SUCCESS);
    RegCloseKey(key);
  };
  auto place = [&](const std::string& folder, mode_t folderMode, mode_t fileMode) {
    std::filesystem::create_directories(folder);
    std::filesystem::copy_file(built, folder + "/QXComm.so", std::filesystem::copy_options::overwrite_existing);
    chmod((folder + "/QXComm.so").c_str(), fileMode);
    chmod(folder.c_str(), folderMode);
  };
  // Whether a library of `folder` is mapped into this process.
  auto mapped = [](const std::string& folder) {
    return qv::ReadFileBytes("/proc/self/maps").find(folder + "/QXComm.so") != std::string::npos;
  };
  place(sibling_, 0700, 0644);
  place(root_ + "shared", 0777, 0644);
  place(root_ + "writable", 0700, 0666);
  place(root_ + "linked", 0700, 0644);
  std::filesystem::rename(root_ + "linked/QXComm.so", root_ + "linked/real.so");
  ASSERT_EQ(symlink((root_ + "linked/real.so").c_str(), (root_ + "linked/QXComm.so").c_str()), 0);
  ASSERT_EQ(chdir(sibling_.c_str()), 0);  // so that "." would find a plug-in
  struct Case {
    std::string folder;
    const char* reason;
  };
  const Case refused[] = {
      {root_ + "shared", "group or others may change it"},
      {root_ + "writable", "group or others may change it"},
      {root_ + "linked", "it is a symbolic link"},
      {".", "the path is not absolute"},
      {"orbisk", "the path is not absolute"},
  };
  qv::Event ready;
  for (const Case& c : refused) {
    SCOPED_TRACE(c.folder);
    registerFolder(c.folder);
    SiblingLink link(ready);
    EXPECT_FALSE(link.Offered());
    EXPECT_FALSE(link.Follow(SiblingEntryName()));
    EXPECT_FALSE(link.available());
    EXPECT_NE(link.why().find(c.folder + "/QXComm.so is not used: "), std::string::npos) << link.why();
    EXPECT_NE(link.why().find(c.reason), std::string::npos) << link.why();
    EXPECT_FALSE(mapped(c.folder == "." || c.folder == "orbisk" ? sibling_ : c.folder));
  }
  ASSERT_EQ(chdir("/"), 0);

  registerFolder(sibling_);
  SiblingLink link(ready);
  EXPECT_TRUE(link.Offered());
  EXPECT_FALSE(link.Follow("Desk Cam"));  // another device: nothing is loaded
  EXPECT_FALSE(mapped(sibling_));
  ASSERT_TRUE(link.Follow(SiblingEntryName())) << link.why();
  EXPECT_TRUE(link.available());
  EXPECT_TRUE(link.Selects(SiblingEntryName()));
  EXPECT_TRUE(mapped(sibling_));
  // The plug-in finds its own folder although it was loaded through its descriptor.
  qv::WriteFileBytes(sibling_ + "/LastImage.txt", sibling_ + "/picture.bmp");
  qv::WriteFileBytes(sibling_ + "/picture.bmp", bmp_);
  link.OnImageReady();
  EXPECT_TRUE(ready.IsSet());
  const qv::Timings saved = qv::GetTimings();
  qv::Timings quick = saved;
  quick.siblingPollMs = 1;
  qv::SetTimings(quick);
  EXPECT_TRUE(link.Capture(root_ + "QVTmp000.___"));
  qv::SetTimings(saved);
  EXPECT_EQ(qv::ReadFileBytes(root_ + "QVTmp000.___"), bmp_);
  EXPECT_FALSE(link.Follow("Desk Cam"));
  EXPECT_FALSE(link.available());
  EXPECT_FALSE(link.Selects(SiblingEntryName()));
  EXPECT_FALSE(mapped(sibling_));
  unsetenv("QUORVEX_REGISTRY");
}

}  // namespace
