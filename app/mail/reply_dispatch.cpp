#include "app/mail/reply_dispatch.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "app/mail/encodings.h"
#include "app/mail/mail_client.h"
#include "app/mail/mail_message.h"
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

}  // namespace

int SendReplies(CMailClient& client, const MailSettings& mail, const SendSettings& send,
                const RequestList& requests, const ReplyFiles& files, LogSink& log) {
  const std::string senderAddress = FieldText(mail.MailAddr);
  const std::string bodyText = FieldText(send.MailText) + "<BR>" + FieldText(send.SendName);

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
      log.Log(LOG_PICT,
              CarrierLabel(k) + SJIS("用コンバート後ファイズサイズ ") + KiloBytes(size));
    }
  }

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
    client.SetSmtpParams(mail.SmtpServer, senderAddress.c_str(), mail.UserName, mail.SmtpPort);
    // The submission user and password are their own, or the mailbox's where none is set.
    client.SetSmtpSecurity(mail.SmtpSecurity, mail.SmtpAuth,
                           mail.SmtpUserID[0] != '\0' ? mail.SmtpUserID : mail.UserID,
                           mail.SmtpPasswd[0] != '\0' ? mail.SmtpPasswd : mail.Passwd, mail.CaFile);
    if (mail.SmtpAuth == 1 && mail.SmtpSecurity == 0) {
      log.Log(LOG_SEND, SJIS("SMTPの認証情報は暗号化されずに送信されます(SmtpSecurity=0)。"));
    }
    client.SetReplyText(FieldText(send.Title).c_str(), bodyText.c_str());
    for (const auto& request : requests) {
      if (!request) continue;
      const std::string address = FieldText(request->address);
      const std::string name = FieldText(request->name);
      if (address == senderAddress) {
        log.Log(LOG_SEND,
                SJIS("差出人メールアドレスと受信メールアドレスが同じな為送信しません。"));
        continue;
      }
      int carrierClass = ClassifyCarrier(address.c_str());
      client.SetAttachment(base64Files[carrierClass].c_str(),
                           files.attachmentNames[carrierClass].c_str());
      // A request that did not come through the request parser may hold anything: its address
      // passes the one address check before any connection is made.
      std::string checked;
      if (CheckMailAddress(address, &checked) != AddressVerdict::kValid) {
        log.Log(LOG_SEND, SJIS("メール送信に失敗しました。"));
        continue;
      }
      auto connection = client.SmtpConnect();
      if (!connection) {
        log.Log(LOG_SEND, SJIS("メール送信に失敗しました。"));
        continue;
      }
      // The message ends in a line feed, so the log shows an empty line after it. A local
      // part beyond ASCII is UTF-8; the log shows it in its own text.
      log.Log(LOG_SEND, CleanHeaderText(name) + "<" + CleanHeaderText(LogText(address)) + ">" +
                            SJIS("にメール送信") + "\n");
      int result = client.SmtpSendMail(*connection, address.c_str(), name.c_str());
      if (result == kSmtpSent) {
        ++accepted;
      } else {
        if (result == kSmtpNoUtf8Support) {
          log.Log(LOG_SEND, SJIS("送信先アドレスに英数字以外の文字が含まれていますが、"
                                 "SMTPサーバーが対応していない(SMTPUTF8)ため送信しません。"));
        }
        log.Log(LOG_SEND, SJIS("メール送信に失敗しました。"));
      }
      client.SmtpClose(std::move(connection));
    }
    log.Log(LOG_SEND, SJIS("メール送信終了"));
  }

  for (const std::string& path : base64Files) {
    if (!path.empty()) unlink(path.c_str());
  }
  return accepted;
}
