// An IMAP server's side of a whole mail check, played to the real client: the responses of the
// fetch session (greeting, LOGIN, SELECT, UID SEARCH, the sizes, each UID FETCH of a body,
// LOGOUT), then of the delete session (LOGIN, SELECT, UID STORE, UID EXPUNGE or EXPUNGE,
// LOGOUT). The input is the server's responses, separated by "%%%%" lines (fuzz_support.h);
// the peer says each when the client waits (scripted_peer.h).
#include <cstdint>
#include <cstring>

#include "app/mail/mail_client.h"
#include "app/mail/mail_message.h"
#include "app/mail/requests.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/scripted_peer.h"

using namespace qv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = (UseFuzzTimings(), true);
  (void)ready;
  ScriptedPeer peer(SplitParts(AsText(data, size)));
  CheckingLogSink log;
  CMailClient client(&log);
  MailSettings mail{};
  std::strcpy(mail.PopServer, "imap.example");
  std::strcpy(mail.UserID, "user");
  std::strcpy(mail.Passwd, "secret");
  std::strcpy(mail.ImapFolder, "INBOX");
  mail.PopPort = 143;
  mail.MailProtocol = 1;
  client.SetMailbox(mail);

  int fetched = client.CheckMail();
  Check((fetched == 1) == (client.GetEntryCount() > 0), "CheckMail's result and its entries disagree");
  Check(client.GetEntryCount() <= CMailClient::kMaxEntryCount, "more entries than a check holds");
  for (int index = 0; index < client.GetEntryCount(); ++index) {
    const MAILENTRY* entry = client.GetEntry(index);
    Check(entry->size >= 0, "an entry with a negative size");
    Check(entry->text.size() >= 5 && entry->text.compare(entry->text.size() - 5, 5, "\r\n.\r\n") == 0,
          "an entry not kept in the form of a POP3 message");
  }

  // The whole filter step, then the deletion in a second session.
  FilterSettings filter;
  filter.RcvDelete = 1;
  AddressList addresses;
  RequestList requests;
  int accepted = ProcessRequests(client, filter, addresses, requests, log);
  Check((accepted == 1) == !requests.empty(), "ProcessRequests' result and its requests disagree");
  for (const auto& request : requests) {
    Check(!HasControlByte(request->name), "a request name with control bytes");
  }
  return 0;
}
