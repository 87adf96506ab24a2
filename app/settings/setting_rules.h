// What a setting may hold: the ranges and text forms that the settings pages and the command
// line accept before anything is written, and the stored form of the multi-line texts.
//
// The load routines do not apply these rules (a hand-edited file is loaded as it is); the
// writers apply them, so that Quorvex itself never writes what its pages would refuse.
#pragma once

#include <string>
#include <string_view>

namespace qv {

inline constexpr int kPreviewRateCount = 7;  // PreviewRate 0..6
inline constexpr int kMailTimerMin = 1;      // minutes
inline constexpr int kMailTimerMax = 10;
inline constexpr int kPortMin = 1;
inline constexpr int kPortMax = 65535;
inline constexpr int kDefaultPopPort = 110;
inline constexpr int kDefaultSmtpPort = 25;
inline constexpr int kLogKeepDaysDefault = 90;  // days a daily log file is kept; 0 keeps every file
inline constexpr int kLogKeepDaysMax = 3650;

// Picture profile ranges of the picture page.
inline constexpr int kWidthMin = 32;   // and a multiple of 4
inline constexpr int kWidthMax = 640;
inline constexpr int kHeightMin = 32;
inline constexpr int kHeightMax = 480;
inline constexpr int kPngQualityMax = 9;    // PNG 0..9 (zlib level)
inline constexpr int kJpegQualityMin = 1;   // JPEG 1..20, shown and encoded as 5x
inline constexpr int kJpegQualityMax = 20;
inline constexpr int kColQualityMax = 4;    // 0..4
inline constexpr int kColorCodeMin = 1;     // colour-count codes 1..36
inline constexpr int kColorCodeMax = 36;
inline constexpr int kContrastMax = 16;     // 0..16, shown as 8x
inline constexpr int kLightMin = -8;        // -8..8, shown as 8x
inline constexpr int kLightMax = 8;

// Every stored text value is read back through a 256-byte buffer.
inline constexpr size_t kStoredValueBytes = 255;

// The rule that a width typed on the picture page ends up as: `typed` held to 32..640, then
// raised to the next multiple of 4.
[[nodiscard]] int PictureWidthFrom(int typed);

// The colour count a colour-count code stands for, as the picture page labels it (UTF-8):
// 8 x code for 1..32 ("8" ... "256"), "4096" for 33, "3万", "6万", "16万" for 34..36, the code
// itself for anything else.
[[nodiscard]] std::string ColorCountLabel(int code);

// True when `text` holds a byte of 0x80 or above (anything but single-byte ASCII).
[[nodiscard]] bool HasNonAsciiByte(std::string_view text);

// The form checks of a mail address, in the order they are made.
enum class AddressProblem {
  kNone,
  kNotAscii,        // a byte of 0x80 or above
  kNotAnAddress,    // no "@", "@" first or last, or a second "@" after the first
  kWildcardsLocal,  // address list entries only: more than one "*" before the "@"
  kWildcardsDomain, // address list entries only: more than one "*" after the "@"
};

// Checks a sender address of the mail settings (no "*" rule).
[[nodiscard]] AddressProblem CheckMailAddress(std::string_view address);
// Checks an entry of the sender address list: the same, and at most one "*" on each side of
// the "@".
[[nodiscard]] AddressProblem CheckAddressListEntry(std::string_view entry);

// Multi-line texts (MailText, SendName) are stored on one line: every CR is removed and every
// LF becomes "<BR>". StoredMultiLine makes the stored form; ShownMultiLine turns each "<BR>"
// back into CR LF. Both work on bytes and keep CP932 double-byte characters whole (no
// trail byte is a CR, LF or "<").
[[nodiscard]] std::string StoredMultiLine(std::string_view shown);
[[nodiscard]] std::string ShownMultiLine(std::string_view stored);

}  // namespace qv
