#include "app/mail/reply_dispatch.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>

#include "app/mail/encodings.h"
#include "app/mail/mail_client.h"
#include "app/mail/mail_message.h"
#include "app/mail/reply_message.h"
#include "app/mail/smtp_session.h"
#include "app/settings/activity_log.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

const CarrierDomain kCarrierDomains[kCarrierDomainCount] = {
    {"ezweb.ne.jp", CARRIER_AU},
    // J-PHONE's regional companies before the change of name ...
    {"jp-d.ne.jp", CARRIER_VODAFONE},
    {"jp-h.ne.jp", CARRIER_VODAFONE},
    {"jp-t.ne.jp", CARRIER_VODAFONE},
    {"jp-c.ne.jp", CARRIER_VODAFONE},
    {"jp-k.ne.jp", CARRIER_VODAFONE},
    {"jp-r.ne.jp", CARRIER_VODAFONE},
    {"jp-n.ne.jp", CARRIER_VODAFONE},
    {"jp-s.ne.jp", CARRIER_VODAFONE},
    {"jp-q.ne.jp", CARRIER_VODAFONE},
    // ... and the same companies after it; both namings stay in use side by side.
    {"d.vodafone.ne.jp", CARRIER_VODAFONE},
    {"h.vodafone.ne.jp", CARRIER_VODAFONE},
    {"t.vodafone.ne.jp", CARRIER_VODAFONE},
    {"c.vodafone.ne.jp", CARRIER_VODAFONE},
    {"k.vodafone.ne.jp", CARRIER_VODAFONE},
    {"r.vodafone.ne.jp", CARRIER_VODAFONE},
    {"n.vodafone.ne.jp", CARRIER_VODAFONE},
    {"s.vodafone.ne.jp", CARRIER_VODAFONE},
    {"q.vodafone.ne.jp", CARRIER_VODAFONE},
    {"docomo.ne.jp", CARRIER_DOCOMO},
};

int ClassifyCarrier(const char* address) {
  if (!address) return CARRIER_OTHER;
  // A quoted local part may hold '@' itself; the domain never does.
  const char* at = std::strrchr(address, '@');
  if (!at) return CARRIER_OTHER;
  std::string_view domain(at + 1);
  for (const CarrierDomain& entry : kCarrierDomains) {
    if (domain == entry.domain) return entry.carrierClass;
  }
  return CARRIER_OTHER;
}

const std::string& CarrierLabel(int carrierClass) {
  switch (carrierClass) {
    case CARRIER_AU:
      return SJIS("ａｕ");
    case CARRIER_VODAFONE:
      return SJIS("Vodafone");
    case CARRIER_DOCOMO:
      return SJIS("Docomo");
    default:
      return SJIS("その他");
  }
}

namespace {

// A settings text up to its terminating zero, never past its field.
template <size_t N>
std::string FieldText(const char (&field)[N]) {
  return std::string(field, strnlen(field, N));
}

// An address as the log shows it: ASCII as it is, a UTF-8 local part in CP932.
std::string LogText(const std::string& address) {
  for (unsigned char c : address) {
    if (c >= 0x80) return qv::Cp932FromUtf8(address);
  }
  return address;
}

std::string KiloBytes(long long bytes) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%3.1fKByte", static_cast<double>(bytes) / 1024.0);
  return buffer;
}

// One base64 file per class ("B64" + unique characters, in `workFolder`) from that class's
// picture file, each size logged; an empty path where no file could be made.
std::array<std::string, kCarrierClassCount> MakeBase64Files(const ReplyFiles& files, LogSink& log) {
  log.Log(LOG_PICT, SJIS("画像をメールデータへコンバートします。"));
  // The base64 text is made once per class, whether or not a request of the class came, and
  // shared by every request of the class.
  std::array<std::string, kCarrierClassCount> base64Files;
  for (int k = 0; k < kCarrierClassCount; ++k) {
    base64Files[k] = qv::MakeTempFile(files.workFolder, "B64");
    if (base64Files[k].empty()) continue;
    // A picture that could not be read leaves the file empty; its size line then shows 0.0.
    (void)FileToBase64(files.pictures[k].c_str(), base64Files[k].c_str());
    long long size = qv::FileSize(base64Files[k]);
    if (size >= 0) {
      log.Log(LOG_PICT, CarrierLabel(k) + SJIS("用コンバート後ファイズサイズ ") + KiloBytes(size));
    }
  }
  return base64Files;
}

// What every reply of one run shares.
struct ReplyRun {
  SmtpAccount account;
  std::optional<CheckedAddress> sender;  // none: the sender address fails the address rule
  std::string senderName;
  std::string subject;
  std::string bodyText;
  std::array<std::optional<std::string>, kCarrierClassCount> pictures;  // base64 texts
  std::array<std::string, kCarrierClassCount> pictureNames;
};

// Sends the reply to one request over its own SMTP session; true when the server accepted it.
// A request that did not come through the request parser may hold anything: its address
// passes the one address check before any connection is made.
bool SendReply(const ReplyRun& run, const REQUESTREC& request, LogSink& log) {
  const std::string address = FieldText(request.address);
  const std::string name = FieldText(request.name);
  std::optional<CheckedAddress> recipient = CheckedAddress::Check(address);
  if (!recipient || !run.sender) return false;
  SmtpSession session(run.account, &log);
  if (!session.Connect().ok()) return false;
  // The message ends in a line feed, so the log shows an empty line after it. A local part
  // beyond ASCII is UTF-8; the log shows it in its own text.
  log.Log(LOG_SEND, CleanHeaderText(name) + "<" + CleanHeaderText(LogText(address)) + ">" + SJIS("にメール送信") + "\n");
  const int carrierClass = ClassifyCarrier(address.c_str());
  const std::tm now = LocalNow();
  ReplyRecord record{*run.sender,
                     run.senderName,
                     *recipient,
                     name,
                     run.subject,
                     run.bodyText,
                     run.pictures[carrierClass],
                     run.pictureNames[carrierClass],
                     now,
                     NewMessageId(now, *run.sender)};
  bool sent = SendMail(session, *run.sender, *recipient, BuildReplyMessage(record)).ok();
  session.Close();
  return sent;
}

}  // namespace

int SendReplies(CMailClient& client, const MailSettings& mail, const SendSettings& send,
                const RequestList& requests, const ReplyFiles& files, LogSink& log) {
  const std::string senderAddress = FieldText(mail.MailAddr);
  std::array<std::string, kCarrierClassCount> base64Files = MakeBase64Files(files, log);

  int accepted = 0;
  bool loggedIn = true;
  if (mail.BeforeSMTP == 1) {
    log.Log(LOG_SEND, SJIS("POP認証"));
    if (client.PopBeforeSmtp() == 1) {
      qv::SleepMs(qv::GetTimings().popBeforeSmtpPauseMs);
    } else {
      log.Log(LOG_SEND, SJIS("POP認証失敗"));
      loggedIn = false;
    }
  }

  if (loggedIn) {
    log.Log(LOG_SEND, SJIS("メール送信開始"));
    ReplyRun run;
    run.account = SmtpAccountOf(mail);
    run.sender = CheckedAddress::Check(senderAddress);
    run.senderName = FieldText(mail.UserName);
    run.subject = FieldText(send.Title);
    run.bodyText = FieldText(send.MailText) + "<BR>" + FieldText(send.SendName);
    for (int k = 0; k < kCarrierClassCount; ++k) {
      run.pictures[k] = base64Files[k].empty() ? std::nullopt : ReadBase64File(base64Files[k]);
      // A picture without a name shows its file's.
      run.pictureNames[k] = files.attachmentNames[k].empty() ? base64Files[k] : files.attachmentNames[k];
    }
    if (run.account.authenticate && run.account.security == 0) {
      log.Log(LOG_SEND, SJIS("SMTPの認証情報は暗号化されずに送信されます(SmtpSecurity=0)。"));
    }
    for (const auto& request : requests) {
      if (!request) continue;
      if (FieldText(request->address) == senderAddress) {
        log.Log(LOG_SEND, SJIS("差出人メールアドレスと受信メールアドレスが同じな為送信しません。"));
        continue;
      }
      if (SendReply(run, *request, log)) {
        ++accepted;
      } else {
        log.Log(LOG_SEND, SJIS("メール送信に失敗しました。"));
      }
    }
    log.Log(LOG_SEND, SJIS("メール送信終了"));
  }

  for (const std::string& path : base64Files) {
    if (!path.empty()) unlink(path.c_str());
  }
  return accepted;
}
