// Request mails: reading sender and subject out of every fetched mail, the sender address list
// (MailList.dat) and the subject filter, the request list for the reply phase, and the
// deletion of handled mails.
//
// Every fetched mail is untrusted: lines of any length or content, no header at all, several
// From or Subject lines. A request only ever carries an address that passed
// CheckMailAddressParts, in the form to send.
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings/address_list_file.h"
#include "app/settings/settings.h"

class CMailClient;
class LogSink;
struct MAILENTRY;

// One accepted request.
struct REQUESTREC {
  char address[256] = "";  // sender address as it goes in RCPT TO: local@domain, domain in
                           // ASCII (IDNA), local part ASCII or UTF-8; at most 254 bytes
  char name[256] = "";     // sender display name in Shift_JIS (empty when none), without
                           // control bytes, at most 255 bytes, cut at a character boundary
};

// The accepted requests of the last check, in mailbox order. Owned by the main window; filled
// by ProcessRequests on the mail-check worker and read by the reply phase while the capture
// request event is set.
using RequestList = std::vector<std::unique_ptr<REQUESTREC>>;

// MailList.dat: one entry per line, each ended by LF; "local@domain" where either part may be
// exactly "*" (any value). A final line without LF is not an entry; a CR stays part of its
// entry. Loading builds a complete new list and swaps it in under a lock, so a check running
// meanwhile sees either the old list or the new one, never a half-read one.
class AddressList {
 public:
  AddressList();
  // Reads the file at `path` and replaces the list with its entries. A missing or unreadable
  // file gives an empty list and returns 0; otherwise returns 1. Lines longer than 1024 bytes
  // keep their first 1024 bytes (they cannot match an address anyway).
  int LoadAddressList(const std::string& path);
  // Replaces the list.
  void Replace(std::vector<std::string> entries);
  // The current list; stays valid and unchanged however often the list is replaced.
  [[nodiscard]] std::shared_ptr<const std::vector<std::string>> Snapshot() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<const std::vector<std::string>> entries_;
};

// Whether the address list lets `address` through: with `filtMode` 0 the list names senders
// to refuse, otherwise the only senders to accept. The address is split at the "@" before its
// domain (DomainSeparator), entries at their first "@" (no "@": empty local part, the whole
// text is the domain); an entry part that is
// exactly "*" matches anything, other parts must be equal byte for byte. The first matching
// entry decides. Returns 1 accept, 0 refuse.
[[nodiscard]] int MatchAddressList(std::string_view address, int filtMode,
                                   const std::vector<std::string>& list);

// Reads the "From" and "Subject" fields of one fetched mail's header block (names in any case,
// folded lines joined, encoded words decoded; body lines are never read) and applies the
// filters of `filter` with `addressList`: the subject filter compares each decoded Subject with
// TitleFiltText (one match is enough), the address filter checks the first mailbox of every
// From field (a later From replaces the sender; a refusal stays). A mail the filters let
// through is still refused, with a log line on `log` (may be null), when its From field names
// no sender, when it does not read as an address list (FirstMailbox: anything left over after
// a mailbox) or its first address fails CheckMailAddressParts, or when it is an automatic mail
// (DetectAutomaticMail: a reply could start a loop). Returns the request of an
// accepted mail, its address in the form to send and its name cleaned of control bytes (and
// sets the entry's delete mark), or null for a refused one (delete mark set when RcvDelete
// is 1).
[[nodiscard]] std::unique_ptr<REQUESTREC> ParseRequestMail(MAILENTRY& entry,
                                                           const FilterSettings& filter,
                                                           const std::vector<std::string>& addressList,
                                                           LogSink* log);

// What decides, after the filters, whether the accepted requests of a check are answered now.
struct RequestGate {
  // The state file that keeps the reply counts (reply_limits.h); empty: the limits count
  // within the one check only.
  std::string statePath;
  // The time now; unset: the system clock.
  std::function<time_t()> clock;
  // Why no picture can be taken now (CP932, for the log), or empty when a picture source is
  // ready; unset: always ready.
  std::function<std::string()> pictureSourceProblem;
};

// What one ProcessRequests call did with the fetched mails.
struct RequestTally {
  int accepted = 0;   // requests handed to the reply phase
  int overLimit = 0;  // mails refused by a reply limit
  int held = 0;       // mails kept on the server for a later check (no picture source, or the
                      // reply counts could not be read or written)
};

// The filter step of a mail check, after a successful CheckMail: replaces `requests` with the
// requests of every accepted mail, then
//   1. applies the reply limits of `filter` (SenderHourLimit, DayLimit) in mailbox order: a
//      request over a limit gets no reply, a log line naming the limit, and is handled as a
//      refused mail (deleted when RcvDelete is 1);
//   2. when requests remain, makes sure a picture source is ready and the reply counts are
//      written; otherwise it logs why and keeps every accepted and limited mail on the server
//      (no delete mark) with an empty request list, so that a later check answers them;
//   3. pauses for the timings record's delete pause and deletes the marked mails on the
//      server (DeleteMarked), which records every mail read here as judged except those kept
//      for a later check.
// Logs each step on `log` (category LOG_RECV). Returns 1 when at least one request was
// accepted, else 0; `*tally` (may be null) receives the counts. Runs on the mail-check worker.
int ProcessRequests(CMailClient& client, const FilterSettings& filter, const AddressList& addresses,
                    RequestList& requests, LogSink& log, const RequestGate& gate = {},
                    RequestTally* tally = nullptr);
