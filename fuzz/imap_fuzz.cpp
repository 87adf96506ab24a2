// An IMAP server's side of a whole mail check, played to the real client: the responses of the
// fetch session (greeting, LOGIN, SELECT, UID SEARCH, the sizes, each UID FETCH of a body,
// LOGOUT), then of the delete session (LOGIN, SELECT, UID STORE, UID EXPUNGE or EXPUNGE,
// LOGOUT), then of an idle session (LOGIN, EXAMINE, IDLE, news while idling, DONE). The input is the server's responses, separated by "%%%%" lines (fuzz_support.h);
// the peer says each when the client waits (scripted_peer.h).
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
  MailSettings mail{};
  std::strcpy(mail.PopServer, "imap.example");
  std::strcpy(mail.UserID, "user");
  std::strcpy(mail.Passwd, "secret");
  std::strcpy(mail.ImapFolder, "INBOX");
  mail.PopPort = 143;
  mail.MailProtocol = 1;
  client.SetMailbox(mail);

  int fetched = client.CheckMail();
  CheckFetchedEntries(fetched, client);
  // The whole filter step, then the deletion in a second session.
  RunFilterStep(client, log);

  // The idle session on what is left, when the server offered IDLE: the news it reads while
  // waiting must agree with its state.
  if (client.StartIdle()) {
    for (int wait = 0; wait < 8 && client.idling(); ++wait) {
      CMailClient::IdleNews news = client.WaitIdle(1000);
      Check((news == CMailClient::IdleNews::kDropped) == !client.idling(), "WaitIdle's news and the idle's state disagree");
    }
    client.EndIdle();
    Check(!client.idling(), "an idle still running after EndIdle");
  }
  return 0;
}
