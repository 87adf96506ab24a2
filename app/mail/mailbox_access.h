// How the mailbox is reached: POP3 (RFC 1939) or IMAP4rev1 (RFC 3501), chosen once when the
// protocol is set. Each exchange opens its own session and ends it before it returns.
//
// Exchanges, in the order a mail check runs them:
//   Fetch     POP3: log-in, CAPA, LIST, UIDL (when CAPA names it), then for each mail not
//                   judged before TOP n 0 (when CAPA names TOP) or RETR n, QUIT
//             IMAP: log-in, SELECT, UID SEARCH ALL, then one UID FETCH set (UID RFC822.SIZE
//                   BODY.PEEK[HEADER]) for the mails not judged before, LOGOUT
//   Delete    POP3: log-in, CAPA, DELE n (marked entries) ..., sent together when CAPA names
//                   PIPELINING, QUIT
//             IMAP: log-in, SELECT, UID STORE set +FLAGS (\Deleted), then UID EXPUNGE set
//                   (UIDPLUS) or EXPUNGE, LOGOUT
// A fetch takes each mail's header only where the server can send it alone: the request rules
// read nothing else.
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
#include "app/mail/judged_mails.h"
#include "app/mail/mailbox_account.h"

class ImapIdle;
class LogSink;

// One fetched message.
struct MAILENTRY {
  int number = 0;            // POP3: the number of the LIST scan line (used for RETR and DELE);
                             // IMAP: the message sequence number
  int size = 0;              // the size in octets the server announced (IMAP: RFC822.SIZE)
  std::string message;       // the message's header as it was sent (RFC 5322 text, the line ends
                             // as the server gave them), with the blank line after it where the
                             // server sent one; the whole message where the server cannot send
                             // the header alone (POP3 without TOP). POP3's dot-stuffing undone.
  unsigned char deleteMark = 0;  // 0 when fetched; 1 = delete in the next Delete
  uint32_t uid = 0;          // IMAP: the message's UID (used for UID STORE); 0 for POP3
  std::string name;          // the name the judged record knows it by (IMAP: the UID, POP3: the
                             // UIDL); empty when the server gives none
  bool judged = false;       // set by the request step when its verdict stands (not for a mail
                             // kept on the server to be answered later)
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

  // Fetches every listed message that `judged` does not know into `entries` (cleared first),
  // in mailbox order, within `budget`: messages the budget refuses, that the server refuses or
  // whose fetch breaks off are not kept (logged). `judged` is made the record of this account
  // (and folder state) and pruned to the listed messages; once the listing was read, its size
  // is the number of listed messages passed over.
  [[nodiscard]] virtual FetchResult Fetch(const MailboxAccount& account, FetchBudget& budget, JudgedMails& judged,
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
