// The sender address list: the input is a whole MailList.dat. Its entries are loaded and a few
// sender addresses are matched against them in both filter modes.
#include <cstdint>
#include <string>

#include "app/mail/requests.h"
#include "fuzz/fuzz_support.h"

using namespace qv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input = AsText(data, size);
  AddressList list;
  Check(list.LoadAddressList(WriteWorkFile("MailList.dat", input)) == 1, "a readable list was not loaded");
  std::shared_ptr<const std::vector<std::string>> entries = list.Snapshot();
  size_t lineEnds = 0;
  for (char c : input) lineEnds += c == '\n' ? 1 : 0;
  Check(entries->size() == lineEnds, "not one entry per line ended by LF");
  for (const std::string& entry : *entries) {
    Check(entry.size() <= 1024 && entry.find('\n') == std::string::npos, "an entry over 1024 bytes or with a LF");
  }
  static const char* const kSenders[] = {"taro@ezweb.ne.jp", "a@b", "", "@", "no-at-sign", "*@*"};
  for (const char* sender : kSenders) {
    int refusing = MatchAddressList(sender, 0, *entries);
    int accepting = MatchAddressList(sender, 1, *entries);
    Check((refusing == 0 || refusing == 1) && accepting == 1 - refusing,
          "the two filter modes do not decide opposite ways");
  }
  return 0;
}
