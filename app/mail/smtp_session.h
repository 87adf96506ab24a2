// One SMTP session (RFC 5321) over the socket layer, one reply mail per session: one function
// per command, one for the kind of reply (a reply of any number of lines).
//
// Order of use:
//   Connect (the server name checked, TCP, TLS from the first byte for security 2 (RFC 8314),
//            the greeting)
//   -> Hello: HELO when neither security, authentication nor SMTPUTF8 is asked for; otherwise
//            EHLO, for security 1 StartTls (RFC 3207) and EHLO again, Authenticate when asked
//            for (RFC 4954), and the check that the server announces SMTPUTF8 when it is needed
//   -> MailFrom -> RcptTo -> Data -> Message -> Quit      (SendMail runs these five)
// Every failure is logged (category LOG_SEND) with our words and the server's reply kept
// apart; the credentials never reach the log, not even when a server repeats them. A refusal
// after EHLO of the security or authentication steps is followed by QUIT; after MAIL, RCPT or
// DATA the connection is left open for the caller to close. Every reply is whole within the
// receive time-out of the timings record (at most 64 KiB), or the connection is dropped.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "app/address/mail_address.h"
#include "app/mail/oauth_sasl.h"
#include "app/mail/secret_source.h"
#include "app/mail/session_result.h"
#include "app/settings/settings.h"
#include "platform/socket.h"

class LogSink;

// The submission server and how to reach it.
struct SmtpAccount {
  std::string server;  // also the name given in HELO / EHLO
  int port = 25;       // the low 16 bits are used
  int security = 0;    // 0 plain, 1 STARTTLS after EHLO, 2 and every other value TLS from the
                       // first byte
  bool authenticate = false;  // authMethod 0: AUTH PLAIN, else LOGIN; 1: XOAUTH2, else OAUTHBEARER
  std::string userId;
  std::string password;  // used when `secrets` is null
  std::string caFile;  // PEM file of extra trusted certificates; may be empty
  int authMethod = 0;  // 0 the password, 1 an OAuth2 access token
  // Asked for the password or token (SecretPurpose::kSubmission) when authenticating, and once
  // more after a refused token; null: `password`.
  std::shared_ptr<SecretSource> secrets;
};

// The submission server of `mail`: SmtpServer, SmtpPort, SmtpSecurity, SmtpAuth 1, AuthMethod,
// the submission user (or the mailbox's where none is set) and the settings' secret source.
[[nodiscard]] SmtpAccount SmtpAccountOf(const MailSettings& mail);

enum class SmtpStatus {
  kOk,
  kUnreachable,       // no usable server name, no connection, or the greeting was refused
  kRefused,           // a reply that was not the expected one, or none
  kRecipientRefused,  // RCPT refused: the server will not take mail for the address
  kBroken,            // the connection failed while the mail was being sent
  kNoUtf8Support,     // the recipient's local part needs SMTPUTF8, the server lacks it
  kNoTls,             // STARTTLS asked for, but the server does not offer or refuses it
  kTlsFailed,         // the TLS handshake failed (certificate, host name, protocol)
  kAuthRefused,       // no usable AUTH mechanism, or the credentials were refused
};
using SmtpResult = StepResult<SmtpStatus>;

class SmtpSession {
 public:
  // `log` may be null, and must outlive the session otherwise.
  SmtpSession(const SmtpAccount& account, LogSink* log);
  ~SmtpSession();
  SmtpSession(const SmtpSession&) = delete;
  SmtpSession& operator=(const SmtpSession&) = delete;

  // The server name must be set, without control bytes and at most 255 bytes long; this is
  // the one place it is checked before it goes anywhere.
  [[nodiscard]] SmtpResult Connect();
  // The steps up to MAIL, as the order above says; `needsUtf8` for a recipient whose local
  // part is beyond ASCII.
  [[nodiscard]] SmtpResult Hello(bool needsUtf8);
  // STARTTLS, the handshake. Bytes that came in plain text after the go-ahead are dropped.
  [[nodiscard]] SmtpResult StartTls();
  // The one step that proves who we are, with the secret the account's source gives: AUTH
  // PLAIN when the EHLO reply offers it, else LOGIN; for authMethod 1 AUTH XOAUTH2 when
  // offered, else OAUTHBEARER, and never a password. A refused token is followed by one fresh
  // token (SecretSource::Renew) and one more try.
  [[nodiscard]] SmtpResult Authenticate();
  // MAIL FROM, with SMTPUTF8 when `utf8`.
  [[nodiscard]] SmtpResult MailFrom(const CheckedAddress& sender, bool utf8);
  [[nodiscard]] SmtpResult RcptTo(const CheckedAddress& recipient);
  [[nodiscard]] SmtpResult Data();
  // The message (RFC 5322 text with CR LF line ends, as BuildReplyMessage gives it), every
  // line that begins with "." sent with one more (RFC 5321 4.5.2), then the "." line.
  [[nodiscard]] SmtpResult Message(std::string_view message);
  // QUIT. Its failure is not logged here: the end of a mail counts it, others need not.
  [[nodiscard]] SmtpResult Quit();
  // Closes the connection; harmless when it is closed.
  void Close();

  [[nodiscard]] bool IsOpen() const { return connection_.IsOpen(); }
  [[nodiscard]] bool IsTls() const { return connection_.IsTls(); }
  // Logs `result` (its error and the server's reply).
  void Log(const SmtpResult& result) const;

 private:
  // Sends `line` and CR LF and reads the reply; kOk when its code is in `accepted` (codes, 0
  // ended), else `failure` with our words `error` (logged).
  [[nodiscard]] SmtpResult Command(const std::string& line, const int* accepted, SmtpStatus failure,
                                   const std::string& error);
  // Reads one whole reply; its three-digit code, or 0 for a broken or unreadable reply.
  // `*text` receives its lines.
  int ReadReply(std::string* text);
  [[nodiscard]] SmtpResult Ehlo();
  // The result of a failed step, the server's reply fit for the log; Fail also logs it.
  [[nodiscard]] SmtpResult Result(SmtpStatus status, const std::string& error, std::string_view reply) const;
  [[nodiscard]] SmtpResult Fail(SmtpStatus status, const std::string& error, std::string_view reply = {}) const;
  // QUIT after a refusal; its answer is read but not judged.
  void QuitQuietly();
  [[nodiscard]] bool Announces(std::string_view keyword) const;
  // The OAuth2 log-in with `mechanism` (kNone: refused, nothing sent).
  [[nodiscard]] SmtpResult OAuthAuthenticate(OAuthMechanism mechanism);
  // One AUTH exchange with the token in secret_: kOk, kRefused (logged with the server's reason
  // from a failure challenge and its final reply), kBroken or kAuthRefused.
  [[nodiscard]] SmtpResult OAuthExchange(OAuthMechanism mechanism);

  SmtpAccount account_;
  LogSink* log_ = nullptr;
  qv::TcpConnection connection_;
  std::string pending_;     // bytes received and not yet read
  std::string extensions_;  // the last EHLO reply
  std::string secret_;      // the password or token of the last Authenticate; masked in the log
  std::string credentials_; // the last OAuth2 response as sent (base64); masked too
};

// One reply mail on a greeted session: Hello, MailFrom, RcptTo, Data, Message, Quit. The result
// of the first step that failed; every failure is logged.
[[nodiscard]] SmtpResult SendMail(SmtpSession& session, const CheckedAddress& sender,
                                  const CheckedAddress& recipient, std::string_view message);
