// The mailbox over POP3 (RFC 1939).
#include "app/mail/mailbox_access.h"
#include "app/mail/pop3_session.h"

namespace {

class Pop3Access : public MailboxAccess {
 public:
  explicit Pop3Access(LogSink* log) : log_(log) {}

  FetchResult Fetch(const MailboxAccount& account, FetchBudget& budget, std::vector<MAILENTRY>* entries) override {
    entries->clear();
    Pop3Session session(log_);
    if (!session.Open(account)) return FetchResult::kLogInFailed;
    std::vector<Pop3ScanLine> listing;
    bool cut = false;
    Pop3Result listed = session.List(FetchBudget::kMaxEntryCount, &listing, &cut);
    if (!listed.ok()) {
      budget.ListingFailed(listed.reply);
      session.Quit();
      return FetchResult::kListingFailed;
    }
    if (cut) budget.ListingCut();
    FetchListed(session, listing, budget, entries);
    session.Quit();
    return FetchResult::kListed;
  }

  void Delete(const MailboxAccount& account, const std::vector<MAILENTRY>& entries) override {
    Pop3Session session(log_);
    if (!session.Open(account)) return;
    // The replies are read but not judged: a message that stays is fetched again next time.
    for (const MAILENTRY& entry : entries) {
      if (!entry.deleteMark) continue;
      Pop3Result deleted = session.Dele(entry.number);
      if (deleted.status == Pop3Status::kBroken || !session.IsOpen()) break;
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
  // RETR of every readable scan line, in listing order, as the budget allows.
  static void FetchListed(Pop3Session& session, const std::vector<Pop3ScanLine>& listing, FetchBudget& budget,
                          std::vector<MAILENTRY>* entries) {
    for (size_t index = 0; index < listing.size(); ++index) {
      const Pop3ScanLine& line = listing[index];
      if (!line.readable) {
        budget.UnreadableListing();
        continue;
      }
      MAILENTRY entry;
      entry.number = line.number;
      entry.size = static_cast<int>(line.size);
      auto retr = [&](long long room, long long* arrived, std::string* reply) {
        Pop3Result fetched = session.Retr(line.number, room, &entry.message, arrived);
        *reply = fetched.reply;
        return OutcomeOf(fetched.status);
      };
      const FetchBudget::Next next = budget.Take({false, line.number}, line.size, Pop3Session::kResponseOverhead,
                                                 listing.size() - index, retr);
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
