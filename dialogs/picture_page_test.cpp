#include "dialogs/picture_page.h"

#include <map>

#include <QCheckBox>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QSignalSpy>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>

#include "app/settings/converter_lookup.h"
#include "app/image/picture_output.h"
#include "dialogs/testing/test_support.h"
#include "platform/registry.h"
#include "platform/timing.h"

namespace qxdlg {
namespace {

using testing::SheetFixture;

class PictPageTest : public SheetFixture {
 protected:
  std::unique_ptr<CSettingsSheet> OpenPictPage() {
    auto sheet = OpenSheet();
    ShowPage(*sheet, kPictPage);
    return sheet;
  }
  static CPictSettingsDlg& PageOf(const CSettingsSheet& sheet) {
    return *static_cast<CPictSettingsDlg*>(sheet.page(kPictPage));
  }
  static QWidget& Tab(const CSettingsSheet& sheet, int tab) { return *PageOf(sheet).profileTab(tab); }
  // Registers the picture converter built beside the tests.
  static void RegisterConverter() {
    ASSERT_TRUE(qv::WriteRegistryString(kConverterCommandKey, "", "\"" + qv::ProgramFolder() + "qvconvert\" \"%1\""));
  }
  // The live results the page shows from its creation on, the latest of each tab. Results
  // that arrive together are all kept, whichever tab a test waits for first.
  class Results {
   public:
    explicit Results(CPictSettingsDlg& page) : page_(page) {
      connection_ = QObject::connect(&page, &CPictSettingsDlg::resultShown,
                                     [this](const LivePicture& picture) { latest_[picture.tab] = picture; });
    }
    ~Results() { QObject::disconnect(connection_); }
    Results(const Results&) = delete;
    Results& operator=(const Results&) = delete;

    // Waits for the result of `tab`'s current profile.
    LivePicture Of(int tab) {
      auto current = [this, tab] {
        const auto found = latest_.find(tab);
        return found != latest_.end() && found->second.profile == page_.profileTab(tab)->profile();
      };
      QSignalSpy spy(&page_, &CPictSettingsDlg::resultShown);
      while (!current() && spy.wait(static_cast<int>(qv::GetTimings().converterTimeoutMs))) {
      }
      EXPECT_TRUE(current()) << "no result for tab " << tab;
      return latest_[tab];
    }

   private:
    CPictSettingsDlg& page_;
    std::map<int, LivePicture> latest_;
    QMetaObject::Connection connection_;
  };
};

TEST_F(PictPageTest, TabsShowTheirProfilesDefaultsAndRanges) {
  auto sheet = OpenPictPage();
  auto* tabs = Find<QTabWidget>(*sheet, "profiles");
  ASSERT_EQ(tabs->count(), 4);
  EXPECT_EQ(tabs->tabText(0) + "|" + tabs->tabText(1) + "|" + tabs->tabText(2) + "|" + tabs->tabText(3),
            QString::fromUtf8("ａｕ|Vodafone|Docomo|その他"));
  const struct {
    int format;
    const char* quality;
    int width, height;
    const char* colours;
  } expected[] = {{0, "7", 120, 120, "192"}, {1, "60", 120, 128, "16万"}, {1, "15", 96, 80, "256"},
                  {1, "100", 320, 240, "16万"}};
  for (int tab = 0; tab < 4; ++tab) {
    QWidget& profile = Tab(*sheet, tab);
    auto* format = Find<QComboBox>(profile, "format");
    EXPECT_EQ(format->count(), 3) << tab;  // no converter registered: no GIF
    EXPECT_EQ(format->currentIndex(), expected[tab].format) << tab;  // Docomo's GIF becomes JPEG
    EXPECT_EQ(Find<QLabel>(profile, "qualityText")->text(), expected[tab].quality) << tab;
    EXPECT_EQ(Find<QSpinBox>(profile, "width")->value(), expected[tab].width) << tab;
    EXPECT_EQ(Find<QSpinBox>(profile, "height")->value(), expected[tab].height) << tab;
    EXPECT_TRUE(Find<QCheckBox>(profile, "aspect")->isChecked()) << tab;
    EXPECT_EQ(Find<QLabel>(profile, "colQualityText")->text(), QString::fromUtf8("極高")) << tab;
    EXPECT_EQ(Find<QLabel>(profile, "colorNumText")->text(), QString::fromUtf8(expected[tab].colours)) << tab;
  }

  QWidget& vodafone = Tab(*sheet, 1);
  tabs->setCurrentIndex(1);
  auto* quality = Find<QSlider>(vodafone, "quality");
  quality->setValue(20);
  Find<QComboBox>(vodafone, "format")->setCurrentIndex(0);  // to PNG: the slider holds 20 at 9
  EXPECT_EQ(quality->maximum(), 9);
  EXPECT_EQ(quality->value(), 9);
  EXPECT_EQ(PageOf(*sheet).profileTab(1)->profile().PictQuality, 20);
  Find<QComboBox>(vodafone, "format")->setCurrentIndex(2);  // BMP has no quality
  EXPECT_FALSE(quality->isEnabled());

  const struct {
    const char* slider;
    int value;
    const char* text;
    const char* label;
  } sliders[] = {{"colorNum", 32, "256", "colorNumText"},      {"colorNum", 33, "4096", "colorNumText"},
                 {"colorNum", 36, "16万", "colorNumText"},      {"colorNum", 1, "8", "colorNumText"},
                 {"light", -8, "-64", "lightText"},             {"contrast", 16, "128", "contrastText"},
                 {"colQuality", 0, "極低", "colQualityText"},   {"colQuality", 2, "普通", "colQualityText"}};
  for (const auto& s : sliders) {
    Find<QSlider>(vodafone, s.slider)->setValue(s.value);
    EXPECT_EQ(Find<QLabel>(vodafone, s.label)->text(), QString::fromUtf8(s.text)) << s.slider << s.value;
  }

  // Typing in the size boxes; leaving them holds the size to its range.
  auto* width = Find<QSpinBox>(vodafone, "width");
  auto* height = Find<QSpinBox>(vodafone, "height");
  const struct {
    QSpinBox* box;
    const char* typed;
    int stored;
  } sizes[] = {{width, "130", 132}, {width, "10", 32}, {width, "1000", 640}, {width, "640", 640},
               {height, "600", 480}, {height, "31", 32}, {height, "123", 123}};
  for (const auto& s : sizes) {
    auto* text = s.box->findChild<QLineEdit*>();
    text->selectAll();
    text->insert(s.typed);
    const PictSettings& typed = PageOf(*sheet).profileTab(1)->profile();
    EXPECT_EQ(s.box == width ? typed.Width : typed.Height, s.stored) << s.typed;
    EXPECT_EQ(s.box->text(), s.typed);  // typing leaves the box alone
    emit s.box->editingFinished();
    EXPECT_EQ(s.box->value(), s.stored) << s.typed;
  }
  // Enter and Escape in a tab do nothing (they would be the sheet's OK and Cancel).
  for (int key : {Qt::Key_Return, Qt::Key_Escape}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(width, &press);
  }
  EXPECT_TRUE(sheet->isVisible());
  EXPECT_FALSE(IniExists());

  // Default restores the tab's profile without enabling Apply by itself.
  sheet->applyButton()->click();
  EXPECT_FALSE(sheet->applyButton()->isEnabled());
  Find<QPushButton>(vodafone, "defaults")->click();
  EXPECT_FALSE(sheet->applyButton()->isEnabled());
  EXPECT_EQ(Find<QSpinBox>(vodafone, "width")->value(), 120);
  sheet->okButton()->click();
  PictSettings stored;
  LoadPictSettings(ini_.c_str(), 1, &stored);
  EXPECT_EQ(stored.Width, 120);
  EXPECT_EQ(stored.ColorNum, 36);
}

TEST_F(PictPageTest, SectionsAreWrittenInOrderByteForByte) {
  RegisterConverter();
  auto sheet = OpenPictPage();
  EXPECT_EQ(Find<QComboBox>(Tab(*sheet, 2), "format")->count(), 4);  // GIF with a converter
  Find<QSlider>(Tab(*sheet, 3), "light")->setValue(-2);
  sheet->okButton()->click();
  EXPECT_EQ(Ini(), std::string(testing::kDefaultBasic) +
                       "[PictSettings0]\r\nType=0\r\nPictQuality=7\r\nWidth=120\r\nHeight=120\r\nAspect=1\r\n"
                       "ColQuality=4\r\nColorNum=24\r\nContrast=0\r\nLight=0\r\n"
                       "[PictSettings1]\r\nType=1\r\nPictQuality=12\r\nWidth=120\r\nHeight=128\r\nAspect=1\r\n"
                       "ColQuality=4\r\nColorNum=36\r\nContrast=0\r\nLight=0\r\n"
                       "[PictSettings2]\r\nType=3\r\nPictQuality=3\r\nWidth=96\r\nHeight=80\r\nAspect=1\r\n"
                       "ColQuality=4\r\nColorNum=32\r\nContrast=0\r\nLight=0\r\n"
                       "[PictSettings3]\r\nType=1\r\nPictQuality=20\r\nWidth=320\r\nHeight=240\r\nAspect=1\r\n"
                       "ColQuality=4\r\nColorNum=36\r\nContrast=0\r\nLight=-2\r\n");
}

TEST_F(PictPageTest, LiveResultIsThePictureAReplyWouldCarry) {
  RegisterConverter();
  std::string converter;
  ASSERT_TRUE(LocateConverter(&converter));
  auto sheet = OpenPictPage();
  CPictSettingsDlg& page = PageOf(*sheet);
  Results results(page);
  Find<QSlider>(Tab(*sheet, 1), "colorNum")->setValue(8);         // 64 colours, JPEG
  Find<QComboBox>(Tab(*sheet, 3), "format")->setCurrentIndex(0);  // PNG at the JPEG quality 20
  const char* const magic[4] = {"\x89PNG", "\xFF\xD8\xFF", "GIF8", "\x89PNG"};
  for (int tab = 0; tab < 4; ++tab) {
    const LivePicture live = results.Of(tab);
    ASSERT_TRUE(live.made) << tab << ": " << qv::Utf8FromCp932(live.error);
    // The same profile through the reply's own code, from the same frame.
    const PictSettings profile = page.profileTab(tab)->profile();
    qv::PictureNames names;
    names.outputPath[tab] = folder_ + "reply." + qv::ExtensionOf(qv::EffectiveType(profile, converter));
    std::filesystem::copy_file(page.maker()->frameFile(), folder_ + qv::kCapturedFrameFile);
    ASSERT_TRUE(qv::BuildProfilePicture(folder_, names, tab, profile, converter, nullptr)) << tab;
    std::filesystem::remove(folder_ + qv::kCapturedFrameFile);
    EXPECT_EQ(live.bytes.toStdString(), qv::ReadFileBytes(names.outputPath[tab])) << tab;
    EXPECT_EQ(live.bytes.left(static_cast<int>(std::strlen(magic[tab]))).toStdString(), magic[tab]) << tab;
    EXPECT_EQ(live.image.width(), profile.Width) << tab;
    EXPECT_EQ(live.image.height(), profile.Height) << tab;
    EXPECT_EQ(Find<QLabel>(Tab(*sheet, tab), "resultPicture")->pixmap().isNull(), false) << tab;
    const QString info = Find<QLabel>(Tab(*sheet, tab), "resultInfo")->text();
    EXPECT_TRUE(info.contains(QString("%1 × %2").arg(profile.Width).arg(profile.Height))) << info.toStdString();
    EXPECT_TRUE(info.contains(QLocale(QLocale::Japanese).toString(live.bytes.size()))) << info.toStdString();
  }
}

}  // namespace
}  // namespace qxdlg
