#include "app/mail/reply_message.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <string_view>
#include <vector>

#include "app/mail/encodings.h"
#include "app/mail/mail_message.h"
#include "platform/text.h"

namespace {

// RFC 5321 4.5.3.1.6: a text line is at most 1000 octets including CR LF.
constexpr size_t kMaxLineContent = 998;
// Base64 text of the attachment goes out in lines of this many characters.
constexpr size_t kBase64LineLength = 64;

constexpr std::string_view kBreakToken = "<BR>";

// The longest prefix of the ISO-2022-JP text `jis` (as SjisToJis writes it: escapes of three
// bytes, two-byte characters in JIS X 0208 mode) that, closed with ESC ( B when it ends in
// JIS X 0208 mode, is at most `maxBytes` long. Never splits an escape or a character.
std::string FitJisText(std::string_view jis, size_t maxBytes) {
  if (jis.size() <= maxBytes) return std::string(jis);
  static constexpr std::string_view kToAscii = "\x1B(B";
  size_t position = 0;
  size_t cut = 0;          // end of the longest fitting prefix so far
  bool cutInDouble = false;
  bool doubleByte = false;
  while (position < jis.size()) {
    size_t width = 1;
    bool nextDouble = doubleByte;
    if (jis[position] == '\x1B' && position + 2 < jis.size()) {
      width = 3;
      nextDouble = jis[position + 1] == '$';
    } else if (doubleByte) {
      width = position + 1 < jis.size() ? 2 : 1;
    }
    size_t end = position + width;
    size_t needed = end + (nextDouble ? kToAscii.size() : 0);
    if (needed > maxBytes) break;
    bool opensRun = width == 3 && nextDouble;
    position = end;
    doubleByte = nextDouble;
    // A cut right after ESC $ B would leave an empty run; the prefix before it is as good.
    if (!opensRun) {
      cut = position;
      cutInDouble = doubleByte;
    }
  }
  std::string result(jis.substr(0, cut));
  if (cutInDouble) result += kToAscii;
  return result;
}

// RFC 2047 2: an encoded word is at most 75 characters, and a header line that holds one at
// most 76. Words of at most this many characters fit every line this client writes: the
// longest field name prefix ("Subject: ") plus a word plus the blank that ends the subject.
constexpr size_t kMaxEncodedWord = 66;
constexpr size_t kEncodedWordOverhead = sizeof kEncodedWordPrefix - 1 + sizeof kEncodedWordSuffix - 1;
// ISO-2022-JP bytes one word carries: its base64 text holds 4 characters per 3 bytes.
constexpr size_t kJisBytesPerWord = (kMaxEncodedWord - kEncodedWordOverhead) / 4 * 3;

// Bytes of the character of Shift_JIS `text` at `i` as one unit: a double-byte character, a
// half-width katakana with its voiced or semi-voiced mark, or one byte.
size_t CharacterUnit(std::string_view text, size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  if (i + 1 >= text.size()) return 1;
  unsigned char next = static_cast<unsigned char>(text[i + 1]);
  if (qv::IsSjisLeadByte(c)) return 2;
  if (c >= 0xA1 && c <= 0xDF && (next == 0xDE || next == 0xDF)) return 2;
  return 1;
}

// The pieces a header text may be split into between two encoded words: characters, with a
// blank always kept together with the characters on both its sides. Readers treat a blank at
// the edge of an encoded word differently (some show it twice), so no word begins or ends
// with one. A piece too long for one word falls back to single characters.
std::vector<std::string_view> HeaderTextPieces(std::string_view text) {
  std::vector<std::string_view> pieces;
  size_t i = 0;
  while (i < text.size()) {
    size_t end = i + CharacterUnit(text, i);
    while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) {
      while (end < text.size() && (text[end] == ' ' || text[end] == '\t')) ++end;
      if (end < text.size()) end += CharacterUnit(text, end);
    }
    std::string_view piece = text.substr(i, end - i);
    if (SjisToJis(piece).size() <= kJisBytesPerWord) {
      pieces.push_back(piece);
    } else {
      for (size_t k = i; k < end; k += CharacterUnit(text, k)) {
        pieces.push_back(text.substr(k, CharacterUnit(text, k)));
      }
    }
    i = end;
  }
  return pieces;
}

// The encoded words of the Shift_JIS header text `sjisText` (RFC 2047, ISO-2022-JP, "B"):
// as many words as needed, each at most kMaxEncodedWord characters and each a whole
// ISO-2022-JP text that begins and ends in ASCII (RFC 1468), cut only between the pieces of
// HeaderTextPieces. A character without a JIS X 0208 code ends the text. Empty text gives no
// word.
std::vector<std::string> EncodedWords(std::string_view sjisText) {
  // A character without a JIS X 0208 code ends the text, as SjisToJis does.
  size_t length = 0;
  while (length < sjisText.size()) {
    size_t unit = CharacterUnit(sjisText, length);
    if (SjisToJis(sjisText.substr(length, unit)).empty()) break;
    length += unit;
  }
  std::vector<std::string> words;
  std::string chunk;     // Shift_JIS text of the word being filled
  std::string chunkJis;  // its ISO-2022-JP form
  for (std::string_view piece : HeaderTextPieces(sjisText.substr(0, length))) {
    std::string candidate = SjisToJis(chunk + std::string(piece));
    if (candidate.size() > kJisBytesPerWord && !chunk.empty()) {
      words.push_back(EncodeWord(chunkJis));
      chunk.clear();
      candidate = SjisToJis(piece);
    }
    chunk += piece;
    chunkJis = std::move(candidate);
  }
  if (!chunk.empty()) words.push_back(EncodeWord(chunkJis));
  return words;
}

// One header field of encoded words, folded (RFC 5322 2.2.3) so that each word stands on a
// line of its own: "Name: word1\r\n word2" ... `tail` follows the last word on its line when
// the line stays within 76 characters, else on a continuation line of its own.
std::string FoldedField(std::string_view name, const std::vector<std::string>& words,
                        const std::string& tail) {
  std::string field = std::string(name) + ":";
  size_t lineLength = field.size();
  for (const std::string& word : words) {
    if (&word != &words.front()) {
      field += "\r\n";
      lineLength = 0;
    }
    field += " " + word;
    lineLength += 1 + word.size();
  }
  if (!tail.empty()) {
    if (lineLength + tail.size() > 76 && !words.empty()) field += "\r\n";
    field += tail;
  }
  return field + "\r\n";
}

// An address field: the encoded display name and the address in angle brackets, or the bare
// address when there is no name (RFC 2047 5: the encoded word is a word of its own, so a blank
// stands between it and the '<').
std::string AddressField(std::string_view name, const std::string& sjisName,
                         const std::string& address) {
  std::vector<std::string> words = EncodedWords(sjisName);
  if (words.empty()) return std::string(name) + ": " + address + "\r\n";
  return FoldedField(name, words, " <" + address + ">");
}

// The body lines of one "<BR>" piece: converted to ISO-2022-JP, each line cut so that it fits
// a text line. A line break inside the converted piece (SjisToJis turns CR into LF) starts a
// line of its own, so no bare LF ever reaches the wire.
std::vector<std::string> BodyLines(std::string_view sjisPiece) {
  std::vector<std::string> lines;
  std::string jis = SjisToJis(sjisPiece);
  std::string_view rest = jis;
  for (;;) {
    size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    // RFC 5321 4.5.2: a line that begins with "." goes out with one more in front of it, so
    // it must fit one byte shorter.
    bool stuffed = !line.empty() && line.front() == '.';
    lines.push_back(FitJisText(line, kMaxLineContent - (stuffed ? 1 : 0)));
    if (lf == std::string_view::npos) break;
    rest.remove_prefix(lf + 1);
  }
  return lines;
}

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The media type of an attachment name, from its extension.
std::string MediaTypeOf(const std::string& attachmentName) {
  size_t dot = attachmentName.rfind('.');
  std::string extension = dot == std::string::npos ? "" : UpperCase(attachmentName.substr(dot));
  if (extension == ".JPG") return "image/jpeg";
  if (extension == ".BMP") return "image/bmp";
  if (extension == ".GIF") return "image/gif";
  return "image/png";
}

// A name safe inside a quoted header parameter: control characters, quotes and backslashes
// are dropped (they would end or escape the quoted string), the rest is cut to `maxBytes` at
// a character boundary.
std::string QuotableName(const std::string& name, size_t maxBytes) {
  std::string result;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '"' || c == '\\') continue;
    result += static_cast<char>(c);
  }
  result.resize(qv::SjisCutLength(result, maxBytes));
  return result;
}

// RFC 5322 3.3 date-time of `when` in local time with its numeric zone, in English names
// whatever the locale.
std::string MailDate(const std::tm& local) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  long offsetMinutes = local.tm_gmtoff / 60;
  char sign = offsetMinutes < 0 ? '-' : '+';
  if (offsetMinutes < 0) offsetMinutes = -offsetMinutes;
  char buffer[64];
  snprintf(buffer, sizeof buffer, "%s, %02d %s %04d %02d:%02d:%02d %c%02ld%02ld",
           kDays[local.tm_wday % 7], local.tm_mday, kMonths[local.tm_mon % 12],
           local.tm_year + 1900, local.tm_hour, local.tm_min, local.tm_sec, sign,
           offsetMinutes / 60, offsetMinutes % 60);
  return buffer;
}

// The domain for Message-ID: the sender address's domain when it is a plain host name,
// else "localhost".
std::string MessageIdDomain(const std::string& senderAddress) {
  size_t at = senderAddress.rfind('@');
  std::string domain = at == std::string::npos ? "" : senderAddress.substr(at + 1);
  if (domain.empty() || domain.size() > 255) return "localhost";
  for (char c : domain) {
    bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                 c == '.' || c == '-';
    if (!plain) return "localhost";
  }
  return domain;
}


std::string BoundaryFor(const std::tm& local) {
  char buffer[80];
  snprintf(buffer, sizeof buffer, "__++QUORVX__%04d%02d%02d%02d%02d%02d__MULTIPART++__",
           local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
           local.tm_sec);
  return buffer;
}

// Splits `text` at every "<BR>"; the last piece runs to the end, empty pieces are kept.
std::vector<std::string_view> SplitAtBreaks(std::string_view text) {
  std::vector<std::string_view> pieces;
  for (;;) {
    size_t token = text.find(kBreakToken);
    pieces.push_back(text.substr(0, token));
    if (token == std::string_view::npos) break;
    text.remove_prefix(token + kBreakToken.size());
  }
  return pieces;
}

// The picture part: its headers, the base64 text in lines of 64 characters (any line break in
// the text skipped, the last line possibly shorter), and the closing boundary.
std::string PicturePart(const std::string& base64, const std::string& pictureName, const std::string& boundary) {
  // The longer of the two name lines must still fit a text line.
  static constexpr size_t kDispositionPrefix = sizeof "Content-Disposition: attachment; filename=\"\"" - 1;
  const std::string shown = QuotableName(pictureName, kMaxLineContent - kDispositionPrefix);
  std::string part = "Content-Type: " + MediaTypeOf(pictureName) + "; name=\"" + shown + "\"\r\n";
  part += "Content-Disposition: attachment; filename=\"" + shown + "\"\r\n";
  part += "Content-Transfer-Encoding: base64\r\n\r\n";
  part.reserve(part.size() + base64.size() + base64.size() / kBase64LineLength * 2 + boundary.size() + 16);
  size_t lineLength = 0;
  for (char c : base64) {
    if (c == '\r' || c == '\n') continue;
    part += c;
    if (++lineLength == kBase64LineLength) {
      part += "\r\n";
      lineLength = 0;
    }
  }
  if (lineLength > 0) part += "\r\n";
  return part + "\r\n--" + boundary + "--\r\n";
}

}  // namespace

std::string BuildReplyMessage(const ReplyRecord& record) {
  const std::string boundary = BoundaryFor(record.date);
  const std::string senderName = CleanHeaderText(record.senderName);
  const std::string& sender = record.sender.text();
  std::string subject = CleanHeaderText(record.subject);
  if (subject.empty()) subject = SJIS("なし");

  std::string message = senderName.empty() ? "From: " + sender + "\r\n" : AddressField("From", senderName, sender);
  // The subject line ends in a blank before its line break, as this system has always sent it.
  message += FoldedField("Subject", EncodedWords(subject), " ");
  // A To line always: without one, readers show the reply as sent to undisclosed recipients.
  message += AddressField("To", CleanHeaderText(record.recipientName), record.recipient.text());
  message += "Date: " + MailDate(record.date) + "\r\n";
  message += "Message-ID: " + record.messageId + "\r\n";
  // RFC 3834 5: an automatic reply says so, so that other responders do not answer it.
  message += "Auto-Submitted: auto-replied\r\n";
  message += "X-Mailer: Quorvex\r\n";
  message += "MIME-Version: 1.0\r\n";
  message += "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n";
  message += "Content-Transfer-Encoding: 7bit\r\n\r\n";

  message += "--" + boundary + "\r\n";
  message += "Content-Type: text/plain; charset=\"ISO-2022-JP\"\r\n";
  message += "Content-Transfer-Encoding: 7bit\r\n\r\n";
  for (std::string_view piece : SplitAtBreaks(record.bodyText)) {
    for (const std::string& line : BodyLines(piece)) message += line + "\r\n";
  }
  // Without a picture the text part is followed by a bare boundary line, as replies have
  // always ended.
  message += "--" + boundary + "\r\n";
  if (record.picture) message += PicturePart(*record.picture, record.pictureName, boundary);
  return message + "\r\n";
}

std::tm LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
}

std::optional<std::string> ReadBase64File(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (path.empty() || !file) return std::nullopt;
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string NewMessageId(const std::tm& local, const CheckedAddress& sender) {
  // The time, the process and a random number keep two replies apart even within one second.
  static std::mt19937_64 generator{std::random_device{}()};
  static std::mutex generatorMutex;
  unsigned long long random;
  {
    std::lock_guard lock(generatorMutex);
    random = generator();
  }
  char buffer[128];
  snprintf(buffer, sizeof buffer, "<%04d%02d%02d%02d%02d%02d.%ld.%016llx.Quorvex@",
           local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
           local.tm_sec, static_cast<long>(getpid()), random);
  return buffer + MessageIdDomain(sender.text()) + ">";
}
