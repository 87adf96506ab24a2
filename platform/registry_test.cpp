#include "platform/registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/files.h"

namespace {

// Points the registry at a file in a private folder for the duration of a test.
class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qv::MakeWorkFolder("RG");
    ASSERT_FALSE(folder_.empty());
    path_ = folder_ + "registry.reg";
    setenv("QUORVEX_REGISTRY", path_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("QUORVEX_REGISTRY");
    std::filesystem::remove_all(folder_);
  }

  // The default value of `subKey` under HKEY_CLASSES_ROOT, or "<missing>".
  std::string DefaultOf(HKEY root, const char* subKey) {
    HKEY key = nullptr;
    if (RegOpenKeyA(root, subKey, &key) != ERROR_SUCCESS) return "<missing>";
    char buffer[300];
    uint32_t size = sizeof buffer;
    uint32_t type = 0;
    long status = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<unsigned char*>(buffer), &size);
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    if (status != ERROR_SUCCESS) return "<missing>";
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(size, std::strlen(buffer) + 1);
    return buffer;
  }

  std::string folder_;
  std::string path_;
};

TEST_F(RegistryTest, ReadsHandWrittenFileAsFarAsItMakesSense) {
  qv::WriteFileBytes(path_,
            "REGEDIT4\r\n"
            "\r\n"
            "; a comment\r\n"
            "[HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command]\r\n"
            "@=\"\\\"C:\\\\Program Files\\\\i_view.exe\\\" \\\"%1\\\"\"\r\n"
            "garbage line without sense\r\n"
            "\"Count\"=dword:0000002a\r\n"
            "\"Broken\"=dword:xyz\r\n"
            "\"Bytes\"=hex:01,02,\\\r\n"
            "  03\r\n"
            "[HKEY_NOWHERE\\Software]\r\n"
            "@=\"lost\"\r\n"
            "[hkey_current_user\\Software\\Halvorsk\\Orbisk]\r\n"
            "\"Directory\"=\"/opt/orbisk\"\r\n"
            "\"Unterminated\"=\"abc\r\n"
            "[HKEY_CURRENT_USER\\Software\\Halvorsk\\Orbisk]\n"
            "\"Text\"=hex(1):41,42,00\n");
  EXPECT_EQ(DefaultOf(HKEY_CLASSES_ROOT, "IrfanView\\shell\\open\\command"),
            "\"C:\\Program Files\\i_view.exe\" \"%1\"");
  // Key names compare without regard to case; intermediate keys exist implicitly.
  EXPECT_EQ(DefaultOf(HKEY_CLASSES_ROOT, "irfanview\\SHELL\\Open\\Command"),
            "\"C:\\Program Files\\i_view.exe\" \"%1\"");
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "IrfanView", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "IrfanView\\shell\\edit", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "Software", &key), ERROR_FILE_NOT_FOUND);

  ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "IrfanView\\shell\\open\\command", &key), ERROR_SUCCESS);
  uint32_t type = 0;
  unsigned char data[8] = {};
  uint32_t size = sizeof data;
  ASSERT_EQ(RegQueryValueExA(key, "count", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(data[0], 42);
  size = sizeof data;
  ASSERT_EQ(RegQueryValueExA(key, "Bytes", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_BINARY);
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(data[2], 3);
  size = sizeof data;
  EXPECT_EQ(RegQueryValueExA(key, "Broken", nullptr, &type, data, &size), ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);

  // Both spellings of the same key are merged; a broken value line is skipped.
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk\\Orbisk", &key), ERROR_SUCCESS);
  char text[64];
  size = sizeof text;
  ASSERT_EQ(RegQueryValueExA(key, "Directory", nullptr, &type, reinterpret_cast<unsigned char*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_STREQ(text, "/opt/orbisk");
  size = sizeof text;
  ASSERT_EQ(RegQueryValueExA(key, "Text", nullptr, &type, reinterpret_cast<unsigned char*>(text), &size),
            ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_STREQ(text, "AB");
  EXPECT_EQ(size, 3u);
  size = sizeof text;
  EXPECT_EQ(RegQueryValueExA(key, "Unterminated", nullptr, &type, reinterpret_cast<unsigned char*>(text), &size),
            ERROR_FILE_NOT_FOUND);
  RegCloseKey(key);
}

TEST_F(RegistryTest, QueryReportsSizesAndShortBuffers) {
  ASSERT_TRUE(qv::WriteRegistryString("HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex", "Directory", "/opt/q"));
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk\\Quorvex", &key), ERROR_SUCCESS);
  uint32_t size = 0;
  uint32_t type = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Directory", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 7u);
  unsigned char small[6];
  size = sizeof small;
  EXPECT_EQ(RegQueryValueExA(key, "Directory", nullptr, &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(key, "", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  uint32_t reserved = 0;
  EXPECT_EQ(RegQueryValueExA(key, "Directory", &reserved, &type, nullptr, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  // A handle closed once is no longer valid.
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_CLASSES_ROOT), ERROR_SUCCESS);
}

TEST_F(RegistryTest, WritesRegeditFileThatReadsBack) {
  // The registry folder is created on the first write.
  std::string nested = folder_ + "config/quorvex/registry.reg";
  setenv("QUORVEX_REGISTRY", nested.c_str(), 1);
  const std::string command = "\"/opt/my tools/qvconvert\" \"%1\"";
  ASSERT_TRUE(qv::WriteRegistryString("HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command", "", command));
  EXPECT_EQ(qv::ReadFileBytes(nested),
            "REGEDIT4\n\n"
            "[HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command]\n"
            "@=\"\\\"/opt/my tools/qvconvert\\\" \\\"%1\\\"\"\n\n");
  std::string value;
  ASSERT_TRUE(qv::ReadRegistryString("HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command", "", &value));
  EXPECT_EQ(value, command);

  // Values with line breaks, other types and CP932 bytes survive a rewrite of the file.
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk\\Quorvex", &key), ERROR_SUCCESS);
  const char twoLines[] = "first\r\nsecond \x89\xE6\x91\x9C";
  ASSERT_EQ(RegSetValueExA(key, "Note", 0, REG_SZ, reinterpret_cast<const unsigned char*>(twoLines),
                           sizeof twoLines),
            ERROR_SUCCESS);
  const unsigned char number[4] = {0x78, 0x56, 0x34, 0x12};
  ASSERT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, number, 4), ERROR_SUCCESS);
  EXPECT_EQ(RegSetValueExA(key, "Number", 0, REG_DWORD, number, 3), ERROR_INVALID_PARAMETER);
  const unsigned char raw[3] = {0, 0xFF, 7};
  ASSERT_EQ(RegSetValueExA(key, "Raw", 0, 11, raw, 3), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_NE(qv::ReadFileBytes(nested).find("\"Number\"=dword:12345678\n"), std::string::npos);

  ASSERT_TRUE(qv::ReadRegistryString("HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex", "note", &value));
  EXPECT_EQ(value, twoLines);
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk\\Quorvex", &key), ERROR_SUCCESS);
  unsigned char data[8];
  uint32_t size = sizeof data;
  uint32_t type = 0;
  ASSERT_EQ(RegQueryValueExA(key, "Raw", nullptr, &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, 11u);
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(std::memcmp(data, raw, 3), 0);
  RegCloseKey(key);
  ASSERT_TRUE(qv::ReadRegistryString("HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command", "", &value));
  EXPECT_EQ(value, command);
  // No temporary file is left beside the registry.
  int entries = 0;
  for (auto& entry : std::filesystem::directory_iterator(folder_ + "config/quorvex")) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST_F(RegistryTest, DeletesKeyWithEverythingBelowIt) {
  ASSERT_TRUE(qv::WriteRegistryString("HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex", "Directory", "/q"));
  ASSERT_TRUE(qv::WriteRegistryString("HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex\\Sub", "X", "1"));
  ASSERT_TRUE(qv::WriteRegistryString("HKEY_CURRENT_USER\\Software\\Halvorsk\\QuorvexOther", "X", "2"));
  HKEY vendor = nullptr;
  ASSERT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk", &vendor), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(vendor, "quorvex"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyA(vendor, "Quorvex"), ERROR_FILE_NOT_FOUND);
  RegCloseKey(vendor);
  HKEY key = nullptr;
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk\\Quorvex\\Sub", &key), ERROR_FILE_NOT_FOUND);
  std::string value;
  // A key whose name merely begins the same stays.
  EXPECT_TRUE(qv::ReadRegistryString("HKEY_CURRENT_USER\\Software\\Halvorsk\\QuorvexOther", "X", &value));
  EXPECT_EQ(value, "2");
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  // The key above stays when its last key below goes.
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk\\QuorvexOther"), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Halvorsk", &key), ERROR_SUCCESS);
  RegCloseKey(key);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, ""), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\\\Halvorsk"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyA(reinterpret_cast<HKEY>(0x1234), "Software", &key), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, FileLocationAndUnreadableFile) {
  EXPECT_EQ(qv::RegistryFilePath(), path_);
  unsetenv("QUORVEX_REGISTRY");
  const char* savedXdg = getenv("XDG_CONFIG_HOME");
  std::string saved = savedXdg ? savedXdg : "";
  setenv("XDG_CONFIG_HOME", "/x/cfg", 1);
  EXPECT_EQ(qv::RegistryFilePath(), "/x/cfg/quorvex/registry.reg");
  if (savedXdg) {
    setenv("XDG_CONFIG_HOME", saved.c_str(), 1);
  } else {
    unsetenv("XDG_CONFIG_HOME");
  }
  setenv("QUORVEX_REGISTRY", path_.c_str(), 1);

  // A registry "file" that is a folder is neither read nor replaced.
  ASSERT_EQ(mkdir(path_.c_str(), 0700), 0);
  std::string value;
  EXPECT_FALSE(qv::ReadRegistryString("HKEY_CLASSES_ROOT\\IrfanView", "", &value));
  EXPECT_FALSE(qv::WriteRegistryString("HKEY_CLASSES_ROOT\\IrfanView", "", "x"));
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

}  // namespace
