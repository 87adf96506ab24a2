#include "core/capture_window.h"

#include <future>
#include <thread>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QImage>
#include <QSpinBox>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include "core/bmp_reader.h"
#include "core/testing/capture_fixture.h"
#include "core/testing/qt_support.h"

namespace qxcore {
namespace {

using testing::CaptureFixture;
using testing::HandleNextDialog;
using testing::PumpEvents;
using testing::ScriptedLister;
using testing::ScriptedState;
using testing::WaitUntil;

class PreviewTest : public CaptureFixture {
 protected:
  static void SetUpTestSuite() { testing::StartSuiteApplication(); }
  static void TearDownTestSuite() { testing::StopSuiteApplication(); }

  void SetUp() override {
    CaptureFixture::SetUp();
    parent_ = std::make_unique<QWidget>();
    parent_->resize(800, 600);
    parent_->show();
  }
  void TearDown() override {
    CaptureFixture::TearDown();
    parent_.reset();
  }

  // A uniform test frame of 64 x 48 in the given colour.
  void UseColourFrame(uint8_t red, uint8_t green, uint8_t blue) {
    testing::BmpSpec spec;
    spec.width = 64;
    spec.height = 48;
    for (int row = 0; row < 48; ++row) {
      std::vector<uint8_t> bytes;
      for (int x = 0; x < 64; ++x) bytes.insert(bytes.end(), {blue, green, red});
      spec.rows.push_back(bytes);
    }
    const std::string path = folder_.File("colour.bmp");
    testing::WriteFileBytes(path, testing::BuildBmp(spec));
    setenv("QUORVEX_TEST_FRAME", path.c_str(), 1);
  }

  QWidget* Preview() { return parent_->findChild<QWidget*>("capturePreview"); }

  QColor PreviewColourAt(int x, int y) { return Preview()->grab().toImage().pixelColor(x, y); }

  bool WaitForPreviewColour(QColor colour, int x, int y) {
    return WaitUntil([&] { return Preview() != nullptr && PreviewColourAt(x, y) == colour; },
                     20000, PumpEvents);
  }

  std::unique_ptr<QWidget> parent_;
};

TEST_F(PreviewTest, PreviewIsPlacedAndSizedInsideItsParent) {
  UseColourFrame(250, 0, 0);
  StartFirstDevice(parent_.get());
  QWidget* preview = Preview();
  ASSERT_NE(preview, nullptr);
  EXPECT_EQ(preview->geometry(), QRect(0, 0, 640, 480));
  ASSERT_EQ(QXSetDeviceState(QXST_WINDOW_X, 94), 1);
  ASSERT_EQ(QXSetDeviceState(QXST_WINDOW_Y, 6), 1);
  ASSERT_EQ(QXSetDeviceState(QXST_WINDOW_WIDTH, 320), 1);
  ASSERT_EQ(QXSetDeviceState(QXST_WINDOW_HEIGHT, 240), 1);
  EXPECT_EQ(preview->geometry(), QRect(0, 0, 640, 480));  // stored values wait for a mode change
  ASSERT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_PREVIEW), 1);
  EXPECT_EQ(preview->geometry(), QRect(94, 6, 320, 240));
  // The 64 x 48 picture is stretched over the whole widget.
  ASSERT_TRUE(WaitForPreviewColour(QColor(250, 0, 0), 310, 230));
  // Without a stored size the widget takes the picture's own size.
  ASSERT_EQ(QXSetDeviceState(QXST_WINDOW_WIDTH, 0), 1);
  ASSERT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_PREVIEW), 1);
  EXPECT_EQ(preview->geometry(), QRect(94, 6, 64, 48));
  // Switched off, the preview stops taking frames.
  auto* window = reinterpret_cast<CaptureWindow*>(State(QXST_WINDOW_HANDLE));
  EXPECT_TRUE(window->previewRunning());
  ASSERT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_NONE), 1);
  EXPECT_FALSE(window->previewRunning());
  ASSERT_EQ(QXCleanupDevice(), 1);
  EXPECT_EQ(Preview(), nullptr);
}

TEST_F(PreviewTest, ShowModePreviewsTheDifferencePicture) {
  UseColourFrame(0, 200, 0);
  StartFirstDevice(parent_.get());
  ASSERT_EQ(QXSetDeviceState(QXST_MOTION_MODE, QXMOTION_SHOW), 1);
  ASSERT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_PREVIEW), 1);
  // A still picture differs from nothing after the first frame: black.
  ASSERT_TRUE(WaitForPreviewColour(QColor(0, 0, 0), 10, 10));
  EXPECT_EQ(State(QXST_MOTION_LEVEL), 0u);
  ASSERT_EQ(QXSetDeviceState(QXST_MOTION_MODE, QXMOTION_MEASURE), 1);
  ASSERT_TRUE(WaitForPreviewColour(QColor(0, 200, 0), 10, 10));
}

TEST_F(PreviewTest, MovingPictureRaisesTheMotionLevel) {
  StartFirstDevice(parent_.get());
  ASSERT_EQ(QXSetDeviceState(QXST_MOTION_MODE, QXMOTION_MEASURE), 1);
  ASSERT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_PREVIEW), 1);
  EXPECT_TRUE(WaitUntil([&] { return State(QXST_MOTION_LEVEL) > 0; }, 20000, PumpEvents));
}

TEST_F(PreviewTest, ARefusedDeviceLeavesNoWidgetBehind) {
  setenv("QUORVEX_TEST_DEVICES", "!Broken", 1);
  ASSERT_GE(QXGetDeviceCount(), 1);
  QXSTARTUPDEVICEINFO info{parent_.get(), parent_.get()};
  EXPECT_EQ(QXStartupDevice(&info, 0), 0);
  EXPECT_EQ(Preview(), nullptr);
  EXPECT_TRUE(parent_->children().isEmpty());
}

TEST_F(PreviewTest, CallsFromAnotherThreadAreCarriedOutOnTheOwnerThread) {
  StartFirstDevice(parent_.get());
  auto worker = std::async(std::launch::async, [] {
    int results = QXSetDeviceState(QXST_WINDOW_X, 10) + QXSetDeviceState(QXST_WINDOW_Y, 20) +
                  QXSetDeviceState(QXST_WINDOW_WIDTH, 100) +
                  QXSetDeviceState(QXST_WINDOW_HEIGHT, 80) +
                  QXSetDeviceState(QXST_DISPLAY, QXDISP_PREVIEW);
    QXCoreSetPreviewRate(10);
    return results;
  });
  ASSERT_TRUE(WaitUntil([&] { return worker.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
                        20000, PumpEvents));
  EXPECT_EQ(worker.get(), 5);
  auto* window = reinterpret_cast<CaptureWindow*>(State(QXST_WINDOW_HANDLE));
  ASSERT_TRUE(WaitUntil([&] { return Preview()->geometry() == QRect(10, 20, 100, 80); }, 20000,
                        PumpEvents));
  EXPECT_TRUE(window->previewRunning());
  EXPECT_EQ(window->previewIntervalMs(), 100);

  // A dialog asked for from another thread runs here, and the caller waits for its answer.
  HandleNextDialog(
      [](QDialog& dialog) { dialog.findChild<QSpinBox*>("streamQuality")->setValue(40); }, true);
  auto dialogCall = std::async(std::launch::async, [] { return QXOpenDialog(QXDLG_COMPRESSION); });
  ASSERT_TRUE(WaitUntil(
      [&] { return dialogCall.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
      20000, PumpEvents));
  EXPECT_EQ(dialogCall.get(), 1);
  EXPECT_EQ(CaptureCore::Instance().streamQuality(), 40);
}

TEST_F(PreviewTest, FormatDialogChangesThePictureSize) {
  StartFirstDevice(parent_.get());
  ASSERT_EQ(QXSetDeviceState(QXST_DISPLAY, QXDISP_PREVIEW), 1);
  HandleNextDialog(
      [](QDialog& dialog) {
        auto* list = dialog.findChild<QComboBox*>("formatList");
        ASSERT_NE(list, nullptr);
        EXPECT_TRUE(list->currentText().startsWith("640 x 480"));
        list->setCurrentIndex(list->findText("320 x 240", Qt::MatchStartsWith));
      },
      true);
  EXPECT_EQ(QXOpenDialog(QXDLG_FORMAT), 1);
  EXPECT_EQ(State(QXST_WINDOW_WIDTH), 320u);
  EXPECT_EQ(State(QXST_WINDOW_HEIGHT), 240u);
  EXPECT_EQ(Preview()->geometry(), QRect(0, 0, 320, 240));  // placed again at once
  const std::string path = folder_.File("small.bmp");
  ASSERT_NE(QXCaptureSingleFrame(path.c_str(), 0), 0);
  RgbImage image;
  ASSERT_EQ(ReadBmpAsRgb(path, image), kBmpOk);
  EXPECT_EQ(image.width, 320);
  EXPECT_EQ(image.height, 240);
  // A cancelled dialog still ran, and changes nothing.
  HandleNextDialog(
      [](QDialog& dialog) {
        auto* list = dialog.findChild<QComboBox*>("formatList");
        list->setCurrentIndex(list->findText("800 x 600", Qt::MatchStartsWith));
      },
      false);
  EXPECT_EQ(QXOpenDialog(QXDLG_FORMAT), 1);
  EXPECT_EQ(State(QXST_WINDOW_WIDTH), 320u);
  // Test devices have no source or display dialog.
  EXPECT_EQ(QXOpenDialog(QXDLG_SOURCE), 0);
  EXPECT_EQ(QXOpenDialog(QXDLG_DISPLAY), 0);
  EXPECT_EQ(QXOpenDialog(3), 0);
}

TEST_F(PreviewTest, SourceDialogAppliesTheChangedControls) {
  auto state = std::make_shared<ScriptedState>();
  state->withControls = true;
  SetDriverListerForTesting(ScriptedLister({"Controlled"}, state));
  StartFirstDevice(parent_.get());
  HandleNextDialog(
      [](QDialog& dialog) {
        dialog.findChild<QSpinBox*>("control9963776")->setValue(200);
        dialog.findChild<QCheckBox*>("control9963788")->setChecked(false);
      },
      false);
  EXPECT_EQ(QXOpenDialog(QXDLG_SOURCE), 1);
  EXPECT_TRUE(state->controlChanges.empty());
  HandleNextDialog(
      [](QDialog& dialog) {
        dialog.findChild<QSpinBox*>("control9963776")->setValue(200);
        dialog.findChild<QCheckBox*>("control9963788")->setChecked(false);
      },
      true);
  ASSERT_EQ(QXSetDeviceState(QXST_MOTION_MODE, QXMOTION_MEASURE), 1);
  EXPECT_EQ(QXOpenDialog(QXDLG_SOURCE), 1);
  EXPECT_EQ(state->controlChanges,
            (std::vector<std::pair<uint32_t, int>>{{9963776, 200}, {9963788, 0}}));
  // The source dialog refreshes the capabilities afterwards.
  EXPECT_EQ(State(QXST_MOTION_MODE), QXMOTION_OFF);
  EXPECT_EQ(State(QXST_DIALOG_CAPS), QXDLG_COMPRESSION | QXDLG_FORMAT | QXDLG_SOURCE);
}

}  // namespace
}  // namespace qxcore
