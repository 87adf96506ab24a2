#include "app/responder/live_steps.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include "core/qxdvcore.h"

namespace {

class NamedSibling : public SiblingCamera {
 public:
  bool Selects(const std::string& deviceName) const override { return deviceName == "Sibling"; }
  bool Capture(const std::string&) override { return false; }
};

// Before a check deletes the requests it has accepted, a picture source must be ready: the
// sibling program when the device name selects it, else a started camera.
TEST(LiveSteps, APictureSourceIsReadyOnlyWithACameraOrTheSelectedSibling) {
  setenv("QUORVEX_TEST_DEVICES", "Desk Cam", 1);
  RecordingLogSink log;
  LiveSteps steps(log);
  ASSERT_EQ(QXStartup(), 1);
  EXPECT_FALSE(steps.PictureSourceProblem("Desk Cam").empty());  // no camera started
  EXPECT_FALSE(steps.PictureSourceProblem("Sibling").empty());   // no sibling link either

  NamedSibling sibling;
  steps.SetSiblingCamera(&sibling);
  EXPECT_EQ(steps.PictureSourceProblem("Sibling"), "");
  EXPECT_FALSE(steps.PictureSourceProblem("Desk Cam").empty());

  ASSERT_GE(QXGetDeviceCount(), 1);
  QXSTARTUPDEVICEINFO info{};
  ASSERT_EQ(QXStartupDevice(&info, 0), 1);
  EXPECT_EQ(steps.PictureSourceProblem("Desk Cam"), "");
  EXPECT_EQ(QXCleanupDevice(), 1);
  EXPECT_FALSE(steps.PictureSourceProblem("Desk Cam").empty());
  EXPECT_EQ(QXCleanup(), 1);
  unsetenv("QUORVEX_TEST_DEVICES");
}

}  // namespace
