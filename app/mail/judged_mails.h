// The mails of one mailbox that a check has judged and that stayed on the server, so that the
// next checks pass them over instead of fetching and logging them again. IMAP names a mail by
// the folder's UIDVALIDITY and its UID, POP3 by its UIDL; a mailbox without such names keeps
// no record.
//
// The record belongs to one account (protocol, server, port, user and IMAP folder): another
// account, or another UIDVALIDITY of the same folder, starts it empty. Each check prunes it to
// the mails the server still lists, and it holds at most kMaxMails names (a listing holds no
// more); names past that are not recorded, and their mails are judged again.
//
// It lives in the section "JudgedMail" of the state file (state_file.h):
//   [JudgedMail]
//   account imap mail.example.jp 993 taro INBOX
//   uidvalidity 1717236000
//   mail 17
//   mail 18
// The account's words are written with "%XX" for '%', blanks, control and non-ASCII bytes.
// The section is untrusted: any line that does not read as above, another account, or more
// than kMaxMails names make the whole record empty, so that every mail is judged again (a
// mail wrongly passed over would be a request lost).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "app/mail/fetch_budget.h"

class StateFile;

class JudgedMails {
 public:
  static constexpr size_t kMaxMails = FetchBudget::kMaxEntryCount;
  static constexpr std::string_view kSection = "JudgedMail";

  // The account key of the record: "imap" or "pop3" and the account's words (an empty IMAP
  // folder is INBOX, as the mailbox opens it).
  [[nodiscard]] static std::string AccountKey(bool imap, const std::string& server, int port,
                                              const std::string& userId, const std::string& folder);

  // Makes the record that of `accountKey`; the names of another account are forgotten.
  void UseAccount(const std::string& accountKey);
  // IMAP: the folder's UIDVALIDITY as the check found it; another than the record's forgets
  // the names (the same UIDs may now name other mails).
  void UseValidity(uint32_t uidValidity);
  // Keeps only the names in `listed` (what the server holds now); returns how many of them
  // the record knew.
  size_t KeepListed(const std::vector<std::string>& listed);
  [[nodiscard]] bool Knows(const std::string& name) const { return names_.count(name) != 0; }
  // Records `name` (not empty, without blanks or control bytes); false when the record is full
  // or the name cannot be one.
  bool Add(const std::string& name);

  [[nodiscard]] size_t size() const { return names_.size(); }
  [[nodiscard]] const std::string& account() const { return account_; }
  // Whether what Write would put into the state file changed since the last Read or Write
  // (the names, or another account's record read).
  [[nodiscard]] bool changed() const { return changed_; }

  // Reads the record of `file` for `accountKey`. False, with the record empty and the reason
  // in `*problem`, when the section is there but damaged.
  bool Read(const StateFile& file, const std::string& accountKey, std::string* problem);
  // Puts the record into `file` (the section is removed when it is empty).
  void Write(StateFile* file);

 private:
  void Forget();

  std::string account_;
  uint32_t uidValidity_ = 0;
  std::unordered_set<std::string> names_;
  bool changed_ = false;
};
