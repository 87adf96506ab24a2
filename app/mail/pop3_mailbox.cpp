// The mailbox over POP3 (RFC 1939).
#include <algorithm>
#include <string_view>
#include <unordered_map>

#include "app/mail/mailbox_access.h"
#include "app/mail/pop3_session.h"
#include "app/settings/activity_log.h"

namespace {

class Pop3Access : public MailboxAccess {
 public:
  explicit Pop3Access(LogSink* log) : log_(log) {}

  FetchResult Fetch(const MailboxAccount& account, FetchBudget& budget, JudgedMails& judged,
                    std::vector<MAILENTRY>* entries) override {
    entries->clear();
    Pop3Session session(log_);
    if (!session.Open(account)) return FetchResult::kLogInFailed;
    judged.UseAccount(JudgedMails::AccountKey(false, account.server, account.port, account.userId, {}));
    Listing listing;
    Pop3Result listed = ReadListing(session, &listing);
    if (!listed.ok()) {
      budget.ListingFailed(listed.reply);
      session.Quit();
      return FetchResult::kListingFailed;
    }
    if (listing.cut) budget.ListingCut();
    std::vector<std::string> names;
    for (const auto& [number, name] : listing.names) names.push_back(name);
    (void)judged.KeepListed(names);
    FetchListed(session, listing, budget, judged, entries);
    session.Quit();
    return FetchResult::kListed;
  }

  void Delete(const MailboxAccount& account, const std::vector<MAILENTRY>& entries) override {
    std::vector<int> numbers;
    for (const MAILENTRY& entry : entries) {
      if (entry.deleteMark) numbers.push_back(entry.number);
    }
    if (numbers.empty()) return;
    Pop3Session session(log_);
    if (!session.Open(account)) return;
    std::vector<std::string> capabilities;
    Pop3Result capa = session.Capa(&capabilities);
    if (capa.status == Pop3Status::kOk || capa.status == Pop3Status::kRefused) {
      const size_t window = Offers(capabilities, "PIPELINING") ? kDeleWindow : 1;
      // A message whose deletion was refused stays; it is not fetched again while it stays.
      for (const Pop3Result& deleted : session.DeleAll(numbers, window)) {
        if (deleted.status == Pop3Status::kBroken) break;
        if (!deleted.ok() && log_) log_->Log(LOG_RECV, deleted.LogLine());
      }
    }
    session.Quit();
  }

  bool LogIn(const MailboxAccount& account) override {
    Pop3Session session(log_);
    if (!session.Open(account)) return false;
    session.Quit();
    return true;
  }

 private:
  // DELE commands sent together when the server pipelines.
  static constexpr size_t kDeleWindow = 64;

  // What the listing commands told.
  struct Listing {
    std::vector<Pop3ScanLine> lines;
    bool cut = false;
    bool top = false;                     // the server sends a header alone
    std::unordered_map<int, std::string> names;  // UIDL: message number -> unique-id
  };

  static bool Offers(const std::vector<std::string>& capabilities, std::string_view name) {
    return std::find(capabilities.begin(), capabilities.end(), name) != capabilities.end();
  }

  // CAPA, LIST and, when offered, UIDL. A server that refuses CAPA or UIDL is read as one
  // without them; a refused LIST or any broken reply fails the listing.
  static Pop3Result ReadListing(Pop3Session& session, Listing* listing) {
    std::vector<std::string> capabilities;
    Pop3Result capa = session.Capa(&capabilities);
    if (capa.status != Pop3Status::kOk && capa.status != Pop3Status::kRefused) return capa;
    listing->top = Offers(capabilities, "TOP");
    Pop3Result listed = session.List(FetchBudget::kMaxEntryCount, &listing->lines, &listing->cut);
    if (!listed.ok() || !Offers(capabilities, "UIDL")) return listed;
    std::vector<Pop3UniqueId> ids;
    Pop3Result named = session.Uidl(FetchBudget::kMaxEntryCount, &ids);
    if (named.status != Pop3Status::kOk && named.status != Pop3Status::kRefused) return named;
    // Two messages of one unique-id cannot be told apart: neither is named.
    std::unordered_map<std::string, int> seen;
    for (const Pop3UniqueId& id : ids) ++seen[id.id];
    for (const Pop3UniqueId& id : ids) {
      if (seen[id.id] == 1) listing->names[id.number] = id.id;
    }
    return {};
  }

  // TOP (or RETR) of every readable scan line not judged before, in listing order, as the
  // budget allows.
  static void FetchListed(Pop3Session& session, const Listing& listing, FetchBudget& budget,
                          const JudgedMails& judged, std::vector<MAILENTRY>* entries) {
    std::vector<const Pop3ScanLine*> wanted;
    std::vector<std::string> wantedNames;
    for (const Pop3ScanLine& line : listing.lines) {
      auto named = line.readable ? listing.names.find(line.number) : listing.names.end();
      const std::string name = named == listing.names.end() ? std::string() : named->second;
      if (!name.empty() && judged.Knows(name)) continue;
      wanted.push_back(&line);
      wantedNames.push_back(name);
    }
    for (size_t index = 0; index < wanted.size(); ++index) {
      const Pop3ScanLine& line = *wanted[index];
      if (!line.readable) {
        budget.UnreadableListing();
        continue;
      }
      MAILENTRY entry;
      entry.number = line.number;
      entry.size = static_cast<int>(line.size);
      entry.name = wantedNames[index];
      auto fetch = [&](long long room, long long* arrived, std::string* reply) {
        Pop3Result fetched = listing.top ? session.Top(line.number, room, &entry.message, arrived)
                                         : session.Retr(line.number, room, &entry.message, arrived);
        *reply = fetched.reply;
        return OutcomeOf(fetched.status);
      };
      // The size a header takes is not announced: the budget counts it as it arrives.
      const long long announced = listing.top ? 0 : line.size;
      const FetchBudget::Next next = budget.Take({false, line.number}, announced, Pop3Session::kResponseOverhead,
                                                 wanted.size() - index, fetch);
      if (next == FetchBudget::Next::kKeep) entries->push_back(std::move(entry));
      if (next == FetchBudget::Next::kStop) return;
    }
  }

  static FetchBudget::Outcome OutcomeOf(Pop3Status status) {
    switch (status) {
      case Pop3Status::kOk:
        return FetchBudget::Outcome::kArrived;
      case Pop3Status::kRefused:
        return FetchBudget::Outcome::kRefused;
      case Pop3Status::kTooLarge:
        return FetchBudget::Outcome::kTooLarge;
      case Pop3Status::kBroken:
        break;
    }
    return FetchBudget::Outcome::kBroken;
  }

  LogSink* log_ = nullptr;
};

}  // namespace

std::unique_ptr<MailboxAccess> MakePop3Access(LogSink* log) { return std::make_unique<Pop3Access>(log); }
