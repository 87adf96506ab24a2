#include "app/mail/fetch_budget.h"

#include "app/mail/session_result.h"
#include "app/settings/activity_log.h"
#include "platform/text.h"

std::string MessageName::Bare() const {
  if (value == 0) return {};
  return byUid ? " (UID " + std::to_string(value) + ")" : " (#" + std::to_string(value) + ")";
}

std::string MessageName::WithSize(long long size) const {
  // The two forms the log has always shown for the two protocols.
  if (byUid) return Bare() + " " + std::to_string(size) + " bytes";
  return " (#" + std::to_string(value) + ", " + std::to_string(size) + " bytes)";
}

FetchBudget::FetchBudget(LogSink* log, long long checkBytes) : log_(log), checkBytes_(checkBytes) {}

void FetchBudget::Log(const std::string& message) const {
  if (log_) log_->Log(LOG_RECV, message);
}

void FetchBudget::LogDeferred(size_t remaining) const {
  Log(SJIS("一度に受信できる量を超えたため、残りの") + std::to_string(remaining) +
      SJIS("個のメールは次回受信します。"));
}

void FetchBudget::ListingCut() const {
  Log(SJIS("メール数が多すぎるため、先頭の") + std::to_string(kMaxEntryCount) + SJIS("個だけを受信します。"));
}

void FetchBudget::ListingFailed(std::string_view reply) const {
  Log(ReplyLogLine(SJIS("メール一覧を受信できませんでした。"), reply));
}

void FetchBudget::UnreadableListing() const { Log(SJIS("メール一覧の読めない行を飛ばしました。")); }

FetchBudget::Next FetchBudget::Take(const MessageName& name, long long announced, long long overhead,
                                    size_t remaining, const Fetch& fetch) {
  if (announced > kMaxMessageSize) {
    Log(SJIS("サイズが大きすぎるメールを受信しませんでした。") + name.WithSize(announced));
    return Next::kSkip;
  }
  if (held_ + announced > checkBytes_) {
    LogDeferred(remaining);
    return Next::kStop;
  }
  const Room room = RoomFor(overhead);
  long long arrived = 0;
  std::string reply;
  const Outcome outcome = fetch(room.bytes, &arrived, &reply);
  return Settle(name, outcome, room, arrived, reply, remaining);
}

FetchBudget::Room FetchBudget::RoomFor(long long overhead) const {
  const long long messageRoom = kMaxMessageSize + overhead;
  const long long left = checkBytes_ - held_;
  return left < messageRoom ? Room{left, true} : Room{messageRoom, false};
}

FetchBudget::Next FetchBudget::Settle(const MessageName& name, Outcome outcome, const Room& room, long long arrived,
                                      std::string_view reply, size_t remaining) {
  // What arrives counts, not what was announced.
  if (outcome == Outcome::kArrived && arrived > room.bytes) outcome = Outcome::kTooLarge;
  switch (outcome) {
    case Outcome::kArrived:
      held_ += arrived;
      return Next::kKeep;
    case Outcome::kRefused:
      Log(ReplyLogLine(SJIS("メールを受信できませんでした。") + name.Bare(), reply));
      return Next::kSkip;
    case Outcome::kTooLarge:
      if (room.budgetBound) {
        LogDeferred(remaining);
      } else {
        // The rest of the message is still on its way: this connection cannot go on.
        Log(SJIS("サイズが大きすぎるメールを受信しませんでした。") + name.Bare());
      }
      return Next::kStop;
    case Outcome::kBroken:
      break;
  }
  // A message cut off may lack any part of itself: neither read nor deleted, it comes again
  // with the next check.
  Log(SJIS("メールの受信中に接続が切れました。") + name.Bare());
  return Next::kStop;
}
