#include "uninst/uninstqv.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <sstream>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace {

const char kOrbiskKey[] = "[HKEY_CURRENT_USER\\Software\\Halvorsk\\Orbisk]\n\"Directory\"=\"/opt/orbisk\"\n";
const char kProductHeader[] = "[HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex]\n";
// Files of the program folder that the clean-up must leave alone.
const char* const kOtherFiles[] = {"log/2024-05-01.log", "QVTmp000.___", "picture.jpg", "Quorvex.ini.bak",
                                   "Quorvex", "MailList.dat.old"};

bool KeyExists(const char* subKey) {
  HKEY key = nullptr;
  if (RegOpenKeyA(HKEY_CURRENT_USER, subKey, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

void Touch(const std::string& path) {
  std::filesystem::create_directories(qv::FolderOf(path));
  ASSERT_TRUE(qv::WriteFileBytes(path, "x"));
}

// A registry file and a program folder in a private folder, the library loaded as an
// uninstaller loads it.
class UninstTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_ = qv::MakeWorkFolder("UN");
    ASSERT_FALSE(scratch_.empty());
    registry_ = scratch_ + "registry.reg";
    setenv("QUORVEX_REGISTRY", registry_.c_str(), 1);
    library_ = dlopen(UNINSTQV_LIBRARY, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    libMain_ = reinterpret_cast<UninstLibMainFunction>(dlsym(library_, "LibMain"));
    initialize_ = reinterpret_cast<UninstFunction>(dlsym(library_, "UninstInitialize"));
    uninitialize_ = reinterpret_cast<UninstFunction>(dlsym(library_, "UninstUnInitialize"));
    ASSERT_TRUE(libMain_ && initialize_ && uninitialize_);
  }
  void TearDown() override {
    if (library_) dlclose(library_);
    unsetenv("QUORVEX_REGISTRY");
    std::filesystem::remove_all(scratch_);
  }

  // A folder below the scratch folder whose path (without a trailing '/') is `length` bytes.
  std::string FolderOfLength(size_t length) {
    std::string folder = scratch_ + "deep";
    while (folder.size() < length) {
      size_t room = length - folder.size();  // one '/' and a name of room - 1 bytes
      size_t name = std::min<size_t>(200, room - 1);
      if (room - (name + 1) == 1) --name;  // never leave room for a '/' alone
      folder += "/" + std::string(name, 'd');
    }
    EXPECT_EQ(folder.size(), length);
    std::filesystem::create_directories(folder);
    return folder;
  }

  void* library_ = nullptr;
  UninstLibMainFunction libMain_ = nullptr;
  UninstFunction initialize_ = nullptr;
  UninstFunction uninitialize_ = nullptr;
  std::string scratch_;
  std::string registry_;
};

TEST_F(UninstTest, RemovesTheTwoFilesAndTheProductKeyAndNothingElse) {
  struct Case {
    const char* name;
    std::string registry;  // file content, "" for no file; "$D" stands for the program folder
    size_t folderLength;   // 0: the program folder is scratch/program
    bool filesRemoved;
    bool vendorKeyLeft;
    bool registryUnchanged;
  };
  const std::string orbisk = kOrbiskKey;
  const std::string product = kProductHeader;
  const std::string named = product + "\"Directory\"=\"$D\"\n";
  const Case cases[] = {
      {"folder named", named + orbisk, 0, true, true, false},
      {"trailing slash", product + "\"Directory\"=\"$D/\"\n", 0, true, true, false},
      {"no Directory value", product + "\"Version\"=\"1.0\"\n" + orbisk, 0, false, true, false},
      {"255 bytes", named, 255, true, true, false},
      {"256 bytes", named, 256, false, true, false},
      {"no product key", orbisk, 0, false, true, true},
      {"no vendor key", "[HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command]\n@=\"/usr/bin/x\"\n", 0, false, false, true},
      {"product key with a key below",
       named + "[HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex\\Window]\n\"Left\"=dword:00000010\n" + orbisk, 0, true,
       true, false},
      {"empty folder", product + "\"Directory\"=\"\"\n", 0, false, true, false},
      {"relative folder", product + "\"Directory\"=\"program\"\n", 0, false, true, false},
      {"number instead of a folder", product + "\"Directory\"=dword:00000001\n", 0, false, true, false},
      {"no registry file", "", 0, false, false, true},
  };
  std::string startFolder = std::filesystem::current_path();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(scratch_ + "program");
    std::filesystem::remove_all(scratch_ + "deep");
    std::filesystem::remove(registry_);
    std::string folder = c.folderLength ? FolderOfLength(c.folderLength) : scratch_ + "program";
    for (const char* name : kUninstRemovedFiles) Touch(folder + "/" + name);
    for (const char* name : kOtherFiles) Touch(folder + "/" + name);
    std::string text = c.registry;
    if (!text.empty()) {
      for (size_t at = text.find("$D"); at != std::string::npos; at = text.find("$D")) text.replace(at, 2, folder);
      ASSERT_TRUE(qv::WriteFileBytes(registry_, "REGEDIT4\n\n" + text));
    }
    std::string before = qv::ReadFileBytes(registry_);
    // A relative folder would be taken from the folder the uninstaller runs in.
    ASSERT_EQ(chdir(scratch_.c_str()), 0);

    EXPECT_EQ(libMain_(nullptr, 0, 0, nullptr), 1);
    EXPECT_EQ(initialize_(nullptr, nullptr, 0), 0);
    EXPECT_EQ(uninitialize_(nullptr, nullptr, 0), 0);

    ASSERT_EQ(chdir(startFolder.c_str()), 0);
    for (const char* name : kUninstRemovedFiles) {
      EXPECT_EQ(std::filesystem::exists(folder + "/" + name), !c.filesRemoved) << name;
    }
    for (const char* name : kOtherFiles) EXPECT_TRUE(std::filesystem::exists(folder + "/" + name)) << name;
    EXPECT_FALSE(KeyExists(kUninstProductKey));
    EXPECT_FALSE(KeyExists("Software\\Halvorsk\\Quorvex\\Window"));
    EXPECT_EQ(KeyExists(kUninstVendorKey), c.vendorKeyLeft);
    EXPECT_EQ(KeyExists("Software\\Halvorsk\\Orbisk"), text.find(kOrbiskKey) != std::string::npos);
    if (c.registryUnchanged) {
      EXPECT_EQ(qv::ReadFileBytes(registry_), before);
    }
    EXPECT_EQ(std::filesystem::exists(registry_), !text.empty());
  }
}

// What the dynamic linker sees: the three entries and no other part of the system.
TEST_F(UninstTest, ExportsOnlyTheThreeEntriesAndNeedsNoOtherPart) {
  qv::ProcessOptions options;
  options.captureOutput = true;
  options.timeoutMs = 60000;
  qv::ProcessResult symbols = qv::RunProcess({"nm", "-D", "--defined-only", UNINSTQV_LIBRARY}, options);
  ASSERT_TRUE(symbols.Succeeded()) << symbols.error;
  std::set<std::string> names;
  std::istringstream lines(symbols.output);
  for (std::string line; std::getline(lines, line);) names.insert(line.substr(line.rfind(' ') + 1));
  EXPECT_EQ(names, (std::set<std::string>{"LibMain", "UninstInitialize", "UninstUnInitialize"})) << symbols.output;

  qv::ProcessResult dynamic = qv::RunProcess({"readelf", "-d", UNINSTQV_LIBRARY}, options);
  ASSERT_TRUE(dynamic.Succeeded()) << dynamic.error;
  std::istringstream entries(dynamic.output);
  for (std::string line; std::getline(entries, line);) {
    if (line.find("(NEEDED)") == std::string::npos) continue;
    for (const char* part : {"Qt", "QXDV", "ssl", "crypto", "jpeg", "png", "Uninst"}) {
      EXPECT_EQ(line.find(part), std::string::npos) << line;
    }
  }
}

// quorvex-uninstall reports each thing that went, and what stayed.
TEST_F(UninstTest, ToolReportsWhatItRemoved) {
  std::string folder = scratch_ + "program";
  for (const char* name : kUninstRemovedFiles) Touch(folder + "/" + name);
  ASSERT_TRUE(qv::WriteRegistryString(std::string("HKEY_CURRENT_USER\\") + kUninstProductKey, "Directory", folder));
  qv::ProcessOptions options;
  options.captureOutput = true;
  options.timeoutMs = 60000;

  qv::ProcessResult first = qv::RunProcess({UNINSTALL_TOOL}, options);
  EXPECT_TRUE(first.Succeeded());
  EXPECT_EQ(first.output, "Removed " + folder + "/Quorvex.ini\nRemoved " + folder +
                              "/MailList.dat\nRemoved the key HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex from " +
                              registry_ + "\n");

  qv::ProcessResult again = qv::RunProcess({UNINSTALL_TOOL}, options);
  EXPECT_TRUE(again.Succeeded());
  EXPECT_EQ(again.output,
            "Nothing to remove: " + registry_ + " holds no HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex\n");

  // A folder where the settings file should be is not a file to remove.
  std::filesystem::create_directories(folder + "/Quorvex.ini");
  ASSERT_TRUE(qv::WriteRegistryString(std::string("HKEY_CURRENT_USER\\") + kUninstProductKey, "Directory", folder));
  qv::ProcessResult stuck = qv::RunProcess({UNINSTALL_TOOL}, options);
  EXPECT_EQ(stuck.exitCode, 1);
  EXPECT_EQ(stuck.output, "Not removed: " + folder + "/Quorvex.ini\nKept the key "
                          "HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex in " + registry_ + " while files stay\n");
  std::string recorded;
  EXPECT_TRUE(qv::ReadRegistryString(std::string("HKEY_CURRENT_USER\\") + kUninstProductKey, "Directory", &recorded));
  EXPECT_EQ(recorded, folder);
  std::filesystem::remove_all(folder + "/Quorvex.ini");

  // A folder the library would not use removes nothing, so the key that names it stays too:
  // relative, and absolute at the length limit and one past it.
  std::string longFolder = scratch_;
  while (longFolder.size() < 254) longFolder += "d";
  for (const auto& [directory, accepted] : std::vector<std::pair<std::string, bool>>{
           {".", false}, {"program", false}, {longFolder + "/", true}, {longFolder + "/x", false}}) {
    SCOPED_TRACE(directory);
    if (directory[0] == '/') {
      ASSERT_EQ(directory.size() <= 255, accepted);
    }
    std::filesystem::create_directories(directory[0] == '/' ? directory : scratch_ + directory);
    ASSERT_TRUE(qv::WriteRegistryString(std::string("HKEY_CURRENT_USER\\") + kUninstProductKey, "Directory",
                                        directory));
    qv::ProcessResult refused = qv::RunProcess({UNINSTALL_TOOL}, options);
    EXPECT_EQ(refused.exitCode, accepted ? 0 : 1) << refused.output;
    EXPECT_EQ(qv::ReadRegistryString(std::string("HKEY_CURRENT_USER\\") + kUninstProductKey, "Directory", &recorded),
              !accepted);
    if (!accepted) {
      EXPECT_NE(refused.output.find("\"" + directory + "\""), std::string::npos) << refused.output;
    }
  }
}

}  // namespace
