// A POP3 server's side of a whole mail check, played to the real client: the replies of the
// fetch exchange (greeting, USER, PASS, LIST, RETR ..., QUIT), then of the delete exchange and
// a POP-before-SMTP log-in. The input is the server's replies, separated by "%%%%" lines
// (fuzz_support.h); the peer says each when the client waits (scripted_peer.h).
#include <cstdint>
#include <cstring>

#include "app/mail/mail_client.h"
#include "fuzz/fuzz_support.h"
#include "fuzz/mail_check_checks.h"
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
  CheckFetchedEntries(fetched, client);
  for (int index = 0; index < client.GetEntryCount(); ++index) {
    const MAILENTRY* entry = client.GetEntry(index);
    Check(entry->number > 0, "an entry without its listing's number");
  }

  // The whole filter step: every mail through the request parser, the accepted and the
  // refused ones deleted in a second exchange.
  RunFilterStep(client, log);
  for (int index = 0; index < client.GetEntryCount(); ++index) {
    Check(client.GetEntry(index)->deleteMark == 1, "a fetched mail left undeleted with RcvDelete 1");
  }

  (void)client.PopBeforeSmtp();
  return 0;
}
