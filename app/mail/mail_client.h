// The mail client the responder uses: the mailbox of the settings (POP3 or IMAP, chosen once
// when the protocol is set, mailbox_access.h), the messages of the last check, and the IMAP
// idle session. The replies go out through the SMTP session (smtp_session.h).
//
// A check runs CheckMail, lets the request parser read the entries and set their delete marks
// and judged flags, then DeleteMarked; StartIdle, WaitIdle and EndIdle follow when the mailbox
// offers IDLE. The entries made by CheckMail live until the next CheckMail or the object's end.
//
// The judged mails that stay on the server are recorded (judged_mails.h) in the state file set
// by SetStatePath (in memory only without one), read at the first check and written after each
// check that changed the record, so that CheckMail passes them over.
//
// Threads: CheckMail, DeleteMarked and the idle calls run on the mail-check worker,
// PopBeforeSmtp on the capture-and-reply worker; PopBeforeSmtp shares no state with the
// others, which may be running meanwhile. SetPopParams and SetMailbox may be called from any
// thread at any time: each exchange copies the parameters once when it logs in.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/mail/fetch_budget.h"
#include "app/mail/imap_idle.h"
#include "app/mail/mailbox_access.h"
#include "app/settings/settings.h"

class LogSink;

class CMailClient {
 public:
  static constexpr int kMaxEntryCount = FetchBudget::kMaxEntryCount;
  static constexpr long long kMaxMessageSize = FetchBudget::kMaxMessageSize;
  static constexpr long long kMaxCheckBytes = FetchBudget::kMaxCheckBytes;

  // `log` receives the client's diagnostic lines (category LOG_RECV); it may be null, and must
  // outlive the client otherwise.
  explicit CMailClient(LogSink* log = nullptr);
  ~CMailClient();
  CMailClient(const CMailClient&) = delete;
  CMailClient& operator=(const CMailClient&) = delete;

  // Chooses POP3 with the server, user ID, password (plain text), port (low 16 bits are used),
  // the connection security (0 plain, 1 STLS before USER (RFC 2595), 2 and every other value
  // TLS from the first byte) and the PEM file of extra trusted certificates (may be empty).
  // Null pointers count as empty texts.
  void SetPopParams(const char* server, const char* userId, const char* password, int port,
                    int security = 0, const char* caFile = nullptr);
  // Chooses the mailbox of `mail`: MailProtocol 1 IMAP, otherwise POP3, with the account of
  // MailboxAccountOf.
  void SetMailbox(const MailSettings& mail);

  // The state file that keeps the judged record (state_file.h); empty: the record lives in
  // memory only. A new path is read at the next check.
  void SetStatePath(const std::string& path);

  // One fetch exchange: releases the previous entries and fetches every listed message that
  // was not judged before, within the caps of FetchBudget (logged). The first check that
  // reads a listing logs how many judged mails it passed over. Returns 1 when at least one
  // message was fetched, 0 otherwise (log-in failure, empty or unreadable listing, nothing
  // new).
  int CheckMail();
  // The bytes one check may hold: kMaxCheckBytes unless a test sets less.
  void SetCheckBytes(long long bytes) { checkBytes_ = bytes; }
  // One delete exchange for the entries whose delete mark is set (MailboxAccess::Delete), then
  // records the entries whose judged flag is set and that have a name.
  void DeleteMarked();
  // Log-in followed by QUIT (IMAP: LOGOUT); 1 when the log-in succeeded, else 0.
  int PopBeforeSmtp();

  // ---- IMAP IDLE (RFC 2177) ----

  using IdleNews = ImapIdle::News;
  // After a check: opens the idle session (log-in, EXAMINE of the folder, IDLE). False when
  // the protocol is not IMAP, the last check found no IDLE in the server's capabilities
  // (logged once until the parameters change), or the log-in, EXAMINE or IDLE failed
  // (logged). When mail came in after the last check's SELECT, the first WaitIdle says so.
  [[nodiscard]] bool StartIdle();
  // Waits at most `ms` for news on the idle session (ImapIdle::Wait); kDropped without one.
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

 private:
  // The mailbox and its account as they are now.
  struct Chosen {
    std::shared_ptr<MailboxAccess> mailbox;
    MailboxAccount account;
    bool imap = false;
    std::string statePath;
  };
  [[nodiscard]] Chosen Current() const;
  void Choose(bool imap, MailboxAccount account);
  // Reads the judged record of `chosen` when its state file was not read yet.
  void ReadJudged(const Chosen& chosen);
  // Writes the judged record when it changed.
  void WriteJudged();

  LogSink* log_ = nullptr;
  long long checkBytes_ = kMaxCheckBytes;

  mutable std::mutex mutex_;  // guards the two below
  bool imap_ = false;
  Chosen chosen_;

  std::string statePath_;  // guarded by mutex_

  // Mail-check worker only.
  JudgedMails judged_;
  std::string judgedPath_;        // the state file the record was read from
  bool judgedRead_ = false;
  bool passedOverLogged_ = false;  // the first check's count of judged mails was logged
  std::vector<MAILENTRY> entries_;
  bool lastLoginFailed_ = false;
  bool lastCheckFailed_ = false;
  std::atomic<bool> idleUnavailableLogged_{false};
  std::unique_ptr<ImapIdle> idle_;
};
