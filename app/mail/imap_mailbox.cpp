// The mailbox over IMAP4rev1 (RFC 3501): the fetch and delete exchanges, the log-in for
// POP-before-SMTP and the start of the idle session (RFC 2177).
#include <algorithm>
#include <map>

#include "app/mail/imap_idle.h"
#include "app/mail/imap_session.h"
#include "app/mail/mailbox_access.h"
#include "app/mail/session_result.h"
#include "platform/text.h"

namespace {

// UIDs per UID STORE / UID EXPUNGE command: servers bound the length of a command line.
constexpr size_t kUidsPerCommand = 200;

// What one "* n FETCH (...)" response tells: its sequence number and the items asked for.
struct Fetched {
  uint32_t sequence = 0;
  uint32_t uid = 0;
  bool hasSize = false;
  uint32_t size = 0;
  const ImapValue* body = nullptr;  // BODY[]: a string, or NIL (an atom)
};

// Reads a FETCH response into `fetched`; false when it is not one. `values` holds what
// `fetched.body` points into.
bool ReadFetch(const ImapResponse& response, std::vector<ImapValue>* values, Fetched* fetched) {
  if (!ParseImapValues(response, 2, values) || values->size() != 3 || !(*values)[1].IsAtom("FETCH") ||
      (*values)[2].kind != ImapValue::Kind::kList ||
      !ParseImapNumber((*values)[0].text, &fetched->sequence)) {
    return false;
  }
  const std::vector<ImapValue>& items = (*values)[2].items;
  for (size_t i = 0; i + 1 < items.size(); i += 2) {
    const ImapValue& name = items[i];
    const ImapValue& value = items[i + 1];
    if (name.IsAtom("UID")) {
      (void)ParseImapNumber(value.text, &fetched->uid);
    } else if (name.IsAtom("RFC822.SIZE")) {
      fetched->hasSize = value.kind == ImapValue::Kind::kAtom && ParseImapNumber(value.text, &fetched->size);
    } else if (name.IsAtom("BODY[]")) {
      fetched->body = &value;
    }
  }
  return true;
}

// The bytes of a string value; a literal's are taken out of `response`, so a large message is
// never copied.
std::string TakeBytes(ImapResponse& response, const ImapValue& value) {
  for (ImapLiteral& literal : response.literals) {
    if (&literal.bytes == value.literal) return std::move(literal.bytes);
  }
  return std::string(value.bytes());
}

// "a,b,c" of `uids[from, from + count)`.
std::string UidSet(const std::vector<uint32_t>& uids, size_t from, size_t count) {
  std::string set;
  for (size_t i = from; i < from + count && i < uids.size(); ++i) {
    if (!set.empty()) set += ',';
    set += std::to_string(uids[i]);
  }
  return set;
}

FetchBudget::Outcome OutcomeOf(ImapResult result, bool got) {
  switch (result) {
    case ImapResult::kOk:
      return got ? FetchBudget::Outcome::kArrived : FetchBudget::Outcome::kRefused;
    case ImapResult::kNo:
    case ImapResult::kBad:
      return FetchBudget::Outcome::kRefused;
    case ImapResult::kTooLong:
      return FetchBudget::Outcome::kTooLarge;
    case ImapResult::kBroken:
      break;
  }
  return FetchBudget::Outcome::kBroken;
}

class ImapAccess : public MailboxAccess {
 public:
  explicit ImapAccess(LogSink* log) : log_(log) {}

  FetchResult Fetch(const MailboxAccount& account, FetchBudget& budget, std::vector<MAILENTRY>* entries) override {
    entries->clear();
    checked_ = ImapFolderState();
    offersIdle_ = false;
    ImapSession session(log_);
    if (!session.Open(account)) return FetchResult::kLogInFailed;
    offersIdle_ = session.HasCapability("IDLE");
    ImapFolderState state;
    if (!session.Select(false, &state)) return FetchResult::kListingFailed;
    checked_ = state;
    std::vector<uint32_t> uids;
    if (!SearchAll(session, budget, &uids)) return FetchResult::kListingFailed;
    std::map<uint32_t, uint32_t> sizes;
    ImapStatus status;
    if (!uids.empty() && FetchSizes(session, uids, &sizes, &status)) {
      FetchBodies(session, uids, sizes, budget, entries);
    } else if (!uids.empty()) {
      budget.ListingFailed(ServerReplyText(status.text));
    }
    session.Logout();
    return FetchResult::kListed;
  }

  void Delete(const MailboxAccount& account, const std::vector<MAILENTRY>& entries) override;

  bool LogIn(const MailboxAccount& account) override {
    ImapSession session(log_);
    if (!session.Open(account)) return false;
    session.Logout();
    return true;
  }

  IdleStart StartIdle(const MailboxAccount& account, ImapIdle& idle) override {
    if (!offersIdle_) return IdleStart::kNotOffered;
    return idle.Start(account, checked_) == ImapIdle::Started::kIdling ? IdleStart::kIdling : IdleStart::kFailed;
  }

 private:
  // UID SEARCH ALL: the folder's UIDs, sorted, at most kMaxEntryCount. False (logged, logged
  // out) when refused or broken.
  bool SearchAll(ImapSession& session, const FetchBudget& budget, std::vector<uint32_t>* uids) const;
  // The sizes first, as POP3's listing gives them, so the caps hold before a byte is fetched.
  static bool FetchSizes(ImapSession& session, const std::vector<uint32_t>& uids,
                         std::map<uint32_t, uint32_t>* sizes, ImapStatus* status);
  static void FetchBodies(ImapSession& session, const std::vector<uint32_t>& uids,
                          const std::map<uint32_t, uint32_t>& sizes, FetchBudget& budget,
                          std::vector<MAILENTRY>* entries);
  // UID FETCH uid (BODY.PEEK[]) into `entry`; `*arrived` receives the bytes of the body.
  static FetchBudget::Outcome FetchBody(ImapSession& session, uint32_t uid, long long room, MAILENTRY* entry,
                                        long long* arrived, std::string* reply);

  LogSink* log_ = nullptr;
  ImapFolderState checked_;  // what the last fetch's SELECT told
  bool offersIdle_ = false;  // whether the last fetch's server named IDLE
};

bool ImapAccess::SearchAll(ImapSession& session, const FetchBudget& budget, std::vector<uint32_t>* uids) const {
  bool cut = false;
  auto searched = [&](ImapResponse& response) {
    (void)ParseImapSearch(response, static_cast<size_t>(FetchBudget::kMaxEntryCount) - uids->size(), uids, &cut);
  };
  ImapStatus status;
  if (session.Command("UID SEARCH ALL", searched, ImapSession::kSmallLiteralLimit, &status) != ImapResult::kOk) {
    budget.ListingFailed(ServerReplyText(status.text));
    session.Logout();
    return false;
  }
  if (cut) budget.ListingCut();
  std::sort(uids->begin(), uids->end());
  uids->erase(std::unique(uids->begin(), uids->end()), uids->end());
  return true;
}

bool ImapAccess::FetchSizes(ImapSession& session, const std::vector<uint32_t>& uids,
                            std::map<uint32_t, uint32_t>* sizes, ImapStatus* status) {
  auto sized = [&](ImapResponse& response) {
    std::vector<ImapValue> values;
    Fetched fetched;
    // Only the UIDs searched for: a server that answers with others cannot grow the list.
    if (ReadFetch(response, &values, &fetched) && fetched.uid != 0 && fetched.hasSize &&
        std::binary_search(uids.begin(), uids.end(), fetched.uid)) {
      (*sizes)[fetched.uid] = fetched.size;
    }
  };
  return session.Command("UID FETCH " + std::to_string(uids.front()) + ":" + std::to_string(uids.back()) +
                             " (UID RFC822.SIZE)",
                         sized, ImapSession::kSmallLiteralLimit, status) == ImapResult::kOk;
}

void ImapAccess::FetchBodies(ImapSession& session, const std::vector<uint32_t>& uids,
                             const std::map<uint32_t, uint32_t>& sizes, FetchBudget& budget,
                             std::vector<MAILENTRY>* entries) {
  for (size_t index = 0; index < uids.size(); ++index) {
    const uint32_t uid = uids[index];
    auto found = sizes.find(uid);
    if (found == sizes.end()) continue;  // expunged meanwhile by someone else
    MAILENTRY entry;
    entry.uid = uid;
    entry.size = static_cast<int>(found->second);
    auto body = [&](long long room, long long* arrived, std::string* reply) {
      return FetchBody(session, uid, room, &entry, arrived, reply);
    };
    const FetchBudget::Next next = budget.Take({true, uid}, found->second, 0, uids.size() - index, body);
    if (next == FetchBudget::Next::kKeep) entries->push_back(std::move(entry));
    if (next == FetchBudget::Next::kStop) return;
  }
}

FetchBudget::Outcome ImapAccess::FetchBody(ImapSession& session, uint32_t uid, long long room, MAILENTRY* entry,
                                           long long* arrived, std::string* reply) {
  bool got = false;
  auto body = [&](ImapResponse& response) {
    std::vector<ImapValue> values;
    Fetched fetched;
    if (!ReadFetch(response, &values, &fetched) || fetched.uid != uid || !fetched.body) return;
    if (fetched.body->kind != ImapValue::Kind::kLiteral && fetched.body->kind != ImapValue::Kind::kQuoted) return;
    entry->number = static_cast<int>(std::min<uint32_t>(fetched.sequence, 0x7FFFFFFF));
    entry->message = TakeBytes(response, *fetched.body);
    *arrived = static_cast<long long>(entry->message.size());
    got = true;
  };
  ImapStatus status;
  // A body sent as a quoted string is bounded by the line, not the literal limit: the budget
  // counts what arrived either way.
  ImapResult result = session.Command("UID FETCH " + std::to_string(uid) + " (BODY.PEEK[])", body, room, &status);
  // The words of a refusal; an OK without the body has none worth showing.
  if (result == ImapResult::kNo || result == ImapResult::kBad) *reply = ServerReplyText(status.text);
  return OutcomeOf(result, got);
}

void ImapAccess::Delete(const MailboxAccount& account, const std::vector<MAILENTRY>& entries) {
  std::vector<uint32_t> marked;
  for (const MAILENTRY& entry : entries) {
    if (entry.deleteMark && entry.uid != 0) marked.push_back(entry.uid);
  }
  if (marked.empty()) return;
  ImapSession session(log_);
  if (!session.Open(account)) return;
  ImapFolderState state;
  if (!session.Select(false, &state)) return;
  if (state.uidValidity != checked_.uidValidity) {
    // RFC 3501 2.3.1.1: with another UIDVALIDITY the same UIDs name other messages.
    session.Log(SJIS("IMAPのフォルダが作り直されていたため、メールを削除しませんでした。"));
    session.Logout();
    return;
  }
  std::vector<uint32_t> flagged;
  for (size_t from = 0; from < marked.size(); from += kUidsPerCommand) {
    size_t count = std::min(kUidsPerCommand, marked.size() - from);
    ImapResult result = session.Command("UID STORE " + UidSet(marked, from, count) + " +FLAGS (\\Deleted)", nullptr);
    if (result == ImapResult::kBroken || result == ImapResult::kTooLong) return;
    if (result == ImapResult::kOk) flagged.insert(flagged.end(), marked.begin() + from, marked.begin() + from + count);
  }
  if (!flagged.empty()) {
    if (session.HasCapability("UIDPLUS")) {
      // RFC 4315 2.1: only the messages named go, whatever else carries \Deleted.
      for (size_t from = 0; from < flagged.size() && session.IsOpen(); from += kUidsPerCommand) {
        (void)session.Command("UID EXPUNGE " + UidSet(flagged, from, kUidsPerCommand), nullptr);
      }
    } else {
      (void)session.Command("EXPUNGE", nullptr);
    }
  }
  session.Logout();
}

}  // namespace

std::unique_ptr<MailboxAccess> MakeImapAccess(LogSink* log) { return std::make_unique<ImapAccess>(log); }
