// An SMTP server's side of one reply mail, played to the real client: greeting, HELO or EHLO
// (capabilities), STARTTLS, AUTH, MAIL FROM, RCPT TO, DATA, ".", QUIT. The input's first part
// holds the client's settings, the parts after it the server's replies (fuzz_support.h):
//   four characters whose lowest bits give STARTTLS, AUTH, a recipient whose local part needs
//   SMTPUTF8, and a picture attachment; then the recipient's display name (a final LF
//   dropped), cleaned as the request parser cleans it.
// Everything the client sent in plain text must be a well-formed SMTP dialogue: CR LF line
// ends only, no line over 1000 bytes. The log never shows the password, not even when the
// server repeats it.
#include <cstdint>
#include <string>

#include "app/mail/encodings.h"
#include "app/mail/mail_message.h"
#include "app/mail/reply_message.h"
#include "app/mail/smtp_session.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/scripted_peer.h"
#include "platform/text.h"

using namespace qv::fuzz;

namespace {

void CheckDialogue(std::string_view sent) {
  // After STARTTLS the client may speak TLS.
  size_t tls = sent.find("STARTTLS\r\n");
  if (tls != std::string_view::npos) sent = sent.substr(0, tls + 10);
  size_t lineStart = 0;
  for (size_t i = 0; i < sent.size(); ++i) {
    if (sent[i] == '\r') {
      Check(i + 1 < sent.size() && sent[i + 1] == '\n', "the client sent a bare CR");
    } else if (sent[i] == '\n') {
      Check(i > 0 && sent[i - 1] == '\r', "the client sent a bare LF");
      Check(i + 1 - lineStart <= 1000, "the client sent a line over 1000 bytes");
      lineStart = i + 1;
    }
  }
}

// Log lines as CheckingLogSink takes them, none of them holding the credentials.
class SecretCheckingLog : public CheckingLogSink {
 public:
  void AppendLog(const std::string& line) override {
    for (const std::string& secret : {std::string("secret"), Base64Encode("secret"),
                                      Base64Encode(std::string("\0user\0secret", 12))}) {
      Check(line.find(secret) == std::string::npos, "a log line shows the password");
    }
    CheckingLogSink::AppendLog(line);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (UseFuzzTimings(), true);
  static const std::string attachment = WriteWorkFile("picture.b64", std::string(200, 'Q') + "==");
  (void)ready;
  std::vector<std::string_view> parts = SplitParts(AsText(data, size));
  std::string_view options = parts.front();
  auto bit = [&options](size_t i) { return i < options.size() ? options[i] & 1 : 0; };
  std::string_view name = options.size() > 4 ? options.substr(4) : std::string_view();
  if (!name.empty() && name.back() == '\n') name.remove_suffix(1);
  parts.erase(parts.begin());

  ScriptedPeer peer(parts);
  SecretCheckingLog log;
  SmtpAccount account;
  account.server = "smtp.example";
  account.security = bit(0);
  account.authenticate = bit(1);
  account.userId = "user";
  account.password = "secret";
  const std::optional<CheckedAddress> sender = CheckedAddress::Check("camera@example.jp");
  const std::optional<CheckedAddress> recipient =
      CheckedAddress::Check(bit(2) ? "\xE5\xA4\xAA\xE9\x83\x8E@example.jp" : "taro@example.jp");
  Check(sender && recipient, "a fixed address fails the address rule");
  const std::tm date{};
  ReplyRecord record{*sender,
                     SJIS("カメラ"),
                     *recipient,
                     CleanHeaderText(name),
                     SJIS("画像です"),
                     SJIS("こんにちは<BR>.<BR>画像です"),
                     bit(3) ? ReadBase64File(attachment) : std::nullopt,
                     "au.jpg",
                     date,
                     "<1@example.jp>"};

  SmtpSession session(account, &log);
  if (session.Connect().ok()) (void)SendMail(session, *sender, *recipient, BuildReplyMessage(record));
  session.Close();
  CheckDialogue(peer.Finish());
  return 0;
}
