#include "app/settings/converter_lookup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>

#include "platform/files.h"
#include "platform/registry.h"

namespace {

class ConverterLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qv::MakeWorkFolder("CL");
    ASSERT_FALSE(folder_.empty());
    setenv("QUORVEX_REGISTRY", (folder_ + "registry.reg").c_str(), 1);
    SetBundledConverterFolder(folder_);  // a program folder without qvconvert
  }
  void TearDown() override {
    SetBundledConverterFolder(qv::ProgramFolder());
    unsetenv("QUORVEX_REGISTRY");
    std::filesystem::remove_all(folder_);
  }
  std::string folder_;
};

TEST(ConverterPath, CutFromTheRegisteredCommand) {
  EXPECT_EQ(ConverterPathFromCommand("\"/opt/my tools/qvconvert\" \"%1\""), "/opt/my tools/qvconvert");
  EXPECT_EQ(ConverterPathFromCommand("/opt/q/qvconvert \"%1\""), "/opt/q/qvconvert");
  EXPECT_EQ(ConverterPathFromCommand("  /opt/q/qvconvert"), "/opt/q/qvconvert");
  // Without a leading quote a blank ends the path.
  EXPECT_EQ(ConverterPathFromCommand("C:\\Program Files\\i_view32.exe \"%1\""), "C:\\Program");
  EXPECT_EQ(ConverterPathFromCommand("\"/opt/unterminated %1"), "/opt/unterminated");
  EXPECT_EQ(ConverterPathFromCommand("/a\"b\"c %1"), "/abc");
  EXPECT_EQ(ConverterPathFromCommand(""), "");
  EXPECT_EQ(ConverterPathFromCommand("\"\" x"), "");
}

TEST_F(ConverterLookupTest, LocatedOnlyWhenRegisteredWithAPath) {
  std::string path = "stale";
  EXPECT_FALSE(LocateConverter(&path));
  EXPECT_EQ(path, "");
  ASSERT_TRUE(qv::WriteRegistryString(kConverterCommandKey, "Other", "x"));
  EXPECT_FALSE(LocateConverter(&path));  // the key opens, but has no default value
  ASSERT_TRUE(qv::WriteRegistryString(kConverterCommandKey, "", ""));
  EXPECT_FALSE(LocateConverter(&path));
  // A path with a blank, to a program in a safe place.
  const std::string program = folder_ + "q v/qvconvert";
  std::filesystem::create_directories(folder_ + "q v");
  ASSERT_TRUE(qv::WriteFileBytes(program, "#!/bin/sh\n"));
  chmod(program.c_str(), 0755);
  ASSERT_TRUE(qv::WriteRegistryString(kConverterCommandKey, "", "\"" + program + "\" \"%1\""));
  std::string refusal = "stale";
  EXPECT_TRUE(LocateConverter(&path, &refusal));
  EXPECT_EQ(path, program);
  EXPECT_EQ(refusal, "");
}

// A registered converter runs as the user: one in a place others may change, or given by a
// relative path, is not used, and the refusal says which path and why.
TEST_F(ConverterLookupTest, AConverterInAnUnsafePlaceIsRefused) {
  const std::string shared = folder_ + "shared/";
  std::filesystem::create_directories(shared);
  ASSERT_TRUE(qv::WriteFileBytes(shared + "qvconvert", "#!/bin/sh\n"));
  chmod((shared + "qvconvert").c_str(), 0755);
  chmod(shared.c_str(), 0777);
  struct Case {
    std::string command;
    std::string path;
    const char* reason;
  };
  const Case cases[] = {
      {"\"" + shared + "qvconvert\" \"%1\"", shared + "qvconvert", "group or others may change it"},
      {"qvconvert %1", "qvconvert", "not absolute"},
      {"./qvconvert %1", "./qvconvert", "not absolute"},
      {"/no/such/folder/qvconvert %1", "/no/such/folder/qvconvert", "cannot be opened"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    ASSERT_TRUE(qv::WriteRegistryString(kConverterCommandKey, "", c.command));
    std::string path = "stale";
    std::string refusal;
    EXPECT_FALSE(LocateConverter(&path, &refusal));
    EXPECT_EQ(path, "");
    EXPECT_EQ(refusal.rfind(c.path + " is not used: ", 0), 0u) << refusal;
    EXPECT_NE(refusal.find(c.reason), std::string::npos) << refusal;
  }
}

// Without a registration the converter beside the program is used, when it is an executable
// file; a registration wins over it.
TEST_F(ConverterLookupTest, BundledConverterWhenNoneIsRegistered) {
  const std::string bundled = folder_ + "qvconvert";
  EXPECT_EQ(BundledConverter(folder_), "");
  ASSERT_TRUE(qv::WriteFileBytes(bundled, "#!/bin/sh\n"));
  ASSERT_EQ(chmod(bundled.c_str(), 0644), 0);
  EXPECT_EQ(BundledConverter(folder_), "");  // not executable
  std::string path;
  EXPECT_FALSE(LocateConverter(&path));
  ASSERT_EQ(chmod(bundled.c_str(), 0755), 0);
  EXPECT_EQ(BundledConverter(folder_), bundled);
  EXPECT_EQ(BundledConverter(""), "");
  EXPECT_TRUE(LocateConverter(&path));
  EXPECT_EQ(path, bundled);
  ASSERT_TRUE(qv::WriteRegistryString(kConverterCommandKey, "", ""));
  EXPECT_TRUE(LocateConverter(&path));  // an empty registration is none
  EXPECT_EQ(path, bundled);
  const std::string registered = folder_ + "my converter";
  ASSERT_TRUE(qv::WriteFileBytes(registered, "#!/bin/sh\n"));
  ASSERT_EQ(chmod(registered.c_str(), 0755), 0);
  ASSERT_TRUE(qv::WriteRegistryString(kConverterCommandKey, "", "\"" + registered + "\" \"%1\""));
  EXPECT_TRUE(LocateConverter(&path));
  EXPECT_EQ(path, registered);

  std::filesystem::remove(bundled);
  std::filesystem::create_directory(bundled);
  EXPECT_EQ(BundledConverter(folder_), "");  // a folder of that name
  // The build folder holds the real one beside the test programs.
  EXPECT_EQ(BundledConverter(qv::ProgramFolder()), qv::ProgramFolder() + "qvconvert");
}

}  // namespace
