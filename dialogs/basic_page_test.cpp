#include "dialogs/basic_page.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSpinBox>

#include "dialogs/testing/test_support.h"

namespace qxdlg {
namespace {

using testing::Message;
using testing::SheetFixture;

class BasicPageTest : public SheetFixture {};

TEST_F(BasicPageTest, FreshInstallShowsTheDefaultsAndNoDevice) {
  auto sheet = OpenSheet();
  EXPECT_TRUE(Find<QPushButton>(*sheet, "previewRate60")->isChecked());
  EXPECT_EQ(Find<QSpinBox>(*sheet, "mailTimer")->value(), 5);
  EXPECT_FALSE(Find<QCheckBox>(*sheet, "wakeUpMail")->isChecked());
  EXPECT_FALSE(Find<QCheckBox>(*sheet, "startIcon")->isChecked());
  EXPECT_TRUE(Find<QCheckBox>(*sheet, "logOutput")->isChecked());
  EXPECT_TRUE(Find<QLineEdit>(*sheet, "logFolder")->text().isEmpty());
  EXPECT_EQ(Find<QSpinBox>(*sheet, "logKeepDays")->value(), 90);
  EXPECT_EQ(Find<QComboBox>(*sheet, "deviceList")->count(), 0);
  EXPECT_FALSE(Find<QPushButton>(*sheet, "formatDialog")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>(*sheet, "sourceDialog")->isEnabled());
  EXPECT_FALSE(sheet->applyButton()->isEnabled());
}

TEST_F(BasicPageTest, ChosenLogFolderMustFitItsField) {
  auto sheet = OpenSheet();
  auto* folder = Find<QLineEdit>(*sheet, "logFolder");
  SetChosenPath(folder, "", sizeof BasicSettings::LogFolder);  // the browser was cancelled
  EXPECT_TRUE(folder->text().isEmpty());
  SetChosenPath(folder, "/home/カメラ/" + QString(242, 'x'), sizeof BasicSettings::LogFolder);  // 255 bytes
  EXPECT_EQ(ToCp932(folder->text()).size(), 255u);
  SetChosenPath(folder, "/" + QString(255, 'y'), sizeof BasicSettings::LogFolder);
  EXPECT_EQ(messages_, (std::vector<Message>{{"選択したパスが長すぎます。255バイトまでのパスを選択してください。", "QXDVDlg"}}));
  EXPECT_EQ(ToCp932(folder->text()).size(), 255u);
  sheet->okButton()->click();
  BasicSettings stored;
  LoadBasicSettings(ini_.c_str(), &stored);
  EXPECT_EQ(std::strlen(stored.LogFolder), 255u);
}

TEST_F(BasicPageTest, LogKeepDaysShowsZeroTo3650AndStoresWhatItShows) {
  const struct {
    int stored;
    int shown;
  } cases[] = {{-1, 0}, {0, 0}, {1, 1}, {3650, 3650}, {3651, 3650}};
  for (const auto& c : cases) {
    BasicSettings basic;
    basic.LogKeepDays = c.stored;
    SaveBasicSettings(ini_.c_str(), &basic);
    auto sheet = OpenSheet();
    auto* days = Find<QSpinBox>(*sheet, "logKeepDays");
    EXPECT_EQ(days->value(), c.shown) << c.stored;
    const int changed = c.shown == 7 ? 8 : 7;
    days->setValue(changed);
    sheet->okButton()->click();
    EXPECT_NE(Ini().find("LogKeepDays=" + std::to_string(changed) + "\r\n"), std::string::npos) << c.stored;
  }
}

TEST_F(BasicPageTest, CheckIntervalIsHeldToOneToTenWhenTheBoxIsLeft) {
  auto sheet = OpenSheet();
  auto* timer = Find<QSpinBox>(*sheet, "mailTimer");
  const struct {
    const char* typed;
    int whileTyping;
    int stored;
  } cases[] = {{"30", 30, 10}, {"0", 0, 1}, {"7", 7, 7}, {"10", 10, 10}, {"11", 11, 10}, {"1", 1, 1}};
  for (const auto& c : cases) {
    auto* text = timer->findChild<QLineEdit*>();
    text->selectAll();
    text->insert(c.typed);
    EXPECT_EQ(timer->value(), c.whileTyping) << c.typed;
    emit timer->editingFinished();  // what leaving the box sends
    EXPECT_EQ(timer->text(), QString::number(c.stored)) << c.typed;
    sheet->applyButton()->click();
    EXPECT_NE(Ini().find("MailTimer=" + std::to_string(c.stored) + "\r\n"), std::string::npos) << c.typed;
  }
  timer->stepBy(1);  // the arrows stay within the range
  EXPECT_EQ(timer->value(), 2);
  timer->stepBy(-5);
  EXPECT_EQ(timer->value(), 1);
}

TEST_F(BasicPageTest, StoredCheckIntervalIsShownAndSavedWithinOneToTen) {
  const struct {
    const char* stored;
    int shown;
  } cases[] = {{"0", 1}, {"1", 1}, {"10", 10}, {"11", 10}};
  for (const auto& c : cases) {
    qv::WriteFileBytes(ini_, std::string("[BasicSettings]\r\nMailTimer=") + c.stored + "\r\n");
    auto sheet = OpenSheet();
    EXPECT_EQ(Find<QSpinBox>(*sheet, "mailTimer")->value(), c.shown) << c.stored;
    EXPECT_EQ(Find<QSpinBox>(*sheet, "mailTimer")->text(), QString::number(c.shown)) << c.stored;
    sheet->okButton()->click();
    EXPECT_NE(Ini().find("\r\nMailTimer=" + std::to_string(c.shown) + "\r\n"), std::string::npos) << c.stored;
  }
}

TEST_F(BasicPageTest, CheckedPreviewRateIsPlainAtAGlance) {
  auto sheet = OpenSheet();
  auto* checked = Find<QPushButton>(*sheet, "previewRate60");
  ASSERT_TRUE(checked->isChecked());
  // The share of a button's pixels in the selection colour.
  auto selectionShare = [](QPushButton* button) {
    const QImage shot = button->grab().toImage();
    const QRgb selection = button->palette().color(QPalette::Highlight).rgb();
    int count = 0;
    for (int y = 0; y < shot.height(); ++y) {
      for (int x = 0; x < shot.width(); ++x) count += shot.pixel(x, y) == selection ? 1 : 0;
    }
    return static_cast<double>(count) / (shot.width() * shot.height());
  };
  for (const char* name : {"previewRate1", "previewRate5", "previewRate10", "previewRate15", "previewRate20",
                           "previewRate30"}) {
    auto* button = Find<QPushButton>(*sheet, name);
    EXPECT_FALSE(button->isChecked()) << name;
    EXPECT_LT(selectionShare(button), 0.05) << name;
    EXPECT_EQ(button->size(), checked->size()) << name;  // the state does not change the size
  }
  EXPECT_GT(selectionShare(checked), 0.6);
  // Another choice moves the colour with it.
  Find<QPushButton>(*sheet, "previewRate5")->click();
  EXPECT_GT(selectionShare(Find<QPushButton>(*sheet, "previewRate5")), 0.6);
  EXPECT_LT(selectionShare(checked), 0.05);
}

TEST_F(BasicPageTest, DeviceSwitchStartsTheChosenDeviceAtOnceAndCancelKeepsIt) {
  setenv("QUORVEX_TEST_DEVICES", "Cam A,!Broken Cam", 1);
  QXCleanup();
  QXStartup();
  QWidget mainWindow;
  BasicSettings stored;
  std::strcpy(stored.DeviceName, "Cam A");
  SaveBasicSettings(ini_.c_str(), &stored);
  const std::string before = Ini();
  auto sheet = OpenSheet(&mainWindow);
  auto* devices = Find<QComboBox>(*sheet, "deviceList");
  ASSERT_EQ(devices->count(), 2);
  EXPECT_EQ(devices->currentText(), "Cam A");
  EXPECT_EQ(QXGetCurDevice(), -1);  // opening the page starts nothing

  devices->setCurrentIndex(1);
  EXPECT_EQ(messages_, (std::vector<Message>{{"選択できませんでした", "QXDVDlg"}}));
  EXPECT_FALSE(BasicPageOf(*sheet)->deviceRunning());
  EXPECT_FALSE(Find<QPushButton>(*sheet, "formatDialog")->isEnabled());

  devices->setCurrentIndex(0);
  EXPECT_EQ(messages_.size(), 1u);
  EXPECT_TRUE(BasicPageOf(*sheet)->deviceRunning());
  EXPECT_EQ(QXGetCurDevice(), 0);
  unsigned long width = 0, x = 0;
  QXGetDeviceState(QXST_WINDOW_WIDTH, &width);
  QXGetDeviceState(QXST_WINDOW_X, &x);
  EXPECT_EQ(width, 320u);
  EXPECT_EQ(x, 94u);
  EXPECT_TRUE(Find<QPushButton>(*sheet, "formatDialog")->isEnabled());
  EXPECT_FALSE(Find<QPushButton>(*sheet, "sourceDialog")->isEnabled());  // the test camera has no controls

  // The driver's format dialog: cancelled there, the sheet can no longer be cancelled.
  testing::HandleNextDialog([](QDialog& dialog) { dialog.reject(); });
  Find<QPushButton>(*sheet, "formatDialog")->click();
  EXPECT_FALSE(sheet->cancelButton()->isEnabled());
  EXPECT_EQ(sheet->okButton()->text(), QString::fromUtf8("閉じる"));
  sheet->reject();  // Escape or the window's close button
  EXPECT_TRUE(sheet->isVisible());

  // Nothing was written: the device keeps running and DeviceName waits for OK or Apply.
  sheet.reset();
  EXPECT_EQ(QXGetCurDevice(), 0);
  EXPECT_EQ(Ini(), before);
}

TEST_F(BasicPageTest, DeviceStartedWhileThePictureIsHiddenGetsAOneByOnePreview) {
  setenv("QUORVEX_TEST_DEVICES", "Cam A,Cam B", 1);
  QXCleanup();
  QXStartup();
  QWidget mainWindow;
  auto sheet = OpenSheet(&mainWindow, false, true);
  Find<QComboBox>(*sheet, "deviceList")->setCurrentIndex(1);
  ASSERT_TRUE(BasicPageOf(*sheet)->deviceRunning());
  unsigned long width = 0, height = 0, x = 0, y = 0;
  QXGetDeviceState(QXST_WINDOW_WIDTH, &width);
  QXGetDeviceState(QXST_WINDOW_HEIGHT, &height);
  QXGetDeviceState(QXST_WINDOW_X, &x);
  QXGetDeviceState(QXST_WINDOW_Y, &y);
  EXPECT_EQ(width, 1u);
  EXPECT_EQ(height, 1u);
  EXPECT_EQ(x, 94u);
  EXPECT_EQ(y, 6u);
}

TEST_F(BasicPageTest, SiblingEntryStopsTheDeviceAndAsksForTheSiblingProgram) {
  setenv("QUORVEX_TEST_DEVICES", "Cam A", 1);
  QXCleanup();
  QXStartup();
  QWidget mainWindow;
  auto sheet = OpenSheet(&mainWindow, true);
  auto* devices = Find<QComboBox>(*sheet, "deviceList");
  ASSERT_EQ(devices->count(), 2);
  EXPECT_EQ(devices->itemText(0), QString::fromUtf8("Orbisk連携"));
  devices->setCurrentIndex(1);
  ASSERT_TRUE(BasicPageOf(*sheet)->deviceRunning());

  devices->setCurrentIndex(0);
  EXPECT_EQ(QXGetCurDevice(), -1);
  EXPECT_TRUE(BasicPageOf(*sheet)->deviceRunning());  // left as it was
  EXPECT_EQ(messages_, (std::vector<Message>{{"Orbiskを起動してください。", "Quorvex"}}));
  sheet->okButton()->click();
  EXPECT_NE(Ini().find("DeviceName=" + SJIS("Orbisk連携") + "\r\n"), std::string::npos);
}

}  // namespace
}  // namespace qxdlg
