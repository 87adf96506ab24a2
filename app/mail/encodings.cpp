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

std::string SjisToJis(std::string_view sjisText) {
  std::string_view text = UpToZero(sjisText);
  std::string out;
  bool inJis = false;
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = Byte(text, i);
    if (qv::IsSjisLeadByte(c)) {
      unsigned int jis = i + 1 < text.size() ? qv::_mbcjmstojis(c << 8 | Byte(text, i + 1)) : 0;
      size_t needed = (inJis ? 0 : kEscapeLength) + 2 + kEscapeLength;
      if (jis == 0 || out.size() + needed > kCodecTextLimit) break;
      if (!inJis) out += kEscapeToJis;
      inJis = true;
      out += static_cast<char>(jis >> 8);
      out += static_cast<char>(jis & 0xFF);
      i += 2;
      if (!qv::IsSjisLeadByte(Byte(text, i))) {
        out += kEscapeToAscii;
        inJis = false;
      }
      continue;
    }
    if (out.size() + 1 > kCodecTextLimit) break;
    if (c == '\r') {
      out += '\n';
      // Only the LF of a CR LF pair is swallowed; a lone CR keeps the byte after it.
      i += Byte(text, i + 1) == '\n' ? 2 : 1;
      continue;
    }
    out += static_cast<char>(c);
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
