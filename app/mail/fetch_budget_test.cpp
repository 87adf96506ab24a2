#include "app/mail/fetch_budget.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/settings/activity_log.h"
#include "platform/text.h"

namespace {

using Admission = FetchBudget::Admission;
using Next = FetchBudget::Next;
using Outcome = FetchBudget::Outcome;

std::vector<std::string> Messages(const RecordingLogSink& log) {
  std::vector<std::string> messages;
  for (const std::string& line : log.lines()) messages.push_back(qv::Utf8FromCp932(line.substr(line.find("] ") + 2)));
  return messages;
}

// The caps at their exact bounds: a message of the largest size is taken, one byte more is
// not; a check holds its bytes exactly, one more defers the rest.
TEST(FetchBudget, CapsHoldAtTheirBoundsAndEachRefusalIsLogged) {
  RecordingLogSink log;
  FetchBudget budget(&log, 1000);
  const MessageName pop{false, 7};
  const MessageName imap{true, 9};
  EXPECT_EQ(budget.Admit(pop, 1000, 3), Admission::kFetch);
  EXPECT_EQ(budget.Admit(pop, 1001, 3), Admission::kStop);
  FetchBudget::Room room = budget.RoomFor(64);
  EXPECT_EQ(room.bytes, 1000);
  EXPECT_TRUE(room.budgetBound);
  EXPECT_EQ(budget.Settle(pop, Outcome::kArrived, room, 600, "", 3), Next::kKeep);
  EXPECT_EQ(budget.Admit(imap, 400, 2), Admission::kFetch);
  EXPECT_EQ(budget.Admit(imap, 401, 2), Admission::kStop);
  room = budget.RoomFor(0);
  EXPECT_EQ(room.bytes, 400);
  // Larger than announced: what arrives counts.
  EXPECT_EQ(budget.Settle(imap, Outcome::kArrived, room, 401, "", 2), Next::kStop);
  EXPECT_EQ(budget.Settle(imap, Outcome::kArrived, room, 400, "", 2), Next::kKeep);
  // The check's bytes are used up: the smallest message waits.
  EXPECT_EQ(budget.Admit(pop, 1, 1), Admission::kStop);
  EXPECT_EQ(Messages(log), (std::vector<std::string>{
                               "一度に受信できる量を超えたため、残りの3個のメールは次回受信します。",
                               "一度に受信できる量を超えたため、残りの2個のメールは次回受信します。",
                               "一度に受信できる量を超えたため、残りの2個のメールは次回受信します。",
                               "一度に受信できる量を超えたため、残りの1個のメールは次回受信します。",
                           }));
}

TEST(FetchBudget, TheMessageCapAndTheLinesOfEachOutcome) {
  RecordingLogSink log;
  FetchBudget budget(&log);
  const MessageName pop{false, 7};
  const MessageName imap{true, 9};
  EXPECT_EQ(budget.Admit(pop, FetchBudget::kMaxMessageSize, 1), Admission::kFetch);
  EXPECT_EQ(budget.Admit(pop, FetchBudget::kMaxMessageSize + 1, 1), Admission::kSkip);
  EXPECT_EQ(budget.Admit(imap, FetchBudget::kMaxMessageSize + 1, 1), Admission::kSkip);
  const FetchBudget::Room room = budget.RoomFor(64 * 1024);
  EXPECT_EQ(room.bytes, FetchBudget::kMaxMessageSize + 64 * 1024);
  EXPECT_FALSE(room.budgetBound);
  EXPECT_EQ(budget.Settle(pop, Outcome::kRefused, room, 0, "-ERR gone", 1), Next::kSkip);
  EXPECT_EQ(budget.Settle(imap, Outcome::kRefused, room, 0, "", 1), Next::kSkip);
  EXPECT_EQ(budget.Settle(pop, Outcome::kTooLarge, room, 0, "", 1), Next::kStop);
  EXPECT_EQ(budget.Settle(imap, Outcome::kBroken, room, 0, "", 1), Next::kStop);
  budget.ListingCut();
  budget.ListingFailed("-ERR locked");
  budget.UnreadableListing();
  // Nothing was held: the whole room is left.
  EXPECT_EQ(budget.RoomFor(0).bytes, FetchBudget::kMaxMessageSize);
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
