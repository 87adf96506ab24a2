// CMailClient's IMAP half (RFC 3501): the fetch and delete exchanges, the log-in for
// POP-before-SMTP and the idle session (RFC 2177).
#include <algorithm>
#include <map>

#include "app/mail/mail_client.h"
#include "app/settings/activity_log.h"
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

// The message as an entry's text: a line naming it, then the message dot-stuffed and ended by
// the "." line as POP3 sends it (RFC 1939 3), so both protocols' mails are read alike.
std::string EntryText(uint32_t sequence, uint32_t uid, std::string_view message) {
  std::string text = "* " + std::to_string(sequence) + " FETCH (UID " + std::to_string(uid) + " BODY[] {" +
                     std::to_string(message.size()) + "})\r\n";
  text.reserve(text.size() + message.size() + message.size() / 64 + 8);
  bool lineStart = true;
  for (char c : message) {
    if (lineStart && c == '.') text.push_back('.');
    text.push_back(c);
    lineStart = c == '\n';
  }
  if (!message.empty() && !message.ends_with("\r\n")) text += "\r\n";
  text += ".\r\n";
  return text;
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

}  // namespace

ImapAccount CMailClient::ImapAccountOf(const PopParams& params) {
  ImapAccount account;
  account.server = params.server;
  account.userId = params.userId;
  account.password = params.password;
  account.port = params.port;
  account.security = params.security;
  account.caFile = params.caFile;
  account.folder = params.imapFolder;
  return account;
}

std::unique_ptr<ImapSession> CMailClient::ImapLogin() {
  auto session = std::make_unique<ImapSession>(log_);
  if (!session->Open(ImapAccountOf(CopyPopParams()))) return nullptr;
  return session;
}

int CMailClient::ImapCheckMail(const PopParams& params) {
  imapChecked_ = ImapFolderState();
  imapOffersIdle_ = false;
  ImapSession session(log_);
  lastLoginFailed_ = !session.Open(ImapAccountOf(params));
  if (lastLoginFailed_) return 0;
  imapOffersIdle_ = session.HasCapability("IDLE");
  ImapFolderState state;
  if (!session.Select(false, &state)) return 0;
  imapChecked_ = state;

  std::vector<uint32_t> uids;
  bool cut = false;
  auto searched = [&](ImapResponse& response) {
    (void)ParseImapSearch(response, static_cast<size_t>(kMaxEntryCount) - uids.size(), &uids, &cut);
  };
  if (session.Command("UID SEARCH ALL", searched) != ImapResult::kOk) {
    Log(LOG_RECV, SJIS("メール一覧を受信できませんでした。"));
    session.Logout();
    return 0;
  }
  lastCheckFailed_ = false;
  if (cut) {
    Log(LOG_RECV, SJIS("メール数が多すぎるため、先頭の") + std::to_string(kMaxEntryCount) +
                      SJIS("個だけを受信します。"));
  }
  std::sort(uids.begin(), uids.end());
  uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
  if (uids.empty()) {
    session.Logout();
    return 0;
  }

  // The sizes first, as POP3's listing gives them, so the caps hold before a byte is fetched.
  std::map<uint32_t, Fetched> listed;
  auto sized = [&](ImapResponse& response) {
    std::vector<ImapValue> values;
    Fetched fetched;
    // Only the UIDs searched for: a server that answers with others cannot grow the list.
    if (ReadFetch(response, &values, &fetched) && fetched.uid != 0 && fetched.hasSize &&
        std::binary_search(uids.begin(), uids.end(), fetched.uid)) {
      listed[fetched.uid] = fetched;
    }
  };
  if (session.Command("UID FETCH " + std::to_string(uids.front()) + ":" + std::to_string(uids.back()) +
                          " (UID RFC822.SIZE)",
                      sized) != ImapResult::kOk) {
    Log(LOG_RECV, SJIS("メール一覧を受信できませんでした。"));
    session.Logout();
    return 0;
  }

  long long heldBytes = 0;
  for (size_t index = 0; index < uids.size(); ++index) {
    uint32_t uid = uids[index];
    std::string name = " (UID " + std::to_string(uid) + ")";
    auto found = listed.find(uid);
    if (found == listed.end()) continue;  // expunged meanwhile by someone else
    long long size = found->second.size;
    if (size > kMaxMessageSize) {
      Log(LOG_RECV, SJIS("サイズが大きすぎるメールを受信しませんでした。") + name + " " +
                        std::to_string(size) + " bytes");
      continue;
    }
    if (heldBytes + size > checkBytes_) {
      LogDeferred(uids.size() - index);
      break;
    }

    MAILENTRY entry;
    bool got = false;
    long long arrived = 0;
    auto body = [&](ImapResponse& response) {
      std::vector<ImapValue> values;
      Fetched fetched;
      if (!ReadFetch(response, &values, &fetched) || fetched.uid != uid || !fetched.body) return;
      if (fetched.body->kind != ImapValue::Kind::kLiteral && fetched.body->kind != ImapValue::Kind::kQuoted) return;
      entry.number = static_cast<int>(std::min<uint32_t>(fetched.sequence, 0x7FFFFFFF));
      entry.uid = uid;
      entry.size = static_cast<int>(size);
      entry.text = EntryText(fetched.sequence, uid, fetched.body->bytes());
      arrived = static_cast<long long>(fetched.body->bytes().size());
      got = true;
    };
    // What arrives counts, not what was announced: a message may be no larger than the
    // budget still left allows.
    const long long room = std::min(kMaxMessageSize, checkBytes_ - heldBytes);
    ImapResult result = session.Command("UID FETCH " + std::to_string(uid) + " (BODY.PEEK[])", body, room);
    if (result == ImapResult::kOk && got && arrived > room) {
      // A body sent as a quoted string is bounded by the line, not the literal limit.
      LogDeferred(uids.size() - index);
      break;
    }
    if (result == ImapResult::kOk && got) {
      heldBytes += arrived;
      entries_.push_back(std::move(entry));
      continue;
    }
    if (result == ImapResult::kOk || result == ImapResult::kNo || result == ImapResult::kBad) {
      Log(LOG_RECV, SJIS("メールを受信できませんでした。") + name);
      continue;
    }
    if (result == ImapResult::kTooLong && room < kMaxMessageSize) {
      LogDeferred(uids.size() - index);
      break;
    }
    if (result == ImapResult::kTooLong) {
      Log(LOG_RECV, SJIS("サイズが大きすぎるメールを受信しませんでした。") + name);
      break;
    }
    // A message cut off may lack any part of itself: neither read nor deleted, it comes
    // again with the next check.
    Log(LOG_RECV, SJIS("メールの受信中に接続が切れました。") + name);
    break;
  }
  session.Logout();
  return entries_.empty() ? 0 : 1;
}

void CMailClient::ImapDeleteMarked(const PopParams& params) {
  std::vector<uint32_t> marked;
  for (const MAILENTRY& entry : entries_) {
    if (entry.deleteMark && entry.uid != 0) marked.push_back(entry.uid);
  }
  if (marked.empty()) return;
  ImapSession session(log_);
  if (!session.Open(ImapAccountOf(params))) return;
  ImapFolderState state;
  if (!session.Select(false, &state)) return;
  if (state.uidValidity != imapChecked_.uidValidity) {
    // RFC 3501 2.3.1.1: with another UIDVALIDITY the same UIDs name other messages.
    Log(LOG_RECV, SJIS("IMAPのフォルダが作り直されていたため、メールを削除しませんでした。"));
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

bool CMailClient::StartIdle() {
  PopParams params = CopyPopParams();
  if (!params.imap) return false;
  if (!imapOffersIdle_) {
    if (!idleUnavailableLogged_.exchange(true)) {
      Log(LOG_RECV, SJIS("IMAPサーバーがIDLEに対応していないため、設定した間隔でメールチェックします。"));
    }
    return false;
  }
  if (!idle_) idle_ = std::make_unique<ImapIdle>(log_);
  return idle_->Start(ImapAccountOf(params), imapChecked_) == ImapIdle::Started::kIdling;
}

CMailClient::IdleNews CMailClient::WaitIdle(int64_t ms) {
  return idle_ ? idle_->Wait(ms) : IdleNews::kDropped;
}

void CMailClient::EndIdle() {
  if (idle_) idle_->End();
}

bool CMailClient::idling() const { return idle_ && idle_->active(); }
