// What the POP3 and IMAP mail-check targets both check after a fetch, and the filter step both
// run on the fetched mails (every accepted and refused mail deleted: RcvDelete 1).
#pragma once

#include "app/mail/mail_client.h"
#include "app/mail/mail_message.h"
#include "app/mail/requests.h"
#include "fuzz/fuzz_support.h"

namespace qv::fuzz {

// The fetch's result agrees with its entries; each entry is within the caps of a check, and
// together they are within its bytes.
inline void CheckFetchedEntries(int fetched, CMailClient& client) {
  Check((fetched == 1) == (client.GetEntryCount() > 0), "CheckMail's result and its entries disagree");
  Check(client.GetEntryCount() <= CMailClient::kMaxEntryCount, "more entries than a check holds");
  long long held = 0;
  for (int index = 0; index < client.GetEntryCount(); ++index) {
    const MAILENTRY* entry = client.GetEntry(index);
    Check(entry->size >= 0 && entry->size <= CMailClient::kMaxMessageSize, "an entry with a size out of range");
    Check(static_cast<long long>(entry->message.size()) <= CMailClient::kMaxMessageSize,
          "an entry larger than a message may be");
    held += static_cast<long long>(entry->message.size());
  }
  Check(held <= CMailClient::kMaxCheckBytes, "more bytes held than a check holds");
}

// The whole filter step with the deletion exchange; every request it makes is safe to send.
inline void RunFilterStep(CMailClient& client, CheckingLogSink& log) {
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
}

}  // namespace qv::fuzz
