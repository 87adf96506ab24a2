// How Quorvex's windows look on a Linux desktop, shared by the program and the settings
// dialog library: the Japanese dialog font, Qt's own texts in Japanese, half-width kana drawn
// joined, and the OK-only message box.
//
// Everything here runs on the GUI thread with a QApplication.
#pragma once

#include <QFont>
#include <QProxyStyle>
#include <QString>

class QWidget;

namespace qv {

// The families of the dialog font, in the order they are tried. The first present one is
// used; there is no silent fallback to a face without Japanese glyphs unless none is present.
inline constexpr const char* kDialogFontFamilies[] = {"Noto Sans CJK JP", "IPAGothic", "IPAPGothic"};

// A Japanese Gothic at `pointSize` from kDialogFontFamilies (the first installed one; the
// style hint sans-serif only when none is installed).
[[nodiscard]] QFont JapaneseDialogFont(int pointSize = 9);

// Installs Qt's Japanese translations (qtbase_ja from Qt's translation folder, Debian package
// qt6-translations-l10n) into the running application, once per process: the file dialog, the
// edit boxes' context menus and the standard buttons then speak Japanese, as the program does.
// False (with a line on standard error, once) when the file cannot be loaded.
bool InstallQtTranslations();

// Half-width katakana in CP932 texts carry their voiced and semi-voiced marks (U+FF9E, U+FF9F)
// as characters of their own, which Japanese fonts draw half a cell wide, so "ﾄﾞ" shows as "ﾄ"
// and a mark followed by a gap. For drawing only, a mark that follows a half-width katakana
// becomes the combining mark (U+3099, U+309A), which the shaper puts on the kana itself.
// Other characters are left as they are.
[[nodiscard]] QString JoinHalfwidthSoundMarks(const QString& text);

// A style that draws item texts (labels, buttons, check boxes, group and tab titles) with
// JoinHalfwidthSoundMarks when the font draws combining marks well (Noto Sans CJK); widget
// texts stay as they were set. Wraps the application's style.
class JoinedKanaStyle : public QProxyStyle {
 public:
  JoinedKanaStyle();
  void drawItemText(QPainter* painter, const QRect& rect, int flags, const QPalette& palette, bool enabled,
                    const QString& text, QPalette::ColorRole textRole = QPalette::NoRole) const override;
};

// Gives `root` and every widget in it the dialog font and JoinedKanaStyle (one style object
// for the process). Call it again after adding widgets.
void UseDialogLook(QWidget* root);

// The smallest width of a message box whose caption is `caption`: the caption in a bold title
// font a little larger than the dialog font, and room for the title bar's icon and close button.
[[nodiscard]] int MessageBoxWidthForCaption(const QString& caption);

// Shows an OK-only message box without an icon, modal over `owner` (may be null): wide enough
// for its caption, with no minimise or maximise button, in the dialog font.
void ShowOkMessageBox(QWidget* owner, const QString& caption, const QString& text);

}  // namespace qv
