#include "app/settings/converter_lookup.h"

#include <gtest/gtest.h>
#include <stdlib.h>

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
  }
  void TearDown() override {
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
  ASSERT_TRUE(qv::WriteRegistryString(kConverterCommandKey, "", "\"/opt/q v/qvconvert\" \"%1\""));
  EXPECT_TRUE(LocateConverter(&path));
  EXPECT_EQ(path, "/opt/q v/qvconvert");
}

}  // namespace
