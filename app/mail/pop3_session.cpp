#include "app/mail/pop3_session.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string_view>

#include "app/mail/encodings.h"
#include "app/settings/activity_log.h"
#include "app/settings/setting_rules.h"
#include "platform/text.h"

namespace {

constexpr size_t kReceiveChunk = 16384;
// A status line is at most 512 bytes (RFC 1939 3); more than this is not a reply.
constexpr size_t kStatusLineLimit = 8192;
// A CAPA response holds a few dozen short lines.
constexpr long long kCapaLimit = 64 * 1024;
// A scan line is at most a few dozen bytes; this bounds a listing of the most messages a
// check takes.
constexpr long long kListingLimit = 16 * 1024 * 1024;
// CR LF "." CR LF: the end of a multi-line response (RFC 1939 3).
constexpr std::string_view kTerminator = "\r\n.\r\n";

// A decimal integer with an optional sign and nothing else; false when `text` is not one or
// does not fit in a long long.
bool ParseInteger(std::string_view text, long long* value) {
  if (text.empty()) return false;
  if (text[0] != '-' && text[0] != '+' && (text[0] < '0' || text[0] > '9')) return false;
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  long long parsed = std::strtoll(copy.c_str(), &end, 10);
  if (errno != 0 || end == copy.c_str() || *end != '\0') return false;
  *value = parsed;
  return true;
}

bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

// The line without its line end.
std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

// The lines of a multi-line response's body, each without its CR LF.
std::vector<std::string_view> BodyLines(std::string_view body) {
  std::vector<std::string_view> lines;
  for (size_t position = 0; position < body.size();) {
    size_t lineEnd = body.find("\r\n", position);
    if (lineEnd == std::string_view::npos) lineEnd = body.size();
    lines.push_back(body.substr(position, lineEnd - position));
    position = lineEnd + 2;
  }
  return lines;
}

// RFC 1939 3: a line of a multi-line response that begins with "." came with one more.
std::string Unstuffed(std::string_view body) {
  std::string message;
  message.reserve(body.size());
  for (size_t lineStart = 0; lineStart < body.size();) {
    size_t lineFeed = body.find('\n', lineStart);
    size_t lineEnd = lineFeed == std::string_view::npos ? body.size() : lineFeed + 1;
    size_t from = body[lineStart] == '.' ? lineStart + 1 : lineStart;
    message.append(body.substr(from, lineEnd - from));
    lineStart = lineEnd;
  }
  return message;
}

Pop3ScanLine ReadScanLine(std::string_view line) {
  Pop3ScanLine scan;
  size_t blank = line.find(' ');
  long long number = 0;
  long long size = -1;
  scan.readable = blank != std::string_view::npos && ParseInteger(line.substr(0, blank), &number) &&
                  ParseInteger(line.substr(blank + 1), &size) && number > 0 &&
                  number <= std::numeric_limits<int>::max() && size >= 0;
  if (scan.readable) {
    scan.number = static_cast<int>(number);
    scan.size = size;
  }
  return scan;
}

}  // namespace

Pop3Session::Pop3Session(LogSink* log) : log_(log) {}

Pop3Session::~Pop3Session() = default;

void Pop3Session::Log(const Pop3Result& result) const {
  if (log_) log_->Log(LOG_RECV, result.LogLine());
}

Pop3Result Pop3Session::Failure(Pop3Status status, const std::string& error, std::string_view reply) const {
  return {status, error, ServerReplyText(reply, {credentials_, password_})};
}

size_t Pop3Session::ReceiveUntil(std::string_view needle, size_t from, size_t limit) {
  std::string chunk(kReceiveChunk, '\0');
  for (;;) {
    size_t found = pending_.find(needle, from);
    if (found != std::string::npos || pending_.size() > limit) return found;
    if (pending_.size() >= needle.size()) from = std::max(from, pending_.size() - needle.size() + 1);
    long n = connection_.Receive(chunk.data(), chunk.size());
    if (n <= 0) {
      connection_.Close();
      return std::string::npos;
    }
    pending_.append(chunk.data(), static_cast<size_t>(n));
  }
}

Pop3Result Pop3Session::ReadStatus(const std::string& refusal) {
  size_t lineFeed = ReceiveUntil("\n", 0, kStatusLineLimit);
  if (lineFeed == std::string::npos) {
    if (!connection_.IsOpen()) return Failure(Pop3Status::kBroken, refusal);
    connection_.Close();
    return Failure(Pop3Status::kTooLarge, refusal);
  }
  std::string line = pending_.substr(0, lineFeed + 1);
  pending_.erase(0, lineFeed + 1);
  Pop3Result result = Failure(Pop3Status::kRefused, refusal, WithoutLineEnd(line));
  if (line.compare(0, 3, "+OK") == 0) {
    result.status = Pop3Status::kOk;
    result.error.clear();
  }
  return result;
}

Pop3Result Pop3Session::ReadMultiline(const std::string& refusal, long long limit, std::string* body,
                                      long long* arrived) {
  body->clear();
  *arrived = 0;
  size_t lineFeed = ReceiveUntil("\n", 0, kStatusLineLimit);
  // A status line that is not "+OK" (or none) is read as a single-line reply.
  if (lineFeed == std::string::npos || pending_.compare(0, 3, "+OK") != 0) return ReadStatus(refusal);
  // The CR LF that ends the status line counts as the first of the terminator, so an empty
  // response "+OK\r\n.\r\n" ends too. The limit counts the whole response.
  size_t from = lineFeed > 0 && pending_[lineFeed - 1] == '\r' ? lineFeed - 1 : lineFeed + 1;
  size_t end = ReceiveUntil(kTerminator, from, static_cast<size_t>(std::max<long long>(limit, 0)));
  if (end == std::string::npos && !connection_.IsOpen()) return Failure(Pop3Status::kBroken, refusal);
  if (end == std::string::npos || static_cast<long long>(end + kTerminator.size()) > limit) {
    return Failure(Pop3Status::kTooLarge, refusal);
  }
  *arrived = static_cast<long long>(end + kTerminator.size());
  body->assign(pending_, lineFeed + 1, end + 2 - (lineFeed + 1));
  pending_.erase(0, end + kTerminator.size());
  return {};
}

Pop3Result Pop3Session::Command(const std::string& line, const std::string& refusal) {
  if (!connection_.SendAll(line + "\r\n")) return Failure(Pop3Status::kBroken, refusal);
  return ReadStatus(refusal);
}

Pop3Result Pop3Session::MultilineCommand(const std::string& line, const std::string& refusal, long long limit,
                                         std::string* body, long long* arrived) {
  body->clear();
  *arrived = 0;
  if (!connection_.SendAll(line + "\r\n")) return Failure(Pop3Status::kBroken, refusal);
  return ReadMultiline(refusal, limit, body, arrived);
}

bool Pop3Session::Open(const MailboxAccount& account) {
  password_ = account.password;
  credentials_.clear();
  if (account.server.empty() || account.userId.empty() || (!account.secrets && account.password.empty())) {
    Log({Pop3Status::kRefused, SJIS("POP3サーバー、ユーザーID、パスワードのいずれかが設定されていません。"), {}});
    return false;
  }
  SecretResult secret = AccountSecret(account.secrets.get(), account.password, SecretPurpose::kMailbox);
  if (!secret.ok) {
    Log({Pop3Status::kRefused, "POP3: " + secret.error, {}});
    return false;
  }
  password_ = std::move(secret.secret);
  if (password_.empty()) {
    Log({Pop3Status::kRefused, SJIS("POP3サーバー、ユーザーID、パスワードのいずれかが設定されていません。"), {}});
    return false;
  }
  // A line break would end the command early and let the rest pass as a command of its own.
  if (HasLineBreak(account.userId) || HasLineBreak(password_)) {
    Log({Pop3Status::kRefused, SJIS("ユーザーIDまたはパスワードに改行文字が含まれています。"), {}});
    return false;
  }
  Pop3Result result = Connect(account);
  if (result.ok() && qv::SecurityLevel(account.security) == 1) result = Stls(account);
  if (result.ok()) result = LogIn(account);
  if (result.ok()) return true;
  Log(result);
  Quit();
  return false;
}

Pop3Result Pop3Session::Connect(const MailboxAccount& account) {
  pending_.clear();
  const int port = account.port & 0xFFFF;
  if (!connection_.Connect(account.server, port)) {
    return Failure(Pop3Status::kBroken, SJIS("POP3サーバーに接続できませんでした。") + " (" + account.server + ":" +
                                            std::to_string(port) + ")");
  }
  if (qv::SecurityLevel(account.security) == 2 && !connection_.StartTls(account.server, account.caFile)) {
    return Failure(Pop3Status::kBroken, SJIS("POP3: ") + TlsFailureMessage(connection_));
  }
  return ReadStatus(SJIS("POP3サーバーにログインできませんでした。"));
}

Pop3Result Pop3Session::Capa(std::vector<std::string>* capabilities) {
  capabilities->clear();
  sasl_.clear();
  std::string body;
  long long arrived = 0;
  Pop3Result result = MultilineCommand("CAPA", SJIS("POP3サーバーがCAPAに答えませんでした。"), kCapaLimit, &body, &arrived);
  if (!result.ok()) return result;
  for (std::string_view line : BodyLines(body)) {
    std::string word(line.substr(0, line.find(' ')));
    for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (word == "SASL") {
      // "SASL mechanism ..." (RFC 2449 6.3): what AUTH takes.
      for (size_t at = line.find(' '); at != std::string_view::npos; at = line.find(' ', at + 1)) {
        std::string mechanism(line.substr(at + 1, line.find(' ', at + 1) - at - 1));
        for (char& c : mechanism) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (!mechanism.empty()) sasl_.push_back(std::move(mechanism));
      }
    }
    capabilities->push_back(std::move(word));
  }
  return result;
}

Pop3Result Pop3Session::Stls(const MailboxAccount& account) {
  // RFC 2595 4: STLS is offered in the CAPA reply; without it the password stays unsent.
  std::vector<std::string> capabilities;
  Pop3Result capa = Capa(&capabilities);
  if (!capa.ok() || std::find(capabilities.begin(), capabilities.end(), "STLS") == capabilities.end()) {
    return Failure(capa.status == Pop3Status::kOk ? Pop3Status::kRefused : capa.status,
                   SJIS("POP3サーバーがSTLSに対応していないため、ログインしません。"), capa.reply);
  }
  Pop3Result stls = Command("STLS", SJIS("POP3サーバーがSTLSを受け付けなかったため、ログインしません。"));
  if (!stls.ok()) return stls;
  // Whatever came behind the go-ahead was sent before the encryption: taking it as a reply of
  // the protected session would let anyone on the line speak for the server.
  pending_.clear();
  if (!connection_.StartTls(account.server, account.caFile)) {
    return Failure(Pop3Status::kBroken, SJIS("POP3: ") + TlsFailureMessage(connection_));
  }
  return {};
}

Pop3Result Pop3Session::LogIn(const MailboxAccount& account) {
  if (account.authMethod == 1) return OAuthLogIn(account);
  const std::string refusal = SJIS("POP3サーバーにログインできませんでした。");
  Pop3Result result = Command("USER " + account.userId, refusal);
  if (result.ok()) result = Command("PASS " + password_, refusal);
  return result;
}

Pop3Result Pop3Session::OAuthLogIn(const MailboxAccount& account) {
  if (!UsableInOAuthResponse(account.userId) || !UsableInOAuthResponse(password_)) {
    return Failure(Pop3Status::kRefused, SJIS("ユーザーIDまたはOAuth2のトークンに使えない文字が含まれています。"));
  }
  // The mechanisms are named by CAPA (RFC 5034 4); after STLS the list is asked anew.
  std::vector<std::string> capabilities;
  Pop3Result capa = Capa(&capabilities);
  auto offered = [this](const char* name) { return std::find(sasl_.begin(), sasl_.end(), name) != sasl_.end(); };
  const OAuthMechanism mechanism = ChooseOAuthMechanism(offered("XOAUTH2"), offered("OAUTHBEARER"));
  if (mechanism == OAuthMechanism::kNone) {
    // Never a password instead: AuthMethod 1 means the server gets a token or nothing.
    return Failure(capa.ok() ? Pop3Status::kRefused : capa.status,
                   SJIS("POP3サーバーがOAuth2の認証方式(XOAUTH2, OAUTHBEARER)を提供していないため、ログインしません。"),
                   capa.reply);
  }
  Pop3Result result = Authenticate(account, mechanism);
  if (result.status != Pop3Status::kRefused) return result;
  // A refused token may have expired or been revoked: one fresh token, one more try.
  Log(result);
  SecretResult fresh = AccountSecret(account.secrets.get(), password_, SecretPurpose::kMailbox, true);
  if (!fresh.ok) return Failure(Pop3Status::kRefused, "POP3: " + fresh.error);
  password_ = std::move(fresh.secret);
  if (!UsableInOAuthResponse(password_)) {
    return Failure(Pop3Status::kRefused, SJIS("ユーザーIDまたはOAuth2のトークンに使えない文字が含まれています。"));
  }
  return Authenticate(account, mechanism);
}

Pop3Result Pop3Session::Authenticate(const MailboxAccount& account, OAuthMechanism mechanism) {
  const std::string name = OAuthMechanismName(mechanism);
  const std::string refusal = SJIS("POP3サーバーがOAuth2のトークンを受け付けませんでした (") + name + ")";
  credentials_ = Base64Encode(OAuthInitialResponse(mechanism, account.userId, account.server, account.port, password_));
  const std::string withResponse = "AUTH " + name + " " + credentials_;
  std::string challenge;
  if (withResponse.size() + 2 <= kMaxCommandOctets) {
    if (!connection_.SendAll(withResponse + "\r\n")) return Failure(Pop3Status::kBroken, refusal);
  } else {
    // RFC 5034 4: a command that would be longer goes without the response, which follows
    // the server's empty challenge.
    if (!connection_.SendAll("AUTH " + name + "\r\n")) return Failure(Pop3Status::kBroken, refusal);
    if (!ReadContinuation(&challenge)) {
      Pop3Result refused = ReadStatus(refusal);
      return refused.ok() ? Failure(Pop3Status::kRefused, refusal, refused.reply) : refused;
    }
    if (!connection_.SendAll(credentials_ + "\r\n")) return Failure(Pop3Status::kBroken, refusal);
  }
  if (!ReadContinuation(&challenge)) return ReadStatus(refusal);
  // A failure challenge: the server's reason, answered as the mechanism asks, then its refusal.
  const std::string reason = OAuthChallengeText(challenge);
  if (!connection_.SendAll(OAuthFailureAnswer(mechanism) + "\r\n")) return Failure(Pop3Status::kBroken, refusal, reason);
  Pop3Result refused = ReadStatus(refusal);
  refused.status = refused.status == Pop3Status::kOk ? Pop3Status::kRefused : refused.status;
  refused.error = refusal;
  refused.reply = ServerReplyText(reason + (refused.reply.empty() ? "" : " ") + refused.reply);
  return refused;
}

bool Pop3Session::ReadContinuation(std::string* base64) {
  base64->clear();
  size_t lineFeed = ReceiveUntil("\n", 0, kStatusLineLimit);
  if (lineFeed == std::string::npos) return false;
  std::string_view line = WithoutLineEnd(std::string_view(pending_).substr(0, lineFeed + 1));
  // "+ text" (RFC 5034 4); "+OK" is a status line.
  if (line != "+" && !line.starts_with("+ ")) return false;
  *base64 = line.substr(std::min<size_t>(line.size(), 2));
  pending_.erase(0, lineFeed + 1);
  return true;
}

Pop3Result Pop3Session::Stat(long long* count) {
  *count = -1;
  const std::string refusal = SJIS("POP3サーバーがメール数を答えませんでした。");
  Pop3Result result = Command("STAT", refusal);
  if (!result.ok()) return result;
  // "+OK nn mm" (RFC 1939 5).
  long long value = -1;
  std::string_view rest = std::string_view(result.reply).substr(std::min<size_t>(result.reply.size(), 4));
  if (result.reply.compare(0, 4, "+OK ") != 0 || !ParseInteger(rest.substr(0, rest.find(' ')), &value) ||
      value < 0) {
    return {Pop3Status::kRefused, refusal, result.reply};
  }
  *count = value;
  return result;
}

Pop3Result Pop3Session::List(size_t maxLines, std::vector<Pop3ScanLine>* lines, bool* cut) {
  lines->clear();
  *cut = false;
  std::string body;
  long long arrived = 0;
  Pop3Result result =
      MultilineCommand("LIST", SJIS("メール一覧を受信できませんでした。"), kListingLimit, &body, &arrived);
  if (!result.ok()) return result;
  for (std::string_view line : BodyLines(body)) {
    if (lines->size() == maxLines) {
      *cut = true;
      break;
    }
    lines->push_back(ReadScanLine(line));
  }
  return result;
}

Pop3Result Pop3Session::Retr(int number, long long limit, std::string* message, long long* arrived) {
  message->clear();
  *arrived = 0;
  std::string body;
  Pop3Result result = MultilineCommand("RETR " + std::to_string(number),
                                       SJIS("メールを受信できませんでした。") + " (#" + std::to_string(number) + ")",
                                       limit, &body, arrived);
  if (result.ok()) *message = Unstuffed(body);
  return result;
}

Pop3Result Pop3Session::Dele(int number) {
  return Command("DELE " + std::to_string(number),
                 SJIS("メールを削除できませんでした。") + " (#" + std::to_string(number) + ")");
}

void Pop3Session::Quit() {
  if (connection_.SendAll("QUIT\r\n")) (void)ReadStatus({});
  connection_.Close();
  pending_.clear();
}
