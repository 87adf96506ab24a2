#include "app/responder/requests.h"

#include <cstdio>
#include <cstring>

#include "app/responder/encodings.h"
#include "app/responder/mail_client.h"
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

bool HasControlCharacter(const char* text) {
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c; ++c) {
    if (*c < 0x20 || *c == 0x7F) return true;
  }
  return false;
}

struct AddressParts {
  std::string_view local;
  std::string_view domain;
};

AddressParts Split(std::string_view address) {
  size_t at = address.find('@');
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

std::string_view NextToken(std::string_view text, char delimiter, size_t* position) {
  if (*position >= text.size()) {
    *position = text.size();
    return {};
  }
  size_t end = text.find(delimiter, *position);
  if (end == std::string_view::npos) {
    *position = text.size();
    return {};
  }
  std::string_view token = text.substr(*position, end - *position);
  *position = end + 1;
  return token;
}

int MatchAddressList(std::string_view address, int filtMode,
                     const std::vector<std::string>& list) {
  AddressParts sender = Split(address);
  for (const std::string& entry : list) {
    AddressParts pattern = Split(entry);
    bool localMatches = pattern.local == "*" || pattern.local == sender.local;
    bool domainMatches = pattern.domain == "*" || pattern.domain == sender.domain;
    if (localMatches && domainMatches) return filtMode != 0 ? 1 : 0;
  }
  return filtMode == 0 ? 1 : 0;
}

std::unique_ptr<REQUESTREC> ParseRequestMail(MAILENTRY& entry, const FilterSettings& filter,
                                             const std::vector<std::string>& addressList,
                                             LogSink* log) {
  auto record = std::make_unique<REQUESTREC>();
  int subjectVerdict = filter.TitleFilt == 1 ? 0 : 1;
  int addressVerdict = 1;
  std::string_view wanted(filter.TitleFiltText,
                          strnlen(filter.TitleFiltText, sizeof filter.TitleFiltText));

  std::string_view text(entry.text);
  size_t position = 0;
  // The first line is the server's status line. The scan ends at the first empty line, as
  // the line splitter cannot tell an empty line from the end of the text.
  if (!NextToken(text, '\n', &position).empty()) {
    for (;;) {
      std::string_view line = NextToken(text, '\n', &position);
      if (line.empty()) break;
      size_t colon = line.find(':');
      if (colon == std::string_view::npos) continue;
      std::string_view header = Trim(line.substr(0, colon));
      std::string_view value = line.substr(colon + 1);
      if (header == "Subject") {
        if (filter.TitleFilt == 1 && JisToSjis(DecodeWord(Trim(value))) == wanted) {
          subjectVerdict = 1;
        }
      } else if (header == "From") {
        size_t bracket = value.find('<');
        if (bracket == std::string_view::npos) {
          qv::CopySjisField(record->address, sizeof record->address, Trim(value));
        } else {
          std::string address;
          for (char c : Trim(value.substr(bracket))) {
            if (c != '<' && c != '>') address += c;
          }
          std::string name = JisToSjis(DecodeWord(Trim(value.substr(0, bracket))));
          qv::CopySjisField(record->address, sizeof record->address, address);
          qv::CopySjisField(record->name, sizeof record->name, name);
        }
        if (filter.MailFill == 1 && MatchAddressList(record->address, filter.FiltMode,
                                                     addressList) == 0) {
          addressVerdict = 0;
        }
      }
    }
  }

  if (subjectVerdict == 1 && addressVerdict == 1) {
    // The address goes into an SMTP command line: a CR or LF in it would start a command of
    // the sender's choosing.
    if (!HasControlCharacter(record->address)) {
      entry.deleteMark = 1;
      return record;
    }
    if (log) {
      log->Log(LOG_RECV, SJIS("送信者アドレスに制御文字が含まれているため、返信しません。"));
    }
  }
  if (filter.RcvDelete == 1) entry.deleteMark = 1;
  return nullptr;
}

int ProcessRequests(CMailClient& client, const FilterSettings& filter,
                    const AddressList& addresses, RequestList& requests, LogSink& log) {
  int count = client.GetEntryCount();
  log.Log(LOG_RECV, std::to_string(count) + SJIS("個のメールを受信しました。"));
  log.Log(LOG_RECV, SJIS("フィルタチェックを行います。"));
  requests.clear();
  std::shared_ptr<const std::vector<std::string>> list = addresses.Snapshot();
  for (int index = 0; index < count; ++index) {
    MAILENTRY* entry = client.GetEntry(index);
    if (!entry) continue;
    if (std::unique_ptr<REQUESTREC> request = ParseRequestMail(*entry, filter, *list, &log)) {
      requests.push_back(std::move(request));
    }
  }
  if (requests.empty()) {
    log.Log(LOG_RECV, SJIS("画像を返信できるメールがありませんでした。"));
  } else {
    log.Log(LOG_RECV, std::to_string(requests.size()) + SJIS("個に画像を返信します。"));
  }
  qv::SleepMs(qv::GetTimings().deletePauseMs);
  log.Log(LOG_RECV, SJIS("受信したメールを削除します。"));
  client.DeleteMarked();
  if (filter.RcvDelete == 1) log.Log(LOG_RECV, SJIS("受信拒否したメールを削除します。"));
  return requests.empty() ? 0 : 1;
}
