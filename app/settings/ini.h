// Quorvex's own INI dialect: the only way the settings file is read and written.
//
// The rules are deliberately simple and a little unusual, and files written by other INI
// libraries may not read back the same way:
// - A line ends at LF; a CR right before the LF is dropped. Everything from the first ';' of
//   a line is a comment, wherever the line is examined (no value can hold ';').
// - Section search: a line whose comment-cut, blank-trimmed text starts with '[' and ends with
//   ']' is a header; the text between the brackets, untrimmed, is the section name. Only the
//   first section of a name counts.
// - Key search inside the section: lines are not trimmed. An empty line is skipped; a
//   comment-cut line that starts with '[' and ends with ']' ends the section; otherwise the
//   line is the key's line when it begins with the key (a prefix test), and the value is
//   everything after the key and one more character (normally '=').
// - Names compare without regard to ASCII case, Shift_JIS double-byte characters as whole
//   characters.
//
// The settings file is untrusted input: NUL bytes, lines of any length, invalid Shift_JIS,
// a missing final line end or a path that is a folder never cause more than a default value.
#pragma once

#include <cstddef>

// Copies the value of `key` in `section` of the file at `path` into `buffer` (`size` bytes),
// or `defaultValue` when the file, the section or the key is missing or the file cannot be
// read. A value longer than size - 1 bytes is cut to size - 1 bytes (a double-byte character
// may be split, as callers read into fixed buffers); a value ends at a NUL byte. The buffer
// is always zero-terminated when size >= 1. Returns the number of bytes stored, terminator not
// counted. Never fails.
int GetIniString(const char* section, const char* key, const char* defaultValue, char* buffer, size_t size,
                 const char* path);

// Stores the line key=value in `section` of the file at `path`: replaces the key's line when
// there is one, else adds it at the end of the section (creating the section at the end of
// the file, or the file, when missing). Key and section are written in the caller's letter
// case; every line of the rewritten file ends in CR LF; blank lines of the section in front
// of the key disappear; every other line is kept byte for byte (a header that ends the
// section loses its comment).
//
// The new file is built beside the old one and renamed over it after it was flushed to disk,
// so the old contents survive any failure; it has mode 0600 (it holds the mail passwords),
// whatever the old file's mode was. A line break in section, key or value would make a
// new line of the file: each is cut at its first CR or LF. A settings file reached through a
// symbolic link is replaced at the link's target.
//
// Returns 1 when the file holds the new line, 0 when it could not be written (a line goes to
// standard error then, and the file is unchanged).
int WriteIniString(const char* section, const char* key, const char* value, const char* path);
