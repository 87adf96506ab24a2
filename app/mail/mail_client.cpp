#include "app/mail/mail_client.h"

#include "app/settings/activity_log.h"
#include "app/settings/setting_rules.h"
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
}

CMailClient::Chosen CMailClient::Current() const {
  std::lock_guard lock(mutex_);
  return chosen_;
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
  FetchBudget budget(log_, checkBytes_);
  FetchResult result = chosen.mailbox->Fetch(chosen.account, budget, &entries_);
  lastLoginFailed_ = result == FetchResult::kLogInFailed;
  lastCheckFailed_ = result != FetchResult::kListed;
  return entries_.empty() ? 0 : 1;
}

void CMailClient::DeleteMarked() {
  Chosen chosen = Current();
  chosen.mailbox->Delete(chosen.account, entries_);
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
