#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/image/converter.h"
#include "app/settings/converter_lookup.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"

namespace {

class RegisterConverterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qv::MakeWorkFolder("RC");
    ASSERT_FALSE(folder_.empty());
    registry_ = folder_ + "registry.reg";
    setenv("QUORVEX_REGISTRY", registry_.c_str(), 1);
    script_ = std::string(QUORVEX_SOURCE_DIR) + "/scripts/register-converter.sh";
  }
  void TearDown() override {
    unsetenv("QUORVEX_REGISTRY");
    std::filesystem::remove_all(folder_);
  }

  qv::ProcessResult Register(const std::string& converter) {
    qv::ProcessOptions options;
    options.captureOutput = true;
    return qv::RunProcess({"/bin/bash", script_, converter}, options);
  }

  std::string folder_;
  std::string registry_;
  std::string script_;
};

TEST_F(RegisterConverterTest, RegisteredConverterIsFoundAndWritesGif) {
  std::string converter = qv::ProgramFolder() + "qvconvert";
  qv::ProcessResult result = Register(converter);
  ASSERT_TRUE(result.Succeeded()) << result.output;
  EXPECT_NE(result.output.find(registry_), std::string::npos);

  std::string path;
  ASSERT_TRUE(LocateConverter(&path));
  EXPECT_EQ(std::filesystem::canonical(path), std::filesystem::canonical(converter));
  std::string command;
  ASSERT_TRUE(qv::ReadRegistryString(kConverterCommandKey, "", &command));
  EXPECT_EQ(command, "\"" + path + "\" \"%1\"");

  // The registered program converts a BMP the way the pipeline asks for it.
  std::string source = folder_ + "QVTmp002.___";
  std::string bmp = "BM";
  auto put32 = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) bmp.push_back(static_cast<char>(v >> (8 * i)));
  };
  put32(54 + 8);
  put32(0);
  put32(54);
  put32(40);
  put32(2);
  put32(1);
  bmp += {1, 0, 24, 0};
  for (int i = 0; i < 6; ++i) put32(0);
  bmp += {'\xFF', 0, 0, 0, '\xFF', 0, 0, 0};  // a blue and a green pixel, two bytes of padding
  std::ofstream(source, std::ios::binary) << bmp;
  std::string destination = folder_ + "QVTmp005.gif";
  EXPECT_EQ(RunConverter(path, source, destination), 1);
  EXPECT_EQ(qv::ReadFileBytes(destination).substr(0, 4), "GIF8");
}

TEST_F(RegisterConverterTest, RefusesWhatIsNotAProgram) {
  EXPECT_EQ(Register(folder_ + "missing").exitCode, 1);
  std::string plain = folder_ + "plain";
  std::ofstream(plain) << "not executable";
  EXPECT_EQ(Register(plain).exitCode, 1);
  EXPECT_FALSE(std::filesystem::exists(registry_));
  EXPECT_EQ(qv::RunProcess({"/bin/bash", script_}).exitCode, 1);
}

}  // namespace
