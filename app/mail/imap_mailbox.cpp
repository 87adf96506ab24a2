// The mailbox over IMAP4rev1 (RFC 3501): the fetch and delete exchanges, the log-in for
// POP-before-SMTP and the start of the idle session (RFC 2177).
#include <algorithm>
#include <set>

#include "app/mail/imap_idle.h"
#include "app/mail/imap_session.h"
#include "app/mail/mailbox_access.h"
#include "app/mail/session_result.h"
#include "platform/text.h"

namespace {

// The longest UID set one command carries: servers bound the length of a command line, and
// 8000 bytes pass everywhere.
constexpr size_t kMaxUidSetBytes = 8000;

// What one "* n FETCH (...)" response tells: its sequence number and the items asked for.
struct Fetched {
  uint32_t sequence = 0;
  uint32_t uid = 0;
  bool hasSize = false;
  uint32_t size = 0;
  const ImapValue* header = nullptr;  // BODY[HEADER]: a string, or NIL (an atom)
};

// Reads a FETCH response into `fetched`; false when it is not one. `values` holds what
// `fetched.header` points into.
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
    } else if (name.IsAtom("BODY[HEADER]")) {
      fetched->header = &value;
    }
  }
  return true;
}

// Whether an untagged response that did not read as a FETCH response was meant as one
// ("n FETCH ...").
bool LooksLikeFetch(std::string_view rest) {
  size_t digits = 0;
  while (digits < rest.size() && rest[digits] >= '0' && rest[digits] <= '9') ++digits;
  std::string_view word = rest.substr(std::min(rest.size(), digits + 1), 5);
  return digits > 0 && digits < rest.size() && rest[digits] == ' ' && word.size() == 5 &&
         std::equal(word.begin(), word.end(), "FETCH", [](char a, char b) { return (a & ~0x20) == b; });
}

// The bytes of a string value; a literal's are taken out of `response`, so a large message is
// never copied.
std::string TakeBytes(ImapResponse& response, const ImapValue& value) {
  for (ImapLiteral& literal : response.literals) {
    if (&literal.bytes == value.literal) return std::move(literal.bytes);
  }
  return std::string(value.bytes());
}

// The sorted `uids` as UID sets ("3:5,9") of at most `maxBytes` each, runs of consecutive
// UIDs written as ranges (RFC 3501 9, sequence-set).
std::vector<std::string> UidSets(const std::vector<uint32_t>& uids, size_t maxBytes) {
  std::vector<std::string> sets(1);
  for (size_t i = 0; i < uids.size();) {
    size_t last = i;
    while (last + 1 < uids.size() && uids[last + 1] == uids[last] + 1) ++last;
    std::string run = std::to_string(uids[i]);
    if (last > i) run += ":" + std::to_string(uids[last]);
    if (!sets.back().empty() && sets.back().size() + 1 + run.size() > maxBytes) sets.emplace_back();
    if (!sets.back().empty()) sets.back() += ',';
    sets.back() += run;
    i = last + 1;
  }
  if (sets.back().empty()) sets.pop_back();
  return sets;
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

  FetchResult Fetch(const MailboxAccount& account, FetchBudget& budget, JudgedMails& judged,
                    std::vector<MAILENTRY>* entries) override {
    entries->clear();
    checked_ = ImapFolderState();
    offersIdle_ = false;
    ImapSession session(log_);
    if (!session.Open(account)) return FetchResult::kLogInFailed;
    offersIdle_ = session.HasCapability("IDLE");
    ImapFolderState state;
    if (!session.Select(false, &state)) return FetchResult::kListingFailed;
    checked_ = state;
    judged.UseAccount(JudgedMails::AccountKey(true, account.server, account.port, account.userId, account.folder));
    judged.UseValidity(state.uidValidity);
    std::vector<uint32_t> uids;
    if (!SearchAll(session, budget, &uids)) return FetchResult::kListingFailed;
    // Without a UIDVALIDITY a UID may name another mail at the next check: nothing is known.
    std::vector<std::string> names;
    if (state.uidValidity != 0) {
      for (uint32_t uid : uids) names.push_back(std::to_string(uid));
    }
    (void)judged.KeepListed(names);
    std::vector<uint32_t> wanted;
    for (uint32_t uid : uids) {
      if (!judged.Knows(std::to_string(uid))) wanted.push_back(uid);
    }
    if (!wanted.empty()) FetchHeaders(session, wanted, state.uidValidity != 0, budget, entries);
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
  // The headers of `wanted` (sorted UIDs), one UID FETCH for the whole set (or one per
  // kMaxUidSetBytes of it), each header counted by the budget as it arrives; the entries in
  // UID order. `named`: the entries carry their UID as the judged record's name (not without a
  // UIDVALIDITY).
  static void FetchHeaders(ImapSession& session, const std::vector<uint32_t>& wanted, bool named,
                           FetchBudget& budget, std::vector<MAILENTRY>* entries);

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

void ImapAccess::FetchHeaders(ImapSession& session, const std::vector<uint32_t>& wanted, bool named,
                              FetchBudget& budget, std::vector<MAILENTRY>* entries) {
  std::set<uint32_t> answered;
  bool stopped = false;
  // Counts one answer (or, unnamed, how the exchange ended) with the budget.
  auto settle = [&](const MessageName& name, FetchBudget::Outcome outcome, long long arrived, std::string reply) {
    // The messages not answered yet, the one answered now included.
    const size_t remaining = wanted.size() - answered.size() + (name.value != 0 ? 1 : 0);
    auto arrivedAlready = [&](long long, long long* counted, std::string* refusal) {
      *counted = arrived;
      *refusal = reply;
      return outcome;
    };
    return budget.Take(name, outcome == FetchBudget::Outcome::kArrived ? arrived : 0, 0, remaining, arrivedAlready);
  };
  size_t unreadable = 0;
  auto header = [&](ImapResponse& response) {
    std::vector<ImapValue> values;
    Fetched fetched;
    if (stopped) return;
    if (!ReadFetch(response, &values, &fetched)) {
      if (LooksLikeFetch(response.rest())) ++unreadable;
      return;
    }
    // Only the UIDs asked for, each once: a server that answers with others cannot grow the
    // entries. A FETCH without the header (a flag change) is no answer.
    if (!fetched.header ||
        !std::binary_search(wanted.begin(), wanted.end(), fetched.uid) || !answered.insert(fetched.uid).second) {
      return;
    }
    const bool isString =
        fetched.header->kind == ImapValue::Kind::kLiteral || fetched.header->kind == ImapValue::Kind::kQuoted;
    MAILENTRY entry;
    entry.uid = fetched.uid;
    if (named) entry.name = std::to_string(fetched.uid);
    entry.number = static_cast<int>(std::min<uint32_t>(fetched.sequence, 0x7FFFFFFF));
    entry.size = fetched.hasSize ? static_cast<int>(std::min<uint32_t>(fetched.size, 0x7FFFFFFF)) : 0;
    if (isString) entry.message = TakeBytes(response, *fetched.header);
    const FetchBudget::Next next =
        settle({true, fetched.uid}, isString ? FetchBudget::Outcome::kArrived : FetchBudget::Outcome::kRefused,
               static_cast<long long>(entry.message.size()), {});
    if (next == FetchBudget::Next::kKeep) entries->push_back(std::move(entry));
    stopped = next == FetchBudget::Next::kStop;
  };
  for (const std::string& set : UidSets(wanted, kMaxUidSetBytes)) {
    ImapStatus status;
    // A header sent as a quoted string is bounded by the line, not the literal limit: the
    // budget counts what arrived either way.
    const ImapResult result = session.Command("UID FETCH " + set + " (UID RFC822.SIZE BODY.PEEK[HEADER])", header,
                                              FetchBudget::kMaxMessageSize, &status);
    if (unreadable != 0) {
      // Its message is neither judged nor deleted: it comes again with the next check.
      session.Log(SJIS("IMAPサーバーの読めない応答を飛ばしました。") + " (" + std::to_string(unreadable) + ")");
      unreadable = 0;
    }
    if (stopped) break;
    if (result == ImapResult::kOk) continue;
    // The words of a refusal; the headers that came before it are kept.
    const std::string reply =
        result == ImapResult::kNo || result == ImapResult::kBad ? ServerReplyText(status.text) : std::string();
    if (settle({true, 0}, OutcomeOf(result, false), 0, reply) == FetchBudget::Next::kStop) break;
  }
  std::sort(entries->begin(), entries->end(),
            [](const MAILENTRY& a, const MAILENTRY& b) { return a.uid < b.uid; });
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
  std::sort(marked.begin(), marked.end());
  marked.erase(std::unique(marked.begin(), marked.end()), marked.end());
  // The whole set in one command where its line allows.
  std::vector<std::string> flagged;
  for (const std::string& set : UidSets(marked, kMaxUidSetBytes)) {
    ImapResult result = session.Command("UID STORE " + set + " +FLAGS (\\Deleted)", nullptr);
    if (result == ImapResult::kBroken || result == ImapResult::kTooLong) return;
    if (result == ImapResult::kOk) flagged.push_back(set);
  }
  if (!flagged.empty()) {
    if (session.HasCapability("UIDPLUS")) {
      // RFC 4315 2.1: only the messages named go, whatever else carries \Deleted.
      for (size_t i = 0; i < flagged.size() && session.IsOpen(); ++i) {
        (void)session.Command("UID EXPUNGE " + flagged[i], nullptr);
      }
    } else {
      (void)session.Command("EXPUNGE", nullptr);
    }
  }
  session.Logout();
}

}  // namespace

std::unique_ptr<MailboxAccess> MakeImapAccess(LogSink* log) { return std::make_unique<ImapAccess>(log); }
