#include "app/mail/mail_message.h"

#include <idn2.h>

#include <cstdlib>

#include "app/mail/encodings.h"
#include "platform/text.h"

namespace {

constexpr std::string_view kBlanks = " \t\r\n";
// RFC 5321 4.5.3.1.3: a path holds at most 256 octets with its angle brackets.
constexpr size_t kMaxAddressLength = 254;

std::string_view Trim(std::string_view text) {
  size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool IsFieldName(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    if (c <= ' ' || c >= 0x7F) return false;
  }
  return true;
}

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// ---- Address-list reading (RFC 5322 3.4) ----

// The end of the comment that opens at `at` ('('), nested comments and quoted pairs
// included; the end of `text` when it is not closed. `*content` receives the text inside.
size_t SkipComment(std::string_view text, size_t at, std::string* content) {
  int depth = 0;
  for (size_t i = at; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      if (content) *content += text[i + 1];
      ++i;
      continue;
    }
    if (c == '(') {
      if (depth++ > 0 && content) *content += c;
      continue;
    }
    if (c == ')') {
      if (--depth == 0) return i + 1;
      if (content) *content += c;
      continue;
    }
    if (content) *content += c;
  }
  return text.size();
}

// The end of the quoted string that opens at `at` ('"'); `*content` receives its text with
// the quoted pairs undone.
size_t SkipQuoted(std::string_view text, size_t at, std::string* content) {
  for (size_t i = at + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      if (content) *content += text[i + 1];
      ++i;
      continue;
    }
    if (c == '"') return i + 1;
    if (content) *content += c;
  }
  return text.size();
}

// Splits `value` at the characters of `separators` that stand outside quoted strings,
// comments and angle brackets.
std::vector<std::string_view> SplitTopLevel(std::string_view value, std::string_view separators) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  size_t i = 0;
  while (i < value.size()) {
    char c = value[i];
    if (c == '"') {
      i = SkipQuoted(value, i, nullptr);
    } else if (c == '(') {
      i = SkipComment(value, i, nullptr);
    } else if (c == '<') {
      size_t close = value.find('>', i);
      i = close == std::string_view::npos ? value.size() : close + 1;
    } else if (separators.find(c) != std::string_view::npos) {
      pieces.push_back(value.substr(start, i - start));
      start = ++i;
    } else {
      ++i;
    }
  }
  pieces.push_back(value.substr(start));
  return pieces;
}

// Reads one mailbox: [display-name] "<" address ">" or a bare address, with comments.
bool ReadMailbox(std::string_view text, Mailbox* mailbox) {
  std::string phrase;   // display name as written, quoted strings undone, one blank between words
  std::string bare;     // the text outside comments, for a mailbox without angle brackets
  std::string comment;  // the first comment, a name for a bare address
  std::string angle;
  bool hasAngle = false;
  bool pendingBlank = false;
  size_t i = 0;
  while (i < text.size()) {
    char c = text[i];
    if (c == ' ' || c == '\t') {
      pendingBlank = !phrase.empty();
      if (!hasAngle) bare += ' ';
      ++i;
    } else if (c == '(') {
      std::string content;
      i = SkipComment(text, i, &content);
      if (comment.empty()) comment = std::string(Trim(content));
      pendingBlank = !phrase.empty();
    } else if (c == '<' && !hasAngle) {
      size_t close = text.find('>', i);
      size_t end = close == std::string_view::npos ? text.size() : close;
      angle = std::string(text.substr(i + 1, end - i - 1));
      hasAngle = true;
      i = close == std::string_view::npos ? text.size() : close + 1;
    } else if (c == '"') {
      std::string content;
      size_t end = SkipQuoted(text, i, &content);
      if (!hasAngle) {
        if (pendingBlank) phrase += ' ';
        phrase += content;
        bare += std::string(text.substr(i, end - i));
      }
      pendingBlank = false;
      i = end;
    } else {
      if (!hasAngle) {
        if (pendingBlank) phrase += ' ';
        phrase += c;
        bare += c;
      }
      pendingBlank = false;
      ++i;
    }
  }
  std::string address;
  std::string name;
  if (hasAngle) {
    // Comments and blanks inside the brackets are no part of the address; neither is the
    // obsolete source route "@a,@b:" (RFC 5322 4.4).
    std::string inside;
    for (size_t k = 0; k < angle.size();) {
      if (angle[k] == '(') {
        k = SkipComment(angle, k, nullptr);
      } else if (angle[k] == '"') {
        size_t end = SkipQuoted(angle, k, nullptr);
        inside += angle.substr(k, end - k);
        k = end;
      } else {
        inside += angle[k++];
      }
    }
    std::string_view trimmed = Trim(inside);
    if (trimmed.starts_with('@')) {
      size_t colon = trimmed.find(':');
      trimmed = colon == std::string_view::npos ? std::string_view() : trimmed.substr(colon + 1);
    }
    address = std::string(Trim(trimmed));
    name = phrase;
  } else {
    address = std::string(Trim(bare));
    name = comment;
  }
  if (address.empty() && name.empty()) return false;
  mailbox->address = address;
  mailbox->name = CleanHeaderText(DecodeHeaderText(name));
  return true;
}

// ---- Address shape ----

// Whether `c` may stand in an unquoted local part: printable ASCII other than the specials
// and blanks, or a byte of a UTF-8 character (checked as a whole elsewhere).
bool IsLocalPartByte(unsigned char c) {
  if (c >= 0x80) return true;
  if (c <= ' ' || c == 0x7F) return false;
  return std::string_view("()<>[]:;@\\,\"").find(static_cast<char>(c)) == std::string_view::npos;
}

bool IsAsciiDomain(std::string_view domain) {
  if (domain.empty() || domain.size() > 253) return false;
  size_t labelLength = 0;
  for (char c : domain) {
    bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '_';
    if (c == '.') {
      if (labelLength == 0) return false;
      labelLength = 0;
    } else if (letter) {
      ++labelLength;
    } else {
      return false;
    }
  }
  return labelLength > 0;
}

bool IsAscii(std::string_view text) {
  for (unsigned char c : text) {
    if (c >= 0x80) return false;
  }
  return true;
}

}  // namespace

std::vector<HeaderField> ReadHeaderBlock(std::string_view message) {
  std::vector<HeaderField> fields;
  bool previousIsField = false;  // whether a continuation line belongs to the last field
  size_t position = 0;
  while (position < message.size()) {
    size_t lineEnd = message.find('\n', position);
    if (lineEnd == std::string_view::npos) lineEnd = message.size();
    std::string_view line = message.substr(position, lineEnd - position);
    position = lineEnd + 1;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty() || line == ".") break;
    // POP3 dot-stuffing (RFC 1939 3): a line that begins with "." came with one more.
    if (line.starts_with("..")) line.remove_prefix(1);

    if (line.front() == ' ' || line.front() == '\t') {
      if (previousIsField) {
        std::string& value = fields.back().value;
        if (value.size() < kMaxHeaderValue) {
          value.append(line.substr(0, kMaxHeaderValue - value.size()));
        }
      }
      continue;
    }
    previousIsField = false;
    size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    // The obsolete syntax allows blanks between the name and its colon (RFC 5322 4.5.3).
    std::string_view name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    if (!IsFieldName(name)) continue;
    if (fields.size() >= kMaxHeaderFields) break;
    std::string_view value = line.substr(colon + 1);
    fields.push_back({std::string(name), std::string(value.substr(0, kMaxHeaderValue))});
    previousIsField = true;
  }
  return fields;
}

bool HeaderNameIs(std::string_view name, std::string_view wanted) {
  return EqualsIgnoringCase(name, wanted);
}

bool FirstMailbox(std::string_view value, Mailbox* mailbox) {
  for (std::string_view item : SplitTopLevel(value, ",")) {
    // A group "name: member, member;" : the members follow its colon; its end is a ';'.
    std::vector<std::string_view> parts = SplitTopLevel(item, ":");
    std::string_view member = parts.back();
    std::vector<std::string_view> ended = SplitTopLevel(member, ";");
    if (ReadMailbox(ended.front(), mailbox)) return true;
  }
  return false;
}

AddressVerdict CheckMailAddress(std::string_view raw, std::string* address) {
  address->clear();
  for (unsigned char c : raw) {
    if (IsControl(c)) return AddressVerdict::kControlCharacter;
  }
  raw = Trim(raw);
  if (raw.empty()) return AddressVerdict::kEmpty;

  std::string local;
  std::string_view rest;
  if (raw.front() == '"') {
    size_t end = SkipQuoted(raw, 0, &local);
    // Some generators quote the whole address when they fold a long field:
    // <"local@domain">. The quoted text is then the address itself.
    if (end == raw.size() && raw.size() >= 2 && raw.back() == '"' &&
        local.find('@') != std::string::npos && local.find('"') == std::string::npos) {
      return CheckMailAddress(local, address);
    }
    if (end > raw.size() || raw[end - 1] != '"' || end == 1) return AddressVerdict::kMalformed;
    rest = raw.substr(end);
  } else {
    size_t at = raw.find('@');
    if (at == std::string_view::npos) return AddressVerdict::kMalformed;
    local = std::string(raw.substr(0, at));
    rest = raw.substr(at);
  }
  if (!rest.starts_with('@')) return AddressVerdict::kMalformed;
  std::string_view domain = rest.substr(1);

  if (local.empty()) return AddressVerdict::kMalformed;
  for (unsigned char c : local) {
    if (!IsLocalPartByte(c)) return AddressVerdict::kMalformed;
  }
  if (!qv::IsValidUtf8(local)) return AddressVerdict::kMalformed;

  std::string asciiDomain;
  if (IsAscii(domain)) {
    asciiDomain = std::string(domain);
  } else {
    if (!qv::IsValidUtf8(domain)) return AddressVerdict::kMalformed;
    std::string input(domain);
    char* output = nullptr;
    int result = idn2_to_ascii_8z(input.c_str(), &output, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL);
    if (result != IDN2_OK || output == nullptr) {
      if (output) idn2_free(output);
      return AddressVerdict::kMalformed;
    }
    asciiDomain = output;
    idn2_free(output);
  }
  if (!IsAsciiDomain(asciiDomain)) return AddressVerdict::kMalformed;

  std::string checked = local + "@" + asciiDomain;
  if (checked.size() > kMaxAddressLength) return AddressVerdict::kMalformed;
  *address = std::move(checked);
  return AddressVerdict::kValid;
}

bool NeedsSmtpUtf8(std::string_view address) {
  return !IsAscii(address.substr(0, address.rfind('@')));
}

std::string CleanHeaderText(std::string_view text) {
  std::string clean;
  clean.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (qv::IsSjisLeadByte(c) && i + 1 < text.size()) {
      // A control byte is never the second byte of a character: the lead byte before it
      // starts none and goes, and the control byte with it.
      if (!IsControl(static_cast<unsigned char>(text[i + 1]))) clean += text.substr(i, 2);
      ++i;
    } else if (!IsControl(c)) {
      clean += static_cast<char>(c);
    }
  }
  return std::string(Trim(clean));
}

AutomaticMail DetectAutomaticMail(const std::vector<HeaderField>& fields,
                                  std::string_view address) {
  for (const HeaderField& field : fields) {
    // The keyword is what stands before any parameter or comment.
    std::string_view value = Trim(field.value);
    std::string_view keyword = Trim(value.substr(0, value.find_first_of(";(")));
    if (HeaderNameIs(field.name, "Auto-Submitted")) {
      if (!EqualsIgnoringCase(keyword, "no")) return AutomaticMail::kAutoSubmitted;
    } else if (HeaderNameIs(field.name, "Precedence")) {
      if (EqualsIgnoringCase(keyword, "bulk") || EqualsIgnoringCase(keyword, "list") ||
          EqualsIgnoringCase(keyword, "junk")) {
        return AutomaticMail::kBulk;
      }
    } else if (HeaderNameIs(field.name, "List-Id") ||
               HeaderNameIs(field.name, "List-Unsubscribe")) {
      return AutomaticMail::kMailingList;
    } else if (HeaderNameIs(field.name, "Return-Path")) {
      std::string path;
      for (size_t i = 0; i < value.size();) {
        if (value[i] == '(') {
          i = SkipComment(value, i, nullptr);
        } else {
          if (kBlanks.find(value[i]) == std::string_view::npos) path += value[i];
          ++i;
        }
      }
      if (path == "<>") return AutomaticMail::kNullReturnPath;
    }
  }
  std::string_view local = address.substr(0, address.rfind('@'));
  for (std::string_view robot : {"mailer-daemon", "postmaster", "noreply", "no-reply",
                                 "do-not-reply"}) {
    if (EqualsIgnoringCase(local, robot)) return AutomaticMail::kRobotSender;
  }
  return AutomaticMail::kNone;
}
