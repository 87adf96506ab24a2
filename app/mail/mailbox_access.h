// How the mailbox is reached: POP3 (RFC 1939) or IMAP4rev1 (RFC 3501), chosen once when the
// protocol is set. Each exchange opens its own session and ends it before it returns.
//
// Exchanges, in the order a mail check runs them:
//   Fetch     POP3: log-in, LIST, RETR n ..., QUIT
//             IMAP: log-in, SELECT, UID SEARCH ALL, UID FETCH first:last (UID RFC822.SIZE),
//                   UID FETCH uid (BODY.PEEK[]) ..., LOGOUT
//   Delete    POP3: log-in, DELE n (marked entries) ..., QUIT
//             IMAP: log-in, SELECT, UID STORE uids +FLAGS (\Deleted), then UID EXPUNGE uids
//                   (UIDPLUS) or EXPUNGE, LOGOUT
//   StartIdle IMAP only: log-in, EXAMINE, IDLE (imap_idle.h)
//   LogIn     log-in, then QUIT or LOGOUT (POP-before-SMTP)
// Fetch, Delete and StartIdle run on the mail-check worker and keep what the fetch learnt
// (IMAP: the folder's UIDVALIDITY, whether the server offers IDLE) for the two after it.
// LogIn touches none of that and may run on another thread meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/mail/fetch_budget.h"
#include "app/mail/mailbox_account.h"

class ImapIdle;
class LogSink;

// One fetched message.
struct MAILENTRY {
  int number = 0;            // POP3: the number of the LIST scan line (used for RETR and DELE);
                             // IMAP: the message sequence number
  int size = 0;              // the size in octets the server announced (IMAP: RFC822.SIZE)
  std::string message;       // the message as it was sent (RFC 5322 text, the line ends as the
                             // server gave them), POP3's dot-stuffing undone
  unsigned char deleteMark = 0;  // 0 when fetched; 1 = delete in the next Delete
  uint32_t uid = 0;          // IMAP: the message's UID (used for UID STORE); 0 for POP3
};

enum class FetchResult {
  kLogInFailed,    // the server was unreachable, or the greeting or log-in was refused
  kListingFailed,  // logged in, but what the mailbox holds was never learnt
  kListed,         // the listing was read (an empty mailbox included)
};

enum class IdleStart {
  kNone,        // the protocol has no idle session
  kNotOffered,  // the last fetch found no IDLE among the server's capabilities
  kFailed,      // the log-in, EXAMINE or IDLE failed (logged)
  kIdling,
};

class MailboxAccess {
 public:
  virtual ~MailboxAccess() = default;

  // Fetches every listed message into `entries` (cleared first) within `budget`: messages the
  // budget refuses, that the server refuses or whose fetch breaks off are not kept (logged).
  [[nodiscard]] virtual FetchResult Fetch(const MailboxAccount& account, FetchBudget& budget,
                                          std::vector<MAILENTRY>* entries) = 0;
  // Deletes the entries whose delete mark is set (IMAP: only when the folder is still the one
  // the fetch saw, by UIDVALIDITY). Nothing happens when the log-in fails: the mails are then
  // fetched again at the next check.
  virtual void Delete(const MailboxAccount& account, const std::vector<MAILENTRY>& entries) = 0;
  // Logs in and out; true when the log-in succeeded.
  [[nodiscard]] virtual bool LogIn(const MailboxAccount& account) = 0;
  // Opens the idle session on `idle` after a fetch, when the protocol has one.
  [[nodiscard]] virtual IdleStart StartIdle(const MailboxAccount&, ImapIdle&) { return IdleStart::kNone; }
};

// The mailbox of the protocol (MailProtocol 1: IMAP, else POP3). `log` may be null, and must
// outlive the object otherwise.
[[nodiscard]] std::unique_ptr<MailboxAccess> MakePop3Access(LogSink* log);
[[nodiscard]] std::unique_ptr<MailboxAccess> MakeImapAccess(LogSink* log);
