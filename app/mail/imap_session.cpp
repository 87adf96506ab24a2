#include "app/mail/imap_session.h"

#include <algorithm>
#include <cctype>

#include "app/mail/encodings.h"
#include "app/mail/session_result.h"
#include "app/settings/activity_log.h"
#include "app/settings/setting_rules.h"
#include "platform/text.h"

namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

// The UTF-8 text's code points; an invalid byte counts as U+FFFD.
std::vector<char32_t> CodePoints(std::string_view utf8) {
  std::vector<char32_t> points;
  for (size_t i = 0; i < utf8.size();) {
    unsigned char lead = static_cast<unsigned char>(utf8[i]);
    int length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > utf8.size()) {
      points.push_back(0xFFFD);
      ++i;
      continue;
    }
    char32_t point = length == 1 ? lead : lead & (0x7F >> length);
    for (int k = 1; k < length; ++k) point = (point << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    points.push_back(point);
    i += static_cast<size_t>(length);
  }
  return points;
}

}  // namespace

bool ImapQuoted(std::string_view text, std::string* quoted) {
  quoted->assign(1, '"');
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) return false;
    if (c == '"' || c == '\\') quoted->push_back('\\');
    quoted->push_back(c);
  }
  quoted->push_back('"');
  return true;
}

std::string ImapFolderName(std::string_view cp932) {
  if (cp932.empty()) return "INBOX";
  // RFC 3501 5.1.3: printable ASCII stands for itself ("&" as "&-"); every other run of
  // characters is "&", its UTF-16 in base64 with "," for "/" and without padding, and "-".
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";
  std::string name;
  std::vector<unsigned char> run;
  auto flush = [&] {
    if (run.empty()) return;
    name.push_back('&');
    for (size_t i = 0; i < run.size(); i += 3) {
      uint32_t group = run[i] << 16;
      if (i + 1 < run.size()) group |= run[i + 1] << 8;
      if (i + 2 < run.size()) group |= run[i + 2];
      size_t characters = std::min<size_t>(run.size() - i, 3) + 1;
      for (size_t k = 0; k < characters; ++k) name.push_back(kAlphabet[(group >> (18 - 6 * k)) & 63]);
    }
    name.push_back('-');
    run.clear();
  };
  auto unit = [&run](char32_t value) {
    run.push_back(static_cast<unsigned char>(value >> 8));
    run.push_back(static_cast<unsigned char>(value & 0xFF));
  };
  for (char32_t point : CodePoints(qv::Utf8FromCp932(cp932))) {
    if (point >= 0x20 && point <= 0x7E) {
      flush();
      name += point == '&' ? std::string("&-") : std::string(1, static_cast<char>(point));
    } else if (point > 0xFFFF) {
      point -= 0x10000;
      unit(0xD800 + (point >> 10));
      unit(0xDC00 + (point & 0x3FF));
    } else {
      unit(point);
    }
  }
  flush();
  return name;
}

ImapSession::ImapSession(LogSink* log) : log_(log) {}

ImapSession::~ImapSession() = default;

void ImapSession::Log(const std::string& message, std::string_view serverText) const {
  if (log_) log_->Log(LOG_RECV, ReplyLogLine(message, ServerReplyText(serverText, {credentials_, password_})));
}

std::string ImapSession::NextTag() {
  std::string tag = "A";
  tag += std::to_string(nextTag_++);
  return tag;
}

bool ImapSession::HasCapability(std::string_view name) const {
  return std::any_of(capabilities_.begin(), capabilities_.end(),
                     [name](const std::string& capability) { return EqualsIgnoringCase(capability, name); });
}

void ImapSession::TakeCapabilities(std::string_view words) {
  capabilities_.clear();
  size_t position = words.find(' ');  // past "CAPABILITY"
  while (position != std::string_view::npos && capabilities_.size() < 1000) {
    size_t start = position + 1;
    position = words.find(' ', start);
    std::string_view word = words.substr(start, position == std::string_view::npos ? position : position - start);
    if (!word.empty()) capabilities_.emplace_back(word);
  }
}

void ImapSession::Close() { connection_.Close(); }

ImapResult ImapSession::ReadToTagged(const std::string& tag, const Handler& untagged, long long literalLimit,
                                     ImapStatus* statusText) {
  for (int count = 0;; ++count) {
    if (count > kMaxResponsesPerCommand) {
      Log(SJIS("IMAPサーバーの応答が多すぎるため、接続を切りました。"));
      Close();
      return ImapResult::kTooLong;
    }
    ImapResponse response;
    ImapRead read = reader_.Read(&response, literalLimit);
    if (read == ImapRead::kTooLong) {
      Log(SJIS("IMAPサーバーの応答が長すぎるため、接続を切りました。"));
      return ImapResult::kTooLong;
    }
    if (read != ImapRead::kResponse) return ImapResult::kBroken;
    if (response.untagged()) {
      std::string_view rest = response.rest();
      ImapStatus status = ParseImapStatus(rest);
      if (status.word == "BYE" && !loggingOut_) {
        // RFC 3501 7.1.5: the server is closing the connection.
        Log(SJIS("IMAPサーバーが接続を終了しました。"), status.text);
        Close();
        return ImapResult::kBroken;
      }
      if (StartsWithIgnoringCase(status.code, "CAPABILITY ")) TakeCapabilities(status.code);
      if (StartsWithIgnoringCase(rest, "CAPABILITY ")) TakeCapabilities(rest);
      if (untagged) untagged(response);
      continue;
    }
    if (response.tag() != tag) continue;  // a continuation request or a stray tag: not ours
    ImapStatus status = ParseImapStatus(response.rest());
    if (StartsWithIgnoringCase(status.code, "CAPABILITY ")) TakeCapabilities(status.code);
    if (statusText) *statusText = status;
    if (status.word == "OK") return ImapResult::kOk;
    if (status.word == "NO") return ImapResult::kNo;
    return ImapResult::kBad;
  }
}

ImapResult ImapSession::Command(std::string_view command, const Handler& untagged, long long literalLimit,
                                ImapStatus* statusText) {
  std::string tag = NextTag();
  if (!connection_.SendAll(tag + " " + std::string(command) + "\r\n")) return ImapResult::kBroken;
  return ReadToTagged(tag, untagged, literalLimit, statusText);
}

bool ImapSession::AskCapabilities() {
  capabilities_.clear();
  return Command("CAPABILITY", nullptr) == ImapResult::kOk;
}

bool ImapSession::ReadGreeting(bool* preauth) {
  ImapResponse greeting;
  ImapRead read = reader_.Read(&greeting, kSmallLiteralLimit);
  if (read == ImapRead::kResponse && greeting.untagged()) {
    ImapStatus status = ParseImapStatus(greeting.rest());
    if (StartsWithIgnoringCase(status.code, "CAPABILITY ")) TakeCapabilities(status.code);
    *preauth = status.word == "PREAUTH";
    if (status.word == "OK" || *preauth) return true;
    Log(SJIS("IMAPサーバーにログインできませんでした。"), status.text);
  } else {
    Log(SJIS("IMAPサーバーにログインできませんでした。"));
  }
  return false;
}

bool ImapSession::StartTls(const MailboxAccount& account) {
  if (!HasCapability("STARTTLS")) {
    Log(SJIS("IMAPサーバーがSTARTTLSに対応していないため、ログインしません。"));
    return false;
  }
  ImapStatus status;
  if (Command("STARTTLS", nullptr, kSmallLiteralLimit, &status) != ImapResult::kOk) {
    Log(SJIS("IMAPサーバーがSTARTTLSを受け付けなかったため、ログインしません。"), status.text);
    return false;
  }
  // Bytes that came with the answer were sent before the encryption: taking them as part of
  // the protected session would let anyone on the line speak for the server.
  if (reader_.buffered() != 0) {
    Log(SJIS("IMAPサーバーがTLSの開始前に余分なデータを送ったため、ログインしません。"));
    Close();
    return false;
  }
  if (!connection_.StartTls(account.server, account.caFile)) {
    Log(SJIS("IMAP: ") + TlsFailureMessage(connection_));
    return false;
  }
  // RFC 3501 6.2.1: what was announced before TLS no longer holds.
  return AskCapabilities();
}

bool ImapSession::Login(const MailboxAccount& account) {
  if (account.authMethod == 1) return OAuthLogin(account);
  if (HasCapability("LOGINDISABLED")) {
    // RFC 3501 6.2.3: the server takes no password over this connection.
    Log(SJIS("IMAPサーバーが暗号化されていない接続でのログインを受け付けないため(LOGINDISABLED)、ログインしません。"
             "PopSecurityを1(STARTTLS)か2(TLS)にしてください。"));
    return false;
  }
  std::string tag = NextTag();
  std::string line = tag + " LOGIN ";
  // A name or password that cannot be quoted goes as a literal: its size, the server's
  // go-ahead, then its bytes (RFC 3501 4.3, 7.5).
  auto argument = [&](const std::string& value) {
    std::string quoted;
    if (ImapQuoted(value, &quoted)) {
      line += quoted;
      return true;
    }
    line += '{';
    line += std::to_string(value.size());
    line += "}\r\n";
    if (!connection_.SendAll(line)) return false;
    line.clear();
    ImapResponse response;
    if (reader_.Read(&response, kSmallLiteralLimit) != ImapRead::kResponse || !response.continuation()) {
      return false;
    }
    line += value;
    return true;
  };
  bool sent = argument(account.userId);
  line += " ";
  sent = sent && argument(password_) && connection_.SendAll(line + "\r\n");
  ImapStatus status;
  ImapResult result = sent ? ReadToTagged(tag, nullptr, kSmallLiteralLimit, &status) : ImapResult::kBroken;
  if (result != ImapResult::kOk) {
    Log(SJIS("IMAPサーバーにログインできませんでした。"), status.text);
    return false;
  }
  return CapabilitiesAfterLogin(status);
}

bool ImapSession::CapabilitiesAfterLogin(const ImapStatus& status) {
  // The capabilities may change with the log-in (RFC 3501 6.2.3); a server that did not name
  // them in its answer is asked.
  if (!StartsWithIgnoringCase(status.code, "CAPABILITY ")) return AskCapabilities();
  return true;
}

bool ImapSession::OAuthLogin(const MailboxAccount& account) {
  if (!UsableInOAuthResponse(account.userId) || !UsableInOAuthResponse(password_)) {
    Log(SJIS("ユーザーIDまたはOAuth2のトークンに使えない文字が含まれています。"));
    return false;
  }
  const OAuthMechanism mechanism =
      ChooseOAuthMechanism(HasCapability("AUTH=XOAUTH2"), HasCapability("AUTH=OAUTHBEARER"));
  if (mechanism == OAuthMechanism::kNone) {
    // Never a password instead: AuthMethod 1 means the server gets a token or nothing.
    Log(SJIS("IMAPサーバーがOAuth2の認証方式(XOAUTH2, OAUTHBEARER)を提供していないため、ログインしません。"));
    return false;
  }
  ImapStatus status;
  ImapResult result = Authenticate(account, mechanism, &status);
  if (result == ImapResult::kNo) {
    // A refused token may have expired or been revoked: one fresh token, one more try.
    SecretResult fresh = AccountSecret(account.secrets.get(), password_, SecretPurpose::kMailbox, true);
    if (!fresh.ok) {
      Log("IMAP: " + fresh.error);
      return false;
    }
    password_ = std::move(fresh.secret);
    if (!UsableInOAuthResponse(password_)) {
      Log(SJIS("ユーザーIDまたはOAuth2のトークンに使えない文字が含まれています。"));
      return false;
    }
    result = Authenticate(account, mechanism, &status);
  }
  return result == ImapResult::kOk && CapabilitiesAfterLogin(status);
}

ImapResult ImapSession::Authenticate(const MailboxAccount& account, OAuthMechanism mechanism, ImapStatus* status) {
  const std::string name = OAuthMechanismName(mechanism);
  const std::string refusal = SJIS("IMAPサーバーがOAuth2のトークンを受け付けませんでした (") + name + ")";
  credentials_ = Base64Encode(OAuthInitialResponse(mechanism, account.userId, account.server, account.port, password_));
  const std::string tag = NextTag();
  // RFC 4959: with SASL-IR the response goes with the command; otherwise after the server's
  // empty challenge.
  const bool initial = HasCapability("SASL-IR");
  bool sent = connection_.SendAll(tag + " AUTHENTICATE " + name + (initial ? " " + credentials_ : "") + "\r\n");
  std::string reason;  // the failure challenge, decoded
  int continuations = 0;
  ImapResult result = ImapResult::kBroken;
  while (sent) {
    ImapResponse response;
    if (reader_.Read(&response, kSmallLiteralLimit) != ImapRead::kResponse) break;
    if (response.continuation()) {
      std::string_view text = std::string_view(response.text).substr(std::min<size_t>(response.text.size(), 2));
      ++continuations;
      if (!initial && continuations == 1) {
        sent = connection_.SendAll(credentials_ + "\r\n");
      } else if (reason.empty() && continuations <= 2) {
        // A failure challenge: the server's reason, answered as the mechanism asks.
        reason = OAuthChallengeText(text);
        sent = connection_.SendAll(OAuthFailureAnswer(mechanism) + "\r\n");
      } else {
        sent = connection_.SendAll("*\r\n");  // RFC 3501 6.2.2: the exchange is cancelled
      }
      continue;
    }
    if (response.untagged()) {
      std::string_view rest = response.rest();
      if (StartsWithIgnoringCase(rest, "CAPABILITY ")) TakeCapabilities(rest);
      continue;
    }
    if (response.tag() != tag) continue;
    *status = ParseImapStatus(response.rest());
    if (StartsWithIgnoringCase(status->code, "CAPABILITY ")) TakeCapabilities(status->code);
    result = status->word == "OK" ? ImapResult::kOk : status->word == "NO" ? ImapResult::kNo : ImapResult::kBad;
    break;
  }
  // An OK after a failure challenge is no log-in this side trusts.
  if (result == ImapResult::kOk && !reason.empty()) result = ImapResult::kNo;
  if (result != ImapResult::kOk) {
    std::string said = status->code.empty() ? status->text : "[" + status->code + "] " + status->text;
    Log(refusal, reason + (reason.empty() || said.empty() ? "" : " ") + said);
  }
  if (result == ImapResult::kBroken) Close();
  return result;
}

bool ImapSession::Open(const MailboxAccount& account) {
  nextTag_ = 1;
  capabilities_.clear();
  password_ = account.password;
  credentials_.clear();
  folder_ = account.folder.empty() ? "INBOX" : account.folder;
  (void)ImapQuoted(ImapFolderName(account.folder), &folderName_);
  if (account.server.empty() || account.userId.empty() || (!account.secrets && account.password.empty())) {
    Log(SJIS("IMAPサーバー、ユーザーID、パスワードのいずれかが設定されていません。"));
    return false;
  }
  SecretResult secret = AccountSecret(account.secrets.get(), account.password, SecretPurpose::kMailbox);
  if (!secret.ok) {
    Log("IMAP: " + secret.error);
    return false;
  }
  password_ = std::move(secret.secret);
  if (password_.empty()) {
    Log(SJIS("IMAPサーバー、ユーザーID、パスワードのいずれかが設定されていません。"));
    return false;
  }
  // A line break would end the command early and let the rest pass as a command of its own.
  if (HasLineBreak(account.userId) || HasLineBreak(password_)) {
    Log(SJIS("ユーザーIDまたはパスワードに改行文字が含まれています。"));
    return false;
  }
  int port = account.port & 0xFFFF;
  // Nothing but an explicit 0 means plain.
  const int security = qv::SecurityLevel(account.security);
  if (!connection_.Connect(account.server, port)) {
    Log(SJIS("IMAPサーバーに接続できませんでした。") + " (" + account.server + ":" + std::to_string(port) + ")");
    return false;
  }
  if (security == 2 && !connection_.StartTls(account.server, account.caFile)) {
    Log(SJIS("IMAP: ") + TlsFailureMessage(connection_));
    return false;
  }
  bool preauth = false;
  if (!ReadGreeting(&preauth)) {
    Close();
    return false;
  }
  if (preauth && security == 1) {
    // STARTTLS is allowed only before the log-in (RFC 3501 6.2.1).
    Log(SJIS("IMAPサーバーがログイン済み(PREAUTH)のため、STARTTLSを行えません。"));
    Logout();
    return false;
  }
  // The greeting may have named the capabilities already (RFC 3501 7.1).
  bool opened = (!capabilities_.empty() || AskCapabilities()) &&
                (preauth || ((security != 1 || StartTls(account)) && Login(account)));
  if (!opened) {
    if (connection_.IsOpen()) Logout();
    return false;
  }
  return true;
}

bool ImapSession::Select(bool readOnly, ImapFolderState* state) {
  *state = ImapFolderState();
  auto untagged = [state](ImapResponse& response) {
    std::string_view rest = response.rest();
    size_t blank = rest.find(' ');
    uint32_t number = 0;
    if (blank != std::string_view::npos && ParseImapNumber(rest.substr(0, blank), &number) &&
        EqualsIgnoringCase(rest.substr(blank + 1), "EXISTS")) {
      state->exists = number;
      return;
    }
    ImapStatus status = ParseImapStatus(rest);
    if (status.word != "OK") return;
    std::string_view code(status.code);
    size_t space = code.find(' ');
    if (space == std::string_view::npos) return;
    if (EqualsIgnoringCase(code.substr(0, space), "UIDVALIDITY")) {
      (void)ParseImapNumber(code.substr(space + 1), &state->uidValidity);
    } else if (EqualsIgnoringCase(code.substr(0, space), "UIDNEXT")) {
      (void)ParseImapNumber(code.substr(space + 1), &state->uidNext);
    }
  };
  ImapStatus status;
  ImapResult result = Command(std::string(readOnly ? "EXAMINE " : "SELECT ") + folderName_, untagged,
                              kSmallLiteralLimit, &status);
  if (result == ImapResult::kOk) return true;
  if (result == ImapResult::kNo || result == ImapResult::kBad) {
    Log(SJIS("IMAPのフォルダ「") + folder_ + SJIS("」を開けませんでした。"), status.text);
    Logout();
  } else if (result == ImapResult::kBroken) {
    Log(SJIS("IMAPのフォルダ「") + folder_ + SJIS("」を開く前に接続が切れました。"));
  }
  return false;
}

void ImapSession::Logout() {
  if (!connection_.IsOpen()) return;
  loggingOut_ = true;
  (void)Command("LOGOUT", nullptr);
  loggingOut_ = false;
  Close();
}
