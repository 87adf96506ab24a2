// One IMAP4rev1 session (RFC 3501) over the socket layer: connection, TLS, log-in, folder
// selection and tagged commands. The IMAP mailbox (imap_mailbox.cpp), the idle session and the
// account check are built on it.
//
// Order of use: Open (connect, TLS from the first byte for security 2, greeting, CAPABILITY
// unless the greeting named them, STARTTLS and CAPABILITY again for security 1, Login (LOGIN,
// or with an OAuth2 token AUTHENTICATE XOAUTH2 or OAUTHBEARER, RFC 7628, with the response in
// the command when the server offers SASL-IR), CAPABILITY when the log-in did not name them) -> Select -> Command ... -> Logout. Every
// failure is logged (category LOG_RECV) with what the server said kept apart from our own
// words; the password or token is never logged, not even when a server repeats it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/mail/imap_reader.h"
#include "app/mail/mailbox_account.h"
#include "app/mail/oauth_sasl.h"
#include "platform/socket.h"

class LogSink;

// What SELECT (or EXAMINE) told of the folder (RFC 3501 6.3.1); 0 where the server said nothing.
struct ImapFolderState {
  uint32_t exists = 0;
  uint32_t uidValidity = 0;
  uint32_t uidNext = 0;
};

enum class ImapResult {
  kOk,
  kNo,       // the server refused the command (tagged NO)
  kBad,      // the server did not understand it (tagged BAD)
  kBroken,   // the connection closed, failed, timed out, or the server said BYE
  kTooLong,  // a response broke a bound of the reader, or too many responses came
};

class ImapSession {
 public:
  // Most untagged responses one command may draw; more ends the session.
  static constexpr int kMaxResponsesPerCommand = 400000;
  // Largest literal expected outside a fetched message (a folder name, a flag, a text).
  static constexpr long long kSmallLiteralLimit = 64 * 1024;

  // `log` may be null, and must outlive the session otherwise.
  explicit ImapSession(LogSink* log);
  ~ImapSession();
  ImapSession(const ImapSession&) = delete;
  ImapSession& operator=(const ImapSession&) = delete;

  // Asks the account's secret source, connects and logs in. LOGIN is never sent while the
  // server announces LOGINDISABLED, nor with security 1 before STARTTLS succeeded; with
  // authMethod 1 no password at all, only a token through a mechanism the server offers. A
  // refused token is followed by one fresh token (SecretSource::Renew) and one more try. False
  // (logged, connection closed) on any failure: empty server, user or password, a secret that
  // cannot be had, a line break in the user or the secret, resolution, connection, TLS, a
  // greeting that is not OK or PREAUTH, STARTTLS not offered or refused, bytes sent ahead of
  // the TLS handshake, LOGIN or AUTHENTICATE refused, no OAuth2 mechanism offered.
  [[nodiscard]] bool Open(const MailboxAccount& account);
  // SELECT (EXAMINE when `readOnly`) of the account's folder; false (logged) when refused or
  // broken.
  [[nodiscard]] bool Select(bool readOnly, ImapFolderState* state);

  // Called for each untagged response a command draws; it may take the literals' bytes.
  using Handler = std::function<void(ImapResponse&)>;
  // Sends "tag command" and reads responses up to its tagged one, all of them within the receive
  // time-out (a server that keeps talking without ending the command is dropped as a silent
  // one is); literals of one response may hold `literalLimit` bytes. A BYE ends the command as kBroken (logged). `statusText`
  // (may be null) receives the tagged response's status. A broken session is closed.
  [[nodiscard]] ImapResult Command(std::string_view command, const Handler& untagged,
                                   long long literalLimit = kSmallLiteralLimit,
                                   ImapStatus* statusText = nullptr);
  // Reads responses up to the tagged response of `tag`, for a command sent otherwise (the end
  // of an IDLE); as Command.
  [[nodiscard]] ImapResult ReadToTagged(const std::string& tag, const Handler& untagged,
                                        long long literalLimit = kSmallLiteralLimit,
                                        ImapStatus* statusText = nullptr);
  // Sends LOGOUT, reads to its tagged response (at most the socket time-out) and closes.
  void Logout();
  // Closes without a word.
  void Close();

  // Whether the server announced `name` (compared without regard to case) in its last
  // CAPABILITY list.
  [[nodiscard]] bool HasCapability(std::string_view name) const;
  [[nodiscard]] bool IsOpen() const { return connection_.IsOpen(); }
  // The next tag ("A1", "A2", ...).
  [[nodiscard]] std::string NextTag();

  qv::TcpConnection& connection() { return connection_; }
  ImapReader& reader() { return reader_; }
  // Logs `message` (CP932), with the server's words in brackets when given (ServerReplyText).
  void Log(const std::string& message, std::string_view serverText = {}) const;

 private:
  // Reads the greeting; true for OK (and PREAUTH in `preauth`).
  bool ReadGreeting(bool* preauth);
  // CAPABILITY; false when it failed.
  bool AskCapabilities();
  // Takes the capability list of a "CAPABILITY ..." text (an untagged response or a code).
  void TakeCapabilities(std::string_view words);
  bool StartTls(const MailboxAccount& account);
  // The one step that proves who we are: LOGIN, or OAuthLogin.
  bool Login(const MailboxAccount& account);
  // CAPABILITY unless the tagged answer of a log-in named them.
  bool CapabilitiesAfterLogin(const ImapStatus& status);
  bool OAuthLogin(const MailboxAccount& account);
  // One AUTHENTICATE exchange with the token in password_; a failure challenge is answered as
  // the mechanism asks, and a refusal logged with the server's reason.
  ImapResult Authenticate(const MailboxAccount& account, OAuthMechanism mechanism, ImapStatus* status);

  LogSink* log_ = nullptr;
  qv::TcpConnection connection_;
  ImapReader reader_{connection_};
  std::vector<std::string> capabilities_;
  int nextTag_ = 1;
  bool loggingOut_ = false;  // a BYE is expected
  std::string folder_;       // the folder as configured (CP932), for the log
  std::string folderName_;   // the folder's name on the wire (a quoted string)
  std::string password_;     // the password or token; masked in every reply logged
  std::string credentials_;  // the last AUTHENTICATE response as sent (base64); masked too
};

// Writes `text` as a quoted string (RFC 3501 4.3) into `quoted`; false when it cannot be one
// (a control byte or a byte beyond ASCII: such a text goes as a literal).
[[nodiscard]] bool ImapQuoted(std::string_view text, std::string* quoted);

// The folder name of the settings (CP932) as IMAP writes it: modified UTF-7 (RFC 3501 5.1.3);
// "INBOX" for an empty name.
[[nodiscard]] std::string ImapFolderName(std::string_view cp932);
