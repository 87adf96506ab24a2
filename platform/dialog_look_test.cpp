#include "platform/dialog_look.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QFileDialog>
#include <QFontInfo>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>

namespace qv {
namespace {

void EnsureApplication() {
  static int argc = 1;
  static char name[] = "platform_widgets_test";
  static char* argv[] = {name, nullptr};
  static QApplication* application = new QApplication(argc, argv);
  (void)application;
}

class DialogLookTest : public ::testing::Test {
 protected:
  void SetUp() override { EnsureApplication(); }
};

TEST_F(DialogLookTest, DialogFontIsAnInstalledJapaneseFace) {
  const QFont font = JapaneseDialogFont();
  const QString family = QFontInfo(font).family();
  bool listed = false;
  for (const char* candidate : kDialogFontFamilies) listed = listed || family == QString::fromLatin1(candidate);
  EXPECT_TRUE(listed) << family.toStdString();
  EXPECT_EQ(font.pointSize(), 9);
  EXPECT_TRUE(QFontMetrics(font).inFont(QChar(0xFF92)));  // ﾒ
  EXPECT_TRUE(QFontMetrics(font).inFont(QChar(0x8A2D)));  // 設
}

TEST_F(DialogLookTest, SoundMarksJoinOnlyAfterHalfwidthKatakana) {
  const struct {
    const char16_t* text;
    const char16_t* joined;
  } cases[] = {
      {u"ﾒｰﾙｱﾄﾞﾚｽ(&A)：", u"ﾒｰﾙｱﾄ\u3099ﾚｽ(&A)："},
      {u"ﾊﾟｽﾜｰﾄﾞ", u"ﾊ\u309Aｽﾜｰﾄ\u3099"},
      {u"ｦﾞﾝﾞ", u"ｦ\u3099ﾝ\u3099"},    // the first and the last half-width katakana
      {u"ﾞﾟ", u"ﾞﾟ"},                   // no kana before them
      {u"ｰﾞ", u"ｰﾞ"},                   // the prolonged sound mark (U+FF70) is not a kana
      {u"ﾞﾞ", u"ﾞﾞ"},                   // a mark after a mark
      {u"ﾟﾞ", u"ﾟﾞ"},
      {u"トﾞ", u"トﾞ"},                 // after a full-width kana
      {u"", u""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(JoinHalfwidthSoundMarks(QString::fromUtf16(c.text)), QString::fromUtf16(c.joined))
        << QString::fromUtf16(c.text).toStdString();
  }
}

TEST_F(DialogLookTest, JoinedMarksTakeNoRoomOfTheirOwnInTheDialogFont) {
  // The set-up installs Noto Sans CJK JP, the first of the dialog fonts.
  const QFont font = JapaneseDialogFont();
  ASSERT_EQ(QFontInfo(font).family(), "Noto Sans CJK JP");
  const QFontMetrics metrics(font);
  const QString kana = QString::fromUtf8("ﾒｰﾙｱﾄﾞﾚｽ");
  EXPECT_EQ(metrics.horizontalAdvance(JoinHalfwidthSoundMarks(kana)), metrics.horizontalAdvance(QString::fromUtf8("ﾒｰﾙｱﾄﾚｽ")));
}

TEST_F(DialogLookTest, QtsOwnTextsAreJapanese) {
  ASSERT_TRUE(InstallQtTranslations());
  EXPECT_TRUE(InstallQtTranslations());  // once per process
  EXPECT_NE(QCoreApplication::translate("QFileDialog", "Look in:"), "Look in:");
  EXPECT_NE(QCoreApplication::translate("QWidgetTextControl", "Select All"), "Select All");
  EXPECT_NE(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Cancel");
}

TEST_F(DialogLookTest, MessageBoxFitsItsCaptionAndHasNoMinimiseOrMaximise) {
  const QString captions[] = {QString::fromUtf8("ＰＯＰ３サーバーエラー"), QString::fromUtf8("Q"),
                              QString::fromUtf8("メールアドレスエラーメールアドレスエラーメールアドレスエラー")};
  for (const QString& caption : captions) {
    int width = 0;
    Qt::WindowFlags flags;
    QString title;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      width = box->width();
      flags = box->windowFlags();
      title = box->windowTitle();
      box->accept();
    });
    ShowOkMessageBox(nullptr, caption, QString::fromUtf8("OK"));
    EXPECT_EQ(title, caption);
    EXPECT_GE(width, MessageBoxWidthForCaption(caption)) << caption.toStdString();
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  }
  // The caption's room grows with the caption, by the caption's own width.
  const QFontMetrics metrics(JapaneseDialogFont());
  EXPECT_GT(MessageBoxWidthForCaption(QString::fromUtf8("メールアドレスエラー")),
            MessageBoxWidthForCaption(QString::fromUtf8("メール")) +
                metrics.horizontalAdvance(QString::fromUtf8("アドレスエラー")));
}

TEST_F(DialogLookTest, LabelsDrawHalfwidthKanaJoined) {
  // The same text drawn by the dialog look, and with the combining marks put in by hand.
  QLabel looked(QString::fromUtf8("ﾒｰﾙｱﾄﾞﾚｽ(&A)："));
  UseDialogLook(&looked);
  QLabel byHand(JoinHalfwidthSoundMarks(looked.text()));
  byHand.setFont(JapaneseDialogFont());
  QLabel plain(looked.text());
  plain.setFont(JapaneseDialogFont());
  for (QLabel* label : {&looked, &byHand, &plain}) label->resize(200, 30);
  const QImage shownLooked = looked.grab().toImage();
  EXPECT_EQ(shownLooked, byHand.grab().toImage());
  EXPECT_NE(shownLooked, plain.grab().toImage());
}

TEST_F(DialogLookTest, DialogLookReachesEveryWidgetAndKeepsTheirTexts) {
  QWidget root;
  auto* label = new QLabel(QString::fromUtf8("ﾊﾟｽﾜｰﾄﾞ(&P)："), &root);
  QWidget inner(&root);
  auto* deep = new QLabel(&inner);
  UseDialogLook(&root);
  EXPECT_NE(dynamic_cast<JoinedKanaStyle*>(label->style()), nullptr);
  EXPECT_NE(dynamic_cast<JoinedKanaStyle*>(deep->style()), nullptr);
  EXPECT_EQ(label->style(), deep->style());
  EXPECT_EQ(label->text(), QString::fromUtf8("ﾊﾟｽﾜｰﾄﾞ(&P)："));
  EXPECT_EQ(QFontInfo(label->font()).family(), QFontInfo(JapaneseDialogFont()).family());
}

}  // namespace
}  // namespace qv

// Fontconfig keeps its caches until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
