#include "app/mail/judged_mails.h"

#include <algorithm>
#include <cstdio>

#include "app/settings/state_file.h"

namespace {

// A word of the account line: bytes that would split or end it written as "%XX".
std::string Word(std::string_view text) {
  std::string word;
  for (char c : text) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte >= 0x7F || c == '%') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", byte);
      word += escaped;
    } else {
      word.push_back(c);
    }
  }
  return word.empty() ? "%" : word;  // an empty word stays a word
}

// A mail's name: what IMAP's UIDs and POP3's UIDLs are made of (printable ASCII, no blank).
bool NameReadable(std::string_view name) {
  if (name.empty() || name.size() > 70) return false;
  for (char c : name) {
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  return true;
}

bool ReadNumber(std::string_view text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    number = number * 10 + static_cast<uint64_t>(c - '0');
  }
  if (number > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(number);
  return true;
}

constexpr std::string_view kAccountWord = "account ";
constexpr std::string_view kValidityWord = "uidvalidity ";
constexpr std::string_view kMailWord = "mail ";

}  // namespace

std::string JudgedMails::AccountKey(bool imap, const std::string& server, int port, const std::string& userId,
                                    const std::string& folder) {
  return std::string(imap ? "imap " : "pop3 ") + Word(server) + " " + std::to_string(port & 0xFFFF) + " " +
         Word(userId) + " " + Word(!imap ? std::string() : folder.empty() ? std::string("INBOX") : folder);
}

void JudgedMails::Forget() {
  if (!names_.empty()) changed_ = true;
  names_.clear();
}

void JudgedMails::UseAccount(const std::string& accountKey) {
  if (accountKey == account_) return;
  Forget();
  account_ = accountKey;
  uidValidity_ = 0;
}

void JudgedMails::UseValidity(uint32_t uidValidity) {
  if (uidValidity == uidValidity_) return;
  Forget();
  uidValidity_ = uidValidity;
}

size_t JudgedMails::KeepListed(const std::vector<std::string>& listed) {
  std::unordered_set<std::string> kept;
  for (const std::string& name : listed) {
    if (names_.count(name) != 0) kept.insert(name);
  }
  if (kept.size() != names_.size()) changed_ = true;
  names_ = std::move(kept);
  return names_.size();
}

bool JudgedMails::Add(const std::string& name) {
  if (!NameReadable(name)) return false;
  if (names_.count(name) != 0) return true;
  if (names_.size() >= kMaxMails) return false;
  names_.insert(name);
  changed_ = true;
  return true;
}

bool JudgedMails::Read(const StateFile& file, const std::string& accountKey, std::string* problem) {
  names_.clear();
  account_ = accountKey;
  uidValidity_ = 0;
  changed_ = false;
  const std::vector<std::string>& lines = file.Lines(kSection);
  if (lines.empty()) return true;
  auto damaged = [&](const std::string& why) {
    names_.clear();
    uidValidity_ = 0;
    // Written over at the next save.
    changed_ = true;
    if (problem) *problem = why;
    return false;
  };
  if (lines.front().compare(0, kAccountWord.size(), kAccountWord) != 0) return damaged("no account line");
  // The record of another account is not this one's; it is replaced at the next save.
  if (std::string_view(lines.front()).substr(kAccountWord.size()) != accountKey) {
    changed_ = true;
    return true;
  }
  if (lines.size() - 1 > kMaxMails + 1) return damaged("too many lines");
  for (size_t index = 1; index < lines.size(); ++index) {
    std::string_view line = lines[index];
    if (index == 1 && line.compare(0, kValidityWord.size(), kValidityWord) == 0) {
      if (!ReadNumber(line.substr(kValidityWord.size()), &uidValidity_)) return damaged("unreadable uidvalidity");
      continue;
    }
    if (line.compare(0, kMailWord.size(), kMailWord) != 0 || !NameReadable(line.substr(kMailWord.size()))) {
      return damaged("unreadable line " + std::to_string(index + 1));
    }
    names_.emplace(line.substr(kMailWord.size()));
  }
  if (names_.size() > kMaxMails) return damaged("more than " + std::to_string(kMaxMails) + " mails");
  return true;
}

void JudgedMails::Write(StateFile* file) {
  std::vector<std::string> lines;
  if (!names_.empty()) {
    lines.reserve(names_.size() + 2);
    lines.push_back(std::string(kAccountWord) + account_);
    if (uidValidity_ != 0) lines.push_back(std::string(kValidityWord) + std::to_string(uidValidity_));
    std::vector<std::string> sorted(names_.begin(), names_.end());
    std::sort(sorted.begin(), sorted.end());
    for (const std::string& name : sorted) lines.push_back(std::string(kMailWord) + name);
  }
  file->SetLines(kSection, std::move(lines));
  changed_ = false;
}
