// One POP3 session (RFC 1939) over the socket layer: one function per command, one per kind of
// reply (a status line, a multi-line response).
//
// Order of use:
//   Open:   Connect (TCP, TLS from the first byte for security 2, the greeting)
//           -> for security 1: Capa, Stls (RFC 2595: the password goes only over TLS)
//           -> LogIn (USER, PASS; with an OAuth2 token CAPA and AUTH XOAUTH2 or OAUTHBEARER,
//              RFC 5034)
//   then:   Stat | List -> Retr ... | Dele ...
//   last:   Quit (also after a failure; harmless on a closed connection)
// Open logs why it failed (category LOG_RECV), our words and the server's reply apart; the
// commands after it return their result and log nothing. The password or token never reaches
// the log, not even when a server repeats it.
//
// Everything the server sends is untrusted: a status line is at most 8 KiB, a multi-line
// response at most the limit its caller gives, and each reply is whole within the receive
// time-out of the timings record, or the connection is dropped.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "app/mail/mailbox_account.h"
#include "app/mail/oauth_sasl.h"
#include "app/mail/session_result.h"
#include "platform/socket.h"

class LogSink;

enum class Pop3Status {
  kOk,
  kRefused,   // a reply that is not "+OK"
  kBroken,    // the connection closed, failed or timed out (it is then closed)
  kTooLarge,  // a reply longer than its limit (the rest is left unread)
};
using Pop3Result = StepResult<Pop3Status>;

// One line of a LIST scan listing: "number size" (RFC 1939 5).
struct Pop3ScanLine {
  bool readable = false;  // two decimal numbers, the number 1 to INT_MAX, the size not negative
  int number = 0;
  long long size = 0;
};

class Pop3Session {
 public:
  // Room for the status line, the terminator and dot-stuffing beyond a message itself.
  static constexpr long long kResponseOverhead = 64 * 1024;

  // `log` may be null, and must outlive the session otherwise.
  explicit Pop3Session(LogSink* log);
  ~Pop3Session();
  Pop3Session(const Pop3Session&) = delete;
  Pop3Session& operator=(const Pop3Session&) = delete;

  // The secret (the account's source asked), Connect, STLS as the security asks, LogIn. False
  // (logged, QUIT sent where a connection is open) on any failure: empty server, user or
  // password, a secret that cannot be had, a line break in the user or the secret, resolution,
  // connection, TLS, a greeting, CAPA, STLS, USER, PASS or AUTH reply that is not "+OK".
  // With an OAuth2 token a server that offers neither XOAUTH2 nor OAUTHBEARER gets nothing.
  [[nodiscard]] bool Open(const MailboxAccount& account);

  // The steps of Open, one by one.
  [[nodiscard]] Pop3Result Connect(const MailboxAccount& account);
  // CAPA; `*capabilities` receives the capability names in upper case (RFC 2449).
  [[nodiscard]] Pop3Result Capa(std::vector<std::string>* capabilities);
  // CAPA, then STLS and the TLS handshake, when CAPA names STLS. Bytes that came in plain text
  // after the server's go-ahead are dropped: they were sent before the encryption.
  [[nodiscard]] Pop3Result Stls(const MailboxAccount& account);
  // The one step that proves who we are, with the secret Open got: USER and PASS, or for
  // authMethod 1 CAPA and AUTH with the OAuth2 mechanism the server offers (XOAUTH2 first). A
  // refused token is logged, a fresh one asked for (SecretSource::Renew) and tried once more.
  [[nodiscard]] Pop3Result LogIn(const MailboxAccount& account);

  // RFC 5034 4: the longest AUTH command line (with its CR LF) that carries the initial
  // response; a longer one sends the response after the server's empty challenge.
  static constexpr size_t kMaxCommandOctets = 255;

  // STAT: the message count of the maildrop.
  [[nodiscard]] Pop3Result Stat(long long* count);
  // LIST: the scan lines of the listing (the status line's text, which RFC 1939 leaves free,
  // is not read), at most `maxLines`; `*cut` is set when more came.
  [[nodiscard]] Pop3Result List(size_t maxLines, std::vector<Pop3ScanLine>* lines, bool* cut);
  // RETR `number`: `*message` receives the message as it was sent, dot-stuffing undone and
  // without the status line and the terminator; `*arrived` the bytes of the whole response.
  // kTooLarge when the response is longer than `limit` bytes.
  [[nodiscard]] Pop3Result Retr(int number, long long limit, std::string* message, long long* arrived);
  // DELE `number`.
  [[nodiscard]] Pop3Result Dele(int number);
  // QUIT: one reply is read but not judged; the connection is closed.
  void Quit();

  [[nodiscard]] bool IsOpen() const { return connection_.IsOpen(); }

 private:
  // Logs `result` (its error and the server's reply).
  void Log(const Pop3Result& result) const;
  // Sends `line` and CR LF, then reads its status line (ReadStatus).
  [[nodiscard]] Pop3Result Command(const std::string& line, const std::string& refusal);
  // Sends `line` and CR LF, then reads a multi-line response (ReadMultiline).
  [[nodiscard]] Pop3Result MultilineCommand(const std::string& line, const std::string& refusal, long long limit,
                                            std::string* body, long long* arrived);
  // A status line; kRefused with our words `refusal` when it is not "+OK". The result of an
  // accepted one carries the line as its reply.
  [[nodiscard]] Pop3Result ReadStatus(const std::string& refusal);
  // A multi-line response of at most `limit` bytes into `*body` (between the status line and
  // the terminator line, still dot-stuffed); `*arrived` its size.
  [[nodiscard]] Pop3Result ReadMultiline(const std::string& refusal, long long limit, std::string* body,
                                         long long* arrived);
  // Receives until the pending bytes hold `needle` at or after `from`; its position, or npos
  // (the connection is then closed) when the connection ended first.
  size_t ReceiveUntil(std::string_view needle, size_t from, size_t limit);
  [[nodiscard]] Pop3Result Failure(Pop3Status status, const std::string& error, std::string_view reply = {}) const;
  // The OAuth2 log-in: the mechanism, one fresh token after a refusal.
  [[nodiscard]] Pop3Result OAuthLogIn(const MailboxAccount& account);
  // One AUTH exchange with the token in password_: kOk, kRefused (with the server's reason from
  // a failure challenge and its final reply), or kBroken.
  [[nodiscard]] Pop3Result Authenticate(const MailboxAccount& account, OAuthMechanism mechanism);
  // Takes the next line when it is a continuation ("+" or "+ base64"): true with its text.
  bool ReadContinuation(std::string* base64);

  LogSink* log_ = nullptr;
  qv::TcpConnection connection_;
  std::string pending_;   // bytes received and not yet read
  std::string password_;     // the password or token; masked in every reply shown
  std::string credentials_;  // the last AUTH response as sent (base64); masked too
  std::vector<std::string> sasl_;  // the SASL mechanisms of the last CAPA, upper case
};
