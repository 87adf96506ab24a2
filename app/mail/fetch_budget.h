// The caps of one mail check, the same for POP3 and IMAP, and the lines the check logs about
// them (category LOG_RECV). A check takes at most kMaxEntryCount messages of the listing,
// fetches none larger than kMaxMessageSize, and holds at most its check bytes (kMaxCheckBytes)
// counted as they arrive, whatever the server announced; the messages past it stay on the
// server, untouched, for the next check.
//
// Each message of the listing goes through Take: the budget admits it, the protocol fetches it
// within the room the budget gives, and the budget counts what arrived. Everything the server
// announced or sent is untrusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

class LogSink;

// How the log names a message: POP3 by its number in the listing, IMAP by its UID; value 0
// for what an exchange of many messages at once did as a whole (named by nothing).
struct MessageName {
  bool byUid = false;
  long long value = 0;

  // " (#7)" or " (UID 7)"; empty for value 0.
  [[nodiscard]] std::string Bare() const;
  // " (#7, 300 bytes)" or " (UID 7) 300 bytes".
  [[nodiscard]] std::string WithSize(long long size) const;
};

class FetchBudget {
 public:
  static constexpr int kMaxEntryCount = 100000;
  static constexpr long long kMaxMessageSize = 64LL * 1024 * 1024;
  static constexpr long long kMaxCheckBytes = 256LL * 1024 * 1024;

  // What became of one fetch.
  enum class Outcome {
    kArrived,   // the whole message came
    kRefused,   // the server answered without the message
    kTooLarge,  // more came than the room allowed; the rest is still on its way
    kBroken,    // the connection ended inside the message
  };
  enum class Next {
    kKeep,  // hold the message and go on
    kSkip,  // drop it and go on with the next
    kStop,  // drop it and end the exchange
  };
  // Fetches one message of at most `room` bytes; `*arrived` receives the bytes that came (the
  // protocol's own with them), `*reply` the server's reply to a refusal.
  using Fetch = std::function<Outcome(long long room, long long* arrived, std::string* reply)>;

  // `log` may be null. `checkBytes` is the most one check holds.
  explicit FetchBudget(LogSink* log, long long checkBytes = kMaxCheckBytes);

  // The listing named more than kMaxEntryCount messages: logs that only the first are taken.
  void ListingCut() const;
  // The listing could not be read: logs it, with the server's reply (may be empty).
  void ListingFailed(std::string_view reply) const;
  // A scan line that is no message number and size: logs that it was passed over.
  void UnreadableListing() const;

  // One message, announced as `announced` bytes, with `remaining` messages of the listing left
  // (itself included):
  // - kSkip (logged) when it is larger than a message may be; kStop (logged) when it would
  //   carry the check past its bytes; neither fetches it;
  // - else `fetch` runs with the room of kMaxMessageSize plus `overhead` (the protocol's own
  //   bytes that arrive with the message), or what is left of the check's bytes when that is
  //   less. A message that came within it is counted and kept (kKeep); otherwise it is logged
  //   why not (with the server's reply), and whether the exchange goes on. A message that came
  //   larger than its room counts as too large.
  [[nodiscard]] Next Take(const MessageName& name, long long announced, long long overhead, size_t remaining,
                          const Fetch& fetch);

 private:
  struct Room {
    long long bytes = 0;
    bool budgetBound = false;  // the budget, not the message cap, set it
  };
  [[nodiscard]] Room RoomFor(long long overhead) const;
  [[nodiscard]] Next Settle(const MessageName& name, Outcome outcome, const Room& room, long long arrived,
                            std::string_view reply, size_t remaining);
  void Log(const std::string& message) const;
  void LogDeferred(size_t remaining) const;

  LogSink* log_ = nullptr;
  long long checkBytes_ = kMaxCheckBytes;
  long long held_ = 0;
};
