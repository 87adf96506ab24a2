// The SMTP half of CMailClient: one reply mail per connection (RFC 5321, HELO, no
// authentication), a two-part MIME mail (RFC 2045/2046) whose text is ISO-2022-JP (RFC 1468)
// and whose picture is a base64 attachment read from a prepared file.

#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <mutex>
#include <random>
#include <string_view>
#include <vector>

#include "app/mail/encodings.h"
#include "app/mail/mail_client.h"
#include "app/mail/mail_message.h"
#include "app/settings/activity_log.h"
#include "app/settings/setting_rules.h"
#include "platform/socket.h"
#include "platform/text.h"

namespace {

// RFC 5321 4.5.3.1.6: a text line is at most 1000 octets including CR LF.
constexpr size_t kMaxLineContent = 998;
// A reply is judged by its first line; a server that keeps talking past this is refused.
constexpr size_t kMaxReplyBytes = 64 * 1024;
// Base64 text of the attachment goes out in lines of this many characters.
constexpr size_t kBase64LineLength = 64;

constexpr std::string_view kBreakToken = "<BR>";

// True when `text` holds a byte that must never reach a command or header line: a control
// character (CR and LF above all, which would end the line early and let the rest be read
// as a command or a header of its own).
bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

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

// The body lines of one "<BR>" piece: converted to ISO-2022-JP, each line dot-stuffed and cut
// so that it fits a text line. A line break inside the converted piece (SjisToJis turns CR
// into LF) starts a line of its own, so no bare LF ever reaches the wire.
std::vector<std::string> BodyLines(std::string_view sjisPiece) {
  std::vector<std::string> lines;
  std::string jis = SjisToJis(sjisPiece);
  std::string_view rest = jis;
  for (;;) {
    size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    // RFC 5321 4.5.2: a line that begins with "." gets one more in front of it.
    bool stuffed = !line.empty() && line.front() == '.';
    std::string fitted = FitJisText(line, kMaxLineContent - (stuffed ? 1 : 0));
    lines.push_back(stuffed ? "." + fitted : fitted);
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

// RFC 5322 3.6.4: a unique id; the time, the process and a random number keep two replies
// apart even within one second.
std::string MessageId(const std::tm& local, const std::string& senderAddress) {
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
  return buffer + MessageIdDomain(senderAddress) + ">";
}

std::string BoundaryFor(const std::tm& local) {
  char buffer[80];
  snprintf(buffer, sizeof buffer, "__++QUORVX__%04d%02d%02d%02d%02d%02d__MULTIPART++__",
           local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
           local.tm_sec);
  return buffer;
}

std::tm LocalNow() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  return local;
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

// Whether the EHLO reply `reply` lists the extension `keyword` (RFC 5321 4.1.1.1: one per
// line after the first, its keyword first, in any case).
bool AnnouncesExtension(const std::string& reply, std::string_view keyword) {
  size_t lineStart = reply.find("\r\n");
  while (lineStart != std::string::npos && lineStart + 2 < reply.size()) {
    lineStart += 2;
    size_t lineEnd = reply.find("\r\n", lineStart);
    std::string_view line(reply.data() + lineStart,
                          (lineEnd == std::string::npos ? reply.size() : lineEnd) - lineStart);
    if (line.size() > 4) {
      std::string_view word = line.substr(4, line.find(' ', 4) - 4);
      if (UpperCase(std::string(word)) == keyword) return true;
    }
    lineStart = lineEnd;
  }
  return false;
}

}  // namespace

void CMailClient::SetSmtpParams(const char* server, const char* senderAddress,
                                const char* senderName, int port) {
  smtpServer_ = server ? server : "";
  senderAddress_ = senderAddress ? senderAddress : "";
  senderName_ = senderName ? senderName : "";
  smtpPort_ = port;
}

void CMailClient::SetReplyText(const char* subject, const char* bodyText) {
  subject_ = subject ? subject : "";
  bodyText_ = bodyText ? bodyText : "";
}

void CMailClient::SetAttachment(const char* base64File, const char* attachmentName) {
  base64File_ = base64File ? base64File : "";
  attachmentName_ = attachmentName ? attachmentName : "";
}

int CMailClient::ReadSmtpReply(qv::TcpConnection& connection, std::string* text) {
  // RFC 5321 4.2.1: a reply is one line "ddd text" or several "ddd-text" lines ending with a
  // "ddd text" line. The whole reply is read, so a reply split over several segments or
  // spread over several lines never leaves bytes behind to be taken as the next reply.
  std::string reply;
  size_t lineStart = 0;
  char buffer[1024];
  for (;;) {
    size_t lineEnd;
    while ((lineEnd = reply.find("\r\n", lineStart)) != std::string::npos) {
      std::string_view line(reply.data() + lineStart, lineEnd - lineStart);
      lineStart = lineEnd + 2;
      if (line.size() < 4 || line[3] != '-') {
        if (text) *text = reply.substr(0, lineStart);
        int code = 0;
        for (size_t i = 0; i < 3; ++i) {
          if (i >= reply.size() || reply[i] < '0' || reply[i] > '9') return 0;
          code = code * 10 + (reply[i] - '0');
        }
        return code;
      }
    }
    if (reply.size() >= kMaxReplyBytes) return 0;
    long received = connection.Receive(buffer, sizeof buffer);
    if (received <= 0) return 0;
    reply.append(buffer, static_cast<size_t>(received));
  }
}

int CMailClient::CheckSmtpReply(qv::TcpConnection& connection) {
  int code = ReadSmtpReply(connection, nullptr);
  return code == 220 || code == 250 || code == 354 || code == 221 ? 1 : 0;
}

void CMailClient::SetSmtpSecurity(int security, int auth, const char* userId,
                                  const char* password, const char* caFile) {
  smtpSecurity_ = qv::SecurityLevel(security);
  smtpAuth_ = auth;
  smtpUserId_ = userId ? userId : "";
  smtpPassword_ = password ? password : "";
  caFile_ = caFile ? caFile : "";
}

std::unique_ptr<qv::TcpConnection> CMailClient::SmtpConnect() {
  if (smtpServer_.empty() || HasControlCharacter(smtpServer_)) return nullptr;
  auto connection = std::make_unique<qv::TcpConnection>();
  if (!connection->Connect(smtpServer_, smtpPort_ & 0xFFFF)) return nullptr;
  // RFC 8314: submission over TLS from the first byte (port 465).
  if (smtpSecurity_ == 2 && !connection->StartTls(smtpServer_, caFile_)) {
    Log(LOG_SEND, SJIS("SMTP: ") + TlsFailureMessage(*connection));
    return nullptr;
  }
  if (!CheckSmtpReply(*connection)) {
    connection->Close();
    return nullptr;
  }
  return connection;
}

void CMailClient::SmtpClose(std::unique_ptr<qv::TcpConnection> connection) {
  if (connection) connection->Close();
}

std::string CMailClient::MakeBoundary() { return BoundaryFor(LocalNow()); }

bool CMailClient::SendAttachmentPart(qv::TcpConnection& connection,
                                     const std::string& base64File,
                                     const std::string& boundary,
                                     const std::string& attachmentName) {
  std::ifstream file(base64File, std::ios::binary);
  if (!file) return true;

  std::string shown = attachmentName.empty() ? base64File : attachmentName;
  // The longer of the two name lines must still fit a text line.
  static constexpr size_t kDispositionPrefix =
      sizeof "Content-Disposition: attachment; filename=\"\"" - 1;
  shown = QuotableName(shown, kMaxLineContent - kDispositionPrefix);
  bool sent = connection.SendAll("Content-Type: " + MediaTypeOf(attachmentName) + "; name=\"" +
                                 shown + "\"\r\n") &&
              connection.SendAll("Content-Disposition: attachment; filename=\"" + shown +
                                 "\"\r\n") &&
              connection.SendAll("Content-Transfer-Encoding: base64\r\n") &&
              connection.SendAll("\r\n");
  if (!sent) return false;

  // The file holds one unbroken line; any line break in it is skipped so that every line
  // sent has exactly 64 characters (the last one possibly fewer).
  std::string line;
  char buffer[4096];
  while (file.read(buffer, sizeof buffer) || file.gcount() > 0) {
    for (std::streamsize i = 0; i < file.gcount(); ++i) {
      if (buffer[i] == '\r' || buffer[i] == '\n') continue;
      line += buffer[i];
      if (line.size() == kBase64LineLength) {
        if (!connection.SendAll(line + "\r\n")) return false;
        line.clear();
      }
    }
  }
  if (!line.empty() && !connection.SendAll(line + "\r\n")) return false;
  return connection.SendAll("\r\n") && connection.SendAll("--" + boundary + "--\r\n");
}

int CMailClient::SmtpOpenSession(qv::TcpConnection& connection, bool needsUtf8) {
  if (HasControlCharacter(smtpServer_) || smtpServer_.size() > 255) return kSmtpUnsafeText;
  auto command = [&connection, this](const std::string& line) {
    return connection.SendAll(line) && CheckSmtpReply(connection) == 1;
  };
  // Without security, authentication or SMTPUTF8 the session opens as it always has.
  if (smtpSecurity_ == 0 && smtpAuth_ == 0 && !needsUtf8) {
    return command("HELO " + smtpServer_ + "\r\n") ? kSmtpSent : kSmtpRefused;
  }
  std::string extensions;
  auto ehlo = [&]() {
    return connection.SendAll("EHLO " + smtpServer_ + "\r\n") &&
           ReadSmtpReply(connection, &extensions) == 250;
  };
  if (!ehlo()) return kSmtpRefused;
  if (smtpSecurity_ == 1) {
    // RFC 3207: TLS before anything else is said; a server without STARTTLS gets nothing.
    if (!AnnouncesExtension(extensions, "STARTTLS")) {
      Log(LOG_SEND, SJIS("SMTPサーバーがSTARTTLSに対応していないため、送信しません。"));
      (void)command("QUIT\r\n");
      return kSmtpNoTls;
    }
    if (!connection.SendAll("STARTTLS\r\n") || ReadSmtpReply(connection, nullptr) != 220) {
      Log(LOG_SEND, SJIS("SMTPサーバーがSTARTTLSを受け付けませんでした。"));
      (void)command("QUIT\r\n");
      return kSmtpNoTls;
    }
    if (!connection.StartTls(smtpServer_, caFile_)) {
      Log(LOG_SEND, SJIS("SMTP: ") + TlsFailureMessage(connection));
      return kSmtpTlsFailed;
    }
    // RFC 3207 4.2: what the server said before TLS is forgotten; ask again.
    if (!ehlo()) return kSmtpRefused;
  }
  if (smtpAuth_ == 1) {
    int authenticated = SmtpAuthenticate(connection, extensions);
    if (authenticated != kSmtpSent) {
      (void)command("QUIT\r\n");
      return authenticated;
    }
  }
  if (needsUtf8 && !AnnouncesExtension(extensions, "SMTPUTF8")) {
    // RFC 6531: a local part beyond ASCII goes out only to a server that announces SMTPUTF8.
    (void)command("QUIT\r\n");
    return kSmtpNoUtf8Support;
  }
  return kSmtpSent;
}

int CMailClient::SmtpAuthenticate(qv::TcpConnection& connection, const std::string& extensions) {
  // RFC 4954: PLAIN when offered, else LOGIN. The mechanisms follow the AUTH keyword.
  bool plain = false;
  bool login = false;
  for (size_t start = extensions.find("\r\n"); start != std::string::npos;) {
    start += 2;
    size_t end = extensions.find("\r\n", start);
    std::string line = UpperCase(extensions.substr(start, end == std::string::npos ? std::string::npos
                                                                                   : end - start));
    if (line.size() > 4 && (line.compare(4, 5, "AUTH ") == 0 || line.compare(4, 5, "AUTH=") == 0)) {
      std::string mechanisms = std::string(" ").append(line, 9).append(" ");
      plain = plain || mechanisms.find(" PLAIN ") != std::string::npos;
      login = login || mechanisms.find(" LOGIN ") != std::string::npos;
    }
    start = end;
  }
  if (!plain && !login) {
    Log(LOG_SEND, SJIS("SMTPサーバーが使える認証方式(PLAIN, LOGIN)を提供していません。"));
    return kSmtpAuthRefused;
  }
  int code;
  if (plain) {
    std::string credentials = std::string(1, '\0') + smtpUserId_ + std::string(1, '\0') + smtpPassword_;
    code = connection.SendAll("AUTH PLAIN " + Base64Encode(credentials) + "\r\n")
               ? ReadSmtpReply(connection, nullptr)
               : 0;
  } else {
    code = connection.SendAll("AUTH LOGIN\r\n") ? ReadSmtpReply(connection, nullptr) : 0;
    if (code == 334) {
      code = connection.SendAll(Base64Encode(smtpUserId_) + "\r\n") ? ReadSmtpReply(connection, nullptr) : 0;
    }
    if (code == 334) {
      code = connection.SendAll(Base64Encode(smtpPassword_) + "\r\n") ? ReadSmtpReply(connection, nullptr)
                                                                       : 0;
    }
  }
  if (code == 235) return kSmtpSent;
  // The server's code tells the user what went wrong; the credentials never reach the log.
  Log(LOG_SEND, SJIS("SMTP認証に失敗しました。") + " (" + (code == 0 ? std::string("-") : std::to_string(code)) +
                    ")");
  return kSmtpAuthRefused;
}

int CMailClient::SmtpSendMail(qv::TcpConnection& connection, const char* address,
                              const char* name) {
  if (!address || !*address || senderAddress_.empty()) return kSmtpNoAddress;
  // Nothing from a request mail or the settings may end a command or header line early: both
  // addresses pass the one address check, names lose their control bytes.
  std::string recipient;
  std::string sender;
  if (CheckMailAddress(address, &recipient) != AddressVerdict::kValid ||
      CheckMailAddress(senderAddress_, &sender) != AddressVerdict::kValid ||
      HasControlCharacter(smtpServer_) || smtpServer_.size() > 255) {
    return kSmtpUnsafeText;
  }
  const std::string recipientName = CleanHeaderText(name ? name : "");
  const std::string senderName = CleanHeaderText(senderName_);

  auto command = [&connection, this](const std::string& line) {
    return connection.SendAll(line) && CheckSmtpReply(connection) == 1;
  };
  bool needsUtf8 = NeedsSmtpUtf8(recipient);
  int opened = SmtpOpenSession(connection, needsUtf8);
  if (opened != kSmtpSent) return opened;
  std::string mailFrom = "MAIL FROM:<" + sender + ">";
  if (needsUtf8) mailFrom += " SMTPUTF8";
  if (!command(mailFrom + "\r\n")) return kSmtpRefused;
  if (!command("RCPT TO:<" + recipient + ">\r\n")) return kSmtpRefused;
  if (!command("DATA\r\n")) return kSmtpRefused;

  const std::tm now = LocalNow();
  const std::string boundary = BoundaryFor(now);

  std::vector<std::string> lines;
  lines.push_back(senderName.empty() ? "From: " + sender + "\r\n"
                                     : AddressField("From", senderName, sender));
  std::string subject = CleanHeaderText(subject_);
  if (subject.empty()) subject = SJIS("なし");
  // The subject line ends in a blank before its line break, as this system has always sent it.
  lines.push_back(FoldedField("Subject", EncodedWords(subject), " "));
  // A To line always: without one, readers show the reply as sent to undisclosed recipients.
  lines.push_back(AddressField("To", recipientName, recipient));
  lines.push_back("Date: " + MailDate(now) + "\r\n");
  lines.push_back("Message-ID: " + MessageId(now, sender) + "\r\n");
  // RFC 3834 5: an automatic reply says so, so that other responders do not answer it.
  lines.push_back("Auto-Submitted: auto-replied\r\n");
  lines.push_back(std::string("X-Mailer: ") + mailerName_ + "\r\n");
  lines.push_back("MIME-Version: 1.0\r\n");
  lines.push_back("Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n");
  lines.push_back("Content-Transfer-Encoding: 7bit\r\n");
  lines.push_back("\r\n");

  lines.push_back("--" + boundary + "\r\n");
  lines.push_back("Content-Type: text/plain; charset=\"ISO-2022-JP\"\r\n");
  lines.push_back("Content-Transfer-Encoding: 7bit\r\n");
  lines.push_back("\r\n");
  for (std::string_view piece : SplitAtBreaks(bodyText_)) {
    for (std::string& line : BodyLines(piece)) lines.push_back(line + "\r\n");
  }
  lines.push_back("--" + boundary + "\r\n");
  for (const std::string& line : lines) {
    if (!connection.SendAll(line)) return kSmtpBroken;
  }

  if (!base64File_.empty() &&
      !SendAttachmentPart(connection, base64File_, boundary, attachmentName_)) {
    return kSmtpBroken;
  }

  if (!connection.SendAll("\r\n")) return kSmtpBroken;
  if (!command(".\r\n")) return kSmtpRefused;
  // The mail is accepted here, but an unrecognised answer to QUIT still counts as a failure.
  if (!command("QUIT\r\n")) return kSmtpRefused;
  return kSmtpSent;
}
