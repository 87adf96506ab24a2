// The mail client: POP3 (RFC 1939, USER/PASS) or IMAP4rev1 (RFC 3501, LOGIN) to fetch and
// delete request mails, and SMTP (RFC 5321) to send one reply mail per connection.
//
// Mailbox session order (every exchange opens its own connection and closes it before it
// returns; only the idle session outlives a call):
//   POP3 fetch       CheckMail:     greeting, USER, PASS, LIST, RETR n ..., QUIT
//   POP3 delete      DeleteMarked:  greeting, USER, PASS, DELE n (marked entries) ..., QUIT
//   POP3 POP-before-SMTP PopBeforeSmtp: greeting, USER, PASS, QUIT
//   IMAP fetch       CheckMail:     log-in (imap_session.h), SELECT, UID SEARCH ALL,
//                                   UID FETCH first:last (UID RFC822.SIZE),
//                                   UID FETCH uid (BODY.PEEK[]) ..., LOGOUT
//   IMAP delete      DeleteMarked:  log-in, SELECT, UID STORE uids +FLAGS (\Deleted), then
//                                   UID EXPUNGE uids (UIDPLUS) or EXPUNGE, LOGOUT
//   IMAP log-in only PopBeforeSmtp: log-in, LOGOUT
//   IMAP idle        StartIdle:     log-in, EXAMINE, IDLE; WaitIdle ...; EndIdle: DONE, LOGOUT
// The entries made by CheckMail live until the next CheckMail or the object's end; the request
// parser reads them and sets their delete marks in between, DeleteMarked consumes the marks.
//
// SMTP session order (one connection per recipient):
//   SmtpConnect (greeting) -> SmtpSendMail (HELO, MAIL FROM, RCPT TO, DATA, the mail, ".",
//   QUIT) -> SmtpClose.
//
// Everything a server sends is untrusted: counts, sizes and message numbers are checked and
// capped, and every reply (a POP3 status or multi-line reply, an SMTP reply of any number of
// lines, an IMAP command's responses up to its tagged one, the end of an IDLE) is whole within
// the receive time-out of the timings record, or the connection is dropped.
//
// Threads: the fetch and delete exchanges and the idle session run on the mail-check worker,
// PopBeforeSmtp and the SMTP calls on the capture-and-reply worker; PopBeforeSmtp shares no
// state with the idle session, which may be waiting meanwhile. SetPopParams and SetMailbox may
// be called from any thread at any time: each exchange copies the parameters once when it
// logs in.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/mail/imap_idle.h"
#include "app/mail/imap_session.h"
#include "app/settings/settings.h"
#include "platform/socket.h"

class LogSink;

// The activity-log text (CP932) for a failed StartTls on `connection`: what failed, with the
// certificate's subject and issuer where they tell the user what to fix.
[[nodiscard]] std::string TlsFailureMessage(const qv::TcpConnection& connection);

// Results of CMailClient::SmtpSendMail: 0 when the mail and the QUIT were accepted, non-zero for
// every failure.
enum SmtpSendResult {
  kSmtpSent = 0,
  kSmtpNoAddress = 1,       // no recipient or no sender address
  kSmtpUnsafeText = 2,      // an address failed the address check, or the server name is unsafe
  kSmtpRefused = 3,         // a reply that was not the expected one, or none
  kSmtpBroken = 4,          // the connection failed while the mail was being sent
  kSmtpNoUtf8Support = 5,   // the recipient's local part needs SMTPUTF8, the server lacks it
  kSmtpNoTls = 6,           // STARTTLS asked for, but the server does not offer or refuses it
  kSmtpTlsFailed = 7,       // the TLS handshake failed (certificate, host name, protocol)
  kSmtpAuthRefused = 8,     // no usable AUTH mechanism, or the credentials were refused
};

// One fetched message.
struct MAILENTRY {
  int number = 0;            // message number from the LIST scan line (used for RETR and DELE);
                             // IMAP: the message sequence number
  int size = 0;              // size in octets announced by the LIST scan line (IMAP: RFC822.SIZE)
  std::string text;          // the RETR response as received: status line, message (still
                             // dot-stuffed) and the terminating ".\r\n" line. IMAP mails are
                             // kept in the same form (a line naming the message, the message
                             // dot-stuffed, ".\r\n"), so both are read alike
  unsigned char deleteMark = 0;  // 0 when fetched; 1 = delete in the next DeleteMarked
  uint32_t uid = 0;          // IMAP: the message's UID (used for UID STORE); 0 for POP3
};

class CMailClient {
 public:
  // Most messages taken from one listing; a larger announced count is cut to this.
  static constexpr int kMaxEntryCount = 100000;
  // Largest message fetched; a larger one is skipped (not fetched, not deleted) with a log line.
  static constexpr long long kMaxMessageSize = 64LL * 1024 * 1024;
  // Most message bytes one check holds, counted as they arrive (whatever the server announced);
  // the messages past it stay on the server, untouched, for the next check.
  static constexpr long long kMaxCheckBytes = 256LL * 1024 * 1024;

  // `log` receives the client's diagnostic lines (category LOG_RECV / LOG_SEND); it may be
  // null, and must outlive the client otherwise.
  explicit CMailClient(LogSink* log = nullptr);
  ~CMailClient();
  CMailClient(const CMailClient&) = delete;
  CMailClient& operator=(const CMailClient&) = delete;

  // ---- POP3 ----

  // Stores the POP3 server, user ID, password (plain text), port (low 16 bits are used), the
  // connection security (0 plain, 1 STLS before USER (RFC 2595), 2 and every other value TLS
  // from the first byte) and the PEM file of extra trusted certificates (may be empty). Null pointers count as
  // empty texts. Thread-safe.
  void SetPopParams(const char* server, const char* userId, const char* password, int port,
                    int security = 0, const char* caFile = nullptr);
  // Stores every mailbox parameter of `mail` at once: PopServer, UserID, Passwd, PopPort,
  // PopSecurity and CaFile as SetPopParams does, and the protocol (MailProtocol 1: IMAP, with
  // the folder ImapFolder; otherwise POP3). Thread-safe.
  void SetMailbox(const MailSettings& mail);

  // Connects to the POP3 server and logs in with USER / PASS, over TLS as the security asks.
  // With security 1 the server must offer STLS in its CAPA reply and accept it; otherwise no
  // USER or PASS is sent at all. Returns the open connection, or null on any failure (empty
  // server, user or password; resolution, connection, TLS, a greeting, CAPA, STLS, USER or
  // PASS reply that is not "+OK", time-out), after logging the reason, sending QUIT on and
  // closing what it opened. Copies the parameters once, under the lock.
  [[nodiscard]] std::unique_ptr<qv::TcpConnection> PopLogin();
  // Sends "QUIT", reads one reply (not judged) and closes the connection. Harmless on a
  // connection that is already broken.
  void PopQuit(qv::TcpConnection& connection);
  // Reads one single-line reply up to its LF, collecting a reply that arrives in several
  // segments (at most 8 KiB are read). Returns 1 when it begins with "+OK", else 0 (negative
  // reply, closed connection, time-out; a connection that failed is closed).
  [[nodiscard]] int ReadPopReply(qv::TcpConnection& connection);

  // One fetch exchange: releases the previous entries, logs in, lists the mailbox and fetches
  // every listed message, each response read to its terminator line (IMAP: the folder's UIDs,
  // their sizes, then every message; the same caps hold and the same lines are logged). The scan lines of the
  // listing give the messages (the status line's text is not read). Returns 1 when at least
  // one message was fetched, 0 otherwise (log-in failure, empty or unreadable listing).
  // A connection lost inside the listing fetches nothing; lost inside a message, that message
  // is dropped (neither parsed nor deleted) and the exchange ends. Messages whose announced
  // size is negative, non-numeric or above kMaxMessageSize, or whose RETR is refused, are not
  // kept; once kMaxCheckBytes are held the rest waits for the next check (log lines). Held
  // bytes are those that arrived (each entry's text); a message that would carry the check
  // past them is not read further, and the exchange ends there.
  int CheckMail();
  // The bytes one check may hold: kMaxCheckBytes unless a test sets less.
  void SetCheckBytes(long long bytes) { checkBytes_ = bytes; }
  // One delete exchange: "DELE n" for every entry with its delete mark set, in index order;
  // the replies are read but not judged. Nothing happens when the log-in fails (the mails
  // are then fetched again at the next check). IMAP: the marked UIDs are flagged \Deleted and
  // expunged (only those with UIDPLUS, every \Deleted message of the folder without it);
  // nothing is deleted when no entry is marked, or when the folder's UIDVALIDITY differs from
  // the fetch's (the UIDs would name other messages).
  void DeleteMarked();
  // Log-in followed by QUIT (IMAP: LOGOUT); 1 when the log-in succeeded, else 0.
  int PopBeforeSmtp();
  // Connects to the IMAP server and logs in (ImapSession::Open with the stored parameters).
  // Returns the open session, or null (logged).
  [[nodiscard]] std::unique_ptr<ImapSession> ImapLogin();

  // ---- IMAP IDLE (RFC 2177) ----

  using IdleNews = ImapIdle::News;
  // After a check: opens the idle session (log-in, EXAMINE of the folder, IDLE). False when
  // the protocol is not IMAP, the last check found no IDLE in the server's capabilities
  // (logged once until the parameters change), or the log-in, EXAMINE or IDLE failed
  // (logged). When mail came in after the last check's SELECT, the first WaitIdle says so.
  [[nodiscard]] bool StartIdle();
  // Waits at most `ms` for news on the idle session: kNewMail when EXISTS raised the count
  // (logged), kDropped when the session ended (the server closed it, said BYE or ended the
  // IDLE, or the connection failed; logged unless an abort was requested), else kNone. Every
  // 25 minutes (imapIdleRenewMs of the timings record) the IDLE is ended and begun again.
  [[nodiscard]] IdleNews WaitIdle(int64_t ms);
  // Ends the idle session at once: DONE and LOGOUT are sent, no reply is waited for.
  void EndIdle();
  [[nodiscard]] bool idling() const;

  // Whether the last CheckMail could not log in (server unreachable, greeting or log-in
  // refused), as opposed to finding no mail. Read on the thread that ran CheckMail.
  [[nodiscard]] bool lastLoginFailed() const { return lastLoginFailed_; }
  // Whether the last CheckMail never learnt what the mailbox holds: the log-in failed, or the
  // listing (IMAP: the folder's selection or search) was refused or broke off. An empty
  // mailbox is no failure. Read on the thread that ran CheckMail.
  [[nodiscard]] bool lastCheckFailed() const { return lastCheckFailed_; }

  // Number of entries of the last CheckMail (0 before the first).
  [[nodiscard]] int GetEntryCount() const;
  // The entry at `index` (0-based), or null when out of range. Owned by the client; valid
  // until the next CheckMail or the client's end.
  [[nodiscard]] MAILENTRY* GetEntry(int index);

  // ---- SMTP ----

  // Stores the SMTP server, the sender address, the sender display name (Shift_JIS, may be
  // empty) and the port (low 16 bits are used). Null pointers count as empty texts.
  void SetSmtpParams(const char* server, const char* senderAddress, const char* senderName,
                     int port);
  // Stores the connection security (0 plain, 1 STARTTLS after EHLO (RFC 3207), 2 and every
  // other value TLS from the first byte (RFC 8314)), whether to authenticate (RFC 4954, PLAIN else LOGIN) with
  // `userId` / `password`, and the PEM file of extra trusted certificates (may be empty).
  // Null pointers count as empty texts.
  void SetSmtpSecurity(int security, int auth, const char* userId, const char* password,
                       const char* caFile);
  // Stores the subject and the body text (Shift_JIS; "<BR>" marks line breaks).
  void SetReplyText(const char* subject, const char* bodyText);
  // Stores the base64 file to attach (empty: no picture part) and the attachment's name.
  void SetAttachment(const char* base64File, const char* attachmentName);

  // Connects to the SMTP server (with TLS from the first byte for security 2) and reads the
  // greeting. Returns the open connection after an accepted greeting, or null on any failure
  // (after logging a TLS failure and closing what it opened).
  [[nodiscard]] std::unique_ptr<qv::TcpConnection> SmtpConnect();
  // Opens the session on a greeted connection: HELO when neither security, authentication nor
  // SMTPUTF8 (`needsUtf8`) is asked for; otherwise EHLO, then for security 1 STARTTLS, the TLS
  // handshake and EHLO again, then AUTH when asked for, and a check that the server announces
  // SMTPUTF8 when it is needed. A refusal after EHLO is followed by QUIT; TLS and AUTH
  // failures are logged (the server's reply code, never the credentials). Returns kSmtpSent
  // when the session is open, another SmtpSendResult otherwise.
  [[nodiscard]] int SmtpOpenSession(qv::TcpConnection& connection, bool needsUtf8);
  // Sends one reply mail to `address` (display name `name`, Shift_JIS, may be empty or null)
  // over an open connection: SmtpOpenSession, MAIL FROM (with SMTPUTF8 for a local part
  // beyond ASCII), RCPT TO, DATA, the mail, ".", QUIT.
  // Both addresses must pass CheckMailAddress; control bytes in the names are dropped.
  // Returns kSmtpSent when the server accepted every step including QUIT, another
  // SmtpSendResult on any failure. Does not close the connection.
  [[nodiscard]] int SmtpSendMail(qv::TcpConnection& connection, const char* address,
                                 const char* name);
  // Closes and releases the connection; null is allowed.
  void SmtpClose(std::unique_ptr<qv::TcpConnection> connection);
  // Reads one reply; 1 when it begins with "220", "250", "354" or "221", else 0.
  [[nodiscard]] int CheckSmtpReply(qv::TcpConnection& connection);
  // Reads one whole reply (all its lines, at most 64 KiB); returns its three-digit code, or 0
  // for a broken or unreadable reply. `text` (may be null) receives the reply's lines.
  [[nodiscard]] int ReadSmtpReply(qv::TcpConnection& connection, std::string* text);
  // Sends the picture part: its headers, the base64 file in lines of 64 characters and the
  // closing boundary. Sends nothing when the file cannot be opened. False when a send failed.
  bool SendAttachmentPart(qv::TcpConnection& connection, const std::string& base64File,
                          const std::string& boundary, const std::string& attachmentName);
  // The multipart boundary for the current local time.
  [[nodiscard]] static std::string MakeBoundary();

 private:
  long long checkBytes_ = kMaxCheckBytes;
  struct PopParams {
    std::string server;
    std::string userId;
    std::string password;
    int port = 110;
    int security = 0;
    std::string caFile;
    bool imap = false;
    std::string imapFolder;
  };

  [[nodiscard]] PopParams CopyPopParams() const;
  [[nodiscard]] static ImapAccount ImapAccountOf(const PopParams& params);
  // The IMAP halves of CheckMail and DeleteMarked.
  int ImapCheckMail(const PopParams& params);
  void ImapDeleteMarked(const PopParams& params);
  // CAPA, STLS and the TLS handshake on a greeted connection; false (logged) when the server
  // does not offer or refuses STLS, or TLS fails.
  [[nodiscard]] bool StartPopTls(qv::TcpConnection& connection, const PopParams& params);
  // Logs that the budget of one check is used up and `remaining` messages wait for the next.
  void LogDeferred(size_t remaining) const;
  void Log(int category, const std::string& message) const;
  void ReleaseEntries();
  // AUTH PLAIN or LOGIN with the stored credentials; kSmtpSent or kSmtpAuthRefused (logged).
  [[nodiscard]] int SmtpAuthenticate(qv::TcpConnection& connection, const std::string& extensions);

  LogSink* log_ = nullptr;

  // POP3 half.
  mutable std::mutex popParamsMutex_;
  PopParams popParams_;
  std::vector<MAILENTRY> entries_;
  bool lastLoginFailed_ = false;
  bool lastCheckFailed_ = false;
  // IMAP: what the last fetch's SELECT told, and whether its server offered IDLE.
  ImapFolderState imapChecked_;
  bool imapOffersIdle_ = false;
  std::atomic<bool> idleUnavailableLogged_{false};
  std::unique_ptr<ImapIdle> idle_;

  // SMTP half.
  std::string smtpServer_;
  std::string senderAddress_;
  std::string senderName_;
  int smtpPort_ = 25;
  std::string subject_;
  std::string bodyText_;
  std::string base64File_;
  std::string attachmentName_;
  int smtpSecurity_ = 0;
  int smtpAuth_ = 0;
  std::string smtpUserId_;
  std::string smtpPassword_;
  std::string caFile_;
  char mailerName_[64] = "Quorvex";
};
