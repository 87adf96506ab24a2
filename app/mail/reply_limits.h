// The reply limits of the filter settings: at most SenderHourLimit replies to one sender
// address in any hour (a rolling hour: a reply counts for the 3600 seconds after it was
// admitted) and at most DayLimit replies in all per calendar day of the local time; 0 switches
// a limit off. They keep a flood of requests, or spam with forged senders, from making Quorvex
// mail pictures of the home by the hundred and from getting the mail account blocked.
//
// The counts survive restarts in the "ReplyCount" section of the state file (state_file.h):
//   day YYYY-MM-DD N            replies admitted on that day
//   reply SECONDS ADDRESS       one line per reply admitted within the last hour (only while
//                               SenderHourLimit is on), SECONDS since the epoch
// Lines that do not read as these are dropped. Addresses are compared without regard to ASCII
// case (one mailbox, however its sender spells it).
//
// One object serves one mail check on the mail-check worker: it reads the counts when it is
// made, Admit counts in memory, and Commit writes them before the admitted mails are deleted,
// so that a crash can at worst count a reply that was never sent, never forget one.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "app/settings/state_file.h"

class ReplyLimits {
 public:
  enum class Verdict {
    kAllowed,         // within both limits; counted
    kSenderHourLimit, // the sender had SenderHourLimit replies within the last hour
    kDayLimit,        // DayLimit replies were admitted today
  };

  // Reads the counts of the state file `statePath` at the time `now`. An empty path keeps the
  // counts of this object only. With both limits 0 nothing is read or written.
  ReplyLimits(const std::string& statePath, int senderHourLimit, int dayLimit, time_t now);

  // False when a limit is on and the counts could not be read (error() says why): then no
  // reply may be admitted, since nobody knows how many went out.
  [[nodiscard]] bool usable() const { return usable_; }
  [[nodiscard]] const std::string& error() const { return error_; }

  // Whether one more reply to `address` stays within both limits (the sender's first); a reply
  // that does is counted. Must not be called when !usable().
  [[nodiscard]] Verdict Admit(std::string_view address);

  // Writes the counts (the replies of the last hour and today's number); false with the reason
  // in *error when the file could not be written. Nothing to write with both limits off.
  [[nodiscard]] bool Commit(std::string* error);

 private:
  struct Reply {
    time_t time;
    std::string address;
  };
  StateFile file_;
  int senderHourLimit_;
  int dayLimit_;
  time_t now_;
  std::string today_;
  long long dayCount_ = 0;
  std::vector<Reply> recent_;  // replies still within their hour (or ahead of the clock)
  bool usable_ = true;
  std::string error_;
};

// The calendar day of `time` in local time, "YYYY-MM-DD".
[[nodiscard]] std::string LocalDay(time_t time);
