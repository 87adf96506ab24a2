// An SMTP server's side of one reply mail, played to the real client: greeting, HELO or EHLO
// (capabilities), STARTTLS, AUTH, MAIL FROM, RCPT TO, DATA, ".", QUIT. The input's first part
// holds the client's settings, the parts after it the server's replies (fuzz_support.h):
//   four characters whose lowest bits give STARTTLS, AUTH, a recipient whose local part needs
//   SMTPUTF8, and a picture attachment; then the recipient's display name (a final LF
//   dropped), cleaned as the request parser cleans it.
// Everything the client sent in plain text must be a well-formed SMTP dialogue: CR LF line
// ends only, no line over 1000 bytes.
#include <cstdint>
#include <string>

#include "app/mail/mail_client.h"
#include "app/mail/mail_message.h"
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
  CheckingLogSink log;
  CMailClient client(&log);
  client.SetSmtpParams("smtp.example", "camera@example.jp", SJIS("カメラ").c_str(), 25);
  client.SetSmtpSecurity(bit(0), bit(1), "user", "secret", "");
  client.SetReplyText(SJIS("画像です").c_str(), SJIS("こんにちは<BR>.<BR>画像です").c_str());
  client.SetAttachment(bit(3) ? attachment.c_str() : "", "au.jpg");
  const char* recipient = bit(2) ? "\xE5\xA4\xAA\xE9\x83\x8E@example.jp" : "taro@example.jp";

  std::unique_ptr<qv::TcpConnection> connection = client.SmtpConnect();
  if (connection) {
    int result = client.SmtpSendMail(*connection, recipient, CleanHeaderText(name).c_str());
    Check(result >= kSmtpSent && result <= kSmtpAuthRefused, "SmtpSendMail's result out of range");
  }
  client.SmtpClose(std::move(connection));
  CheckDialogue(peer.Finish());
  return 0;
}
