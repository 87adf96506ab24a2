#include "app/shell/device_selection.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "app/settings/ini.h"
#include "app/settings/settings.h"
#include "core/qxdvcore.h"
#include "platform/files.h"
#include "platform/message_box.h"
#include "platform/text.h"
#include "platform/window_endpoint.h"

namespace {

TEST(DeviceSelection, TheCasesOfStartUp) {
  std::string folder = qv::MakeWorkFolder("DS");
  ASSERT_FALSE(folder.empty());
  setenv("XDG_RUNTIME_DIR", folder.c_str(), 1);
  std::vector<std::string> boxes;
  qv::SetMessageBoxSink([&](const std::string& text, const std::string&) { boxes.push_back(qv::Utf8FromCp932(text)); });

  struct Case {
    const char* devices;
    std::string deviceName;  // CP932
    bool siblingRunning;
    int result;
    const char* message;  // the one box shown, or empty
    std::string stored;   // DeviceName afterwards, in the record and in the file
    bool running;
  };
  const std::string sibling = SJIS("Orbisk連携");
  const std::vector<Case> cases = {
      {"!First Cam,Second Cam", "", false, 1, "", "Second Cam", true},
      {"Desk Cam", "Gone Cam", false, 0, "選択したデバイスが見つかりませんでした。", "", false},
      {"!Bad Cam,Desk Cam", "!Bad Cam", false, -1, "選択したデバイスは使用できませんでした。", "", false},
      {"", sibling, true, 0, "キャプチャデバイスが見つかりませんでした。", "", false},
      {"Desk Cam", sibling, false, 1, "Orbiskを起動してください。", "", false},
      {"Desk Cam", sibling, true, 1, "", "", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.devices) + " / " + qv::Utf8FromCp932(c.deviceName));
    setenv("QUORVEX_TEST_DEVICES", c.devices, 1);
    std::string ini = folder + "Quorvex.ini";
    std::filesystem::remove(ini);
    std::unique_ptr<qv::WindowEndpoint> orbisk;
    if (c.siblingRunning) orbisk = std::make_unique<qv::WindowEndpoint>("Orbisk");
    boxes.clear();
    BasicSettings basic;
    qv::CopySjisField(basic.DeviceName, sizeof basic.DeviceName, c.deviceName);
    DeviceSelection selection;
    selection.basic = &basic;
    selection.settingsPath = ini;
    QXStartup();
    EXPECT_EQ(SelectCaptureDevice(QXGetDeviceCount(), selection), c.result);
    EXPECT_EQ(selection.deviceRunning, c.running);
    EXPECT_EQ(QXGetCurDevice() >= 0, c.running);
    QXCleanup();
    if (*c.message) {
      ASSERT_EQ(boxes.size(), 1u);
      EXPECT_EQ(boxes[0].rfind(c.message, 0), 0u) << boxes[0];
    } else {
      EXPECT_TRUE(boxes.empty());
    }
    BasicSettings stored;
    LoadBasicSettings(ini.c_str(), &stored);
    EXPECT_EQ(std::string(stored.DeviceName), c.stored);
    EXPECT_EQ(std::string(basic.DeviceName), c.stored.empty() ? c.deviceName : c.stored);
  }
  qv::SetMessageBoxSink({});
  unsetenv("QUORVEX_TEST_DEVICES");
  unsetenv("XDG_RUNTIME_DIR");
  std::filesystem::remove_all(folder);
}

}  // namespace
