#include "dialogs/settings_dialog.h"

#include <QDir>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>

#include "dialogs/filter_page.h"
#include "dialogs/mail_page.h"
#include "dialogs/picture_page.h"
#include "dialogs/testing/test_support.h"
#include "platform/timing.h"

namespace qxdlg {
namespace {

using testing::kDefaultBasic;
using testing::Message;
using testing::SheetFixture;

class SettingsSheetTest : public SheetFixture {};

TEST_F(SettingsSheetTest, OpenDialogRunsTheSixPagesAndOkAtOnceWritesOnlyBasicSettings) {
  EXPECT_EQ(QDOpenDialog(0, nullptr, nullptr), 2);

  QDOPENDIALOGINFO info{};
  std::snprintf(info.szIniFile, sizeof info.szIniFile, "%s", ini_.c_str());
  info.bDeviceRunning = 1;  // no device runs here: the sheet reports what it saw on page 1
  QStringList captions;
  testing::HandleNextDialog([&captions](QDialog& dialog) {
    auto& sheet = static_cast<CSettingsSheet&>(dialog);
    EXPECT_EQ(sheet.windowTitle(), QString::fromUtf8("オプション設定"));
    for (int i = 0; i < sheet.tabs()->count(); ++i) captions << sheet.tabs()->tabText(i);
    EXPECT_FALSE(sheet.applyButton()->isEnabled());
    sheet.okButton()->click();
  });
  EXPECT_EQ(QDOpenDialog(0, &info, nullptr), 1);
  EXPECT_EQ(captions.join(u'|'),
            QString::fromUtf8("基本設定|返信メール設定|画像設定|送信内容設定|フィルタ設定|バージョン情報"));
  EXPECT_EQ(Ini(), kDefaultBasic);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "MailList.dat"));
  EXPECT_EQ(info.bDeviceRunning, 1);  // page 1 changed nothing

  testing::HandleNextDialog([](QDialog& dialog) { static_cast<CSettingsSheet&>(dialog).cancelButton()->click(); });
  EXPECT_EQ(QDOpenDialog(0, &info, nullptr), 2);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(SettingsSheetTest, ApplyThenCancelKeepsWhatApplyWrote) {
  auto sheet = OpenSheet();
  Find<QPushButton>(*sheet, "previewRate15")->click();
  EXPECT_TRUE(sheet->applyButton()->isEnabled());
  sheet->applyButton()->click();
  EXPECT_FALSE(sheet->applyButton()->isEnabled());
  const std::string applied = Ini();
  EXPECT_NE(applied.find("PreviewRate=3\r\n"), std::string::npos);

  Find<QPushButton>(*sheet, "previewRate1")->click();
  sheet->cancelButton()->click();
  EXPECT_EQ(sheet->result(), QDialog::Rejected);
  EXPECT_EQ(Ini(), applied);
}

TEST_F(SettingsSheetTest, RefusingMailPageEndsThePassAndKeepsTheSheetOpen) {
  auto sheet = OpenSheet();
  for (int page = 0; page < sheet->pageCount(); ++page) ShowPage(*sheet, page);
  Type(*sheet, "title", "件名");
  ShowPage(*sheet, kVersionPage);
  sheet->okButton()->click();

  EXPECT_EQ(messages_, (std::vector<Message>{{"メールアドレスを入力してください。", "メールアドレスエラー"}}));
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_EQ(sheet->result(), 0);
  EXPECT_EQ(sheet->tabs()->currentIndex(), static_cast<int>(kMailPage));
  EXPECT_EQ(sheet->page(kMailPage)->focusWidget(), Find<QWidget>(*sheet, "mailAddr"));
  // Page 1 wrote; the mail page and everything after it did not.
  EXPECT_EQ(Ini(), kDefaultBasic);
  EXPECT_FALSE(std::filesystem::exists(folder_ + "MailList.dat"));
  EXPECT_TRUE(sheet->applyButton()->isEnabled());
}

TEST_F(SettingsSheetTest, SettingsFileThatCannotBeWrittenIsReportedAndKeepsTheSheetOpen) {
  ini_ = folder_ + "missing/Quorvex.ini";
  auto sheet = OpenSheet();
  ::testing::internal::CaptureStderr();
  sheet->okButton()->click();
  ::testing::internal::GetCapturedStderr();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0].text, "設定ファイルに書き込めませんでした。\n" + ini_);
  EXPECT_TRUE(sheet->isVisible());
}

TEST_F(SettingsSheetTest, SheetFitsASmallScreenWithItsFrame) {
  auto sheet = OpenSheet();
  for (int page = 0; page < sheet->pageCount(); ++page) ShowPage(*sheet, page);
  // A title bar and thin borders, as common window managers draw them.
  const QSize framed = sheet->size().grownBy(QMargins(4, 28, 4, 4));
  EXPECT_LE(framed.width(), kSheetSizeLimit.width());
  EXPECT_LE(framed.height(), kSheetSizeLimit.height());
  // Beside the main window where the program first puts it on a 1280 x 720 screen: 645 pixels
  // are left right of it.
  EXPECT_LE(framed.width(), 645);
}

TEST(PlaceBesideTest, BesideTheOwnerElseBesideItsPictureElseTheCornerThatHidesTheLeast) {
  const QRect work(0, 0, 1280, 692);
  const QRect owner(215, 117, 420, 252);  // where the main window first opens
  const QRect picture(309, 123, 320, 240);
  const struct {
    const char* what;
    QRect owner;
    QRect picture;
    QSize frame;
    QRect work;
    QPoint place;
  } cases[] = {
      {"right of the owner", owner, picture, {632, 519}, work, {635, 117}},
      {"right, exactly to the edge", owner, picture, {645, 519}, work, {635, 117}},
      {"one pixel too wide: right of the picture", owner, picture, {646, 519}, work, {629, 123}},
      {"left of the owner", owner.translated(645, 0), picture.translated(645, 0), {632, 519}, work, {228, 117}},
      {"below the owner", QRect(215, 0, 420, 252), QRect(309, 6, 320, 240), {1000, 440}, work, {215, 252}},
      {"above the owner", QRect(215, 440, 420, 252), QRect(309, 446, 320, 240), {1000, 440}, work, {215, 0}},
      {"kept within the work area's height", QRect(0, 500, 420, 192), QRect(94, 506, 320, 180), {632, 519}, work,
       {420, 173}},
      {"no room beside either: the corner that covers the least", QRect(430, 440, 420, 252),
       QRect(524, 446, 320, 240), {632, 519}, work, {0, 0}},
      {"as large as the work area", owner, picture, {1180, 692}, QRect(100, 28, 1180, 692), {100, 28}},
      {"larger than the work area", owner, picture, {1181, 692}, QRect(100, 28, 1180, 692), {100, 28}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(PlaceBeside(c.owner, c.picture, c.frame, c.work), c.place) << c.what;
  }
}

}  // namespace
}  // namespace qxdlg

// Fontconfig and libdbus (on a real X server) keep their caches until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\nleak:libdbus-1.so\n"; }
