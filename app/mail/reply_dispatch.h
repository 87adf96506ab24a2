// The reply phase of a capture-and-reply run: every accepted request is answered by mail with
// the picture of its carrier class, the class being read off the recipient's mail domain.
#pragma once

#include <array>
#include <string>

#include "app/mail/requests.h"
#include "app/settings/settings.h"

class CMailClient;
class LogSink;

// Carrier classes. A class is also the number of its picture profile (PictSettings%d) and the
// index of a run's picture file, base64 file and attachment name.
enum CarrierClass {
  CARRIER_AU = 0,
  CARRIER_VODAFONE = 1,  // J-PHONE, later Vodafone
  CARRIER_DOCOMO = 2,
  CARRIER_OTHER = 3,
};
inline constexpr int kCarrierClassCount = 4;

struct CarrierDomain {
  const char* domain;
  int carrierClass;
};

// The recognised mail domains, in the order they are compared: au's one; J-PHONE's nine
// regional companies in the older naming ("jp-d.ne.jp" ...) and the same nine in the newer
// naming ("d.vodafone.ne.jp" ...); Docomo's one.
inline constexpr int kCarrierDomainCount = 20;
extern const CarrierDomain kCarrierDomains[kCarrierDomainCount];

// The carrier class of a mail address: the domain after its last "@" compared exactly (byte
// for byte, with case) with the table; CARRIER_OTHER for any other domain, for a subdomain of
// a listed one, for an address without "@" and for null.
[[nodiscard]] int ClassifyCarrier(const char* address);

// The class's label in the reply phase's log lines, in CP932: "ａｕ" (full-width), "Vodafone",
// "Docomo", "その他". Any number outside 0..3 gives the label of CARRIER_OTHER.
[[nodiscard]] const std::string& CarrierLabel(int carrierClass);

// The files of one capture-and-reply run, by carrier class.
struct ReplyFiles {
  std::string workFolder;                                   // where the base64 files are made
  std::array<std::string, kCarrierClassCount> pictures;     // picture file of each class
  std::array<std::string, kCarrierClassCount> attachmentNames;  // "200401021304.jpg" ...
};

// Runs the reply phase:
//   1. makes one base64 file per class ("B64" + unique characters, in `files.workFolder`) from
//      that class's picture file, logging its size (LOG_PICT); a picture that could not be read
//      leaves its base64 file empty, and replies of that class then carry a picture part
//      without data;
//   2. when `mail.BeforeSMTP` is 1, logs in to the mailbox first (the mailbox must already be
//      set on `client`) and waits the POP-before-SMTP pause of the timings record; when that
//      log-in fails nothing is sent;
//   3. sends each request, in list order and over its own SMTP session, the reply with the
//      picture of its class (BuildReplyMessage), skipping a request from the sender's own
//      address and refusing (as a failed send, without connecting) an address that fails the
//      address rule (CheckedAddress), and every request when the sender address fails it;
//      control bytes of a name are dropped;
//   4. deletes the base64 files.
// Every step is logged to `log` (LOG_PICT, LOG_SEND) in CP932; a failed send logs the SMTP
// session's line for the step that failed (our words and the server's reply), then
// "メール送信に失敗しました。". Failed replies are not retried. Null entries of `requests` are skipped.
// Returns the number of replies the server accepted. Runs on the capture-and-reply worker;
// `requests` must not change during the call.
int SendReplies(CMailClient& client, const MailSettings& mail, const SendSettings& send,
                const RequestList& requests, const ReplyFiles& files,
                LogSink& log);
