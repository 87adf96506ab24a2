#include "app/mail/mail_message.h"

#include <cstdlib>

#include "app/mail/encodings.h"
#include "platform/text.h"

namespace {

constexpr std::string_view kBlanks = " \t\r\n";

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

// ---- Address-list reading (RFC 5322 3.4, 4.4) ----

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

constexpr char kEscape = '\x1B';

// The end of the character that starts at `i`, read as a unit so that none of its bytes is
// taken for a special: a UTF-8 sequence; a raw ISO-2022-JP run from an escape into a
// double-byte or katakana set up to and including the escape back to ASCII (its bytes are
// printable ASCII, specials among them); a CP932 pair whose second byte is ASCII ('@', '\',
// '[' ...); otherwise the one byte.
size_t CharacterEnd(std::string_view text, size_t i) {
  const size_t n = text.size();
  unsigned char c = static_cast<unsigned char>(text[i]);
  if (c == kEscape) {
    auto backToAscii = [&](size_t k) {
      return k + 2 < n && text[k] == kEscape && text[k + 1] == '(' && (text[k + 2] == 'B' || text[k + 2] == 'J');
    };
    if (backToAscii(i)) return i + 3;
    for (size_t k = i + 1; k < n; ++k) {
      if (backToAscii(k)) return k + 3;
    }
    return n;
  }
  if (c < 0x80) return i + 1;
  size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
  if (length > 0 && i + length <= n) {
    bool sequence = true;
    for (size_t k = i + 1; k < i + length; ++k) {
      sequence = sequence && (static_cast<unsigned char>(text[k]) & 0xC0) == 0x80;
    }
    if (sequence) return i + length;
  }
  if (qv::IsSjisLeadByte(c) && i + 1 < n) {
    unsigned char next = static_cast<unsigned char>(text[i + 1]);
    if (next >= 0x40 && next <= 0x7E) return i + 2;
  }
  return i + 1;
}

// RFC 5322 3.2.3 atext; 8-bit bytes and escapes start characters read by CharacterEnd.
bool IsAtextByte(unsigned char c) {
  if (c >= 0x80 || c == static_cast<unsigned char>(kEscape)) return true;
  if (c <= ' ' || c == 0x7F) return false;
  return std::string_view("()<>[]:;@\\,.\"").find(static_cast<char>(c)) == std::string_view::npos;
}

// A word of a display name or a local part, or a dot between such words.
struct Word {
  enum Kind { kAtom, kQuoted, kDot } kind;
  std::string text;  // the atom, the value of the quoted string, or "."
  bool spaceBefore;  // blanks or comments stood before it
};

// A recursive-descent reader of one address-list value. Every Read... returns false when the
// text at the position is not what the grammar wants there; the reader is then done.
class AddressListReader {
 public:
  explicit AddressListReader(std::string_view text) : text_(text) {}

  // address-list, obs-addr-list: addresses separated by ',', empty entries passed over.
  AddressListVerdict ReadList(Mailbox* first) {
    bool found = false;
    for (;;) {
      std::string comment;
      if (!SkipCfws(&comment)) return AddressListVerdict::kMalformed;
      if (AtEnd()) break;
      if (Peek() == ',') {
        ++position_;
        continue;
      }
      if (!ReadAddress(true, comment, first, &found) || !SkipCfws(nullptr)) return AddressListVerdict::kMalformed;
      if (AtEnd()) break;
      if (Peek() != ',') return AddressListVerdict::kMalformed;
      ++position_;
    }
    return found ? AddressListVerdict::kMailbox : AddressListVerdict::kNoMailbox;
  }

  // addr-spec alone, the whole text (the address inside <"...">).
  bool ReadWholeAddrSpec(Mailbox* mailbox) {
    std::vector<Word> words;
    if (!ReadWords(&words, nullptr) || !LocalPartOf(words, &mailbox->local) || Peek() != '@') return false;
    ++position_;
    return ReadDomain(&mailbox->domain, nullptr) && AtEnd();
  }

 private:
  bool AtEnd() const { return position_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[position_]; }

  // CFWS: blanks, tabs and comments. False for a comment that is never closed. The first
  // comment's text goes to *comment while that is empty.
  bool SkipCfws(std::string* comment) {
    while (!AtEnd()) {
      char c = Peek();
      if (c == ' ' || c == '\t') {
        ++position_;
      } else if (c == '(') {
        std::string content;
        if (!ReadComment(&content)) return false;
        if (comment && comment->empty()) *comment = std::string(Trim(content));
      } else {
        break;
      }
    }
    return true;
  }

  bool ReadComment(std::string* content) {
    int depth = 0;
    while (!AtEnd()) {
      char c = Peek();
      if (c == '\\') {
        if (position_ + 1 >= text_.size()) return false;
        size_t end = CharacterEnd(text_, position_ + 1);
        content->append(text_.substr(position_ + 1, end - position_ - 1));
        position_ = end;
        continue;
      }
      if (c == '(' && depth++ == 0) {
        ++position_;
        continue;
      }
      if (c == ')' && --depth == 0) {
        ++position_;
        return true;
      }
      size_t end = CharacterEnd(text_, position_);
      content->append(text_.substr(position_, end - position_));
      position_ = end;
    }
    return false;
  }

  // quoted-string at '"': its value with the quoted pairs undone; false when not closed.
  bool ReadQuoted(std::string* value) {
    ++position_;
    while (!AtEnd()) {
      char c = Peek();
      if (c == '"') {
        ++position_;
        return true;
      }
      size_t start = c == '\\' ? position_ + 1 : position_;
      if (start >= text_.size()) return false;
      size_t end = CharacterEnd(text_, start);
      value->append(text_.substr(start, end - start));
      position_ = end;
    }
    return false;
  }

  bool ReadAtom(std::string* atom) {
    size_t start = position_;
    while (!AtEnd() && IsAtextByte(static_cast<unsigned char>(Peek()))) position_ = CharacterEnd(text_, position_);
    *atom = std::string(text_.substr(start, position_ - start));
    return position_ > start;
  }

  // Words and dots with CFWS between them, up to the first other character.
  bool ReadWords(std::vector<Word>* words, std::string* comment) {
    for (;;) {
      size_t before = position_;
      if (!SkipCfws(comment)) return false;
      bool space = position_ > before;
      std::string text;
      if (Peek() == '"') {
        if (!ReadQuoted(&text)) return false;
        words->push_back({Word::kQuoted, std::move(text), space});
      } else if (Peek() == '.') {
        ++position_;
        words->push_back({Word::kDot, ".", space});
      } else if (ReadAtom(&text)) {
        words->push_back({Word::kAtom, std::move(text), space});
      } else {
        return true;
      }
    }
  }

  // local-part, obs-local-part: words joined by dots. Dots may also stand at either end or
  // twice (handset addresses); two words in a row are no local part.
  static bool LocalPartOf(const std::vector<Word>& words, std::string* local) {
    bool previousWord = false;
    bool anyWord = false;
    local->clear();
    for (const Word& word : words) {
      bool isWord = word.kind != Word::kDot;
      if (isWord && previousWord) return false;
      previousWord = isWord;
      anyWord = anyWord || isWord;
      *local += word.text;
    }
    return anyWord;
  }

  // display-name, obs-phrase: begins with a word; one blank where blanks or comments stood.
  static bool PhraseOf(const std::vector<Word>& words, std::string* phrase) {
    if (!words.empty() && words.front().kind == Word::kDot) return false;
    for (const Word& word : words) {
      if (word.spaceBefore && !phrase->empty()) *phrase += ' ';
      *phrase += word.text;
    }
    return true;
  }

  // domain: dot-atom, obs-domain (CFWS around the dots) or domain-literal, with the CFWS
  // after it.
  bool ReadDomain(std::string* domain, std::string* comment) {
    if (!SkipCfws(comment)) return false;
    if (Peek() == '[') {
      size_t start = position_++;
      while (!AtEnd() && Peek() != ']') {
        if (Peek() == '[' || (Peek() == '\\' && position_ + 1 >= text_.size())) return false;
        position_ += Peek() == '\\' ? 2 : 1;
      }
      if (AtEnd()) return false;
      ++position_;
      *domain = std::string(text_.substr(start, position_ - start));
      return SkipCfws(comment);
    }
    std::string atom;
    if (!ReadAtom(&atom)) return false;
    *domain = atom;
    for (;;) {
      if (!SkipCfws(comment)) return false;
      if (Peek() != '.') return true;
      ++position_;
      if (!SkipCfws(comment) || !ReadAtom(&atom)) return false;
      *domain += "." + atom;
    }
  }

  // angle-addr, obs-angle-addr at '<': the obsolete route "@a,@b:" is passed over; "<>"
  // gives empty parts.
  bool ReadAngleAddr(Mailbox* mailbox) {
    ++position_;
    if (!SkipCfws(nullptr)) return false;
    if (Peek() == '@' || Peek() == ',') {
      int domains = 0;
      for (;;) {
        if (!SkipCfws(nullptr)) return false;
        if (Peek() == ',') {
          ++position_;
        } else if (Peek() == '@') {
          ++position_;
          std::string routeDomain;
          if (!ReadDomain(&routeDomain, nullptr)) return false;
          ++domains;
        } else {
          break;
        }
      }
      if (domains == 0 || Peek() != ':') return false;
      ++position_;
      if (!SkipCfws(nullptr)) return false;
    }
    mailbox->local.clear();
    mailbox->domain.clear();
    if (Peek() == '>') {
      ++position_;
      return true;
    }
    std::vector<Word> words;
    if (!ReadWords(&words, nullptr)) return false;
    if (Peek() == '>' && words.size() == 1 && words[0].kind == Word::kQuoted &&
        words[0].text.find('@') != std::string::npos) {
      // One generator folds a long field by quoting the whole address: <"local@domain">.
      ++position_;
      return AddressListReader(words[0].text).ReadWholeAddrSpec(mailbox);
    }
    if (!LocalPartOf(words, &mailbox->local) || Peek() != '@') return false;
    ++position_;
    if (!ReadDomain(&mailbox->domain, nullptr) || Peek() != '>') return false;
    ++position_;
    return true;
  }

  // address: a mailbox (name-addr or addr-spec) or, when `groupAllowed`, a group; `comment`
  // is the first comment read before it. The first mailbox read goes to *first.
  bool ReadAddress(bool groupAllowed, std::string comment, Mailbox* first, bool* found) {
    std::vector<Word> words;
    if (!ReadWords(&words, &comment)) return false;
    Mailbox mailbox;
    std::string name;
    if (Peek() == ':' && groupAllowed) {
      if (words.empty() || !PhraseOf(words, &name)) return false;
      ++position_;
      for (;;) {
        std::string memberComment;
        if (!SkipCfws(&memberComment)) return false;
        if (Peek() == ';') {
          ++position_;
          return true;
        }
        if (Peek() == ',') {
          ++position_;
          continue;
        }
        if (AtEnd() || !ReadAddress(false, memberComment, first, found) || !SkipCfws(nullptr)) return false;
        if (Peek() != ',' && Peek() != ';') return false;
      }
    }
    if (Peek() == '<') {
      if (!PhraseOf(words, &name) || !ReadAngleAddr(&mailbox)) return false;
    } else if (Peek() == '@') {
      if (!LocalPartOf(words, &mailbox.local)) return false;
      ++position_;
      if (!ReadDomain(&mailbox.domain, &comment)) return false;
      name = comment;
    } else {
      return false;
    }
    if (!*found) {
      mailbox.name = CleanHeaderText(DecodeHeaderText(name));
      *first = std::move(mailbox);
      *found = true;
    }
    return true;
  }

  std::string_view text_;
  size_t position_ = 0;
};

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
    if (line.empty()) break;

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

AddressListVerdict FirstMailbox(std::string_view value, Mailbox* mailbox) {
  *mailbox = Mailbox();
  return AddressListReader(value).ReadList(mailbox);
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
