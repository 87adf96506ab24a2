#include "app/settings/senders_command.h"

#include <unistd.h>

#include "app/settings/address_list_file.h"
#include "app/settings/setting_rules.h"
#include "app/settings/settings.h"
#include "platform/text.h"

namespace {

const char* ProblemText(qv::AddressProblem problem) {
  switch (problem) {
    case qv::AddressProblem::kNotAscii:
      return "holds characters other than ASCII letters, digits and signs";
    case qv::AddressProblem::kNotAnAddress:
    case qv::AddressProblem::kSecondAtSign:
      return "is not of the form name@domain (one @, with text on both sides)";
    case qv::AddressProblem::kWildcardsLocal:
      return "may hold at most one * before the @";
    case qv::AddressProblem::kWildcardsDomain:
      return "may hold at most one * after the @";
    case qv::AddressProblem::kMalformed:
      return "is no address a mail server accepts (no blanks, brackets or comments outside a quoted name, no "
             "empty part of the domain; * alone stands for any name or any domain)";
    case qv::AddressProblem::kNone:
      break;
  }
  return "";
}

void PrintState(const std::string& settingsPath, size_t entries, FILE* to) {
  FilterSettings filter;
  LoadFilterSettings(settingsPath.c_str(), &filter);
  std::fprintf(to, "%s\n", qv::Utf8FromCp932(FilterStateText(filter, entries)).c_str());
}

}  // namespace

int RunSendersCommand(const std::vector<std::string>& arguments, const std::string& settingsPath, FILE* out,
                      FILE* err) {
  const std::string listPath = AddressListPath(settingsPath);
  std::vector<std::string> entries;
  if (!ReadAddressListFile(listPath, &entries) && access(listPath.c_str(), F_OK) == 0) {
    // Writing the list back now would lose the entries that could not be read.
    std::fprintf(err, "Quorvex --senders: %s cannot be read\n", listPath.c_str());
    return kSendersNotWritten;
  }
  if (arguments.size() == 1 && arguments[0] == "list") {
    for (const std::string& entry : entries) std::fprintf(out, "%s\n", qv::Utf8FromCp932(entry).c_str());
    PrintState(settingsPath, entries.size(), err);
    return kSendersDone;
  }
  const bool add = arguments.size() == 2 && arguments[0] == "add";
  const bool remove = arguments.size() == 2 && arguments[0] == "remove";
  if (!add && !remove) {
    std::fprintf(err, "Quorvex --senders: use list, add ADDRESS or remove ADDRESS\n");
    return kSendersRefused;
  }
  const std::string& address = arguments[1];
  const char* done = "added to";
  if (add) {
    qv::AddressProblem problem = qv::CheckAddressListEntry(address);
    if (problem != qv::AddressProblem::kNone) {
      std::fprintf(err, "Quorvex --senders: \"%s\" %s; nothing was written\n", address.c_str(), ProblemText(problem));
      return kSendersRefused;
    }
    const std::string entry = qv::ListEntryForm(address);
    if (FindListEntry(entries, entry) >= 0) {
      std::fprintf(err, "Quorvex --senders: \"%s\" is already listed; nothing was written\n", entry.c_str());
      return kSendersRefused;
    }
    entries.push_back(entry);
  } else {
    const size_t before = entries.size();
    for (int at = FindListEntry(entries, address); at >= 0; at = FindListEntry(entries, address)) {
      entries.erase(entries.begin() + at);
    }
    if (entries.size() == before) {
      std::fprintf(err, "Quorvex --senders: \"%s\" is not listed; nothing was written\n", address.c_str());
      return kSendersRefused;
    }
    done = "removed from";
  }
  std::string error;
  if (CreateFirstSettings(settingsPath.c_str(), &error) == FirstSettings::kFailed ||
      !WriteAddressListFile(listPath, entries, &error)) {
    std::fprintf(err, "Quorvex --senders: %s could not be written: %s\n", listPath.c_str(), error.c_str());
    return kSendersNotWritten;
  }
  std::fprintf(out, "\"%s\" %s %s\n", add ? entries.back().c_str() : address.c_str(), done, listPath.c_str());
  PrintState(settingsPath, entries.size(), out);
  return kSendersDone;
}
