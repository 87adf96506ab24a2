// Text at the boundary between the settings pages (Qt, UTF-16) and the settings file (CP932
// bytes), and the limits that keep every typed text storable as it was typed.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <QString>
#include <QStringList>

class QFontMetrics;
class QLineEdit;
class QPlainTextEdit;

namespace qxdlg {

[[nodiscard]] QString FromCp932(std::string_view cp932);
// Characters that CP932 cannot hold become '?'.
[[nodiscard]] std::string ToCp932(const QString& text);

// Keeps the text of `edit` within `maxBytes` bytes of CP932: what the user types or pastes
// beyond that is cut off at a character boundary, right where it was inserted. Unless
// `allowSemicolon` is set, ';' is dropped as it is typed, because the settings file reads
// everything after a ';' as a comment.
void LimitField(QLineEdit* edit, size_t maxBytes, bool allowSemicolon = false);

// The same for a multi-line text stored with "<BR>" for each line break: the stored form
// (qv::StoredMultiLine) stays within `maxStoredBytes` bytes; ';' is dropped.
void LimitMultiLineField(QPlainTextEdit* edit, size_t maxStoredBytes);

// Puts a path chosen in a file dialog into `edit` when it fits a field of `fieldSize` bytes
// (CP932, with the terminator); otherwise says that it is too long and leaves `edit` as it
// was. An empty path (the dialog was cancelled) changes nothing.
void SetChosenPath(QLineEdit* edit, const QString& chosen, size_t fieldSize);

// Joins `fields` with two blanks into lines no wider than `width` pixels in `metrics`, breaking
// only between fields: a field is never split (one wider than `width` stands alone on its line).
[[nodiscard]] QString JoinFieldsWrapped(const QStringList& fields, const QFontMetrics& metrics, int width);

}  // namespace qxdlg
