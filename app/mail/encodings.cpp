#include "app/mail/encodings.h"

#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace {

constexpr char kEscapeToJis[] = "\x1b$B";
constexpr char kEscapeToAscii[] = "\x1b(B";
constexpr size_t kEscapeLength = 3;

// The text up to its first zero byte: the converters treat their input as a C string.
std::string_view UpToZero(std::string_view text) {
  size_t zero = text.find('\0');
  return zero == std::string_view::npos ? text : text.substr(0, zero);
}

unsigned char Byte(std::string_view text, size_t index) {
  return index < text.size() ? static_cast<unsigned char>(text[index]) : 0;
}

bool IsJisByte(unsigned char c) { return c >= 0x21 && c <= 0x7E; }

// Length of the escape sequence starting at `index` that switches ISO-2022-JP to JIS X 0208
// (ESC $ B, ESC $ @) or back to ASCII (ESC ( B, ESC ( J); 0 when there is none.
enum class Switch { kNone, kToJis, kToAscii };
Switch SwitchAt(std::string_view text, size_t index) {
  if (Byte(text, index) != 0x1B) return Switch::kNone;
  unsigned char second = Byte(text, index + 1);
  unsigned char third = Byte(text, index + 2);
  if (second == '$' && (third == 'B' || third == '@')) return Switch::kToJis;
  if (second == '(' && (third == 'B' || third == 'J')) return Switch::kToAscii;
  return Switch::kNone;
}

// Longest prefix of ISO-2022-JP `text` that, closed with ESC ( B when it ends in JIS X 0208
// mode, fits in `limit` bytes; returned closed. Text that fits whole is returned unchanged.
std::string CutJisText(std::string_view text, size_t limit) {
  if (text.size() <= limit) return std::string(text);
  bool inJis = false;
  size_t position = 0;
  size_t best = 0;
  bool bestInJis = false;
  while (position < text.size()) {
    size_t unit = 1;
    bool nextInJis = inJis;
    Switch change = SwitchAt(text, position);
    if (change != Switch::kNone) {
      unit = kEscapeLength;
      nextInJis = change == Switch::kToJis;
    } else if (inJis && IsJisByte(Byte(text, position))) {
      unit = 2;
    }
    if (position + unit > text.size()) break;
    size_t closing = nextInJis ? kEscapeLength : 0;
    if (position + unit + closing > limit) break;
    position += unit;
    inJis = nextInJis;
    best = position;
    bestInJis = inJis;
  }
  std::string result(text.substr(0, best));
  if (bestInJis) result += kEscapeToAscii;
  return result;
}

// Decodes groups of four base64 characters of `text` into three bytes each, at most
// `maxGroups` groups.
std::string DecodeGroups(std::string_view text, size_t maxGroups) {
  std::string bytes;
  size_t groups = (text.size() + 3) / 4;
  if (groups > maxGroups) groups = maxGroups;
  bytes.reserve(groups * 3);
  for (size_t group = 0; group < groups; ++group) {
    int values[4];
    for (int k = 0; k < 4; ++k) {
      size_t index = group * 4 + static_cast<size_t>(k);
      values[k] = index < text.size() ? Base64Value(text[index]) : 0;
    }
    bytes.push_back(static_cast<char>((values[0] << 2 | values[1] >> 4) & 0xFF));
    bytes.push_back(static_cast<char>((values[1] << 4 | values[2] >> 2) & 0xFF));
    bytes.push_back(static_cast<char>((values[2] << 6 | values[3]) & 0xFF));
  }
  return bytes;
}

void AppendBase64(std::string& out, const unsigned char* bytes, size_t size) {
  size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    out += Base64Char(bytes[i] >> 2);
    out += Base64Char((bytes[i] & 0x03) << 4 | bytes[i + 1] >> 4);
    out += Base64Char((bytes[i + 1] & 0x0F) << 2 | bytes[i + 2] >> 6);
    out += Base64Char(bytes[i + 2] & 0x3F);
  }
  if (size - i == 1) {
    out += Base64Char(bytes[i] >> 2);
    out += Base64Char((bytes[i] & 0x03) << 4);
    out += "==";
  } else if (size - i == 2) {
    out += Base64Char(bytes[i] >> 2);
    out += Base64Char((bytes[i] & 0x03) << 4 | bytes[i + 1] >> 4);
    out += Base64Char((bytes[i + 1] & 0x0F) << 2);
    out += '=';
  }
}


// Full-width forms (CP932 codes) of the half-width katakana 0xA1..0xDF, in byte order.
constexpr unsigned short kWideKana[0xE0 - 0xA1] = {
    0x8142, 0x8175, 0x8176, 0x8141, 0x8145, 0x8392, 0x8340, 0x8342, 0x8344, 0x8346, 0x8348,
    0x8383, 0x8385, 0x8387, 0x8362, 0x815B, 0x8341, 0x8343, 0x8345, 0x8347, 0x8349, 0x834A,
    0x834C, 0x834E, 0x8350, 0x8352, 0x8354, 0x8356, 0x8358, 0x835A, 0x835C, 0x835E, 0x8360,
    0x8363, 0x8365, 0x8367, 0x8369, 0x836A, 0x836B, 0x836C, 0x836D, 0x836E, 0x8371, 0x8374,
    0x8377, 0x837A, 0x837D, 0x837E, 0x8380, 0x8381, 0x8382, 0x8384, 0x8386, 0x8388, 0x8389,
    0x838A, 0x838B, 0x838C, 0x838D, 0x838F, 0x8393, 0x814A, 0x814B};
constexpr unsigned char kVoicedMark = 0xDE;      // half-width dakuten
constexpr unsigned char kSemiVoicedMark = 0xDF;  // half-width handakuten

bool IsHalfWidthKana(unsigned char c) { return c >= 0xA1 && c <= 0xDF; }

// The CP932 code of the full-width form of the half-width katakana at `i`, joined with a
// following voiced or semi-voiced mark where a full-width letter for the pair exists (ka to
// to and ha to ho take the voiced mark as the next code, ha to ho the semi-voiced one as the
// code after that, u becomes vu). `*width` receives the bytes taken.
unsigned int WidenKana(std::string_view text, size_t i, size_t* width) {
  unsigned char c = Byte(text, i);
  unsigned int wide = kWideKana[c - 0xA1];
  unsigned char mark = Byte(text, i + 1);
  *width = 1;
  bool kaToTo = c >= 0xB6 && c <= 0xC4;
  bool haToHo = c >= 0xCA && c <= 0xCE;
  if (mark == kVoicedMark && (kaToTo || haToHo)) {
    *width = 2;
    return wide + 1;
  }
  if (mark == kVoicedMark && c == 0xB3) {
    *width = 2;
    return 0x8394;  // vu
  }
  if (mark == kSemiVoicedMark && haToHo) {
    *width = 2;
    return wide + 2;
  }
  return wide;
}

// One character of outgoing Shift_JIS text: its JIS X 0208 code (0 for a single byte) and
// the bytes it takes (0 for a double-byte character without a JIS X 0208 code).
struct OutgoingChar {
  unsigned int jis = 0;
  size_t width = 1;
};

// Half-width katakana leave as their full-width forms (the practice of Japanese mailers), so
// every text written in ISO-2022-JP is 7-bit clean.
OutgoingChar NextOutgoingChar(std::string_view text, size_t i) {
  unsigned char c = Byte(text, i);
  OutgoingChar next;
  if (qv::IsSjisLeadByte(c)) {
    next.jis = i + 1 < text.size() ? qv::_mbcjmstojis(c << 8 | Byte(text, i + 1)) : 0;
    next.width = next.jis != 0 ? 2 : 0;
  } else if (IsHalfWidthKana(c)) {
    next.jis = qv::_mbcjmstojis(WidenKana(text, i, &next.width));
  }
  return next;
}

// ISO-2022-JP (and its relatives: raw JIS in a header, ESC ( I half-width katakana) as CP932,
// with none of the quirks of JisToSjis: '=' and line ends are kept, a character without a
// CP932 code becomes '?' and the text goes on. Characters of sets CP932 lacks (JIS X 0212,
// JIS X 0213 plane 2) become '?'.
std::string Iso2022JpToCp932(std::string_view text) {
  enum class Mode { kAscii, kJis0208, kKana, kOtherDoubleByte };
  Mode mode = Mode::kAscii;
  std::string out;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = Byte(text, i);
    if (c == 0x1B) {
      std::string_view rest = text.substr(i + 1, 3);
      if (rest.starts_with("$B") || rest.starts_with("$@") || rest.starts_with("$(B") ||
          rest.starts_with("$(Q") || rest.starts_with("$(O")) {
        mode = rest[1] == '(' && rest[2] != 'B' ? Mode::kOtherDoubleByte : Mode::kJis0208;
        // JIS X 0213 plane 1 shares its first 94 x 94 layout with JIS X 0208.
        if (rest[1] == '(' && (rest[2] == 'Q' || rest[2] == 'O')) mode = Mode::kJis0208;
        i += rest[1] == '(' ? 4 : 3;
      } else if (rest.starts_with("$(D") || rest.starts_with("$(P") || rest.starts_with("$A")) {
        mode = Mode::kOtherDoubleByte;
        i += rest[1] == '(' ? 4 : 3;
      } else if (rest.starts_with("(B") || rest.starts_with("(J")) {
        mode = Mode::kAscii;
        i += 3;
      } else if (rest.starts_with("(I")) {
        mode = Mode::kKana;
        i += 3;
      } else {
        ++i;  // an escape this reader does not know: dropped
      }
      continue;
    }
    if ((mode == Mode::kJis0208 || mode == Mode::kOtherDoubleByte) && IsJisByte(c)) {
      unsigned int sjis = 0;
      if (mode == Mode::kJis0208 && i + 1 < text.size()) {
        sjis = qv::_mbcjistojms(c << 8 | Byte(text, i + 1));
      }
      if (sjis != 0) {
        out += static_cast<char>(sjis >> 8);
        out += static_cast<char>(sjis & 0xFF);
      } else {
        out += '?';
      }
      i += 2;
      continue;
    }
    if (mode == Mode::kKana && c >= 0x21 && c <= 0x5F) {
      out += static_cast<char>(c + 0x80);
    } else {
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

std::string LowerCase(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// Bytes in the character set `charset` (RFC 2231 language suffix allowed) as CP932. False when
// the character set is unknown.
bool CharsetToCp932(std::string_view charset, std::string_view bytes, std::string* cp932) {
  std::string name = LowerCase(charset.substr(0, charset.find('*')));
  if (name.starts_with("iso-2022-jp") || name == "csiso2022jp") {
    *cp932 = Iso2022JpToCp932(bytes);
    return true;
  }
  // Japanese handsets label CP932 text with every name of Shift_JIS; CP932 is its superset.
  static constexpr std::string_view kShiftJisNames[] = {
      "shift_jis", "shift-jis", "sjis",  "x-sjis",       "csshiftjis", "ms_kanji",
      "windows-31j", "cswindows31j", "cp932", "x-ms-cp932", "ms932"};
  for (std::string_view known : kShiftJisNames) {
    if (name == known) {
      *cp932 = std::string(bytes);
      return true;
    }
  }
  if (name == "us-ascii" || name == "ascii") {
    *cp932 = std::string(bytes);
    return true;
  }
  std::string utf8;
  if (!qv::Utf8FromCharset(name, bytes, &utf8)) return false;
  *cp932 = qv::Cp932FromUtf8(utf8);
  return true;
}

// Header text outside encoded words: raw JIS escapes are read as ISO-2022-JP, other 8-bit
// bytes as UTF-8 when they are well-formed UTF-8 (RFC 6532), else as CP932.
std::string RawHeaderTextToCp932(std::string_view text) {
  if (text.find('\x1B') != std::string_view::npos) return Iso2022JpToCp932(text);
  bool ascii = true;
  for (unsigned char c : text) ascii = ascii && c < 0x80;
  if (!ascii && qv::IsValidUtf8(text)) return qv::Cp932FromUtf8(text);
  return std::string(text);
}

// Decodes the "Q" encoding of RFC 2047 4.2: '_' is a blank, "=XX" a byte in hex.
std::string DecodeQ(std::string_view text) {
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  std::string bytes;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '_') {
      bytes += ' ';
    } else if (text[i] == '=' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
               hex(text[i + 2]) >= 0) {
      bytes += static_cast<char>(hex(text[i + 1]) << 4 | hex(text[i + 2]));
      i += 2;
    } else {
      bytes += text[i];
    }
  }
  return bytes;
}

// Longest character set name and encoded text read as a word. RFC 2047 allows 75 characters in
// all; handsets and old mailers write longer words, but none this long.
constexpr size_t kMaxCharsetName = 64;
constexpr size_t kMaxEncodedText = 4096;

// One encoded word "=?charset?B|Q?text?=" found in a header value.
struct EncodedWord {
  size_t begin = 0;  // offset of "=?"
  size_t end = 0;    // offset just past "?="
  std::string_view charset;
  std::string bytes;  // the decoded bytes, still in `charset`
};

// The encoded word starting at `at` ("=?"), if there is a well-formed one.
bool ReadEncodedWord(std::string_view value, size_t at, EncodedWord* word) {
  // Both parts end at the first byte that cannot stand in them, so no candidate looks further
  // than one word's length ahead: a header full of "=?" costs linear time.
  auto tokenEnd = [&value](size_t from, size_t limit) {
    size_t end = from;
    while (end < value.size() && end - from < limit) {
      unsigned char c = static_cast<unsigned char>(value[end]);
      if (c <= ' ' || c >= 0x7F || c == '?') break;
      ++end;
    }
    return end;
  };
  size_t charsetEnd = tokenEnd(at + 2, kMaxCharsetName);
  if (charsetEnd == at + 2 || charsetEnd >= value.size() || value[charsetEnd] != '?') return false;
  if (charsetEnd + 2 >= value.size() || value[charsetEnd + 2] != '?') return false;
  char encoding = value[charsetEnd + 1];
  if (encoding != 'B' && encoding != 'b' && encoding != 'Q' && encoding != 'q') return false;
  size_t textBegin = charsetEnd + 3;
  size_t textEnd = tokenEnd(textBegin, kMaxEncodedText);
  if (textEnd + 1 >= value.size() || value[textEnd] != '?' || value[textEnd + 1] != '=') return false;
  std::string_view charset = value.substr(at + 2, charsetEnd - at - 2);
  std::string_view text = value.substr(textBegin, textEnd - textBegin);
  word->begin = at;
  word->end = textEnd + 2;
  word->charset = charset;
  if (encoding == 'B' || encoding == 'b') {
    // Padding and anything past it carry no data.
    std::string_view data = text.substr(0, text.find('='));
    std::string decoded = DecodeGroups(data, data.size());
    decoded.resize(data.size() * 3 / 4);
    word->bytes = std::move(decoded);
  } else {
    word->bytes = DecodeQ(text);
  }
  return true;
}

bool IsBlankText(std::string_view text) {
  return text.find_first_not_of(" \t\r\n") == std::string_view::npos;
}
}  // namespace

char Base64Char(int value) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  return value >= 0 && value <= 63 ? kAlphabet[value] : '=';
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return 0;
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  AppendBase64(out, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  return out;
}

std::string Base64Decode(std::string_view text) { return DecodeGroups(text, text.size()); }

std::string EncodeWord(std::string_view jisText) {
  std::string input = CutJisText(UpToZero(jisText), kEncodeWordInputLimit);
  std::string word = kEncodedWordPrefix;
  AppendBase64(word, reinterpret_cast<const unsigned char*>(input.data()), input.size());
  word += kEncodedWordSuffix;
  return word;
}

std::string DecodeWord(std::string_view value) {
  std::string upper(value);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  size_t prefix = upper.find(kEncodedWordPrefix);
  if (prefix == std::string::npos) return std::string(value);
  size_t start = prefix + std::strlen(kEncodedWordPrefix);
  size_t end = value.find(kEncodedWordSuffix, start);
  if (end == std::string_view::npos) end = value.size();
  std::string bytes = DecodeGroups(value.substr(start, end - start), kCodecTextLimit / 3);
  return std::string(UpToZero(bytes));
}

std::string DecodeHeaderText(std::string_view value) {
  std::string out;
  size_t position = 0;
  // A run of encoded words in one character set is decoded as one text, so a character split
  // over two words (as handsets split long UTF-8 subjects) comes out whole.
  std::string runCharset;
  std::string runBytes;
  std::string runRaw;  // the words as written, shown when their character set is unknown
  auto flushRun = [&]() {
    if (runCharset.empty()) return;
    std::string decoded;
    out += CharsetToCp932(runCharset, runBytes, &decoded) ? decoded : runRaw;
    runCharset.clear();
    runBytes.clear();
    runRaw.clear();
  };
  while (position < value.size()) {
    size_t candidate = value.find("=?", position);
    EncodedWord word;
    while (candidate != std::string_view::npos && !ReadEncodedWord(value, candidate, &word)) {
      candidate = value.find("=?", candidate + 1);
    }
    std::string_view between = value.substr(position, candidate == std::string_view::npos
                                                           ? std::string_view::npos
                                                           : candidate - position);
    if (candidate == std::string_view::npos) {
      flushRun();
      out += RawHeaderTextToCp932(between);
      break;
    }
    // RFC 2047 6.2: white space between two encoded words is not displayed.
    bool joinsRun = !runCharset.empty() && IsBlankText(between);
    if (!joinsRun) {
      flushRun();
      out += RawHeaderTextToCp932(between);
    }
    std::string charset = LowerCase(word.charset.substr(0, word.charset.find('*')));
    if (!runCharset.empty() && charset != runCharset) flushRun();
    runCharset = charset;
    runBytes += word.bytes;
    runRaw += std::string(value.substr(word.begin, word.end - word.begin));
    position = word.end;
  }
  flushRun();
  out.resize(qv::SjisCutLength(out, kCodecTextLimit));
  return out;
}

std::string SjisToJis(std::string_view sjisText) {
  std::string_view text = UpToZero(sjisText);
  std::string out;
  bool inJis = false;
  size_t i = 0;
  while (i < text.size()) {
    OutgoingChar next = NextOutgoingChar(text, i);
    if (next.width == 0) break;  // a double-byte character without a JIS X 0208 code
    if (next.jis != 0) {
      size_t needed = (inJis ? 0 : kEscapeLength) + 2 + kEscapeLength;
      if (out.size() + needed > kCodecTextLimit) break;
      if (!inJis) out += kEscapeToJis;
      inJis = true;
      out += static_cast<char>(next.jis >> 8);
      out += static_cast<char>(next.jis & 0xFF);
      i += next.width;
      if (i >= text.size() || NextOutgoingChar(text, i).jis == 0) {
        out += kEscapeToAscii;
        inJis = false;
      }
      continue;
    }
    if (out.size() + 1 > kCodecTextLimit) break;
    unsigned char c = Byte(text, i);
    if (c == '\r') {
      out += '\n';
      // Only the LF of a CR LF pair is swallowed; a lone CR keeps the byte after it.
      i += Byte(text, i + 1) == '\n' ? 2 : 1;
      continue;
    }
    // ISO-2022-JP is 7-bit: a byte that is no character of CP932 becomes '?', and so does
    // ESC, which would switch the text's mode where the source switched none.
    out += c < 0x80 && c != 0x1B ? static_cast<char>(c) : '?';
    ++i;
  }
  if (inJis) out += kEscapeToAscii;
  return out;
}

std::string JisToSjis(std::string_view jisText) {
  std::string_view text = UpToZero(jisText);
  std::string out;
  bool inJis = false;
  size_t i = 0;
  while (i < text.size()) {
    Switch change = SwitchAt(text, i);
    if (change != Switch::kNone) {
      inJis = change == Switch::kToJis;
      i += kEscapeLength;
      continue;
    }
    unsigned char c = Byte(text, i);
    if (inJis && IsJisByte(c)) {
      unsigned int sjis = i + 1 < text.size() ? qv::_mbcjistojms(c << 8 | Byte(text, i + 1)) : 0;
      if (sjis == 0 || out.size() + 2 > kCodecTextLimit) break;
      out += static_cast<char>(sjis >> 8);
      out += static_cast<char>(sjis & 0xFF);
      i += 2;
      continue;
    }
    if (c == '\n' && (i == 0 || text[i - 1] != '\r')) {
      if (out.size() + 2 > kCodecTextLimit) break;
      out += "\r\n";
    } else if (c != '=') {
      if (out.size() + 1 > kCodecTextLimit) break;
      out += static_cast<char>(c);
    }
    ++i;
  }
  return out;
}

int FileToBase64(const char* sourcePath, const char* destinationPath) {
  if (!sourcePath || !destinationPath) return 0;
  FILE* source = std::fopen(sourcePath, "rb");
  if (!source) return 0;
  FILE* destination = std::fopen(destinationPath, "wb");
  if (!destination) {
    std::fclose(source);
    return 0;
  }
  // Blocks of a multiple of three bytes, so only the last block can need padding.
  constexpr size_t kBlock = 3 * 16384;
  std::string buffer(kBlock, '\0');
  std::string encoded;
  bool ok = true;
  for (;;) {
    size_t filled = 0;
    while (filled < kBlock) {
      size_t n = std::fread(buffer.data() + filled, 1, kBlock - filled, source);
      if (n == 0) break;
      filled += n;
    }
    if (std::ferror(source)) {
      ok = false;
      break;
    }
    if (filled == 0) break;
    encoded.clear();
    AppendBase64(encoded, reinterpret_cast<const unsigned char*>(buffer.data()), filled);
    if (std::fwrite(encoded.data(), 1, encoded.size(), destination) != encoded.size()) {
      ok = false;
      break;
    }
    if (filled < kBlock) break;
  }
  std::fclose(source);
  if (std::fclose(destination) != 0) ok = false;
  if (!ok) {
    // A partial text would pass the caller's size test: leave the destination empty.
    if (FILE* emptied = std::fopen(destinationPath, "wb")) std::fclose(emptied);
    return 0;
  }
  return 1;
}

namespace qv {

unsigned int _mbcjmstojis(unsigned int sjis) {
  unsigned int lead = (sjis >> 8) & 0xFF;
  unsigned int trail = sjis & 0xFF;
  if (sjis > 0xFFFF || !IsSjisLeadByte(static_cast<unsigned char>(lead))) return 0;
  if (trail < 0x40 || trail == 0x7F || trail > 0xFC) return 0;
  // Each lead byte covers two JIS rows: trail bytes 0x40..0x9E the odd row, 0x9F..0xFC the
  // even one; 0x7F is not used, so the cells above it shift down by one.
  unsigned int pairIndex = (lead >= 0xE0 ? lead - 0x40 : lead) - 0x81;
  unsigned int row;
  unsigned int cell;
  if (trail >= 0x9F) {
    row = pairIndex * 2 + 2;
    cell = trail - 0x9F + 1;
  } else {
    row = pairIndex * 2 + 1;
    cell = trail - 0x40 + 1 - (trail > 0x7F ? 1 : 0);
  }
  if (row > 94) return 0;
  return (row + 0x20) << 8 | (cell + 0x20);
}

unsigned int _mbcjistojms(unsigned int jis) {
  unsigned int high = (jis >> 8) & 0xFF;
  unsigned int low = jis & 0xFF;
  if (jis > 0xFFFF || high < 0x21 || high > 0x7E || low < 0x21 || low > 0x7E) return 0;
  unsigned int row = high - 0x20;
  unsigned int cell = low - 0x20;
  unsigned int lead = (row + 1) / 2 + 0x80;
  if (lead >= 0xA0) lead += 0x40;
  unsigned int trail;
  if (row % 2 == 1) {
    trail = cell + 0x3F;
    if (trail >= 0x7F) ++trail;
  } else {
    trail = cell + 0x9E;
  }
  return lead << 8 | trail;
}

}  // namespace qv
