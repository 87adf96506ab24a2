#include "app/mail/mail_client.h"

#include "app/settings/activity_log.h"
#include "app/settings/setting_rules.h"
#include "app/settings/state_file.h"
#include "platform/text.h"

MailboxAccount MailboxAccountOf(const MailSettings& mail) {
  MailboxAccount account;
  account.server = mail.PopServer;
  account.userId = mail.UserID;
  account.port = mail.PopPort;
  account.security = qv::SecurityLevel(mail.PopSecurity);
  account.caFile = mail.CaFile;
  account.folder = mail.ImapFolder;
  account.authMethod = mail.AuthMethod;
  account.secrets = SecretSourceOf(mail);
  return account;
}

CMailClient::CMailClient(LogSink* log) : log_(log) { Choose(false, MailboxAccount()); }

CMailClient::~CMailClient() = default;

void CMailClient::Choose(bool imap, MailboxAccount account) {
  std::lock_guard lock(mutex_);
  // The mailbox object keeps what the last fetch learnt; it is made anew only when the
  // protocol changes.
  if (!chosen_.mailbox || imap != imap_) chosen_.mailbox = imap ? MakeImapAccess(log_) : MakePop3Access(log_);
  imap_ = imap;
  chosen_.account = std::move(account);
  chosen_.imap = imap;
}

CMailClient::Chosen CMailClient::Current() const {
  std::lock_guard lock(mutex_);
  Chosen chosen = chosen_;
  chosen.statePath = statePath_;
  return chosen;
}

void CMailClient::SetStatePath(const std::string& path) {
  std::lock_guard lock(mutex_);
  statePath_ = path;
}

void CMailClient::ReadJudged(const Chosen& chosen) {
  if (judgedRead_ && judgedPath_ == chosen.statePath) return;
  judgedRead_ = true;
  judgedPath_ = chosen.statePath;
  const MailboxAccount& account = chosen.account;
  const std::string key = JudgedMails::AccountKey(chosen.imap, account.server, account.port, account.userId,
                                                  account.folder);
  judged_ = JudgedMails();
  judged_.UseAccount(key);
  if (judgedPath_.empty()) return;
  StateFile file(judgedPath_);
  std::string problem;
  if (!file.Load(&problem) || !judged_.Read(file, key, &problem)) {
    // Judging a mail again costs a fetch; passing over one never judged would lose a request.
    if (log_) {
      log_->Log(LOG_RECV, SJIS("判定済みメールの記録を読めないため、すべてのメールを判定し直します: ") + judgedPath_ +
                              " (" + problem + ")");
    }
    judged_ = JudgedMails();
    judged_.UseAccount(key);
  }
}

void CMailClient::WriteJudged() {
  if (judgedPath_.empty() || !judged_.changed()) return;
  StateFile file(judgedPath_);
  std::string error;
  // The other sections are kept as they are; an unreadable file is not replaced.
  if (file.Load(&error)) {
    judged_.Write(&file);
    if (file.Save(&error)) return;
  }
  if (log_) log_->Log(LOG_RECV, SJIS("判定済みメールの記録を保存できませんでした: ") + judgedPath_ + " (" + error + ")");
}

void CMailClient::SetPopParams(const char* server, const char* userId, const char* password, int port,
                               int security, const char* caFile) {
  MailboxAccount account;
  account.server = server ? server : "";
  account.userId = userId ? userId : "";
  account.password = password ? password : "";
  account.port = port;
  account.security = qv::SecurityLevel(security);
  account.caFile = caFile ? caFile : "";
  Choose(false, std::move(account));
}

void CMailClient::SetMailbox(const MailSettings& mail) {
  idleUnavailableLogged_ = false;
  Choose(mail.MailProtocol == 1, MailboxAccountOf(mail));
}

int CMailClient::CheckMail() {
  entries_.clear();
  entries_.shrink_to_fit();
  Chosen chosen = Current();
  ReadJudged(chosen);
  FetchBudget budget(log_, checkBytes_);
  FetchResult result = chosen.mailbox->Fetch(chosen.account, budget, judged_, &entries_);
  lastLoginFailed_ = result == FetchResult::kLogInFailed;
  lastCheckFailed_ = result != FetchResult::kListed;
  if (result == FetchResult::kListed) {
    if (!passedOverLogged_ && judged_.size() != 0 && log_) {
      log_->Log(LOG_RECV, SJIS("判定済みの") + std::to_string(judged_.size()) +
                              SJIS("個のメールは受信しませんでした。"));
    }
    passedOverLogged_ = true;
    WriteJudged();
  }
  return entries_.empty() ? 0 : 1;
}

void CMailClient::DeleteMarked() {
  Chosen chosen = Current();
  chosen.mailbox->Delete(chosen.account, entries_);
  bool full = false;
  for (const MAILENTRY& entry : entries_) {
    if (entry.judged && !entry.name.empty() && !judged_.Add(entry.name)) full = true;
  }
  if (full && log_) {
    log_->Log(LOG_RECV, SJIS("判定済みメールの記録が上限(") + std::to_string(JudgedMails::kMaxMails) +
                            SJIS("個)に達したため、残りのメールは次回も判定します。"));
  }
  WriteJudged();
}

int CMailClient::PopBeforeSmtp() {
  Chosen chosen = Current();
  return chosen.mailbox->LogIn(chosen.account) ? 1 : 0;
}

bool CMailClient::StartIdle() {
  Chosen chosen = Current();
  if (!idle_) idle_ = std::make_unique<ImapIdle>(log_);
  switch (chosen.mailbox->StartIdle(chosen.account, *idle_)) {
    case IdleStart::kIdling:
      return true;
    case IdleStart::kNotOffered:
      if (!idleUnavailableLogged_.exchange(true) && log_) {
        log_->Log(LOG_RECV, SJIS("IMAPサーバーがIDLEに対応していないため、設定した間隔でメールチェックします。"));
      }
      return false;
    case IdleStart::kNone:
    case IdleStart::kFailed:
      break;
  }
  return false;
}

CMailClient::IdleNews CMailClient::WaitIdle(int64_t ms) { return idle_ ? idle_->Wait(ms) : IdleNews::kDropped; }

void CMailClient::EndIdle() {
  if (idle_) idle_->End();
}

bool CMailClient::idling() const { return idle_ && idle_->active(); }

int CMailClient::GetEntryCount() const { return static_cast<int>(entries_.size()); }

MAILENTRY* CMailClient::GetEntry(int index) {
  if (index < 0 || static_cast<size_t>(index) >= entries_.size()) return nullptr;
  return &entries_[static_cast<size_t>(index)];
}
