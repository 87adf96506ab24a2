#include "dialogs/send_page.h"

#include <QPlainTextEdit>

#include "app/settings/setting_rules.h"
#include "dialogs/testing/test_support.h"

namespace qxdlg {
namespace {

using testing::SheetFixture;

class SendPageTest : public SheetFixture {
 protected:
  std::unique_ptr<CSettingsSheet> OpenSendPage() {
    auto sheet = OpenSheet();
    ShowPage(*sheet, kSendPage);
    return sheet;
  }
};

TEST_F(SendPageTest, LineBreaksAreStoredAsBrAndShownAgain) {
  {
    auto sheet = OpenSendPage();
    EXPECT_EQ(Find<QLineEdit>(*sheet, "title")->text(), QString::fromUtf8("Quorvex画像"));
    Type(*sheet, "title", "");
    Find<QPlainTextEdit>(*sheet, "mailText")->setPlainText(QString::fromUtf8("一行目\n二行目<BR>三行目\n"));
    Find<QPlainTextEdit>(*sheet, "signature")->setPlainText(QString::fromUtf8("-- \nカメラ"));
    sheet->okButton()->click();
  }
  EXPECT_EQ(Ini(), std::string(testing::kDefaultBasic) + "[SendSettings]\r\nTitle=\r\nMailText=" +
                       SJIS("一行目<BR>二行目<BR>三行目<BR>") + "\r\nSendName=" + SJIS("-- <BR>カメラ") + "\r\n");

  auto sheet = OpenSendPage();
  EXPECT_TRUE(Find<QLineEdit>(*sheet, "title")->text().isEmpty());
  EXPECT_EQ(Find<QPlainTextEdit>(*sheet, "mailText")->toPlainText(), QString::fromUtf8("一行目\n二行目\n三行目\n"));
  EXPECT_EQ(Find<QPlainTextEdit>(*sheet, "signature")->toPlainText(), QString::fromUtf8("-- \nカメラ"));
}

TEST_F(SendPageTest, BodyIsHeldToWhatTheSettingsFileGivesBack) {
  auto sheet = OpenSendPage();
  auto* body = Find<QPlainTextEdit>(*sheet, "mailText");
  // 60 lines of "ab": 60 x (2 + 4) bytes stored; only 42 lines and a half fit in 255 bytes.
  QString text;
  for (int i = 0; i < 60; ++i) text += "ab\n";
  body->setPlainText(text);
  const std::string stored = qv::StoredMultiLine(ToCp932(body->toPlainText()));
  EXPECT_LE(stored.size(), 255u);
  EXPECT_GE(stored.size(), 250u);
  body->setPlainText(QString::fromUtf8("a;b"));
  EXPECT_EQ(body->toPlainText(), "ab");
  sheet->okButton()->click();
  SendSettings record;
  LoadSendSettings(ini_.c_str(), &record);
  EXPECT_STREQ(record.MailText, "ab");
}

}  // namespace
}  // namespace qxdlg
