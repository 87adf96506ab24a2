// CMailClient's POP3 half (RFC 1939) and the parts of the object both halves share.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <limits>
#include <string_view>
#include <vector>

#include "app/mail/mail_client.h"
#include "app/settings/activity_log.h"
#include "app/settings/setting_rules.h"
#include "platform/text.h"

namespace {

constexpr size_t kReceiveChunk = 16384;
// A single-line reply is at most 512 bytes (RFC 1939); more than this is not a reply.
constexpr size_t kReplyLineLimit = 8192;
// A scan line is at most a few dozen bytes; this bounds a listing of kMaxEntryCount lines.
constexpr size_t kListingLimit = 16 * 1024 * 1024;
// Room for the status line, the terminator and dot-stuffing beyond the message itself.
constexpr size_t kResponseSlack = 64 * 1024;

enum class Response { kComplete, kNegative, kBroken, kTooLarge };

// Reads one multi-line response (status line, lines, "." line) into `text`, whole: the
// terminator is looked for in the accumulated text, so it may arrive split over receives.
// A status line other than "+OK" ends the response (kNegative). kBroken: the connection ended
// or timed out (the connection is then closed; `text` keeps what arrived). kTooLarge: more
// than `limit` bytes, terminator included (the rest is left unread).
Response ReadMultiline(qv::TcpConnection& connection, size_t limit, std::string* text) {
  text->clear();
  std::string chunk(kReceiveChunk, '\0');
  size_t statusEnd = std::string::npos;
  size_t searchFrom = 0;
  for (;;) {
    long n = connection.Receive(chunk.data(), chunk.size());
    if (n <= 0) {
      connection.Close();
      return Response::kBroken;
    }
    text->append(chunk.data(), static_cast<size_t>(n));
    if (statusEnd == std::string::npos) {
      statusEnd = text->find("\r\n");
      if (statusEnd != std::string::npos) {
        if (text->compare(0, 3, "+OK") != 0) {
          text->resize(statusEnd + 2);
          return Response::kNegative;
        }
        searchFrom = statusEnd;
      }
    }
    if (statusEnd != std::string::npos) {
      // The terminator is CR LF "." CR LF; the CR LF ending the status line counts as the
      // first CR LF, so an empty response "+OK\r\n.\r\n" ends too.
      size_t end = text->find("\r\n.\r\n", searchFrom);
      if (end != std::string::npos) {
        if (end + 5 > limit) return Response::kTooLarge;
        text->resize(end + 5);
        return Response::kComplete;
      }
      searchFrom = text->size() >= 4 ? text->size() - 4 : 0;
      if (searchFrom < statusEnd) searchFrom = statusEnd;
    }
    if (text->size() > limit) return Response::kTooLarge;
  }
}

// A decimal integer with an optional sign and nothing else; false when `text` is not one or
// does not fit in a long long.
bool ParseInteger(std::string_view text, long long* value) {
  if (text.empty()) return false;
  std::string copy(text);
  char* end = nullptr;
  errno = 0;
  long long parsed = std::strtoll(copy.c_str(), &end, 10);
  if (errno != 0 || end == copy.c_str() || *end != '\0') return false;
  if (copy[0] != '-' && copy[0] != '+' && (copy[0] < '0' || copy[0] > '9')) return false;
  *value = parsed;
  return true;
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

CMailClient::CMailClient(LogSink* log) : log_(log) {}

CMailClient::~CMailClient() = default;

void CMailClient::Log(int category, const std::string& message) const {
  if (log_) log_->Log(category, message);
}

void CMailClient::LogDeferred(size_t remaining) const {
  Log(LOG_RECV, SJIS("一度に受信できる量を超えたため、残りの") + std::to_string(remaining) +
                    SJIS("個のメールは次回受信します。"));
}

std::string TlsFailureMessage(const qv::TcpConnection& connection) {
  const std::string detail = " (" + connection.tlsDetail() + ")";
  switch (connection.tlsFailure()) {
    case qv::TlsFailure::kUntrusted:
      return SJIS("サーバーの証明書が信頼できません。") + detail;
    case qv::TlsFailure::kHostMismatch:
      return SJIS("サーバーの証明書がサーバー名と一致しません。") + detail;
    case qv::TlsFailure::kCaFile:
      return SJIS("CA証明書ファイルが読めません。") + detail;
    case qv::TlsFailure::kHandshake:
    case qv::TlsFailure::kNone:
      break;
  }
  return SJIS("TLSの接続に失敗しました。") + detail;
}

void CMailClient::SetPopParams(const char* server, const char* userId, const char* password,
                               int port, int security, const char* caFile) {
  PopParams params;
  params.server = server ? server : "";
  params.userId = userId ? userId : "";
  params.password = password ? password : "";
  params.port = port;
  params.security = qv::SecurityLevel(security);
  params.caFile = caFile ? caFile : "";
  std::lock_guard lock(popParamsMutex_);
  popParams_ = std::move(params);
}

void CMailClient::SetMailbox(const MailSettings& mail) {
  PopParams params;
  params.server = mail.PopServer;
  params.userId = mail.UserID;
  params.password = mail.Passwd;
  params.port = mail.PopPort;
  params.security = qv::SecurityLevel(mail.PopSecurity);
  params.caFile = mail.CaFile;
  params.imap = mail.MailProtocol == 1;
  params.imapFolder = mail.ImapFolder;
  idleUnavailableLogged_ = false;
  std::lock_guard lock(popParamsMutex_);
  popParams_ = std::move(params);
}

CMailClient::PopParams CMailClient::CopyPopParams() const {
  std::lock_guard lock(popParamsMutex_);
  return popParams_;
}

int CMailClient::ReadPopReply(qv::TcpConnection& connection) {
  std::string reply;
  char chunk[1024];
  while (reply.find('\n') == std::string::npos && reply.size() < kReplyLineLimit) {
    long n = connection.Receive(chunk, sizeof chunk);
    if (n <= 0) {
      connection.Close();
      break;
    }
    reply.append(chunk, static_cast<size_t>(n));
  }
  return reply.compare(0, 3, "+OK") == 0 ? 1 : 0;
}

void CMailClient::PopQuit(qv::TcpConnection& connection) {
  if (connection.SendAll("QUIT\r\n")) (void)ReadPopReply(connection);
  connection.Close();
}

std::unique_ptr<qv::TcpConnection> CMailClient::PopLogin() {
  PopParams params = CopyPopParams();
  if (params.server.empty() || params.userId.empty() || params.password.empty()) {
    Log(LOG_RECV, SJIS("POP3サーバー、ユーザーID、パスワードのいずれかが設定されていません。"));
    return nullptr;
  }
  // A line break would end the command early and let the rest pass as a command of its own.
  if (HasLineBreak(params.userId) || HasLineBreak(params.password)) {
    Log(LOG_RECV, SJIS("ユーザーIDまたはパスワードに改行文字が含まれています。"));
    return nullptr;
  }
  auto connection = std::make_unique<qv::TcpConnection>();
  int port = params.port & 0xFFFF;
  if (!connection->Connect(params.server, port)) {
    Log(LOG_RECV, SJIS("POP3サーバーに接続できませんでした。") + " (" + params.server + ":" +
                      std::to_string(port) + ")");
    return nullptr;
  }
  if (params.security == 2 && !connection->StartTls(params.server, params.caFile)) {
    Log(LOG_RECV, SJIS("POP3: ") + TlsFailureMessage(*connection));
    return nullptr;
  }
  if (ReadPopReply(*connection) != 1) {
    Log(LOG_RECV, SJIS("POP3サーバーにログインできませんでした。"));
    PopQuit(*connection);
    return nullptr;
  }
  if (params.security == 1 && !StartPopTls(*connection, params)) {
    PopQuit(*connection);
    return nullptr;
  }
  bool accepted = connection->SendAll("USER " + params.userId + "\r\n") &&
                  ReadPopReply(*connection) == 1 &&
                  connection->SendAll("PASS " + params.password + "\r\n") &&
                  ReadPopReply(*connection) == 1;
  if (!accepted) {
    Log(LOG_RECV, SJIS("POP3サーバーにログインできませんでした。"));
    PopQuit(*connection);
    return nullptr;
  }
  return connection;
}

bool CMailClient::StartPopTls(qv::TcpConnection& connection, const PopParams& params) {
  // RFC 2595 4: STLS is offered in the CAPA reply; without it the password stays unsent.
  std::string capabilities;
  bool offered = connection.SendAll("CAPA\r\n") &&
                 ReadMultiline(connection, kReplyLineLimit * 8, &capabilities) == Response::kComplete;
  if (offered) {
    offered = false;
    for (size_t start = capabilities.find("\r\n"); start != std::string::npos;) {
      start += 2;
      size_t end = capabilities.find("\r\n", start);
      std::string_view line(capabilities.data() + start,
                            (end == std::string::npos ? capabilities.size() : end) - start);
      std::string word(line.substr(0, line.find(' ')));
      for (char& c : word) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (word == "STLS") offered = true;
      start = end;
    }
  }
  if (!offered) {
    Log(LOG_RECV, SJIS("POP3サーバーがSTLSに対応していないため、ログインしません。"));
    return false;
  }
  if (!connection.SendAll("STLS\r\n") || ReadPopReply(connection) != 1) {
    Log(LOG_RECV, SJIS("POP3サーバーがSTLSを受け付けなかったため、ログインしません。"));
    return false;
  }
  if (!connection.StartTls(params.server, params.caFile)) {
    Log(LOG_RECV, SJIS("POP3: ") + TlsFailureMessage(connection));
    return false;
  }
  return true;
}

void CMailClient::ReleaseEntries() {
  entries_.clear();
  entries_.shrink_to_fit();
}

int CMailClient::CheckMail() {
  ReleaseEntries();
  lastCheckFailed_ = true;  // until the listing has been read
  PopParams params = CopyPopParams();
  if (params.imap) return ImapCheckMail(params);
  std::unique_ptr<qv::TcpConnection> connection = PopLogin();
  lastLoginFailed_ = !connection;
  if (!connection) return 0;

  std::string listing;
  Response listed = connection->SendAll("LIST\r\n")
                        ? ReadMultiline(*connection, kListingLimit, &listing)
                        : Response::kBroken;
  if (listed != Response::kComplete) {
    Log(LOG_RECV, SJIS("メール一覧を受信できませんでした。"));
    PopQuit(*connection);
    return 0;
  }
  lastCheckFailed_ = false;

  // The scan lines lie between the status line and the terminator; they, not the status
  // line's text (which RFC 1939 leaves free), tell how many messages there are.
  size_t statusEnd = listing.find("\r\n");
  std::string_view scan(listing);
  scan = scan.substr(statusEnd + 2, scan.size() - (statusEnd + 2) - 3);
  std::vector<std::string_view> scanLines;
  for (size_t position = 0; position < scan.size();) {
    size_t lineEnd = scan.find("\r\n", position);
    if (lineEnd == std::string_view::npos) lineEnd = scan.size();
    if (scanLines.size() == static_cast<size_t>(kMaxEntryCount)) {
      Log(LOG_RECV, SJIS("メール数が多すぎるため、先頭の") + std::to_string(kMaxEntryCount) +
                        SJIS("個だけを受信します。"));
      break;
    }
    scanLines.push_back(scan.substr(position, lineEnd - position));
    position = lineEnd + 2;
  }
  if (scanLines.empty()) {
    PopQuit(*connection);
    return 0;
  }

  long long heldBytes = 0;
  for (size_t index = 0; index < scanLines.size(); ++index) {
    std::string_view line = scanLines[index];
    size_t blank = line.find(' ');
    long long number = 0;
    long long size = -1;
    bool readable = blank != std::string_view::npos && ParseInteger(line.substr(0, blank), &number) &&
                    ParseInteger(line.substr(blank + 1), &size);
    if (!readable || number <= 0 || number > std::numeric_limits<int>::max() || size < 0) {
      Log(LOG_RECV, SJIS("メール一覧の読めない行を飛ばしました。"));
      continue;
    }
    if (size > kMaxMessageSize) {
      Log(LOG_RECV, SJIS("サイズが大きすぎるメールを受信しませんでした。") + " (#" +
                        std::to_string(number) + ", " + std::to_string(size) + " bytes)");
      continue;
    }
    if (heldBytes + size > checkBytes_) {
      // What one check holds is bounded; the rest waits on the server for the next check.
      LogDeferred(scanLines.size() - index);
      break;
    }

    MAILENTRY entry;
    entry.number = static_cast<int>(number);
    entry.size = static_cast<int>(size);
    // What arrives counts, not what was announced: the response may be no larger than the
    // budget still left allows.
    const long long messageRoom = kMaxMessageSize + static_cast<long long>(kResponseSlack);
    const long long room = std::min(messageRoom, checkBytes_ - heldBytes);
    Response fetched = connection->SendAll("RETR " + std::to_string(number) + "\r\n")
                           ? ReadMultiline(*connection, static_cast<size_t>(room), &entry.text)
                           : Response::kBroken;
    if (fetched == Response::kComplete) {
      heldBytes += static_cast<long long>(entry.text.size());
      entries_.push_back(std::move(entry));
      continue;
    }
    if (fetched == Response::kNegative) {
      Log(LOG_RECV, SJIS("メールを受信できませんでした。") + " (#" + std::to_string(number) + ")");
      continue;
    }
    if (fetched == Response::kTooLarge && room < messageRoom) {
      LogDeferred(scanLines.size() - index);
      break;
    }
    if (fetched == Response::kTooLarge) {
      // The rest of the message is still on its way: this connection cannot go on.
      Log(LOG_RECV, SJIS("サイズが大きすぎるメールを受信しませんでした。") + " (#" +
                        std::to_string(number) + ")");
      break;
    }
    // A message without its terminator may lack any part of itself: it is neither read nor
    // deleted, and comes again with the next check.
    Log(LOG_RECV, SJIS("メールの受信中に接続が切れました。") + " (#" + std::to_string(number) + ")");
    break;
  }
  PopQuit(*connection);
  return entries_.empty() ? 0 : 1;
}

void CMailClient::DeleteMarked() {
  PopParams params = CopyPopParams();
  if (params.imap) {
    ImapDeleteMarked(params);
    return;
  }
  std::unique_ptr<qv::TcpConnection> connection = PopLogin();
  if (!connection) return;
  for (const MAILENTRY& entry : entries_) {
    if (!entry.deleteMark) continue;
    if (!connection->SendAll("DELE " + std::to_string(entry.number) + "\r\n")) break;
    (void)ReadPopReply(*connection);
    if (!connection->IsOpen()) break;
  }
  PopQuit(*connection);
}

int CMailClient::PopBeforeSmtp() {
  if (CopyPopParams().imap) {
    std::unique_ptr<ImapSession> session = ImapLogin();
    if (!session) return 0;
    session->Logout();
    return 1;
  }
  std::unique_ptr<qv::TcpConnection> connection = PopLogin();
  if (!connection) return 0;
  PopQuit(*connection);
  return 1;
}

int CMailClient::GetEntryCount() const { return static_cast<int>(entries_.size()); }

MAILENTRY* CMailClient::GetEntry(int index) {
  if (index < 0 || static_cast<size_t>(index) >= entries_.size()) return nullptr;
  return &entries_[static_cast<size_t>(index)];
}
