#include "app/mail/fetch_budget.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "app/settings/activity_log.h"
#include "platform/text.h"

namespace {

using Next = FetchBudget::Next;
using Outcome = FetchBudget::Outcome;

std::vector<std::string> Messages(const RecordingLogSink& log) {
  std::vector<std::string> messages;
  for (const std::string& line : log.lines()) messages.push_back(qv::Utf8FromCp932(line.substr(line.find("] ") + 2)));
  return messages;
}

// A fetch that brings `bytes` with `outcome` and `reply`, noting the room it was given; a
// fetch that must not run notes -1.
class ScriptedFetch {
 public:
  FetchBudget::Fetch Bringing(long long bytes, Outcome outcome = Outcome::kArrived, std::string reply = {}) {
    return [this, bytes, outcome, reply](long long room, long long* arrived, std::string* said) {
      room_ = room;
      *arrived = bytes;
      *said = reply;
      return outcome;
    };
  }
  // The room of the last fetch, then -1 again.
  long long TakeRoom() { return std::exchange(room_, -1); }

 private:
  long long room_ = -1;
};

// The caps at their exact bounds: a check holds its bytes exactly, one more defers the rest;
// what arrives counts, not what was announced.
TEST(FetchBudget, TheCheckHoldsItsBytesExactlyCountingWhatArrived) {
  RecordingLogSink log;
  ScriptedFetch fetch;
  FetchBudget budget(&log, 1000);
  const MessageName pop{false, 7};
  const MessageName imap{true, 9};
  EXPECT_EQ(budget.Take(pop, 1001, 64, 3, fetch.Bringing(10)), Next::kStop);
  EXPECT_EQ(fetch.TakeRoom(), -1);
  EXPECT_EQ(budget.Take(pop, 1000, 64, 3, fetch.Bringing(600)), Next::kKeep);
  EXPECT_EQ(fetch.TakeRoom(), 1000);  // the budget's bytes, less than a message's room
  EXPECT_EQ(budget.Take(imap, 401, 0, 2, fetch.Bringing(10)), Next::kStop);
  EXPECT_EQ(fetch.TakeRoom(), -1);
  // Announced within the budget, larger when it came.
  EXPECT_EQ(budget.Take(imap, 10, 0, 2, fetch.Bringing(401)), Next::kStop);
  EXPECT_EQ(fetch.TakeRoom(), 400);
  // Too large for the room the budget gave: deferred, not refused as too large.
  EXPECT_EQ(budget.Take(imap, 10, 0, 2, fetch.Bringing(0, Outcome::kTooLarge)), Next::kStop);
  EXPECT_EQ(budget.Take(imap, 400, 0, 2, fetch.Bringing(400)), Next::kKeep);
  // The check's bytes are used up: the smallest message waits; an empty one still comes.
  EXPECT_EQ(budget.Take(pop, 1, 0, 1, fetch.Bringing(1)), Next::kStop);
  EXPECT_EQ(budget.Take(pop, 0, 0, 1, fetch.Bringing(0)), Next::kKeep);
  EXPECT_EQ(Messages(log), (std::vector<std::string>{
                               "一度に受信できる量を超えたため、残りの3個のメールは次回受信します。",
                               "一度に受信できる量を超えたため、残りの2個のメールは次回受信します。",
                               "一度に受信できる量を超えたため、残りの2個のメールは次回受信します。",
                               "一度に受信できる量を超えたため、残りの2個のメールは次回受信します。",
                               "一度に受信できる量を超えたため、残りの1個のメールは次回受信します。",
                           }));
}

// A message of the largest size is fetched, one byte more is not; each outcome that keeps no
// message says why, with the server's reply.
TEST(FetchBudget, TheMessageCapAndTheLinesOfEachOutcome) {
  RecordingLogSink log;
  ScriptedFetch fetch;
  FetchBudget budget(&log);
  const MessageName pop{false, 7};
  const MessageName imap{true, 9};
  const long long limit = FetchBudget::kMaxMessageSize;
  EXPECT_EQ(budget.Take(pop, limit + 1, 64, 1, fetch.Bringing(1)), Next::kSkip);
  EXPECT_EQ(budget.Take(imap, limit + 1, 0, 1, fetch.Bringing(1)), Next::kSkip);
  EXPECT_EQ(fetch.TakeRoom(), -1);
  EXPECT_EQ(budget.Take(pop, 5, 64 * 1024, 1, fetch.Bringing(0, Outcome::kRefused, "-ERR gone")), Next::kSkip);
  EXPECT_EQ(fetch.TakeRoom(), limit + 64 * 1024);
  EXPECT_EQ(budget.Take(imap, 5, 0, 1, fetch.Bringing(0, Outcome::kRefused)), Next::kSkip);
  EXPECT_EQ(budget.Take(pop, 5, 0, 1, fetch.Bringing(0, Outcome::kTooLarge)), Next::kStop);
  EXPECT_EQ(budget.Take(imap, 5, 0, 1, fetch.Bringing(0, Outcome::kBroken)), Next::kStop);
  EXPECT_EQ(budget.Take(imap, limit, 0, 1, fetch.Bringing(limit)), Next::kKeep);
  EXPECT_EQ(fetch.TakeRoom(), limit);
  budget.ListingCut();
  budget.ListingFailed("-ERR locked");
  budget.UnreadableListing();
  EXPECT_EQ(Messages(log), (std::vector<std::string>{
                               "サイズが大きすぎるメールを受信しませんでした。 (#7, 67108865 bytes)",
                               "サイズが大きすぎるメールを受信しませんでした。 (UID 9) 67108865 bytes",
                               "メールを受信できませんでした。 (#7) (-ERR gone)",
                               "メールを受信できませんでした。 (UID 9)",
                               "サイズが大きすぎるメールを受信しませんでした。 (#7)",
                               "メールの受信中に接続が切れました。 (UID 9)",
                               "メール数が多すぎるため、先頭の100000個だけを受信します。",
                               "メール一覧を受信できませんでした。 (-ERR locked)",
                               "メール一覧の読めない行を飛ばしました。",
                           }));
}

}  // namespace
