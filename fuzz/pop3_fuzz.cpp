// A POP3 server's side of a whole mail check, played to the real client: the replies of the
// fetch exchange (greeting, USER, PASS, LIST, RETR ..., QUIT), then of the delete exchange and
// a POP-before-SMTP log-in. The input is the server's replies, separated by "%%%%" lines
// (fuzz_support.h); the peer says each when the client waits (scripted_peer.h).
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
  client.SetPopParams("pop.example", "user", "secret", 110);

  int fetched = client.CheckMail();
  Check((fetched == 1) == (client.GetEntryCount() > 0), "CheckMail's result and its entries disagree");
  Check(client.GetEntryCount() <= CMailClient::kMaxEntryCount, "more entries than a check holds");
  for (int index = 0; index < client.GetEntryCount(); ++index) {
    const MAILENTRY* entry = client.GetEntry(index);
    Check(entry->number > 0 && entry->size >= 0, "an entry without its listing's number and size");
    Check(entry->text.compare(0, 3, "+OK") == 0, "an entry whose RETR was refused");
    Check(entry->text.size() >= 5 && entry->text.compare(entry->text.size() - 5, 5, "\r\n.\r\n") == 0,
          "an entry without its terminator line");
  }

  // The whole filter step: every mail through the request parser, the accepted and the
  // refused ones deleted in a second exchange.
  FilterSettings filter;
  filter.RcvDelete = 1;
  AddressList addresses;
  RequestList requests;
  int accepted = ProcessRequests(client, filter, addresses, requests, log);
  Check((accepted == 1) == !requests.empty(), "ProcessRequests' result and its requests disagree");
  for (const auto& request : requests) {
    std::string address;
    Check(CheckMailAddress(request->address, &address) == AddressVerdict::kValid && address == request->address,
          "a request whose address does not pass the address check as it stands");
    Check(!HasControlByte(request->name), "a request name with control bytes");
  }
  for (int index = 0; index < client.GetEntryCount(); ++index) {
    Check(client.GetEntry(index)->deleteMark == 1, "a fetched mail left undeleted with RcvDelete 1");
  }

  (void)client.PopBeforeSmtp();
  return 0;
}
