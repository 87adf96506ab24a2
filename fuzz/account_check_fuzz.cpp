// The account check against a POP3 and an SMTP server played from the input: log-in and STAT,
// then the SMTP session up to AUTH. The first part holds the settings, the parts after it the
// servers' replies, POP3 first (fuzz_support.h): three characters whose lowest bits give
// PopSecurity 1 (STLS), SmtpSecurity 1 (STARTTLS) and SmtpAuth.
// The report must be lines of text that never show the password.
#include <cstdint>
#include <string>

#include "app/mail/account_check.h"
#include "app/mail/encodings.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/scripted_peer.h"
#include "platform/text.h"

using namespace qv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (UseFuzzTimings(), true);
  (void)ready;
  std::vector<std::string_view> parts = SplitParts(AsText(data, size));
  std::string_view options = parts.front();
  auto bit = [&options](size_t i) { return i < options.size() ? options[i] & 1 : 0; };
  parts.erase(parts.begin());

  MailSettings mail;
  qv::CopySjisField(mail.PopServer, sizeof mail.PopServer, "pop.example");
  qv::CopySjisField(mail.SmtpServer, sizeof mail.SmtpServer, "smtp.example");
  qv::CopySjisField(mail.UserID, sizeof mail.UserID, "user");
  qv::CopySjisField(mail.Passwd, sizeof mail.Passwd, "Pa55-secret");
  qv::CopySjisField(mail.MailAddr, sizeof mail.MailAddr, "camera@example.jp");
  mail.PopSecurity = bit(0);
  mail.SmtpSecurity = bit(1);
  mail.SmtpAuth = bit(2);

  ScriptedPeer peer(parts);
  std::vector<AccountCheckLine> report;
  int result = CheckAccounts(mail, &report);
  Check(result == 0 || result == 1, "CheckAccounts' result is neither 0 nor 1");
  Check(peer.connections() <= 2, "the account check connected more than twice");
  const std::string secrets[] = {"Pa55-secret", Base64Encode("Pa55-secret"),
                                 Base64Encode(std::string("\0user\0Pa55-secret", 18))};
  int steps = 0;
  for (const AccountCheckLine& line : report) {
    Check(!line.text.empty() && line.text.find_first_of("\r\n") == std::string::npos,
          "a report line that is empty or holds a line break");
    for (const std::string& secret : secrets) {
      Check(line.text.find(secret) == std::string::npos, "the report shows the password");
    }
    steps += line.step ? 1 : 0;
  }
  Check(steps == 2, "the report does not hold one step line per server");
  return 0;
}
