#include "app/mail/smtp_session.h"

#include <vector>

#include "app/mail/encodings.h"
#include "app/mail/oauth_sasl.h"
#include "app/settings/activity_log.h"
#include "app/settings/setting_rules.h"
#include "platform/text.h"

namespace {

// A server that keeps talking past this without ending its reply is refused.
constexpr size_t kMaxReplyBytes = 64 * 1024;
// RFC 1035 2.3.4: a host name is at most 255 bytes.
constexpr size_t kMaxServerName = 255;

// The replies taken as "go on" wherever no particular one is needed: every reply has always
// been judged by these codes alone, whatever it answers.
constexpr int kGoOn[] = {220, 250, 354, 221, 0};

bool IsIn(const int* accepted, int code) {
  for (; *accepted != 0; ++accepted) {
    if (*accepted == code) return true;
  }
  return false;
}

bool HasControlCharacter(std::string_view text) {
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) return true;
  }
  return false;
}

std::string UpperCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return text;
}

// The lines of a reply after its first, without their CR LF (RFC 5321 4.1.1.1: an EHLO reply
// names one extension per line after the first).
std::vector<std::string_view> LinesAfterFirst(std::string_view reply) {
  std::vector<std::string_view> lines;
  size_t lineStart = reply.find("\r\n");
  while (lineStart != std::string_view::npos && lineStart + 2 < reply.size()) {
    lineStart += 2;
    size_t lineEnd = reply.find("\r\n", lineStart);
    lines.push_back(reply.substr(lineStart, (lineEnd == std::string_view::npos ? reply.size() : lineEnd) - lineStart));
    lineStart = lineEnd;
  }
  return lines;
}

// A reply of several lines as one: its lines joined by blanks.
std::string OneLine(std::string_view reply) {
  std::string line;
  for (size_t at = 0; at < reply.size(); ++at) {
    if (reply.compare(at, 2, "\r\n") == 0) {
      if (at + 2 < reply.size()) line += ' ';
      ++at;
    } else {
      line += reply[at];
    }
  }
  return line;
}

}  // namespace

SmtpAccount SmtpAccountOf(const MailSettings& mail) {
  SmtpAccount account;
  account.server = mail.SmtpServer;
  account.port = mail.SmtpPort;
  account.security = qv::SecurityLevel(mail.SmtpSecurity);
  account.authenticate = mail.SmtpAuth == 1;
  // The submission user is its own, or the mailbox's where none is set; so is its secret
  // (SecretSourceOf).
  account.userId = mail.SmtpUserID[0] != '\0' ? mail.SmtpUserID : mail.UserID;
  account.caFile = mail.CaFile;
  account.authMethod = mail.AuthMethod;
  account.secrets = SecretSourceOf(mail);
  return account;
}

SmtpSession::SmtpSession(const SmtpAccount& account, LogSink* log) : account_(account), log_(log) {
  account_.security = qv::SecurityLevel(account.security);
}

SmtpSession::~SmtpSession() = default;

void SmtpSession::Log(const SmtpResult& result) const {
  if (log_) log_->Log(LOG_SEND, result.LogLine());
}

SmtpResult SmtpSession::Result(SmtpStatus status, const std::string& error, std::string_view reply) const {
  // The credentials as they went out: a server that repeats them must not put them in the log.
  const std::string& password = secret_;
  const std::string plain = Base64Encode(std::string(1, '\0') + account_.userId + std::string(1, '\0') + password);
  // The longest first: the password's base64 text may stand inside the PLAIN credentials'.
  return {status, error,
          ServerReplyText(OneLine(reply), {credentials_, plain, Base64Encode(password), password})};
}

SmtpResult SmtpSession::Fail(SmtpStatus status, const std::string& error, std::string_view reply) const {
  SmtpResult result = Result(status, error, reply);
  Log(result);
  return result;
}

int SmtpSession::ReadReply(std::string* text) {
  // RFC 5321 4.2.1: a reply is one line "ddd text" or several "ddd-text" lines ending with a
  // "ddd text" line. The whole reply is read, so one split over several segments or spread
  // over several lines never leaves bytes behind to be taken as the next reply.
  text->clear();
  size_t lineStart = 0;
  char buffer[1024];
  for (;;) {
    size_t lineEnd;
    while ((lineEnd = pending_.find("\r\n", lineStart)) != std::string::npos) {
      std::string_view line(pending_.data() + lineStart, lineEnd - lineStart);
      lineStart = lineEnd + 2;
      if (line.size() >= 4 && line[3] == '-') continue;
      *text = pending_.substr(0, lineStart);
      pending_.erase(0, lineStart);
      int code = 0;
      for (size_t i = 0; i < 3; ++i) {
        if (i >= text->size() || (*text)[i] < '0' || (*text)[i] > '9') return 0;
        code = code * 10 + ((*text)[i] - '0');
      }
      return code;
    }
    if (pending_.size() >= kMaxReplyBytes) {
      connection_.Close();
      return 0;
    }
    long received = connection_.Receive(buffer, sizeof buffer);
    if (received <= 0) return 0;
    pending_.append(buffer, static_cast<size_t>(received));
  }
}

SmtpResult SmtpSession::Command(const std::string& line, const int* accepted, SmtpStatus failure,
                                const std::string& error) {
  std::string reply;
  if (!connection_.SendAll(line + "\r\n") || !IsIn(accepted, ReadReply(&reply))) return Fail(failure, error, reply);
  return {};
}

void SmtpSession::QuitQuietly() {
  std::string reply;
  if (connection_.SendAll("QUIT\r\n")) (void)ReadReply(&reply);
}

bool SmtpSession::Announces(std::string_view keyword) const {
  for (std::string_view line : LinesAfterFirst(extensions_)) {
    if (line.size() > 4 && UpperCase(std::string(line.substr(4, line.find(' ', 4) - 4))) == keyword) return true;
  }
  return false;
}

SmtpResult SmtpSession::Connect() {
  const std::string& server = account_.server;
  if (server.empty()) return Fail(SmtpStatus::kUnreachable, SJIS("SMTPサーバーが設定されていません。"));
  // The name goes into HELO and EHLO: nothing in it may end the command line early.
  if (HasControlCharacter(server) || server.size() > kMaxServerName) {
    return Fail(SmtpStatus::kUnreachable, SJIS("SMTPサーバー名に使えない文字が含まれているか、長すぎます。"));
  }
  const int port = account_.port & 0xFFFF;
  if (!connection_.Connect(server, port)) {
    return Fail(SmtpStatus::kUnreachable,
                SJIS("SMTPサーバーに接続できませんでした。") + " (" + server + ":" + std::to_string(port) + ")");
  }
  // RFC 8314: submission over TLS from the first byte (port 465).
  if (account_.security == 2 && !connection_.StartTls(server, account_.caFile)) {
    return Fail(SmtpStatus::kTlsFailed, SJIS("SMTP: ") + TlsFailureMessage(connection_));
  }
  std::string reply;
  if (!IsIn(kGoOn, ReadReply(&reply))) {
    connection_.Close();
    return Fail(SmtpStatus::kUnreachable, SJIS("SMTPサーバーが接続を受け付けませんでした。"), reply);
  }
  return {};
}

SmtpResult SmtpSession::Ehlo() {
  // The reply names the extensions, one a line after the first.
  if (connection_.SendAll("EHLO " + account_.server + "\r\n") && ReadReply(&extensions_) == 250) return {};
  return Fail(SmtpStatus::kRefused, SJIS("SMTPサーバーがEHLOを受け付けませんでした。"), extensions_);
}

SmtpResult SmtpSession::Hello(bool needsUtf8) {
  // Without security, authentication or SMTPUTF8 the session opens as it always has.
  if (account_.security == 0 && !account_.authenticate && !needsUtf8) {
    return Command("HELO " + account_.server, kGoOn, SmtpStatus::kRefused,
                   SJIS("SMTPサーバーがHELOを受け付けませんでした。"));
  }
  SmtpResult result = Ehlo();
  if (result.ok() && account_.security == 1) {
    result = StartTls();
    // RFC 3207 4.2: what the server said before TLS is forgotten; ask again.
    if (result.ok()) result = Ehlo();
  }
  if (result.ok() && account_.authenticate) {
    result = Authenticate();
    if (!result.ok()) QuitQuietly();
  }
  if (result.ok() && needsUtf8 && !Announces("SMTPUTF8")) {
    // RFC 6531: a local part beyond ASCII goes out only to a server that announces SMTPUTF8.
    result = Fail(SmtpStatus::kNoUtf8Support, SJIS("送信先アドレスに英数字以外の文字が含まれていますが、"
                                                   "SMTPサーバーが対応していない(SMTPUTF8)ため送信しません。"));
    QuitQuietly();
  }
  return result;
}

SmtpResult SmtpSession::StartTls() {
  // RFC 3207: TLS before anything else is said; a server without STARTTLS gets nothing.
  if (!Announces("STARTTLS")) {
    SmtpResult result = Fail(SmtpStatus::kNoTls, SJIS("SMTPサーバーがSTARTTLSに対応していないため、送信しません。"));
    QuitQuietly();
    return result;
  }
  std::string reply;
  if (!connection_.SendAll("STARTTLS\r\n") || ReadReply(&reply) != 220) {
    SmtpResult result = Fail(SmtpStatus::kNoTls, SJIS("SMTPサーバーがSTARTTLSを受け付けませんでした。"), reply);
    QuitQuietly();
    return result;
  }
  // Whatever came behind the go-ahead was sent before the encryption: taking it as a reply of
  // the protected session would let anyone on the line speak for the server.
  pending_.clear();
  if (!connection_.StartTls(account_.server, account_.caFile)) {
    return Fail(SmtpStatus::kTlsFailed, SJIS("SMTP: ") + TlsFailureMessage(connection_));
  }
  return {};
}

SmtpResult SmtpSession::Authenticate() {
  SecretResult secret = AccountSecret(account_.secrets.get(), account_.password, SecretPurpose::kSubmission);
  if (!secret.ok) return Fail(SmtpStatus::kAuthRefused, "SMTP: " + secret.error);
  secret_ = std::move(secret.secret);
  // RFC 4954: the mechanisms follow the AUTH keyword.
  bool plain = false;
  bool login = false;
  bool xoauth2 = false;
  bool oauthBearer = false;
  for (std::string_view line : LinesAfterFirst(extensions_)) {
    std::string upper = UpperCase(std::string(line));
    if (upper.size() > 4 && (upper.compare(4, 5, "AUTH ") == 0 || upper.compare(4, 5, "AUTH=") == 0)) {
      std::string mechanisms = std::string(" ").append(upper, 9).append(" ");
      plain = plain || mechanisms.find(" PLAIN ") != std::string::npos;
      login = login || mechanisms.find(" LOGIN ") != std::string::npos;
      xoauth2 = xoauth2 || mechanisms.find(" XOAUTH2 ") != std::string::npos;
      oauthBearer = oauthBearer || mechanisms.find(" OAUTHBEARER ") != std::string::npos;
    }
  }
  if (account_.authMethod == 1) return OAuthAuthenticate(ChooseOAuthMechanism(xoauth2, oauthBearer));
  // PLAIN when offered, else LOGIN.
  if (!plain && !login) {
    return Fail(SmtpStatus::kAuthRefused, SJIS("SMTPサーバーが使える認証方式(PLAIN, LOGIN)を提供していません。"));
  }
  std::string reply;
  auto step = [this, &reply](const std::string& line) {
    return connection_.SendAll(line + "\r\n") ? ReadReply(&reply) : 0;
  };
  int code;
  if (plain) {
    code = step("AUTH PLAIN " + Base64Encode(std::string(1, '\0') + account_.userId + std::string(1, '\0') + secret_));
  } else {
    code = step("AUTH LOGIN");
    if (code == 334) code = step(Base64Encode(account_.userId));
    if (code == 334) code = step(Base64Encode(secret_));
  }
  if (code == 235) return {};
  return Fail(SmtpStatus::kAuthRefused, SJIS("SMTP認証に失敗しました。"), reply);
}

SmtpResult SmtpSession::OAuthAuthenticate(OAuthMechanism mechanism) {
  if (mechanism == OAuthMechanism::kNone) {
    // Never a password instead: AuthMethod 1 means the server gets a token or nothing.
    return Fail(SmtpStatus::kAuthRefused,
                SJIS("SMTPサーバーがOAuth2の認証方式(XOAUTH2, OAUTHBEARER)を提供していないため、送信しません。"));
  }
  SmtpResult result = OAuthExchange(mechanism);
  if (result.status != SmtpStatus::kRefused) return result;
  // A refused token may have expired or been revoked: one fresh token, one more try.
  SecretResult fresh = AccountSecret(account_.secrets.get(), secret_, SecretPurpose::kSubmission, true);
  if (!fresh.ok) return Fail(SmtpStatus::kAuthRefused, "SMTP: " + fresh.error);
  secret_ = std::move(fresh.secret);
  result = OAuthExchange(mechanism);
  if (result.status == SmtpStatus::kRefused) result.status = SmtpStatus::kAuthRefused;
  return result;
}

SmtpResult SmtpSession::OAuthExchange(OAuthMechanism mechanism) {
  if (!UsableInOAuthResponse(account_.userId) || !UsableInOAuthResponse(secret_)) {
    return Fail(SmtpStatus::kAuthRefused, SJIS("ユーザーIDまたはOAuth2のトークンに使えない文字が含まれています。"));
  }
  const std::string name = OAuthMechanismName(mechanism);
  const std::string refusal = SJIS("SMTPサーバーがOAuth2のトークンを受け付けませんでした (") + name + ")";
  credentials_ =
      Base64Encode(OAuthInitialResponse(mechanism, account_.userId, account_.server, account_.port, secret_));
  std::string reply;
  // RFC 4954 4: the initial response goes with the command (an AUTH line may be 12288 octets).
  int code = connection_.SendAll("AUTH " + name + " " + credentials_ + "\r\n") ? ReadReply(&reply) : 0;
  if (code == 235) return {};
  if (code != 334) return Fail(code == 0 ? SmtpStatus::kBroken : SmtpStatus::kRefused, refusal, reply);
  // A failure challenge: the server's reason, answered as the mechanism asks, then its refusal.
  std::string_view challenge = std::string_view(reply).substr(4);
  while (!challenge.empty() && (challenge.back() == '\n' || challenge.back() == '\r')) challenge.remove_suffix(1);
  const std::string reason = OAuthChallengeText(challenge);
  std::string refused;
  code = connection_.SendAll(OAuthFailureAnswer(mechanism) + "\r\n") ? ReadReply(&refused) : 0;
  // A success after a failure challenge is no log-in this side trusts.
  return Fail(code == 0 ? SmtpStatus::kBroken : SmtpStatus::kRefused, refusal,
              reason + (refused.empty() ? "" : " ") + refused);
}

SmtpResult SmtpSession::MailFrom(const CheckedAddress& sender, bool utf8) {
  return Command("MAIL FROM:<" + sender.text() + ">" + (utf8 ? " SMTPUTF8" : ""), kGoOn, SmtpStatus::kRefused,
                 SJIS("SMTPサーバーが差出人アドレスを受け付けませんでした。"));
}

SmtpResult SmtpSession::RcptTo(const CheckedAddress& recipient) {
  return Command("RCPT TO:<" + recipient.text() + ">", kGoOn, SmtpStatus::kRecipientRefused,
                 SJIS("SMTPサーバーが送信先アドレスを受け付けませんでした。"));
}

SmtpResult SmtpSession::Data() {
  return Command("DATA", kGoOn, SmtpStatus::kRefused, SJIS("SMTPサーバーがメールの送信(DATA)を受け付けませんでした。"));
}

SmtpResult SmtpSession::Message(std::string_view message) {
  // RFC 5321 4.5.2: a line that begins with "." goes out with one more in front of it.
  bool sent = !message.starts_with('.') || connection_.SendAll(".");
  size_t from = 0;
  for (size_t at = message.find("\n."); sent && at != std::string_view::npos; at = message.find("\n.", at + 1)) {
    sent = connection_.SendAll(message.substr(from, at + 1 - from)) && connection_.SendAll(".");
    from = at + 1;
  }
  sent = sent && connection_.SendAll(message.substr(from));
  if (sent && !message.empty() && !message.ends_with("\r\n")) sent = connection_.SendAll("\r\n");
  if (!sent) return Fail(SmtpStatus::kBroken, SJIS("メールの送信中にSMTPサーバーとの接続が切れました。"));
  return Command(".", kGoOn, SmtpStatus::kRefused, SJIS("SMTPサーバーがメールを受け付けませんでした。"));
}

SmtpResult SmtpSession::Quit() {
  std::string reply;
  if (connection_.SendAll("QUIT\r\n") && IsIn(kGoOn, ReadReply(&reply))) return {};
  return Result(SmtpStatus::kRefused, SJIS("SMTPサーバーが送信の終わり(QUIT)に答えませんでした。"), reply);
}

void SmtpSession::Close() {
  connection_.Close();
  pending_.clear();
}

SmtpResult SendMail(SmtpSession& session, const CheckedAddress& sender, const CheckedAddress& recipient,
                    std::string_view message) {
  const bool utf8 = recipient.needsSmtpUtf8();
  SmtpResult result = session.Hello(utf8);
  if (result.ok()) result = session.MailFrom(sender, utf8);
  if (result.ok()) result = session.RcptTo(recipient);
  if (result.ok()) result = session.Data();
  if (result.ok()) result = session.Message(message);
  if (!result.ok()) return result;
  // The mail is accepted here, but an unrecognised answer to QUIT still counts as a failure.
  result = session.Quit();
  if (!result.ok()) session.Log(result);
  return result;
}
