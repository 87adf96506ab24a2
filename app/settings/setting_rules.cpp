#include "app/settings/setting_rules.h"

#include <algorithm>

#include "app/address/mail_address.h"
#include "app/settings/settings_schema.h"

namespace qv {

int PictureWidthFrom(int typed) {
  constexpr SettingRange kWidth = RangeOf("Width");
  int width = std::clamp(typed, kWidth.min, kWidth.max);
  return (width + 3) / 4 * 4;
}

std::string ColorCountLabel(int code) {
  if (code >= 1 && code <= 32) return std::to_string(code * 8);
  switch (code) {
    case 33: return "4096";
    case 34: return "3万";
    case 35: return "6万";
    case 36: return "16万";
    default: return std::to_string(code);
  }
}

int SecurityLevel(int level) { return level >= kSecurityPlain && level <= kSecurityTls ? level : kSecurityTls; }

int SecurityLevelFrom(std::string_view stored, bool* held) {
  size_t first = stored.find_first_not_of(" \t");
  size_t last = stored.find_last_not_of(" \t");
  std::string_view word = first == std::string_view::npos ? std::string_view() : stored.substr(first, last - first + 1);
  bool known = word.size() == 1 && word[0] >= '0' && word[0] <= '2';
  if (held) *held = !known;
  return known ? word[0] - '0' : kSecurityTls;
}

bool HasNonAsciiByte(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

namespace {

// The ASCII and "@" checks the pages make first, each with its own message.
AddressProblem CheckAtSign(std::string_view address) {
  if (HasNonAsciiByte(address)) return AddressProblem::kNotAscii;
  size_t at = address.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == address.size()) return AddressProblem::kNotAnAddress;
  if (address.find('@', at + 1) != std::string_view::npos) return AddressProblem::kSecondAtSign;
  return AddressProblem::kNone;
}

bool PassesAddressRule(std::string_view local, std::string_view domain) {
  std::string checked;
  return CheckMailAddressParts(local, domain, &checked) == AddressVerdict::kValid;
}

}  // namespace

AddressProblem CheckAddressSetting(std::string_view address) {
  AddressProblem problem = CheckAtSign(address);
  if (problem != AddressProblem::kNone) return problem;
  std::string checked;
  return ::CheckMailAddress(address, &checked) == AddressVerdict::kValid ? AddressProblem::kNone
                                                                         : AddressProblem::kMalformed;
}

AddressProblem CheckAddressListEntry(std::string_view entry) {
  AddressProblem problem = CheckAtSign(entry);
  if (problem != AddressProblem::kNone) return problem;
  size_t at = entry.find('@');
  std::string_view local = entry.substr(0, at);
  std::string_view domain = entry.substr(at + 1);
  if (std::count(local.begin(), local.end(), '*') > 1) return AddressProblem::kWildcardsLocal;
  if (std::count(domain.begin(), domain.end(), '*') > 1) return AddressProblem::kWildcardsDomain;
  // A side that is exactly "*" matches anything: the other side is checked with a stand-in
  // that passes. An entry matches the address as the mail reader gives it, so it is written
  // the same way (a quoted local part in quotes).
  std::string checked;
  if (local != "*" && ::CheckMailAddress(std::string(local) + "@example.jp", &checked) != AddressVerdict::kValid) {
    return AddressProblem::kMalformed;
  }
  if (domain != "*" && !PassesAddressRule("x", domain)) return AddressProblem::kMalformed;
  return AddressProblem::kNone;
}

std::string ListEntryForm(std::string_view entry) {
  size_t at = entry.find('@');
  std::string checked;
  if (at == std::string_view::npos || entry.substr(0, at) == "*" ||
      ::CheckMailAddress(std::string(entry.substr(0, at)) + "@example.jp", &checked) != AddressVerdict::kValid) {
    return std::string(entry);
  }
  return checked.substr(0, DomainSeparator(checked)) + std::string(entry.substr(at));
}

std::string StoredMultiLine(std::string_view shown) {
  std::string stored;
  for (char c : shown) {
    if (c == '\r') continue;
    if (c == '\n') {
      stored += "<BR>";
    } else {
      stored += c;
    }
  }
  return stored;
}

std::string ShownMultiLine(std::string_view stored) {
  std::string shown;
  size_t start = 0;
  for (size_t at = stored.find("<BR>"); at != std::string_view::npos; at = stored.find("<BR>", start)) {
    shown.append(stored, start, at - start);
    shown += "\r\n";
    start = at + 4;
  }
  shown.append(stored, start);
  return shown;
}

}  // namespace qv
