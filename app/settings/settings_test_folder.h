// The tests' private settings folder: a settings file path and a private, empty registry, and
// no converter beside the program (so there is no converter at all), removed with everything
// in it afterwards.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>

#include "app/settings/converter_lookup.h"
#include "platform/files.h"

// Runs a terminal command, `run(out, err)`, and keeps what it printed on each stream.
inline int RunCapturing(const std::function<int(FILE*, FILE*)>& run, std::string* outText, std::string* errText) {
  char* outBytes = nullptr;
  char* errBytes = nullptr;
  size_t outSize = 0, errSize = 0;
  FILE* out = open_memstream(&outBytes, &outSize);
  FILE* err = open_memstream(&errBytes, &errSize);
  int status = run(out, err);
  std::fclose(out);
  std::fclose(err);
  outText->assign(outBytes, outSize);
  errText->assign(errBytes, errSize);
  free(outBytes);
  free(errBytes);
  return status;
}

class SettingsFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = qv::MakeWorkFolder("ST");
    ASSERT_FALSE(folder_.empty());
    path_ = folder_ + "Quorvex.ini";
    setenv("QUORVEX_REGISTRY", (folder_ + "registry.reg").c_str(), 1);
    SetBundledConverterFolder("");
  }
  void TearDown() override {
    SetBundledConverterFolder(qv::ProgramFolder());
    unsetenv("QUORVEX_REGISTRY");
    std::filesystem::remove_all(folder_);
  }

  std::string folder_;
  std::string path_;
};
