#include "app/mail/requests.h"

#include <cstdio>
#include <cstring>

#include "app/mail/encodings.h"
#include "app/mail/mail_client.h"
#include "app/mail/mail_message.h"
#include "app/mail/reply_limits.h"
#include "app/settings/address_list_file.h"
#include "app/settings/activity_log.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

constexpr size_t kAddressLineLimit = 1024;

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kWhite = " \t\r\n";
  size_t first = text.find_first_not_of(kWhite);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(kWhite);
  return text.substr(first, last - first + 1);
}

struct AddressParts {
  std::string_view local;
  std::string_view domain;
};

// Splits at the '@' at `at` (npos: no local part, the whole text is the domain).
AddressParts SplitAt(std::string_view address, size_t at) {
  if (at == std::string_view::npos) return {{}, address};
  return {address.substr(0, at), address.substr(at + 1)};
}

}  // namespace

AddressList::AddressList() : entries_(std::make_shared<const std::vector<std::string>>()) {}

int AddressList::LoadAddressList(const std::string& path) {
  std::vector<std::string> entries;
  bool readable = ReadAddressListFile(path, &entries, kAddressLineLimit);
  Replace(std::move(entries));
  return readable ? 1 : 0;
}

void AddressList::Replace(std::vector<std::string> entries) {
  auto replacement = std::make_shared<const std::vector<std::string>>(std::move(entries));
  std::lock_guard lock(mutex_);
  entries_ = std::move(replacement);
}

std::shared_ptr<const std::vector<std::string>> AddressList::Snapshot() const {
  std::lock_guard lock(mutex_);
  return entries_;
}

int MatchAddressList(std::string_view address, int filtMode,
                     const std::vector<std::string>& list) {
  // A quoted local part may hold '@' itself; an entry has one '@'.
  AddressParts sender = SplitAt(address, DomainSeparator(address));
  for (const std::string& entry : list) {
    AddressParts pattern = SplitAt(entry, entry.find('@'));
    bool localMatches = pattern.local == "*" || pattern.local == sender.local;
    bool domainMatches = pattern.domain == "*" || pattern.domain == sender.domain;
    if (localMatches && domainMatches) return filtMode != 0 ? 1 : 0;
  }
  return filtMode == 0 ? 1 : 0;
}

namespace {

// Why an otherwise accepted mail gets no reply, as its log line; empty when it gets one.
std::string RefusalOf(AddressVerdict verdict, const std::string& address,
                      AutomaticMail automatic) {
  switch (verdict) {
    case AddressVerdict::kEmpty:
      return SJIS("差出人アドレスのないメールのため、返信しません。");
    case AddressVerdict::kControlCharacter:
      return SJIS("送信者アドレスに制御文字が含まれているため、返信しません。");
    case AddressVerdict::kMalformed:
      return SJIS("送信者アドレスの形式が正しくないため、返信しません。") + "(" + address + ")";
    case AddressVerdict::kValid:
      break;
  }
  switch (automatic) {
    case AutomaticMail::kAutoSubmitted:
      return SJIS("自動送信されたメール(Auto-Submitted)のため、返信しません。");
    case AutomaticMail::kBulk:
      return SJIS("一括配信のメール(Precedence)のため、返信しません。");
    case AutomaticMail::kMailingList:
      return SJIS("メーリングリストのメールのため、返信しません。");
    case AutomaticMail::kNullReturnPath:
      return SJIS("配信エラーなどの通知メール(Return-Path: <>)のため、返信しません。");
    case AutomaticMail::kRobotSender:
      return SJIS("自動応答用のアドレスからのメールのため、返信しません。") + "(" + address + ")";
    case AutomaticMail::kNone:
      break;
  }
  return {};
}

// How much of a refused sender the log shows.
constexpr size_t kShownSenderLimit = 200;

// The sender of one From field: whether it may be answered (`*verdict`), the address to send
// to (`*checked`, when valid), the sender as the log shows it (without control bytes) and the
// display name.
void ReadSender(std::string_view value, AddressVerdict* verdict, std::string* checked, std::string* shown,
                std::string* name) {
  Mailbox mailbox;
  name->clear();
  switch (FirstMailbox(value, &mailbox)) {
    case AddressListVerdict::kMailbox:
      *verdict = CheckMailAddressParts(mailbox.local, mailbox.domain, checked);
      *shown = mailbox.local.empty() && mailbox.domain.empty() ? "" : mailbox.local + "@" + mailbox.domain;
      *name = mailbox.name;
      break;
    case AddressListVerdict::kNoMailbox:
      *verdict = AddressVerdict::kEmpty;
      checked->clear();
      shown->clear();
      break;
    case AddressListVerdict::kMalformed: {
      // Control bytes are named as such: they are what an attack on the SMTP dialogue uses.
      bool control = false;
      for (unsigned char c : value) control = control || ((c < 0x20 && c != '\t' && c != 0x1B) || c == 0x7F);
      *verdict = control ? AddressVerdict::kControlCharacter : AddressVerdict::kMalformed;
      checked->clear();
      *shown = std::string(Trim(value));
      break;
    }
  }
  char cut[kShownSenderLimit + 1];
  qv::CopySjisField(cut, sizeof cut, CleanHeaderText(*shown));
  *shown = cut;
}

}  // namespace

std::unique_ptr<REQUESTREC> ParseRequestMail(MAILENTRY& entry, const FilterSettings& filter,
                                             const std::vector<std::string>& addressList,
                                             LogSink* log) {
  int subjectVerdict = filter.TitleFilt == 1 ? 0 : 1;
  int addressVerdict = 1;
  std::string_view wanted(filter.TitleFiltText,
                          strnlen(filter.TitleFiltText, sizeof filter.TitleFiltText));

  std::vector<HeaderField> fields = ReadHeaderBlock(entry.message);

  // The last From field's sender: its verdict, its address in the form to send (when
  // valid), how the log shows it, and its name.
  AddressVerdict verdict = AddressVerdict::kEmpty;
  std::string checked;
  std::string shown;
  std::string name;
  for (const HeaderField& field : fields) {
    if (HeaderNameIs(field.name, "Subject")) {
      if (filter.TitleFilt == 1 && DecodeHeaderText(Trim(field.value)) == wanted) {
        subjectVerdict = 1;
      }
    } else if (HeaderNameIs(field.name, "From")) {
      // A later From replaces the sender and is filtered again; a refusal stays.
      ReadSender(field.value, &verdict, &checked, &shown, &name);
      if (filter.MailFill == 1 &&
          MatchAddressList(verdict == AddressVerdict::kValid ? checked : shown, filter.FiltMode, addressList) == 0) {
        addressVerdict = 0;
      }
    }
  }

  if (subjectVerdict == 1 && addressVerdict == 1) {
    AutomaticMail automatic =
        verdict == AddressVerdict::kValid ? DetectAutomaticMail(fields, checked) : AutomaticMail::kNone;
    std::string refusal = RefusalOf(verdict, shown, automatic);
    if (refusal.empty()) {
      auto record = std::make_unique<REQUESTREC>();
      qv::CopySjisField(record->address, sizeof record->address, checked);
      qv::CopySjisField(record->name, sizeof record->name, name);
      entry.deleteMark = 1;
      return record;
    }
    if (log) log->Log(LOG_RECV, refusal);
  }
  if (filter.RcvDelete == 1) entry.deleteMark = 1;
  return nullptr;
}

int ProcessRequests(CMailClient& client, const FilterSettings& filter, const AddressList& addresses,
                    RequestList& requests, LogSink& log, const RequestGate& gate, RequestTally* tally) {
  RequestTally counts;
  int count = client.GetEntryCount();
  log.Log(LOG_RECV, std::to_string(count) + SJIS("個のメールを受信しました。"));
  log.Log(LOG_RECV, SJIS("フィルタチェックを行います。"));
  requests.clear();
  std::shared_ptr<const std::vector<std::string>> list = addresses.Snapshot();
  std::vector<MAILENTRY*> kept;  // mails of the accepted and the limited requests
  std::vector<std::unique_ptr<REQUESTREC>> accepted;
  for (int index = 0; index < count; ++index) {
    MAILENTRY* entry = client.GetEntry(index);
    if (!entry) continue;
    entry->judged = true;
    if (std::unique_ptr<REQUESTREC> request = ParseRequestMail(*entry, filter, *list, &log)) {
      kept.push_back(entry);
      accepted.push_back(std::move(request));
    }
  }

  std::string holdReason;
  const time_t now = gate.clock ? gate.clock() : time(nullptr);
  ReplyLimits limits(gate.statePath, filter.SenderHourLimit, filter.DayLimit, now);
  if (!accepted.empty() && !limits.usable()) {
    holdReason = SJIS("返信数の記録を読めないため、返信しません: ") + gate.statePath + " (" + limits.error() + ")";
  }
  for (size_t i = 0; i < accepted.size() && holdReason.empty(); ++i) {
    ReplyLimits::Verdict verdict = limits.Admit(accepted[i]->address);
    if (verdict == ReplyLimits::Verdict::kAllowed) {
      requests.push_back(std::move(accepted[i]));
      continue;
    }
    const std::string shown = "(" + CleanHeaderText(accepted[i]->address) + ")";
    if (verdict == ReplyLimits::Verdict::kSenderHourLimit) {
      log.Log(LOG_RECV, SJIS("同じ差出人への1時間の返信数が上限(SenderHourLimit=") +
                            std::to_string(filter.SenderHourLimit) + SJIS(")に達したため、返信しません。") + shown);
    } else {
      log.Log(LOG_RECV, SJIS("今日の返信数が上限(DayLimit=") + std::to_string(filter.DayLimit) +
                            SJIS(")に達したため、返信しません。") + shown);
    }
    ++counts.overLimit;
    // Handled as a refused mail.
    kept[i]->deleteMark = filter.RcvDelete == 1 ? 1 : 0;
  }
  if (holdReason.empty() && !requests.empty() && gate.pictureSourceProblem) holdReason = gate.pictureSourceProblem();
  std::string error;
  if (holdReason.empty() && !requests.empty() && !limits.Commit(&error)) {
    holdReason = SJIS("返信数を記録できないため、返信しません: ") + gate.statePath + " (" + error + ")";
  }
  if (!holdReason.empty()) {
    // Nothing of these mails is lost: they wait on the server for a check that can answer them.
    log.Log(LOG_RECV, holdReason);
    log.Log(LOG_RECV, SJIS("返信するメールはサーバーに残し、次のチェックで返信します。"));
    for (MAILENTRY* entry : kept) {
      entry->deleteMark = 0;
      entry->judged = false;  // judged again at the check that answers it
    }
    counts.held = static_cast<int>(kept.size());
    counts.overLimit = 0;
    requests.clear();
  }
  counts.accepted = static_cast<int>(requests.size());

  if (requests.empty()) {
    log.Log(LOG_RECV, SJIS("画像を返信できるメールがありませんでした。"));
  } else {
    log.Log(LOG_RECV, std::to_string(requests.size()) + SJIS("個に画像を返信します。"));
  }
  qv::SleepMs(qv::GetTimings().deletePauseMs);
  log.Log(LOG_RECV, SJIS("受信したメールを削除します。"));
  client.DeleteMarked();
  if (filter.RcvDelete == 1) log.Log(LOG_RECV, SJIS("受信拒否したメールを削除します。"));
  if (tally) *tally = counts;
  return requests.empty() ? 0 : 1;
}
