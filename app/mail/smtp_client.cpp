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

// Bytes of an encoded word whose base64 text may hold at most `wordLength` characters in all.
size_t EncodeWordInputFor(size_t wordLength) {
  size_t overhead = sizeof kEncodedWordPrefix - 1 + sizeof kEncodedWordSuffix - 1;
  if (wordLength <= overhead) return 0;
  return (wordLength - overhead) / 4 * 3;
}

// One encoded word of the Shift_JIS `text` no longer than `maxWordLength` characters.
std::string EncodedHeaderText(std::string_view sjisText, size_t maxWordLength) {
  std::string jis = SjisToJis(sjisText);
  return EncodeWord(FitJisText(jis, EncodeWordInputFor(maxWordLength)));
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

int CMailClient::CheckSmtpReply(qv::TcpConnection& connection) {
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
        std::string_view code(reply.data(), reply.size() < 3 ? reply.size() : 3);
        return code == "220" || code == "250" || code == "354" || code == "221" ? 1 : 0;
      }
    }
    if (reply.size() >= kMaxReplyBytes) return 0;
    long received = connection.Receive(buffer, sizeof buffer);
    if (received <= 0) return 0;
    reply.append(buffer, static_cast<size_t>(received));
  }
}

std::unique_ptr<qv::TcpConnection> CMailClient::SmtpConnect() {
  if (smtpServer_.empty() || HasControlCharacter(smtpServer_)) return nullptr;
  auto connection = std::make_unique<qv::TcpConnection>();
  if (!connection->Connect(smtpServer_, smtpPort_ & 0xFFFF)) return nullptr;
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

int CMailClient::SmtpSendMail(qv::TcpConnection& connection, const char* address,
                              const char* name) {
  const std::string recipient = address ? address : "";
  const std::string recipientName = name ? name : "";
  if (senderAddress_.empty() || recipient.empty()) return 1;
  // Nothing from a request mail or the settings may end a command or header line early.
  if (HasControlCharacter(recipient) || HasControlCharacter(recipientName) ||
      HasControlCharacter(senderAddress_) || HasControlCharacter(senderName_) ||
      HasControlCharacter(smtpServer_)) {
    return 2;
  }
  // RFC 5321 4.5.3.1.3: a path is at most 256 octets with its angle brackets.
  if (recipient.size() > 254 || senderAddress_.size() > 254 || smtpServer_.size() > 255) {
    return 2;
  }

  auto command = [&connection, this](const std::string& line) {
    return connection.SendAll(line) && CheckSmtpReply(connection) == 1;
  };
  if (!command("HELO " + smtpServer_ + "\r\n")) return 3;
  if (!command("MAIL FROM:<" + senderAddress_ + ">\r\n")) return 4;
  if (!command("RCPT TO:<" + recipient + ">\r\n")) return 5;
  if (!command("DATA\r\n")) return 6;

  const std::tm now = LocalNow();
  const std::string boundary = BoundaryFor(now);

  std::vector<std::string> lines;
  // Each header line stays within a text line: the encoded word gets what the rest leaves.
  if (!senderName_.empty()) {
    size_t room = kMaxLineContent - (sizeof "From: <>" - 1) - senderAddress_.size();
    lines.push_back("From: " + EncodedHeaderText(senderName_, room) + "<" + senderAddress_ +
                    ">\r\n");
  } else {
    lines.push_back("From: " + senderAddress_ + "\r\n");
  }
  const std::string subject = subject_.empty() ? SJIS("なし") : subject_;
  lines.push_back("Subject: " +
                  EncodedHeaderText(subject, kMaxLineContent - (sizeof "Subject:  " - 1)) +
                  " \r\n");
  if (!recipientName.empty()) {
    size_t room = kMaxLineContent - (sizeof "To: <>" - 1) - recipient.size();
    lines.push_back("To: " + EncodedHeaderText(recipientName, room) + "<" + recipient +
                    ">\r\n");
  }
  lines.push_back("Date: " + MailDate(now) + "\r\n");
  lines.push_back("Message-ID: " + MessageId(now, senderAddress_) + "\r\n");
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
    if (!connection.SendAll(line)) return 7;
  }

  if (!base64File_.empty() &&
      !SendAttachmentPart(connection, base64File_, boundary, attachmentName_)) {
    return 7;
  }

  if (!connection.SendAll("\r\n")) return 7;
  if (!command(".\r\n")) return 8;
  // The mail is accepted here, but an unrecognised answer to QUIT still counts as a failure.
  if (!command("QUIT\r\n")) return 9;
  return 0;
}
