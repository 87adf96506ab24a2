// The idle session of IMAP IDLE (RFC 2177): one connection that waits between mail checks for
// the server to announce new mail, so a request is answered within seconds instead of at the
// next check.
//
// Order: Start (log-in, EXAMINE of the folder, "tag IDLE", the server's "+") -> Wait ... (each
// a short slice; EXISTS, EXPUNGE, "* OK" and BYE are read as they come; every renewal period
// "DONE", the tagged answer, "tag IDLE" again) -> End ("DONE", "tag LOGOUT", closed without
// waiting). All calls on one thread (the mail-check worker).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "app/mail/imap_session.h"

class LogSink;

class ImapIdle {
 public:
  enum class Started { kIdling, kNoIdle, kFailed };
  enum class News { kNone, kNewMail, kDropped };

  // `log` may be null, and must outlive the object otherwise.
  explicit ImapIdle(LogSink* log);
  ~ImapIdle();
  ImapIdle(const ImapIdle&) = delete;
  ImapIdle& operator=(const ImapIdle&) = delete;

  // Ends a running idle, then logs in, examines the folder and starts IDLE. `known` is what the
  // last check's SELECT saw: when the folder is the same (UIDVALIDITY) and its UIDNEXT has
  // grown since, mail came in between and the first Wait reports it. kNoIdle (not logged) when
  // the server does not offer IDLE; kFailed (logged) when the log-in, EXAMINE or IDLE failed.
  [[nodiscard]] Started Start(const MailboxAccount& account, const ImapFolderState& known);
  // Waits at most `ms` for the server: kNewMail when an EXISTS raised the message count (or
  // Start found mail that came in between), kDropped when the session has ended (logged,
  // unless an abort was requested), else kNone. Renews the IDLE once its renewal period
  // (timings record) has passed; a server that does not end the IDLE within the receive
  // time-out after DONE is dropped (kDropped). Without a running idle: kDropped.
  [[nodiscard]] News Wait(int64_t ms);
  // Sends DONE and LOGOUT and closes, without waiting for the server; nothing without a
  // running idle.
  void End();
  [[nodiscard]] bool active() const { return session_ != nullptr; }

 private:
  // Sends IDLE and reads up to the server's "+"; false (logged) when refused or broken.
  bool BeginIdle();
  // DONE, the tagged answer, IDLE again.
  bool Renew();
  // One response read while idling.
  News Handle(const ImapResponse& response);
  // EXISTS and EXPUNGE of an untagged response's text after "* ".
  News Counted(std::string_view rest);
  News Drop(std::string_view serverText = {});
  void Log(const std::string& message) const;

  LogSink* log_ = nullptr;
  std::unique_ptr<ImapSession> session_;
  std::string tag_;          // the tag of the running IDLE command
  uint32_t exists_ = 0;      // the folder's message count as the server last told it
  uint32_t idleSince_ = 0;   // tick of the running IDLE command
  bool newsPending_ = false;
};
