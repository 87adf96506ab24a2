#include "platform/dialog_look.h"

#include <cstdio>

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPainter>
#include <QPointer>
#include <QTranslator>
#include <QWidget>

namespace qv {
namespace {

constexpr char16_t kFirstHalfwidthKatakana = 0xFF66;  // ｦ
constexpr char16_t kLastHalfwidthKatakana = 0xFF9D;   // ﾝ
constexpr char16_t kHalfwidthProlongedMark = 0xFF70;  // ｰ, among them but no kana
constexpr char16_t kHalfwidthVoicedMark = 0xFF9E;     // ﾞ
constexpr char16_t kHalfwidthSemiVoicedMark = 0xFF9F; // ﾟ
constexpr char16_t kCombiningVoicedMark = 0x3099;
constexpr char16_t kCombiningSemiVoicedMark = 0x309A;

// What a title bar needs beside its caption: the window icon, the close button and the
// margins around them, in pixels.
constexpr int kTitleBarRoom = 96;

bool IsHalfwidthKatakana(QChar c) {
  return c.unicode() >= kFirstHalfwidthKatakana && c.unicode() <= kLastHalfwidthKatakana &&
         c.unicode() != kHalfwidthProlongedMark;
}

// Faces whose combining sound marks sit on a half-width kana; the IPA faces draw them as a
// speck inside the kana.
bool DrawsCombiningMarksWell(const QFont& font) { return QFontInfo(font).family().startsWith("Noto Sans CJK"); }

// The box widens itself once it has laid itself out, so the window manager has room for the
// whole caption.
class OkMessageBox : public QMessageBox {
 public:
  OkMessageBox(QWidget* owner, const QString& caption, const QString& text)
      : QMessageBox(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, owner,
                    Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint) {
    setObjectName("messageBox");
    UseDialogLook(this);
  }

 protected:
  void showEvent(QShowEvent* event) override {
    QMessageBox::showEvent(event);
    const int width = MessageBoxWidthForCaption(windowTitle());
    if (this->width() < width) setFixedSize(width, height());
  }
};

}  // namespace

QFont JapaneseDialogFont(int pointSize) {
  QFont font;
  const QStringList installed = QFontDatabase::families();
  for (const char* family : kDialogFontFamilies) {
    if (installed.contains(QString::fromLatin1(family))) {
      font.setFamily(QString::fromLatin1(family));
      break;
    }
  }
  if (!installed.contains(font.family())) font.setStyleHint(QFont::SansSerif);
  font.setPointSize(pointSize);
  return font;
}

bool InstallQtTranslations() {
  static QPointer<QTranslator> installed;
  if (installed) return true;
  static bool reported = false;
  auto* translator = new QTranslator(qApp);
  const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
  if (translator->load(QStringLiteral("qtbase_ja"), folder) && QCoreApplication::installTranslator(translator)) {
    installed = translator;
    return true;
  }
  delete translator;
  if (!reported) {
    reported = true;
    std::fprintf(stderr, "Quorvex: Qt's Japanese texts (qtbase_ja.qm in %s, package qt6-translations-l10n) "
                 "cannot be loaded; Qt's own buttons and menus stay in English\n",
                 folder.toLocal8Bit().constData());
  }
  return false;
}

QString JoinHalfwidthSoundMarks(const QString& text) {
  QString joined = text;
  for (qsizetype i = 1; i < joined.size(); ++i) {
    if (!IsHalfwidthKatakana(joined[i - 1])) continue;
    if (joined[i] == QChar(kHalfwidthVoicedMark)) joined[i] = QChar(kCombiningVoicedMark);
    if (joined[i] == QChar(kHalfwidthSemiVoicedMark)) joined[i] = QChar(kCombiningSemiVoicedMark);
  }
  return joined;
}

JoinedKanaStyle::JoinedKanaStyle() = default;

void JoinedKanaStyle::drawItemText(QPainter* painter, const QRect& rect, int flags, const QPalette& palette,
                                   bool enabled, const QString& text, QPalette::ColorRole textRole) const {
  const QString shown = DrawsCombiningMarksWell(painter->font()) ? JoinHalfwidthSoundMarks(text) : text;
  QProxyStyle::drawItemText(painter, rect, flags, palette, enabled, shown, textRole);
}

void UseDialogLook(QWidget* root) {
  static QPointer<JoinedKanaStyle> style;
  if (!style) style = new JoinedKanaStyle;  // lives as long as the process
  const QFont font = JapaneseDialogFont();
  // Only the root gets the font: children inherit it unless they chose a font of their own.
  if (!root->testAttribute(Qt::WA_SetFont)) root->setFont(font);
  root->setStyle(style);
  for (QWidget* child : root->findChildren<QWidget*>()) {
    if (child->style() != style) child->setStyle(style);
  }
}

int MessageBoxWidthForCaption(const QString& caption) {
  QFont title = JapaneseDialogFont();
  title.setBold(true);
  title.setPointSizeF(title.pointSizeF() * 1.25);
  return QFontMetrics(title).horizontalAdvance(caption) + kTitleBarRoom;
}

void ShowOkMessageBox(QWidget* owner, const QString& caption, const QString& text) {
  OkMessageBox box(owner, caption, text);
  box.exec();
}

}  // namespace qv
