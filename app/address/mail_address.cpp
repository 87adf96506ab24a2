#include "app/address/mail_address.h"

#include <idn2.h>

#include "platform/text.h"

namespace {

constexpr size_t kMaxAddressLength = 254;

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

bool HasControl(std::string_view text) {
  for (unsigned char c : text) {
    if (IsControl(c)) return true;
  }
  return false;
}

bool IsAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

// RFC 5322 3.2.3 atext, plus the bytes of UTF-8 characters (RFC 6532 3.2).
bool IsAtext(unsigned char c) {
  if (c >= 0x80) return true;
  if (c <= ' ' || c == 0x7F) return false;
  return std::string_view("()<>[]:;@\\,.\"").find(static_cast<char>(c)) == std::string_view::npos;
}

// A local part that may go out bare: atext and dots only.
bool IsBareLocalPart(std::string_view local) {
  for (unsigned char c : local) {
    if (c != '.' && !IsAtext(c)) return false;
  }
  return true;
}

std::string Quoted(std::string_view local) {
  std::string quoted = "\"";
  for (char c : local) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += c;
  }
  return quoted + "\"";
}

bool IsAsciiDomain(std::string_view domain) {
  if (domain.empty() || domain.size() > 253) return false;
  size_t labelLength = 0;
  for (char c : domain) {
    bool nameCharacter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                         c == '-' || c == '_';
    if (c == '.') {
      if (labelLength == 0) return false;
      labelLength = 0;
    } else if (nameCharacter) {
      ++labelLength;
    } else {
      return false;
    }
  }
  return labelLength > 0;
}

// The domain in ASCII: as it is, or its IDNA form; empty when it is no domain.
std::string AsciiDomain(std::string_view domain) {
  if (IsAscii(domain)) return IsAsciiDomain(domain) ? std::string(domain) : std::string();
  if (!qv::IsValidUtf8(domain)) return {};
  std::string input(domain);
  char* output = nullptr;
  int result = idn2_to_ascii_8z(input.c_str(), &output, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
  std::string ascii = result == IDN2_OK && output ? output : "";
  if (output) idn2_free(output);
  return IsAsciiDomain(ascii) ? ascii : std::string();
}

std::string_view TrimBlanks(std::string_view text) {
  size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

AddressVerdict CheckMailAddressParts(std::string_view local, std::string_view domain, std::string* address) {
  address->clear();
  if (HasControl(local) || HasControl(domain)) return AddressVerdict::kControlCharacter;
  if (local.empty() && domain.empty()) return AddressVerdict::kEmpty;
  if (local.empty() || !qv::IsValidUtf8(local)) return AddressVerdict::kMalformed;
  std::string asciiDomain = AsciiDomain(domain);
  if (asciiDomain.empty()) return AddressVerdict::kMalformed;
  std::string checked = (IsBareLocalPart(local) ? std::string(local) : Quoted(local)) + "@" + asciiDomain;
  if (checked.size() > kMaxAddressLength) return AddressVerdict::kMalformed;
  *address = std::move(checked);
  return AddressVerdict::kValid;
}

AddressVerdict CheckMailAddress(std::string_view text, std::string* address) {
  address->clear();
  if (HasControl(text)) return AddressVerdict::kControlCharacter;
  text = TrimBlanks(text);
  if (text.empty()) return AddressVerdict::kEmpty;
  std::string local;
  size_t at = 0;
  if (text.front() == '"') {
    // One quoted string (RFC 5321 Quoted-string): quoted pairs undone, then the '@'.
    size_t i = 1;
    for (; i < text.size() && text[i] != '"'; ++i) {
      if (text[i] == '\\' && i + 1 < text.size()) ++i;
      local += text[i];
    }
    if (i >= text.size()) return AddressVerdict::kMalformed;
    at = i + 1;
  } else {
    at = text.find('@');
    if (at == std::string_view::npos) return AddressVerdict::kMalformed;
    local = std::string(text.substr(0, at));
    if (!IsBareLocalPart(local)) return AddressVerdict::kMalformed;
  }
  if (at >= text.size() || text[at] != '@') return AddressVerdict::kMalformed;
  AddressVerdict verdict = CheckMailAddressParts(local, text.substr(at + 1), address);
  return verdict == AddressVerdict::kEmpty ? AddressVerdict::kMalformed : verdict;
}

bool NeedsSmtpUtf8(std::string_view address) {
  size_t at = DomainSeparator(address);
  return !IsAscii(address.substr(0, at == std::string_view::npos ? address.size() : at));
}

size_t DomainSeparator(std::string_view address) { return address.rfind('@'); }

std::optional<CheckedAddress> CheckedAddress::Check(std::string_view text, AddressVerdict* verdict) {
  std::string address;
  AddressVerdict found = CheckMailAddress(text, &address);
  if (verdict) *verdict = found;
  if (found != AddressVerdict::kValid) return std::nullopt;
  return CheckedAddress(std::move(address));
}
