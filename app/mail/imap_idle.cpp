#include "app/mail/imap_idle.h"

#include "app/mail/session_result.h"
#include "app/settings/activity_log.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

// Responses taken in one Wait beyond the first: what has come already is read at once, but a
// server that floods the line cannot keep the worker from its other duties.
constexpr int kResponsesPerWait = 1000;

// "n EXISTS" / "n EXPUNGE" of an untagged response's text after "* ".
bool CountResponse(std::string_view rest, std::string_view word, uint32_t* number) {
  size_t blank = rest.find(' ');
  if (blank == std::string_view::npos || !ParseImapNumber(rest.substr(0, blank), number)) return false;
  std::string_view name = rest.substr(blank + 1);
  if (name.size() != word.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if ((name[i] & ~0x20) != word[i]) return false;
  }
  return true;
}

}  // namespace

ImapIdle::ImapIdle(LogSink* log) : log_(log) {}

ImapIdle::~ImapIdle() { End(); }

void ImapIdle::Log(const std::string& message) const {
  if (log_) log_->Log(LOG_RECV, message);
}

ImapIdle::Started ImapIdle::Start(const MailboxAccount& account, const ImapFolderState& known) {
  End();
  newsPending_ = false;
  session_ = std::make_unique<ImapSession>(log_);
  if (!session_->Open(account)) {
    session_.reset();
    return Started::kFailed;
  }
  if (!session_->HasCapability("IDLE")) {
    session_->Logout();
    session_.reset();
    return Started::kNoIdle;
  }
  ImapFolderState state;
  if (!session_->Select(true, &state)) {
    session_.reset();
    return Started::kFailed;
  }
  exists_ = state.exists;
  // Mail that came in after the check's SELECT raises UIDNEXT but draws no EXISTS here.
  newsPending_ = known.uidNext != 0 && state.uidValidity == known.uidValidity && state.uidNext > known.uidNext;
  if (!BeginIdle()) {
    if (session_->IsOpen()) session_->Logout();
    session_.reset();
    return Started::kFailed;
  }
  Log(SJIS("IMAP IDLEで新着メールを待ちます。"));
  return Started::kIdling;
}

bool ImapIdle::BeginIdle() {
  tag_ = session_->NextTag();
  if (!session_->connection().SendAll(tag_ + " IDLE\r\n")) return false;
  for (int count = 0; count < kResponsesPerWait; ++count) {
    ImapResponse response;
    if (session_->reader().Read(&response, ImapSession::kSmallLiteralLimit) != ImapRead::kResponse) return false;
    if (response.continuation()) {
      idleSince_ = qv::GetTickCount32();
      return true;
    }
    if (response.untagged()) {
      std::string_view rest = response.rest();
      if (ParseImapStatus(rest).word == "BYE") return false;
      if (Counted(rest) == News::kNewMail) newsPending_ = true;
      continue;
    }
    if (response.tag() == tag_) {
      ImapStatus status = ParseImapStatus(response.rest());
      session_->Log(SJIS("IMAPサーバーがIDLEを受け付けなかったため、設定した間隔でメールチェックします。"), status.text);
      return false;
    }
  }
  return false;
}

ImapIdle::News ImapIdle::Counted(std::string_view rest) {
  uint32_t number = 0;
  if (CountResponse(rest, "EXISTS", &number)) {
    // RFC 3501 7.3.1: the new size of the folder; a larger one means new mail.
    bool grown = number > exists_;
    exists_ = number;
    return grown ? News::kNewMail : News::kNone;
  }
  if (CountResponse(rest, "EXPUNGE", &number) && exists_ > 0) --exists_;
  return News::kNone;  // "* OK Still here", flag changes, RECENT
}

ImapIdle::News ImapIdle::Handle(const ImapResponse& response) {
  if (!response.untagged()) {
    // The server ended the IDLE on its own (a tagged answer), or sent what no IDLE draws.
    return response.continuation() ? News::kNone : Drop(response.text);
  }
  std::string_view rest = response.rest();
  ImapStatus status = ParseImapStatus(rest);
  if (status.word == "BYE") return Drop(status.text);
  return Counted(rest);
}

ImapIdle::News ImapIdle::Drop(std::string_view serverText) {
  if (!qv::AbortRequested()) {
    Log(ReplyLogLine(SJIS("IDLEの接続が切れたため、設定した間隔でのメールチェックに戻ります。"),
                     ServerReplyText(serverText)));
  }
  if (session_) session_->Close();
  session_.reset();
  return News::kDropped;
}

bool ImapIdle::Renew() {
  // RFC 2177 3: a client that idles for long should end the IDLE and start it again before
  // the server's 30-minute inactivity time-out.
  if (!session_->connection().SendAll("DONE\r\n")) return false;
  auto untagged = [this](ImapResponse& response) {
    if (Counted(response.rest()) == News::kNewMail) newsPending_ = true;
  };
  ImapResult done = session_->ReadToTagged(tag_, untagged);
  return done == ImapResult::kOk && session_ && BeginIdle();
}

ImapIdle::News ImapIdle::Wait(int64_t ms) {
  if (!session_) return News::kDropped;
  if (qv::TickDiff(qv::GetTickCount32(), idleSince_) >= qv::GetTimings().imapIdleRenewMs && !Renew()) {
    return Drop();
  }
  if (newsPending_) {
    newsPending_ = false;
    Log(SJIS("新着メールが届きました。"));
    return News::kNewMail;
  }
  News news = News::kNone;
  for (int count = 0; count < kResponsesPerWait && session_; ++count) {
    ImapResponse response;
    ImapRead read = session_->reader().ReadWithin(&response, ImapSession::kSmallLiteralLimit, count == 0 ? ms : 0);
    if (read == ImapRead::kNothingYet) break;
    if (read != ImapRead::kResponse) return Drop();
    News handled = Handle(response);
    if (handled == News::kDropped) return handled;
    if (handled == News::kNewMail) news = handled;
  }
  if (news == News::kNewMail) Log(SJIS("新着メールが届きました。"));
  return news;
}

void ImapIdle::End() {
  if (!session_) return;
  // The answers do not matter: the session ends here, and a silent server must not hold up the
  // check or the exit that comes next.
  (void)session_->connection().SendAll("DONE\r\n" + session_->NextTag() + " LOGOUT\r\n");
  session_->Close();
  session_.reset();
}
