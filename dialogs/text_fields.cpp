#include "dialogs/text_fields.h"

#include <QFontMetrics>
#include <QLineEdit>
#include <QStringList>
#include <QPlainTextEdit>
#include <QTextCursor>

#include "app/settings/setting_rules.h"
#include "dialogs/settings_sheet.h"
#include "platform/message_box.h"
#include "platform/text.h"

namespace qxdlg {
namespace {

// Removes the characters in front of `*cursor` (the ones just typed or pasted) until
// `fits(text)` holds; a surrogate pair goes as a whole. Also drops every ';' unless allowed.
// True when the text changed.
template <class Fits>
bool Enforce(QString* text, int* cursor, bool allowSemicolon, Fits fits) {
  bool changed = false;
  if (!allowSemicolon) {
    for (int i = static_cast<int>(text->size()) - 1; i >= 0; --i) {
      if ((*text)[i] != u';') continue;
      text->remove(i, 1);
      if (i < *cursor) --*cursor;
      changed = true;
    }
  }
  while (!fits(*text) && !text->isEmpty()) {
    int at = *cursor > 0 ? *cursor - 1 : static_cast<int>(text->size()) - 1;
    int count = 1;
    if (at > 0 && (*text)[at].isLowSurrogate() && (*text)[at - 1].isHighSurrogate()) {
      --at;
      count = 2;
    }
    text->remove(at, count);
    if (at < *cursor) *cursor = at;
    changed = true;
  }
  return changed;
}

}  // namespace

QString FromCp932(std::string_view cp932) { return QString::fromStdString(qv::Utf8FromCp932(cp932)); }

std::string ToCp932(const QString& text) { return qv::Cp932FromUtf8(text.toStdString()); }

void LimitField(QLineEdit* edit, size_t maxBytes, bool allowSemicolon) {
  QObject::connect(edit, &QLineEdit::textChanged, edit, [edit, maxBytes, allowSemicolon] {
    QString text = edit->text();
    int cursor = edit->cursorPosition();
    if (!Enforce(&text, &cursor, allowSemicolon, [maxBytes](const QString& t) { return ToCp932(t).size() <= maxBytes; }))
      return;
    edit->setText(text);
    edit->setCursorPosition(cursor);
  });
}

void LimitMultiLineField(QPlainTextEdit* edit, size_t maxStoredBytes) {
  QObject::connect(edit, &QPlainTextEdit::textChanged, edit, [edit, maxStoredBytes] {
    QString text = edit->toPlainText();
    int cursor = edit->textCursor().position();
    auto fits = [maxStoredBytes](const QString& t) { return qv::StoredMultiLine(ToCp932(t)).size() <= maxStoredBytes; };
    if (!Enforce(&text, &cursor, false, fits)) return;
    edit->setPlainText(text);
    QTextCursor moved = edit->textCursor();
    moved.setPosition(cursor);
    edit->setTextCursor(moved);
  });
}

void SetChosenPath(QLineEdit* edit, const QString& chosen, size_t fieldSize) {
  if (chosen.isEmpty()) return;
  if (ToCp932(chosen).size() >= fieldSize) {
    qv::ShowMessageBox(SJIS("選択したパスが長すぎます。") + std::to_string(fieldSize - 1) +
                           SJIS("バイトまでのパスを選択してください。"),
                       kLibraryName);
    return;
  }
  edit->setText(chosen);
}

QString JoinFieldsWrapped(const QStringList& fields, const QFontMetrics& metrics, int width) {
  const QString separator = QStringLiteral("  ");
  QString joined;
  QString line;
  for (const QString& field : fields) {
    if (!line.isEmpty() && metrics.horizontalAdvance(line + separator + field) > width) {
      joined += line + u'\n';
      line.clear();
    }
    line += (line.isEmpty() ? QString() : separator) + field;
  }
  return joined + line;
}

}  // namespace qxdlg
