// One fetched mail through request parsing and filtering, with an address list read from its
// file. The input has three parts separated by "%%%%" lines (fuzz_support.h):
//   1. the filter: four characters whose lowest bits give MailFill, FiltMode, TitleFilt and
//      RcvDelete, then the subject filter text (a final LF dropped);
//   2. the address list file MailList.dat;
//   3. the fetched mail as the mail client keeps it (MAILENTRY::message).
#include <cstdint>
#include <cstring>

#include "app/mail/encodings.h"
#include "app/mail/mail_client.h"
#include "app/mail/mail_message.h"
#include "app/mail/requests.h"
#include "fuzz/fuzz_support.h"
#include "platform/text.h"

using namespace qv::fuzz;

namespace {

FilterSettings FilterOf(std::string_view options) {
  FilterSettings filter;
  auto bit = [&options](size_t i) { return i < options.size() ? options[i] & 1 : 0; };
  filter.MailFill = bit(0);
  filter.FiltMode = bit(1);
  filter.TitleFilt = bit(2);
  filter.RcvDelete = bit(3);
  std::string_view text = options.size() > 4 ? options.substr(4) : std::string_view();
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  qv::CopySjisField(filter.TitleFiltText, sizeof filter.TitleFiltText, text);
  return filter;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string_view> parts = SplitParts(AsText(data, size), 3);
  parts.resize(3);
  FilterSettings filter = FilterOf(parts[0]);
  AddressList addresses;
  (void)addresses.LoadAddressList(WriteWorkFile("MailList.dat", parts[1]));
  std::shared_ptr<const std::vector<std::string>> list = addresses.Snapshot();

  MAILENTRY entry;
  entry.number = 1;
  entry.message = std::string(parts[2]);
  CheckingLogSink log;
  std::unique_ptr<REQUESTREC> request = ParseRequestMail(entry, filter, *list, &log);
  if (request) {
    std::string address;
    Check(CheckMailAddress(request->address, &address) == AddressVerdict::kValid && address == request->address,
          "a request whose address does not pass the address check as it stands");
    Check(strlen(request->address) <= 254, "a request address over 254 bytes");
    Check(!HasControlByte(request->name), "a request name with control bytes");
    Check(entry.deleteMark == 1, "an accepted mail left undeleted");
  } else {
    Check(entry.deleteMark == (filter.RcvDelete == 1 ? 1 : 0), "a refused mail's delete mark against RcvDelete");
  }

  // The pieces on their own, on every field of the header block.
  std::vector<HeaderField> fields = ReadHeaderBlock(entry.message);
  Check(fields.size() <= kMaxHeaderFields, "more header fields than a block holds");
  for (const HeaderField& field : fields) {
    Check(!field.name.empty() && field.name.find_first_of(" \t:") == std::string::npos && !HasControlByte(field.name),
          "a header field name with blanks, a colon or control bytes");
    Check(field.value.size() <= kMaxHeaderValue, "a header field value over its limit");
    Check(DecodeHeaderText(field.value).size() <= kCodecTextLimit, "a decoded header text over its limit");
    Mailbox mailbox;
    if (FirstMailbox(field.value, &mailbox) == AddressListVerdict::kMailbox) {
      Check(!HasControlByte(mailbox.name), "a display name with control bytes");
      std::string address;
      if (CheckMailAddressParts(mailbox.local, mailbox.domain, &address) == AddressVerdict::kValid) {
        std::string again;
        Check(CheckMailAddress(address, &again) == AddressVerdict::kValid && again == address,
              "a checked address that does not check again to itself");
        Check(!address.empty() && address.size() <= 254 && !HasControlByte(address),
              "a valid address that is empty, too long or holds control bytes");
        (void)DetectAutomaticMail(fields, address);
        (void)NeedsSmtpUtf8(address);
      }
    }
  }
  return 0;
}
