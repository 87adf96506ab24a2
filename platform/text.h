// Text inside Quorvex is Shift_JIS (code page 932) bytes. Japanese literals live in the source
// as UTF-8 and are converted once, through glibc's iconv, when first used.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv {

// Converts UTF-8 text to CP932. Each character CP932 cannot hold becomes one '?'; an invalid
// UTF-8 byte becomes '?' too.
[[nodiscard]] std::string Cp932FromUtf8(std::string_view utf8);

// Converts CP932 text to UTF-8. Invalid bytes become U+FFFD; never throws.
[[nodiscard]] std::string Utf8FromCp932(std::string_view cp932);

// True when `text` is well-formed UTF-8: no stray continuation bytes, overlong forms, surrogates
// or code points above U+10FFFF. Plain ASCII is well-formed.
[[nodiscard]] bool IsValidUtf8(std::string_view text);

// Converts `bytes` written in `charset` (any name glibc's iconv knows, case-insensitive) to
// UTF-8; each invalid sequence becomes U+FFFD. False, with `*utf8` untouched, when iconv does
// not know the character set.
[[nodiscard]] bool Utf8FromCharset(const std::string& charset, std::string_view bytes,
                                   std::string* utf8);

// True when `c` is a CP932 lead byte (0x81-0x9F, 0xE0-0xFC).
[[nodiscard]] constexpr bool IsSjisLeadByte(unsigned char c) {
  return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Length of the longest prefix of `text` of at most `maxBytes` bytes that does not end in
// the middle of a double-byte character.
[[nodiscard]] size_t SjisCutLength(std::string_view text, size_t maxBytes);

// Copies `text` into the fixed field `dest` of `destSize` bytes (destSize >= 1), cut at a
// character boundary so that the terminating NUL always fits.
void CopySjisField(char* dest, size_t destSize, std::string_view text);

// The lines of `text`, split at each '\n' and without it; a '\r' before it stays. A '\n' at
// the end ends the last line (no empty line follows it). The views point into `text`.
[[nodiscard]] std::vector<std::string_view> SplitLines(std::string_view text);

}  // namespace qv

// CP932 text of a UTF-8 literal, converted once per call site: SJIS("画像キャプチャ").
#define SJIS(utf8literal)                                                   \
  ([]() -> const std::string& {                                             \
    static const std::string converted = ::qv::Cp932FromUtf8(utf8literal); \
    return converted;                                                       \
  }())
