#include "core/capture_core.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "core/bmp_reader.h"
#include "core/testing/capture_fixture.h"
#include "core/capture_window.h"

namespace qxcore {
namespace {

using testing::CaptureFixture;
using testing::ScriptedLister;
using testing::ScriptedState;
using testing::WaitUntil;

const std::string kNotStarted = "QXCore: Device is not started up.\n";
const std::string kBusy = "QXCore: Device is being used for capturing.\n";
const std::string kInvalid = "QXCore: Invalid device number.\n";

// --- Library start-up and device lists -------------------------------------------------------

using LibraryTest = CaptureFixture;

TEST_F(LibraryTest, StartupAndCleanupAreRefusedOutOfOrder) {
  EXPECT_EQ(QXStartup(), 0);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"QXStartup\n",
                                               "QXCore: QX system is already started up.\n"}));
  ClearLines();
  EXPECT_EQ(QXCleanup(), 1);
  EXPECT_EQ(QXCleanup(), 0);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"QXCleanup\n", "QXCleanup\n",
                                               "QXCore: QX system is not started up.\n"}));
  EXPECT_EQ(QXStartup(), 1);
}

TEST_F(LibraryTest, EveryDeviceCallWithoutADeviceIsRefused) {
  unsigned long value = 7;
  EXPECT_EQ(QXGetCurDevice(), -1);
  EXPECT_EQ(QXCleanupDevice(), 0);
  EXPECT_EQ(QXGetDeviceState(QXST_DISPLAY, &value), 0);
  EXPECT_EQ(QXSetDeviceState(QXST_DISPLAY, 2), 0);
  EXPECT_EQ(QXOpenDialog(QXDLG_FORMAT), 0);
  EXPECT_EQ(QXCaptureSingleFrame(folder_.File("x.bmp").c_str(), 0), 0);
  EXPECT_EQ(QXStartCapture(folder_.File("x.avi").c_str(), 0, 1), 0);
  EXPECT_EQ(QXStopCapture(), 0);
  EXPECT_EQ(Lines(), std::vector<std::string>(7, kNotStarted));
  EXPECT_EQ(QXIsCapturing(), 0);
  EXPECT_EQ(QXReConnectDevice(), 1);
  EXPECT_FALSE(testing::FileExists(folder_.File("x.bmp")));
  uint8_t frame[4] = {};
  EXPECT_FALSE(CaptureCore::Instance().FrameCallback(frame, sizeof frame));
}

TEST_F(LibraryTest, TestDevicesAreListedOnceEachInOrder) {
  setenv("QUORVEX_TEST_DEVICES", " Cam A ,cam a,, Cam B,CAM B", 1);
  QXDEVICEINFO info{};
  EXPECT_EQ(QXGetDeviceInfo(&info, 0), 0);  // nothing listed yet
  EXPECT_TRUE(Traced(kInvalid));
  ClearLines();
  ASSERT_EQ(QXGetDeviceCount(), std::min(10, 2 + v4l2Nodes_));
  ASSERT_EQ(QXGetDeviceInfo(&info, 0), 1);
  EXPECT_STREQ(info.szDeviceName, "Cam A");
  ASSERT_EQ(QXGetDeviceInfo(&info, 1), 1);
  EXPECT_STREQ(info.szDeviceName, "Cam B");
  EXPECT_EQ(QXGetDeviceInfo(nullptr, 1), 0);
  EXPECT_EQ(QXGetDeviceNo("Cam B"), 1);
  EXPECT_EQ(QXGetDeviceNo("cam a"), -1);  // names compare exactly
  EXPECT_EQ(QXGetDeviceNo(nullptr), -1);
  const auto lines = Lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Device  0[0] = Cam A\n");
  EXPECT_EQ(lines[1], "Device  1[2] = Cam B\n");
  // Listed once per start-up: a changed list shows only after the next start-up.
  setenv("QUORVEX_TEST_DEVICES", "Other", 1);
  EXPECT_EQ(QXGetDeviceCount(), std::min(10, 2 + v4l2Nodes_));
  ASSERT_EQ(QXCleanup(), 1);
  EXPECT_EQ(QXGetDeviceCount(), std::min(10, 2 + v4l2Nodes_));  // the list stays after clean-up
  ASSERT_EQ(QXStartup(), 1);
  EXPECT_EQ(QXGetDeviceCount(), std::min(10, 1 + v4l2Nodes_));
}

TEST_F(LibraryTest, AtMostTenDevicesAreListed) {
  std::string names;
  for (int i = 0; i < 12; ++i) names += "Device " + std::to_string(i) + ",";
  setenv("QUORVEX_TEST_DEVICES", names.c_str(), 1);
  ASSERT_EQ(QXGetDeviceCount(), 10);
  QXDEVICEINFO info{};
  ASSERT_EQ(QXGetDeviceInfo(&info, 9), 1);
  EXPECT_STREQ(info.szDeviceName, "Device 9");
  EXPECT_EQ(QXGetDeviceInfo(&info, 10), 0);
  EXPECT_EQ(QXGetDeviceNo("Device 10"), -1);
}

TEST_F(LibraryTest, WithoutDriversTheListIsTriedAgainOnEveryCall) {
  auto state = std::make_shared<ScriptedState>();
  auto calls = std::make_shared<int>(0);
  SetDriverListerForTesting([calls, state] {
    ++*calls;
    return *calls < 3 ? std::vector<DriverEntry>{} : ScriptedLister({"Late"}, state)();
  });
  EXPECT_EQ(QXGetDeviceCount(), 0);
  EXPECT_EQ(QXGetDeviceCount(), 0);
  EXPECT_EQ(QXGetDeviceCount(), 1);
  EXPECT_EQ(QXGetDeviceCount(), 1);
  EXPECT_EQ(*calls, 3);
}

TEST_F(LibraryTest, ADuplicateNameStillConnectsTheDriverThatCarriesTheChosenName) {
  auto state = std::make_shared<ScriptedState>();
  SetDriverListerForTesting(ScriptedLister({"USB Camera", "usb camera", "Desk Camera"}, state));
  ASSERT_EQ(QXGetDeviceCount(), 2);
  QXSTARTUPDEVICEINFO info{};
  ASSERT_EQ(QXStartupDevice(&info, 1), 1);
  EXPECT_EQ(QXGetCurDevice(), 1);
  ASSERT_EQ(state->connected.size(), 1u);
  EXPECT_EQ(state->connected[0], "Desk Camera");
}

TEST_F(LibraryTest, DeviceStartupRefusals) {
  setenv("QUORVEX_TEST_DEVICES", "!Broken,Camera One", 1);
  ASSERT_GE(QXGetDeviceCount(), 2);
  QXSTARTUPDEVICEINFO info{};
  ClearLines();
  EXPECT_EQ(QXStartupDevice(&info, -1), 0);
  EXPECT_EQ(QXStartupDevice(&info, QXGetDeviceCount()), 0);
  EXPECT_EQ(Lines(), std::vector<std::string>(2, kInvalid));
  ClearLines();
  // A refusing driver leaves no trace line and no device.
  EXPECT_EQ(QXStartupDevice(&info, 0), 0);
  EXPECT_TRUE(Lines().empty());
  EXPECT_EQ(QXGetCurDevice(), -1);
  ASSERT_EQ(QXStartupDevice(&info, 1), 1);
  EXPECT_EQ(QXStartupDevice(&info, 1), 0);
  EXPECT_EQ(Lines(), std::vector<std::string>{"QXCore: Device is already started up.\n"});
  EXPECT_EQ(QXGetCurDevice(), 1);
  // Clean-up and a fresh start, any number of times.
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(QXCleanupDevice(), 1);
    EXPECT_EQ(QXGetCurDevice(), -1);
    ASSERT_EQ(QXStartupDevice(nullptr, 1), 1);
  }
}

TEST_F(LibraryTest, CleanupStopsARunningDevice) {
  StartFirstDevice();
  ASSERT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_PREVIEW), 1);
  EXPECT_EQ(QXCleanup(), 1);
  EXPECT_EQ(QXGetCurDevice(), -1);
  unsigned long value = 0;
  EXPECT_EQ(QXGetDeviceState(QXST_DISPLAY, &value), 0);
  EXPECT_EQ(QXCleanup(), 0);
}

TEST_F(LibraryTest, LogOutputAppendsLinesInTheCurrentFolder) {
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(folder_.path().c_str()), 0);
  QXCoreLogOutputFile("first line");
  QXCoreLogOutputFile("second");
  const auto bytes = testing::ReadFileBytes(folder_.File("QvxLog.log"));
  // An unwritable folder drops the line quietly.
  ASSERT_EQ(chdir("/proc"), 0);
  QXCoreLogOutputFile("dropped");
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "first line\nsecond\n");
}

// --- Device states ---------------------------------------------------------------------------

using StateTest = CaptureFixture;

TEST_F(StateTest, DisplayModesFollowTheCapabilities) {
  StartFirstDevice();
  EXPECT_EQ(State(QXST_DISPLAY_CAPS), 3u);
  EXPECT_EQ(State(QXST_DISPLAY), 1u);
  EXPECT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_OVERLAY), 0);  // no overlay hardware
  EXPECT_EQ(QXSetDeviceState(QXST_DISPLAY, 3), 0);
  EXPECT_EQ(QXSetDeviceState(QXST_DISPLAY, 0), 0);
  EXPECT_EQ(State(QXST_DISPLAY), 1u);
  EXPECT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_PREVIEW), 1);
  EXPECT_EQ(State(QXST_DISPLAY), 2u);
  EXPECT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_NONE), 1);
  EXPECT_EQ(State(QXST_DISPLAY), 1u);
  EXPECT_EQ(QXSetDeviceState(QXST_DISPLAY_CAPS, 7), 0);
  EXPECT_EQ(State(QXST_DISPLAY_CAPS), 3u);
}

TEST_F(StateTest, WindowSizeFallsBackToThePictureUnlessBothAreStored) {
  StartFirstDevice();
  EXPECT_EQ(State(QXST_WINDOW_X), 0u);
  EXPECT_EQ(State(QXST_WINDOW_WIDTH), 640u);
  EXPECT_EQ(State(QXST_WINDOW_HEIGHT), 480u);
  ASSERT_EQ(QXSetDeviceState(QXST_WINDOW_X, 94), 1);
  ASSERT_EQ(QXSetDeviceState(QXST_WINDOW_Y, 6), 1);
  ASSERT_EQ(QXSetDeviceState(QXST_WINDOW_WIDTH, 320), 1);
  EXPECT_EQ(State(QXST_WINDOW_X), 94u);
  EXPECT_EQ(State(QXST_WINDOW_Y), 6u);
  EXPECT_EQ(State(QXST_WINDOW_WIDTH), 640u);  // height still 0
  ASSERT_EQ(QXSetDeviceState(QXST_WINDOW_HEIGHT, 240), 1);
  EXPECT_EQ(State(QXST_WINDOW_WIDTH), 320u);
  EXPECT_EQ(State(QXST_WINDOW_HEIGHT), 240u);
  // A restart clears the stored values.
  ASSERT_EQ(QXCleanupDevice(), 1);
  StartFirstDevice();
  EXPECT_EQ(State(QXST_WINDOW_X), 0u);
  EXPECT_EQ(State(QXST_WINDOW_WIDTH), 640u);
}

TEST_F(StateTest, MotionModesAndReadOnlyCodes) {
  StartFirstDevice();
  EXPECT_EQ(State(QXST_MOTION_MODE), 1u);
  EXPECT_EQ(State(QXST_MOTION_LEVEL), 0u);
  EXPECT_EQ(QXSetDeviceState(QXST_MOTION_MODE, 3), 0);
  EXPECT_EQ(QXSetDeviceState(QXST_MOTION_MODE, 0), 0);
  for (unsigned long mode : {QXMOTION_MEASURE, QXMOTION_SHOW, QXMOTION_OFF}) {
    EXPECT_EQ(QXSetDeviceState(QXST_MOTION_MODE, mode), 1);
    EXPECT_EQ(State(QXST_MOTION_MODE), mode);
  }
  for (unsigned long readOnly : {QXST_MOTION_LEVEL, QXST_WINDOW_HANDLE, QXST_DIALOG_CAPS,
                                 QXST_CAPFILE_EXISTS, 0x1234ul}) {
    EXPECT_EQ(QXSetDeviceState(readOnly, 1), 0) << std::hex << readOnly;
  }
  unsigned long value = 5;
  EXPECT_EQ(QXGetDeviceState(0x1234, &value), 0);
  EXPECT_EQ(value, 0u);  // cleared first
  EXPECT_EQ(QXGetDeviceState(QXST_DISPLAY, nullptr), 0);
  EXPECT_EQ(State(QXST_CAPFILE_EXISTS), 0u);
}

TEST_F(StateTest, CapabilityRefreshComesFromTheCaptureWindowOnly) {
  StartFirstDevice();
  const unsigned long handle = State(QXST_WINDOW_HANDLE);
  ASSERT_NE(handle, 0u);
  EXPECT_EQ(State(QXST_DIALOG_CAPS), QXDLG_COMPRESSION | QXDLG_FORMAT);
  ASSERT_EQ(QXSetDeviceState(QXST_MOTION_MODE, QXMOTION_MEASURE), 1);
  // Anything but the capture window reads as a driver without capabilities.
  EXPECT_EQ(QXGetCaptureCaps(nullptr, "Camera One"), 1);
  EXPECT_EQ(State(QXST_DIALOG_CAPS), QXDLG_COMPRESSION);
  EXPECT_EQ(State(QXST_DISPLAY_CAPS), 3u);
  EXPECT_EQ(State(QXST_MOTION_MODE), QXMOTION_OFF);
  EXPECT_EQ(QXGetCaptureCaps(reinterpret_cast<void*>(handle), nullptr), 1);
  EXPECT_EQ(State(QXST_DIALOG_CAPS), QXDLG_COMPRESSION | QXDLG_FORMAT);
  ASSERT_EQ(QXSetDeviceState(QXST_MOTION_MODE, QXMOTION_SHOW), 1);
  EXPECT_EQ(QXReConnectDevice(), 1);
  EXPECT_EQ(State(QXST_MOTION_MODE), QXMOTION_OFF);

  // A driver with picture controls has a source dialog.
  ASSERT_EQ(QXCleanupDevice(), 1);
  ASSERT_EQ(QXCleanup(), 1);
  auto state = std::make_shared<ScriptedState>();
  state->withControls = true;
  SetDriverListerForTesting(ScriptedLister({"Controlled"}, state));
  ASSERT_EQ(QXStartup(), 1);
  StartFirstDevice();
  EXPECT_EQ(State(QXST_DIALOG_CAPS), QXDLG_COMPRESSION | QXDLG_FORMAT | QXDLG_SOURCE);
}

TEST_F(StateTest, PreviewRateSetsTheIntervalAndIgnoresRatesBelowOne) {
  StartFirstDevice();
  auto* window = reinterpret_cast<CaptureWindow*>(State(QXST_WINDOW_HANDLE));
  EXPECT_EQ(window->previewIntervalMs(), 17);
  QXCoreSetPreviewRate(15);
  EXPECT_EQ(window->previewIntervalMs(), 66);
  QXCoreSetPreviewRate(0);
  QXCoreSetPreviewRate(-5);
  EXPECT_EQ(window->previewIntervalMs(), 66);
  QXCoreSetPreviewRate(3000);  // under a millisecond: as fast as the timer goes
  EXPECT_EQ(window->previewIntervalMs(), 1);
}

TEST_F(StateTest, DialogsNeedARunningApplication) {
  StartFirstDevice();
  ClearLines();
  for (unsigned long kind : {QXDLG_COMPRESSION, QXDLG_FORMAT, QXDLG_DISPLAY, QXDLG_SOURCE, 16ul}) {
    EXPECT_EQ(QXOpenDialog(kind), 0) << kind;
  }
  EXPECT_TRUE(Lines().empty());
}

// --- Motion measure through the frame callback -----------------------------------------------

using MotionTest = CaptureFixture;

TEST_F(MotionTest, FrameCallbackMeasuresInTheChosenMode) {
  StartFirstDevice();
  auto& core = CaptureCore::Instance();
  std::vector<uint8_t> frame(65536, 10);
  EXPECT_TRUE(core.FrameCallback(frame.data(), frame.size()));  // motion off: nothing measured
  EXPECT_EQ(State(QXST_MOTION_LEVEL), 0u);
  ASSERT_EQ(QXSetDeviceState(QXST_MOTION_MODE, QXMOTION_MEASURE), 1);
  EXPECT_TRUE(core.FrameCallback(frame.data(), frame.size()));
  EXPECT_TRUE(core.FrameCallback(frame.data(), frame.size()));
  EXPECT_EQ(State(QXST_MOTION_LEVEL), 0u);  // identical frames
  std::vector<uint8_t> brighter(65536, 138);
  EXPECT_TRUE(core.FrameCallback(brighter.data(), brighter.size()));
  EXPECT_EQ(State(QXST_MOTION_LEVEL), 65535u);
  EXPECT_EQ(brighter, std::vector<uint8_t>(65536, 138));
  // Show mode turns the frame into the difference picture.
  ASSERT_EQ(QXSetDeviceState(QXST_MOTION_MODE, QXMOTION_SHOW), 1);
  std::vector<uint8_t> darker(65536, 100);
  EXPECT_TRUE(core.FrameCallback(darker.data(), darker.size()));
  EXPECT_EQ(darker, std::vector<uint8_t>(65536, 0));
  EXPECT_EQ(State(QXST_MOTION_LEVEL), 0u);
  // Switching the display off clears the level.
  std::vector<uint8_t> white(65536, 255);
  EXPECT_TRUE(core.FrameCallback(white.data(), white.size()));
  EXPECT_GT(State(QXST_MOTION_LEVEL), 0u);
  ASSERT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_NONE), 1);
  EXPECT_EQ(State(QXST_MOTION_LEVEL), 0u);
}

// --- Single frames ---------------------------------------------------------------------------

class SingleFrameTest : public CaptureFixture {
 protected:
  // A 24-bit test frame of 61 x 37 whose every pixel differs from its neighbours.
  void UseTestFrame() {
    testing::BmpSpec spec;
    spec.width = 61;
    spec.height = 37;
    for (int fileRow = 0; fileRow < spec.height; ++fileRow) {
      std::vector<uint8_t> row;
      for (int x = 0; x < spec.width; ++x) {
        row.insert(row.end(), {uint8_t(x * 4), uint8_t(fileRow * 6), uint8_t(x + fileRow)});
      }
      spec.rows.push_back(row);
    }
    framePath_ = folder_.File("frame.bmp");
    testing::WriteFileBytes(framePath_, testing::BuildBmp(spec));
    setenv("QUORVEX_TEST_FRAME", framePath_.c_str(), 1);
  }
  std::string framePath_;
};

TEST_F(SingleFrameTest, BitmapFramesAreBottomUpTwentyFourBitCopiesOfThePicture) {
  UseTestFrame();
  StartFirstDevice();
  RgbImage expected;
  ASSERT_EQ(ReadBmpAsRgb(framePath_, expected), kBmpOk);
  for (unsigned long flags : {0ul, 75ul, 0x0Ful, 0x100ul}) {  // bit 0x10 clear: a BMP
    const std::string path = folder_.File("frame" + std::to_string(flags) + ".bmp");
    ASSERT_NE(QXCaptureSingleFrame(path.c_str(), flags), 0) << flags;
    const auto bytes = testing::ReadFileBytes(path);
    ASSERT_GE(bytes.size(), 54u);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[28], 24);  // bits per pixel
    EXPECT_LT(bytes[25], 0x80) << "positive height: rows bottom-up";
    RgbImage image;
    ASSERT_EQ(ReadBmpAsRgb(path, image), kBmpOk);
    EXPECT_EQ(image.width, 61);
    EXPECT_EQ(image.height, 37);
    EXPECT_EQ(image.pixels, expected.pixels);
  }
  EXPECT_EQ(QXIsCapturing(), 0);
}

TEST_F(SingleFrameTest, JpegFramesUseTheQualityInTheLowByte) {
  UseTestFrame();
  StartFirstDevice();
  const std::string temporary = CaptureCore::Instance().TempFolder() + kSingleFrameTempName;
  for (unsigned long flags : {0x10ul, 0x50ul, 0x7Ful}) {
    const std::string path = folder_.File("frame" + std::to_string(flags) + ".jpg");
    ASSERT_NE(QXCaptureSingleFrame(path.c_str(), flags), 0) << flags;
    const std::string reference = folder_.File("reference.jpg");
    ASSERT_EQ(QXCoreBMP2JPG(framePath_.c_str(), reference.c_str(), static_cast<int>(flags & 0xFF)), 1);
    EXPECT_EQ(testing::ReadFileBytes(path), testing::ReadFileBytes(reference)) << flags;
    const auto decoded = testing::DecodeJpegFile(path);
    ASSERT_TRUE(decoded.ok);
    EXPECT_EQ(decoded.width, 61);
    EXPECT_EQ(decoded.height, 37);
    EXPECT_EQ(decoded.components, 3);
    EXPECT_FALSE(testing::FileExists(temporary));
  }
  EXPECT_NE(testing::ReadFileBytes(folder_.File("frame16.jpg")),
            testing::ReadFileBytes(folder_.File("frame80.jpg")));
}

TEST_F(SingleFrameTest, SyntheticPictureAndFailedWrites) {
  StartFirstDevice();
  const std::string path = folder_.File("moving.bmp");
  ASSERT_NE(QXCaptureSingleFrame(path.c_str(), 0), 0);
  RgbImage image;
  ASSERT_EQ(ReadBmpAsRgb(path, image), kBmpOk);
  EXPECT_EQ(image.width, 640);
  EXPECT_EQ(image.height, 480);
  EXPECT_EQ(QXCaptureSingleFrame(folder_.File("missing/x.bmp").c_str(), 0), 0);
  EXPECT_EQ(QXCaptureSingleFrame(nullptr, 0), 0);
  EXPECT_EQ(QXIsCapturing(), 0);
  // A grab sets the motion level to 0.
  ASSERT_EQ(QXSetDeviceState(QXST_MOTION_MODE, QXMOTION_MEASURE), 1);
  std::vector<uint8_t> frame(100000, 200);
  ASSERT_TRUE(CaptureCore::Instance().FrameCallback(frame.data(), frame.size()));
  ASSERT_GT(State(QXST_MOTION_LEVEL), 0u);
  ASSERT_NE(QXCaptureSingleFrame(path.c_str(), 0), 0);
  EXPECT_EQ(State(QXST_MOTION_LEVEL), 0u);
}

TEST_F(SingleFrameTest, NoFrameWithinTheDeadlineGivesNothing) {
  auto state = std::make_shared<ScriptedState>();
  state->deliver = false;
  SetDriverListerForTesting(ScriptedLister({"Silent"}, state));
  qv::Timings timings = qv::GetTimings();
  timings.grabDeadlineMs = 40;
  qv::SetTimings(timings);
  StartFirstDevice();
  const std::string path = folder_.File("none.bmp");
  EXPECT_EQ(QXCaptureSingleFrame(path.c_str(), 0), 0);
  EXPECT_EQ(QXCaptureSingleFrame(path.c_str(), 0x50), 0);
  EXPECT_FALSE(testing::FileExists(path));
  EXPECT_GT(state->grabAttempts.load(), 2);  // tried again until the deadline
  EXPECT_EQ(QXIsCapturing(), 0);
  state->deliver = true;
  EXPECT_NE(QXCaptureSingleFrame(path.c_str(), 0), 0);
}

TEST_F(SingleFrameTest, ASecondGrabFromAnotherThreadIsRefusedWhileOneRuns) {
  auto state = std::make_shared<ScriptedState>();
  state->deliver = false;
  SetDriverListerForTesting(ScriptedLister({"Slow"}, state));
  StartFirstDevice();
  const std::string first = folder_.File("first.bmp");
  auto running = std::async(std::launch::async, [&] { return QXCaptureSingleFrame(first.c_str(), 0); });
  ASSERT_TRUE(WaitUntil([&] { return state->grabAttempts > 0; }));
  EXPECT_EQ(QXIsCapturing(), 1);
  ClearLines();
  EXPECT_EQ(QXCaptureSingleFrame(folder_.File("second.bmp").c_str(), 0), 0);
  EXPECT_EQ(QXStartCapture(folder_.File("stream.avi").c_str(), 0, 1), 0);
  EXPECT_EQ(QXOpenDialog(QXDLG_FORMAT), 0);
  EXPECT_EQ(QXStopCapture(), 0);  // a grab is no stream
  EXPECT_EQ(Lines(), std::vector<std::string>(3, kBusy));
  state->deliver = true;
  EXPECT_NE(running.get(), 0);
  EXPECT_TRUE(testing::FileExists(first));
  EXPECT_FALSE(testing::FileExists(folder_.File("second.bmp")));
  EXPECT_EQ(QXIsCapturing(), 0);
}

TEST_F(SingleFrameTest, WorkFilesAreMadeAfreshAndNeverThroughALink) {
  // A link planted under a work file's name must not carry the write elsewhere.
  StartFirstDevice();
  const std::string folder = CaptureCore::Instance().TempFolder();
  ASSERT_FALSE(folder.empty());
  const std::string victim = folder_.File("victim");
  const std::vector<uint8_t> untouched{'k', 'e', 'e', 'p'};
  struct Case {
    const char* workFile;
    std::function<bool()> use;
  };
  const Case cases[] = {
      {kSingleFrameTempName,
       [&] { return QXCaptureSingleFrame(folder_.File("frame.jpg").c_str(), 0x50) != 0; }},
      {kStreamTempName, [&] {
         const std::string destination = folder_.File("stream.avi");
         return QXStartCapture(destination.c_str(), 0, 1) != 0 &&
                WaitUntil([] { return QXIsCapturing() == 0; }, 60000) &&
                testing::ParseAvi(testing::ReadFileBytes(destination)).error.empty();
       }},
  };
  for (const Case& test : cases) {
    testing::WriteFileBytes(victim, untouched);
    std::filesystem::create_symlink(victim, folder + test.workFile);
    EXPECT_TRUE(test.use()) << test.workFile;
    EXPECT_EQ(testing::ReadFileBytes(victim), untouched) << test.workFile;
    EXPECT_FALSE(std::filesystem::is_symlink(folder + test.workFile)) << test.workFile;
  }
}

TEST_F(SingleFrameTest, WithoutAPrivateWorkFolderNoSharedFolderIsUsed) {
  // TMPDIR names a file, so no private folder can be made under it.
  const std::string notAFolder = folder_.File("not-a-folder");
  testing::WriteFileBytes(notAFolder, {'x'});
  ASSERT_EQ(QXCleanup(), 1);
  const char* previous = std::getenv("TMPDIR");
  const std::string previousTmpdir = previous != nullptr ? previous : "";
  setenv("TMPDIR", notAFolder.c_str(), 1);
  ASSERT_EQ(QXStartup(), 1);
  const std::string folder = CaptureCore::Instance().TempFolder();
  StartFirstDevice();
  const int jpeg = QXCaptureSingleFrame(folder_.File("frame.jpg").c_str(), 0x50);
  const int stream = QXStartCapture(folder_.File("stream.avi").c_str(), 0, 1);
  const int bitmap = QXCaptureSingleFrame(folder_.File("frame.bmp").c_str(), 0);
  if (previous != nullptr) {
    setenv("TMPDIR", previousTmpdir.c_str(), 1);
  } else {
    unsetenv("TMPDIR");
  }
  EXPECT_EQ(folder, "");
  EXPECT_EQ(jpeg, 0);
  EXPECT_EQ(stream, 0);
  EXPECT_EQ(QXIsCapturing(), 0);
  EXPECT_NE(bitmap, 0);  // a BMP needs no work file
  EXPECT_FALSE(testing::FileExists(folder_.File("frame.jpg")));
}

TEST_F(SingleFrameTest, GrabsWorkWhenTheOwnerThreadRunsNoEventLoop) {
  // The device belongs to a plain thread that only waits; grabs and state calls come from
  // here and must neither wait for that thread nor dead-lock.
  std::promise<int> started;
  std::promise<void> finish;
  std::promise<int> cleaned;
  std::thread owner([&] {
    QXSTARTUPDEVICEINFO info{};
    QXGetDeviceCount();
    started.set_value(QXStartupDevice(&info, 0));
    finish.get_future().wait();
    cleaned.set_value(QXCleanupDevice());
  });
  ASSERT_EQ(started.get_future().get(), 1);
  const std::string path = folder_.File("foreign.bmp");
  EXPECT_NE(QXCaptureSingleFrame(path.c_str(), 0), 0);
  EXPECT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_PREVIEW), 1);
  EXPECT_EQ(State(QXST_DISPLAY), QXDISP_PREVIEW);
  EXPECT_EQ(State(QXST_WINDOW_WIDTH), 640u);
  finish.set_value();
  EXPECT_EQ(cleaned.get_future().get(), 1);
  owner.join();
  EXPECT_TRUE(testing::FileExists(path));
}

// --- Streams ---------------------------------------------------------------------------------

class StreamTest : public CaptureFixture {
 protected:
  void SetUp() override {
    CaptureFixture::SetUp();
    CaptureCore::Instance().SetStatusObserverForTesting([this](int id) {
      std::lock_guard lock(statusMutex_);
      statuses_.push_back(id);
    });
  }
  std::vector<int> Statuses() {
    std::lock_guard lock(statusMutex_);
    return statuses_;
  }
  bool WaitForCaptureEnd() {
    return WaitUntil([] { return QXIsCapturing() == 0; }, 60000);
  }
  std::mutex statusMutex_;
  std::vector<int> statuses_;
};

TEST_F(StreamTest, ATimedStreamIsAnAviOfFifteenFramesPerSecond) {
  StartFirstDevice();
  const std::string destination = folder_.File("stream.avi");
  ASSERT_NE(QXStartCapture(destination.c_str(), 0, 1), 0);
  EXPECT_EQ(QXIsCapturing(), 1);
  EXPECT_EQ(QXCaptureSingleFrame(folder_.File("x.bmp").c_str(), 0), 0);
  EXPECT_EQ(QXStartCapture(destination.c_str(), 0, 1), 0);
  ASSERT_TRUE(WaitForCaptureEnd());
  EXPECT_EQ(Statuses(), (std::vector<int>{kStatusCaptureBegin, kStatusCaptureEnd,
                                          kStatusSaveAsPercent, kStatusCleared}));
  const auto avi = testing::ParseAvi(testing::ReadFileBytes(destination));
  ASSERT_EQ(avi.error, "");
  EXPECT_EQ(avi.totalFrames, 15u);
  EXPECT_EQ(avi.frames.size(), 15u);
  EXPECT_EQ(avi.width, 640u);
  EXPECT_EQ(avi.height, 480u);
  EXPECT_EQ(avi.handler, "MJPG");
  EXPECT_EQ(avi.microSecondsPerFrame, kStreamMicroSecondsPerFrame);
  // Every frame is a whole JPEG picture of the device's size.
  const std::string framePath = folder_.File("frame.jpg");
  testing::WriteFileBytes(framePath, avi.frames.back());
  const auto decoded = testing::DecodeJpegFile(framePath);
  ASSERT_TRUE(decoded.ok);
  EXPECT_EQ(decoded.width, 640);
  EXPECT_EQ(decoded.height, 480);
  // The capture file is gone once copied.
  EXPECT_EQ(State(QXST_CAPFILE_EXISTS), 0u);
  EXPECT_EQ(QXStopCapture(), 0);
}

TEST_F(StreamTest, AnOpenStreamRecordsUntilStopped) {
  StartFirstDevice();
  const std::string destination = folder_.File("open.avi");
  ASSERT_NE(QXStartCapture(destination.c_str(), 0, 0), 0);
  ASSERT_TRUE(WaitUntil([&] { return State(QXST_CAPFILE_EXISTS) == 1u; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  EXPECT_EQ(QXIsCapturing(), 1);
  EXPECT_EQ(QXStopCapture(), 1);
  ASSERT_TRUE(WaitForCaptureEnd());
  const auto avi = testing::ParseAvi(testing::ReadFileBytes(destination));
  ASSERT_EQ(avi.error, "");
  EXPECT_GE(avi.totalFrames, 2u);
  EXPECT_LE(avi.totalFrames, 60u);
  EXPECT_EQ(avi.frames.size(), avi.totalFrames);
}

TEST_F(StreamTest, AFailedCopyKeepsTheCaptureFile) {
  StartFirstDevice();
  ASSERT_NE(QXStartCapture(folder_.File("missing/stream.avi").c_str(), 0, 1), 0);
  ASSERT_TRUE(WaitForCaptureEnd());
  EXPECT_EQ(State(QXST_CAPFILE_EXISTS), 1u);
  const auto kept = testing::ParseAvi(
      testing::ReadFileBytes(CaptureCore::Instance().TempFolder() + kStreamTempName));
  EXPECT_EQ(kept.error, "");
  EXPECT_EQ(kept.totalFrames, 15u);
}

TEST_F(StreamTest, CleanupRefusesClaimsFromOtherThreadsAndWaitsForTheOnesMade) {
  // The clean-up stops a running stream; the moment that stream gives the device free, a second
  // thread tries a new stream and a grab. Both are refused, and no stream or grab is left
  // running once the clean-up returns.
  qv::Timings timings = qv::GetTimings();
  timings.driverDisconnectPauseMs = 100;
  qv::SetTimings(timings);
  std::promise<void> firstStreamCleared;
  std::atomic<int> begun{0};
  std::atomic<int> cleared{0};
  CaptureCore::Instance().SetStatusObserverForTesting([&](int id) {
    if (id == kStatusCaptureBegin) ++begun;
    if (id == kStatusCleared && ++cleared == 1) firstStreamCleared.set_value();
  });
  StartFirstDevice();
  ASSERT_NE(QXStartCapture(folder_.File("first.avi").c_str(), 0, 0), 0);
  ASSERT_TRUE(WaitUntil([&] { return State(QXST_CAPFILE_EXISTS) == 1u; }));
  auto intruder = std::async(std::launch::async, [&] {
    firstStreamCleared.get_future().wait();
    (void)WaitUntil([] { return QXIsCapturing() == 0; });
    const int stream = QXStartCapture(folder_.File("second.avi").c_str(), 0, 0);
    const int grab = QXCaptureSingleFrame(folder_.File("grab.bmp").c_str(), 0);
    return std::make_pair(stream, grab);
  });
  ClearLines();
  EXPECT_EQ(QXCleanupDevice(), 1);
  const auto [stream, grab] = intruder.get();
  EXPECT_EQ(stream, 0);
  EXPECT_EQ(grab, 0);
  EXPECT_EQ(Lines(), std::vector<std::string>(2, kNotStarted));
  EXPECT_EQ(begun.load(), 1);
  EXPECT_EQ(cleared.load(), 1);
  EXPECT_EQ(QXIsCapturing(), 0);
  EXPECT_FALSE(testing::FileExists(folder_.File("second.avi")));
  EXPECT_FALSE(testing::FileExists(folder_.File("grab.bmp")));
}

TEST_F(StreamTest, DeviceCleanupFinishesARunningStream) {
  StartFirstDevice();
  const std::string destination = folder_.File("cleanup.avi");
  ASSERT_NE(QXStartCapture(destination.c_str(), 0, 0), 0);
  ASSERT_TRUE(WaitUntil([&] { return State(QXST_CAPFILE_EXISTS) == 1u; }));
  EXPECT_EQ(QXCleanupDevice(), 1);
  EXPECT_EQ(QXIsCapturing(), 0);
  EXPECT_EQ(QXGetCurDevice(), -1);
  const auto avi = testing::ParseAvi(testing::ReadFileBytes(destination));
  EXPECT_EQ(avi.error, "");
}

}  // namespace
}  // namespace qxcore
