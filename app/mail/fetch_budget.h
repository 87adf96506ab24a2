// The caps of one mail check, the same for POP3 and IMAP, and the lines the check logs about
// them (category LOG_RECV). A check takes at most kMaxEntryCount messages of the listing,
// fetches none larger than kMaxMessageSize, and holds at most its check bytes (kMaxCheckBytes)
// counted as they arrive, whatever the server announced; the messages past it stay on the
// server, untouched, for the next check.
//
// Order of use, per message of the listing: Admit -> (when kFetch) RoomFor -> the fetch ->
// Settle. Everything the server announced or sent is untrusted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class LogSink;

// How the log names a message: POP3 by its number in the listing, IMAP by its UID.
struct MessageName {
  bool byUid = false;
  long long value = 0;

  // " (#7)" or " (UID 7)".
  [[nodiscard]] std::string Bare() const;
  // " (#7, 300 bytes)" or " (UID 7) 300 bytes".
  [[nodiscard]] std::string WithSize(long long size) const;
};

class FetchBudget {
 public:
  static constexpr int kMaxEntryCount = 100000;
  static constexpr long long kMaxMessageSize = 64LL * 1024 * 1024;
  static constexpr long long kMaxCheckBytes = 256LL * 1024 * 1024;

  enum class Admission { kFetch, kSkip, kStop };
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
  // The most bytes one fetch may bring, and whether the budget (not the message cap) set it.
  struct Room {
    long long bytes = 0;
    bool budgetBound = false;
  };

  // `log` may be null. `checkBytes` is the most one check holds.
  explicit FetchBudget(LogSink* log, long long checkBytes = kMaxCheckBytes);

  // The listing named more than kMaxEntryCount messages: logs that only the first are taken.
  void ListingCut() const;
  // The listing could not be read: logs it, with the server's reply (may be empty).
  void ListingFailed(std::string_view reply) const;
  // A scan line that is no message number and size: logs that it was passed over.
  void UnreadableListing() const;

  // Before the fetch of a message announced as `announced` bytes, with `remaining` messages of
  // the listing left (itself included): kSkip (logged) when it is larger than a message may be,
  // kStop (logged) when it would carry the check past its bytes, else kFetch.
  [[nodiscard]] Admission Admit(const MessageName& name, long long announced, size_t remaining) const;
  // The room of the next fetch: kMaxMessageSize plus `overhead` (the protocol's own bytes that
  // arrive with the message), or what is left of the check's bytes when that is less.
  [[nodiscard]] Room RoomFor(long long overhead) const;
  // After the fetch that had `room`: counts `arrived` bytes of a message that came within it
  // (kKeep), or logs why the message is not kept (with the server's `reply`, may be empty) and
  // says whether the exchange goes on. A message that came larger than its room counts as
  // kTooLarge.
  [[nodiscard]] Next Settle(const MessageName& name, Outcome outcome, const Room& room, long long arrived,
                            std::string_view reply, size_t remaining);

 private:
  void Log(const std::string& message) const;
  void LogDeferred(size_t remaining) const;

  LogSink* log_ = nullptr;
  long long checkBytes_ = kMaxCheckBytes;
  long long held_ = 0;
};
