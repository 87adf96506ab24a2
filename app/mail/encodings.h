// The codecs at the boundary between Quorvex's Shift_JIS (CP932) text and the mail world:
// base64 (RFC 2045 alphabet), the RFC 2047 "B" encoded word for ISO-2022-JP header texts,
// Shift_JIS <-> ISO-2022-JP (RFC 1468), and the base64 text of a whole file.
//
// Every function works on byte strings and knows nothing of mail structure. All input is
// untrusted (it comes from mails and files): no input makes a function read or write out of
// bounds, throw, or produce more than its stated bound.
//
// The text converters model the system's fixed 1024-byte buffers: a result is at most
// kCodecTextLimit bytes (1023, leaving room for the terminating zero). Longer input is cut at
// a character boundary, never in the middle of a double-byte character or an escape sequence,
// and an ISO-2022-JP result always ends in ASCII mode.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Size of the converters' buffers, terminating zero included.
inline constexpr size_t kCodecBufferSize = 1024;
// Longest text a converter returns.
inline constexpr size_t kCodecTextLimit = kCodecBufferSize - 1;
// Longest input of EncodeWord: the prefix, 4 characters per 3 bytes, the suffix and the
// terminating zero fill exactly 1024 bytes at 753 input bytes.
inline constexpr size_t kEncodeWordInputLimit = 753;

inline constexpr char kEncodedWordPrefix[] = "=?ISO-2022-JP?B?";
inline constexpr char kEncodedWordSuffix[] = "?=";

// The alphabet character of a 6-bit value; any value outside 0..63 gives '='.
[[nodiscard]] char Base64Char(int value);
// The 6-bit value of one character; 0 for '=' and for any character outside the alphabet.
[[nodiscard]] int Base64Value(char c);

// Base64 text of `bytes`, four characters per group of three bytes, with '=' padding, on one
// line. No length limit.
[[nodiscard]] std::string Base64Encode(std::string_view bytes);

// Decodes `text` in groups of four characters from the start; a group running past the end
// takes 0 for its missing characters and every group yields exactly three bytes. Padding and
// missing characters therefore become zero bytes (kept in the result), so unpadded text and
// padded text read the same as a zero-terminated string. Characters outside the alphabet
// count as 0. No length limit.
[[nodiscard]] std::string Base64Decode(std::string_view text);

// One encoded word "=?ISO-2022-JP?B?...?=" of `jisText` up to its first zero byte, with no
// folding. Input longer than kEncodeWordInputLimit bytes is cut first at an ISO-2022-JP
// character boundary (and closed with ESC ( B when the cut falls in double-byte mode), so the
// word always fits the 1024-byte buffer (at most kCodecTextLimit characters).
[[nodiscard]] std::string EncodeWord(std::string_view jisText);

// The bytes of the first "=?ISO-2022-JP?B?...?=" encoded word in `value` (prefix matched
// without regard to case), up to the first zero byte of the decoded bytes; text before and
// after the word is dropped. A word without its closing "?=" runs to the end of `value`.
// `value` is returned unchanged when it has no such prefix. The decoded result is at most
// kCodecTextLimit bytes; longer encoded text is cut at a group of four characters.
[[nodiscard]] std::string DecodeWord(std::string_view value);

// The text of a header field value (unfolded, untrusted) in CP932, as a mail reader shows it
// (RFC 2047): encoded words "=?charset?B?...?=" and "=?charset?Q?...?=" in any character set
// iconv knows (names and encodings in any case, an RFC 2231 language suffix allowed) are
// decoded, adjacent words joined without the white space between them, and a run of words in
// one character set decoded as one text. ISO-2022-JP (raw JIS text too) is read by this
// code's own converter, so every JIS X 0208 row CP932 has arrives; text labelled Shift_JIS is
// taken as CP932. Unencoded 8-bit bytes are read as UTF-8 when well-formed, else as CP932.
// Characters CP932 lacks become '?'; words in an unknown character set stay as written. The
// result is at most kCodecTextLimit bytes, cut at a character boundary.
[[nodiscard]] std::string DecodeHeaderText(std::string_view value);

// Shift_JIS text (up to its first zero byte) as ISO-2022-JP: every run of double-byte
// characters is wrapped in ESC $ B ... ESC ( B, CR LF (and a CR with whatever byte follows it)
// becomes LF. Half-width katakana go out as their full-width forms (a following voiced or
// semi-voiced mark joined where CP932 has the letter), so the result is 7-bit clean; any other
// byte of 0x80 or more that starts no character, and ESC, becomes '?'. A double-byte
// character without a JIS X 0208 code, or a lead byte at the very end, ends the text there
// (closed with ESC ( B). At most kCodecTextLimit bytes, cut before the character that would not fit
// together with the closing escape.
[[nodiscard]] std::string SjisToJis(std::string_view sjisText);

// ISO-2022-JP text (up to its first zero byte) as Shift_JIS: ESC $ B / ESC $ @ enter and
// ESC ( B / ESC ( J leave double-byte mode, a bare LF becomes CR LF, every '=' is dropped,
// other bytes are copied. A pair without a Shift_JIS code, or a lone byte at the end in
// double-byte mode, ends the text there. At most kCodecTextLimit bytes, cut at a character
// boundary (a CR LF pair is not split).
[[nodiscard]] std::string JisToSjis(std::string_view jisText);

// Writes the base64 text of the file `sourcePath` into `destinationPath` as one unbroken line
// with '=' padding, replacing the destination's contents. Returns 1 on success. When the source
// cannot be read nothing is written and 0 is returned; when writing fails the destination is
// left empty and 0 is returned (callers judge success by the destination's size). Any file
// size; the source is streamed, not held whole in memory.
int FileToBase64(const char* sourcePath, const char* destinationPath);

namespace qv {

// The runtime library's code conversions, as arithmetic (they are in a namespace because
// names beginning with an underscore are reserved at global scope).
//
// _mbcjmstojis: a Shift_JIS double-byte code (lead byte in the high byte) to its JIS X 0208
// code (row byte high, cell byte low, each 0x21..0x7E). Returns 0 when `sjis` is not a valid
// lead/trail pair or lies beyond JIS row 94 (user-defined and IBM extension area 0xF040 up).
[[nodiscard]] unsigned int _mbcjmstojis(unsigned int sjis);
// _mbcjistojms: a JIS X 0208 code (both bytes 0x21..0x7E) to its Shift_JIS code; 0 otherwise.
[[nodiscard]] unsigned int _mbcjistojms(unsigned int jis);

}  // namespace qv
