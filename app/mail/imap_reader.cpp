#include "app/mail/imap_reader.h"

#include <algorithm>
#include <cctype>

#include "platform/socket.h"

namespace {

constexpr size_t kReceiveChunk = 64 * 1024;
// A literal's bytes are collected in a string that grows as they come; a size announced far
// ahead of the bytes reserves no more than this.
constexpr size_t kLiteralReserve = 1024 * 1024;
constexpr int kMaxNesting = 32;

// The size of a literal marker "{digits}" that ends `line`, or -1 when the line does not end
// in one. More than 19 digits reads as LLONG_MAX-sized: larger than any limit.
long long LiteralSize(std::string_view line) {
  if (!line.ends_with('}')) return -1;
  size_t open = line.rfind('{');
  if (open == std::string_view::npos || open + 2 > line.size() - 1) return -1;
  std::string_view digits = line.substr(open + 1, line.size() - open - 2);
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return -1;
  if (digits.size() > 18) return 0x7FFFFFFFFFFFFFFFLL;
  long long size = 0;
  for (char c : digits) size = size * 10 + (c - '0');
  return size;
}

}  // namespace

std::string_view ImapResponse::tag() const {
  std::string_view view(text);
  return view.substr(0, view.find(' '));
}

std::string_view ImapResponse::rest() const {
  size_t blank = text.find(' ');
  return blank == std::string::npos ? std::string_view() : std::string_view(text).substr(blank + 1);
}

const std::string* ImapResponse::LiteralAt(size_t at) const {
  for (const ImapLiteral& literal : literals) {
    if (literal.at == at) return &literal.bytes;
  }
  return nullptr;
}

ImapReader::Step ImapReader::Take(long long literalLimit) {
  for (;;) {
    if (literalLeft_ >= 0) {
      size_t take = static_cast<size_t>(std::min<long long>(literalLeft_, buffered()));
      pending_.literals.back().bytes.append(buffer_, head_, take);
      head_ += take;
      literalLeft_ -= static_cast<long long>(take);
      if (literalLeft_ > 0) return Step::kMore;
      literalLeft_ = -1;
      lineStart_ = pending_.text.size();
      continue;
    }
    // The line's bytes move into the response as they come, so a long line is held once, not
    // once in the buffer and once more in the response. Its CR may still come: one byte over.
    size_t lineEnd = buffer_.find('\n', head_);
    size_t end = lineEnd == std::string::npos ? buffer_.size() : lineEnd;
    if (pending_.text.size() + (end - head_) > kMaxLineBytes + 1) return Step::kTooLong;
    pending_.text.append(buffer_, head_, end - head_);
    head_ = end;
    if (lineEnd == std::string::npos) return Step::kMore;
    ++head_;
    if (pending_.text.size() > lineStart_ && pending_.text.back() == '\r') pending_.text.pop_back();
    if (pending_.text.size() > kMaxLineBytes) return Step::kTooLong;
    long long size = LiteralSize(std::string_view(pending_.text).substr(lineStart_));
    if (size < 0) return Step::kDone;
    // RFC 3501 4.3: the literal's bytes follow the CR LF; the line goes on after them.
    if (pending_.literals.size() >= kMaxLiterals || size > literalLimit - literalTotal_) {
      return Step::kTooLong;
    }
    literalTotal_ += size;
    ImapLiteral literal;
    literal.at = pending_.text.size();
    literal.bytes.reserve(static_cast<size_t>(std::min<long long>(size, kLiteralReserve)));
    pending_.literals.push_back(std::move(literal));
    literalLeft_ = size;
  }
}

bool ImapReader::ReceiveMore(int64_t ms, bool* quiet) {
  *quiet = false;
  // What was taken leaves the buffer now and then, so it never holds more than a few receives.
  if (head_ == buffer_.size()) {
    buffer_.clear();
    head_ = 0;
  } else if (head_ > kReceiveChunk && head_ * 2 > buffer_.size()) {
    buffer_.erase(0, head_);
    head_ = 0;
  }
  size_t old = buffer_.size();
  buffer_.resize(old + kReceiveChunk);
  long n = ms < 0 ? connection_.Receive(buffer_.data() + old, kReceiveChunk)
                  : connection_.ReceiveWithin(buffer_.data() + old, kReceiveChunk, ms);
  buffer_.resize(old + (n > 0 ? static_cast<size_t>(n) : 0));
  if (n == qv::TcpConnection::kNothingYet) {
    *quiet = true;
    return true;
  }
  return n > 0;
}

ImapRead ImapReader::Fail(ImapRead why) {
  connection_.Close();
  buffer_.clear();
  head_ = 0;
  lineStart_ = 0;
  pending_ = ImapResponse();
  literalLeft_ = -1;
  literalTotal_ = 0;
  return why;
}

ImapRead ImapReader::Read(ImapResponse* response, long long literalLimit) {
  for (;;) {
    ImapRead read = ReadWithin(response, literalLimit, -1);
    if (read != ImapRead::kNothingYet) return read;
  }
}

ImapRead ImapReader::ReadWithin(ImapResponse* response, long long literalLimit, int64_t ms) {
  bool received = false;
  for (;;) {
    Step step = Take(literalLimit);
    if (step == Step::kTooLong) return Fail(ImapRead::kTooLong);
    if (step == Step::kDone) {
      *response = std::move(pending_);
      pending_ = ImapResponse();
      literalTotal_ = 0;
      lineStart_ = 0;
      return ImapRead::kResponse;
    }
    // Read waits for the whole response; ReadWithin receives once.
    if (received && ms >= 0) return ImapRead::kNothingYet;
    bool quiet = false;
    if (!ReceiveMore(ms, &quiet)) return Fail(ImapRead::kBroken);
    if (quiet) return ImapRead::kNothingYet;
    received = true;
  }
}

bool ImapValue::IsAtom(std::string_view word) const {
  return kind == Kind::kAtom && text.size() == word.size() &&
         std::equal(text.begin(), text.end(), word.begin(), [](char a, char b) {
           return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
         });
}

namespace {

class ValueParser {
 public:
  explicit ValueParser(const ImapResponse& response) : response_(response), text_(response.text) {}

  // Values made so far, lists and their items alike.
  size_t made() const { return made_; }

  // Values up to the end of the text (depth 0) or up to the ")" that closes a list.
  bool Values(size_t* position, int depth, std::vector<ImapValue>* values) {
    for (;;) {
      while (*position < text_.size() && text_[*position] == ' ') ++*position;
      if (*position >= text_.size()) return depth == 0;
      char c = text_[*position];
      if (c == ')') {
        if (depth == 0) return false;
        ++*position;
        return true;
      }
      // Each value costs far more than the byte it may stand for ("()", "1 "): past the cap
      // the response is not read further.
      if (++made_ > kMaxImapValues) return false;
      ImapValue value;
      if (c == '(') {
        if (depth + 1 > kMaxNesting) return false;
        ++*position;
        value.kind = ImapValue::Kind::kList;
        if (!Values(position, depth + 1, &value.items)) return false;
      } else if (c == '"') {
        if (!Quoted(position, &value)) return false;
      } else if (c == '{') {
        size_t close = text_.find('}', *position);
        if (close == std::string_view::npos) return false;
        value.kind = ImapValue::Kind::kLiteral;
        value.literal = response_.LiteralAt(close + 1);
        if (!value.literal) return false;
        *position = close + 1;
      } else {
        size_t end = text_.find_first_of(" ()\"", *position);
        if (end == std::string_view::npos) end = text_.size();
        value.text = std::string(text_.substr(*position, end - *position));
        *position = end;
      }
      values->push_back(std::move(value));
    }
  }

 private:
  // RFC 3501 4.3: within quotes, a backslash escapes the next character.
  bool Quoted(size_t* position, ImapValue* value) {
    value->kind = ImapValue::Kind::kQuoted;
    for (size_t i = *position + 1; i < text_.size(); ++i) {
      char c = text_[i];
      if (c == '"') {
        *position = i + 1;
        return true;
      }
      if (c == '\\') {
        if (++i >= text_.size()) return false;
        c = text_[i];
      }
      value->text.push_back(c);
    }
    return false;
  }

  const ImapResponse& response_;
  std::string_view text_;
  size_t made_ = 0;
};

}  // namespace

bool ParseImapValues(const ImapResponse& response, size_t position, std::vector<ImapValue>* values) {
  values->clear();
  ValueParser parser(response);
  return parser.Values(&position, 0, values);
}

bool ParseImapSearch(const ImapResponse& response, size_t limit, std::vector<uint32_t>* numbers, bool* cut) {
  std::string_view text(response.text);
  if (text.size() < 8 || !std::equal(text.begin(), text.begin() + 8, "* SEARCH", [](char a, char b) {
        return std::toupper(static_cast<unsigned char>(a)) == b;
      })) {
    return false;
  }
  text.remove_prefix(8);
  if (!text.empty() && text.front() != ' ') return false;
  // RFC 3501 7.2.5: numbers separated by blanks. What is not a number (an extension's
  // "(MODSEQ n)") is passed over, and so is 0, which names no message.
  size_t taken = 0;
  while (!text.empty()) {
    size_t blank = text.find(' ');
    std::string_view word = text.substr(0, blank);
    text.remove_prefix(blank == std::string_view::npos ? text.size() : blank + 1);
    uint32_t number = 0;
    if (!ParseImapNumber(word, &number) || number == 0) continue;
    if (taken == limit) {
      *cut = true;
      break;
    }
    numbers->push_back(number);
    ++taken;
  }
  return true;
}

ImapStatus ParseImapStatus(std::string_view text) {
  ImapStatus status;
  std::string_view word = text.substr(0, text.find(' '));
  std::string upper(word);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper != "OK" && upper != "NO" && upper != "BAD" && upper != "BYE" && upper != "PREAUTH") return status;
  status.word = upper;
  std::string_view rest = text.substr(word.size());
  if (rest.starts_with(' ')) rest.remove_prefix(1);
  if (rest.starts_with('[')) {
    size_t close = rest.find(']');
    if (close != std::string_view::npos) {
      status.code = std::string(rest.substr(1, close - 1));
      rest.remove_prefix(close + 1);
      if (rest.starts_with(' ')) rest.remove_prefix(1);
    }
  }
  status.text = std::string(rest);
  return status;
}

bool ParseImapNumber(std::string_view text, uint32_t* value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t parsed = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    parsed = parsed * 10 + static_cast<uint64_t>(c - '0');
  }
  if (parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}
