// Reading IMAP4rev1 server responses (RFC 3501 7, 9): one small reader with a limit on every
// length, and a parser of the values a response carries.
//
// A response is one line, which may carry literals: "{n}" CR LF and then n bytes, after which
// the line goes on. Everything the server sends is untrusted: the line, each literal, the sum
// of a response's literals and the number of literals are bounded, a literal size of any
// length is read without overflow, and a response that breaks a bound ends the reading of the
// connection (the rest of it is still on its way, so the connection cannot be used further).
// A response costs about its own size in memory (the line is held once, never copied whole
// while it is read), and the parsers below cap what they make of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {
class TcpConnection;
}

// One literal of a response.
struct ImapLiteral {
  size_t at = 0;      // offset in ImapResponse::text just past the literal's "{n}"
  std::string bytes;  // its n bytes
};

// One whole server response.
struct ImapResponse {
  // The response without its final CR LF; each literal stands as its "{n}" (the CR LF and the
  // bytes after it are in `literals`).
  std::string text;
  std::vector<ImapLiteral> literals;

  // "* ..." (untagged), "+ ..." (continuation request), otherwise tagged by its first word.
  [[nodiscard]] bool untagged() const { return text.starts_with("* "); }
  [[nodiscard]] bool continuation() const { return text.starts_with("+"); }
  // The first word (the tag of a tagged response).
  [[nodiscard]] std::string_view tag() const;
  // The text after the first word and its blank; empty when there is none.
  [[nodiscard]] std::string_view rest() const;
  // The literal whose "{n}" ends at `at`, or null.
  [[nodiscard]] const std::string* LiteralAt(size_t at) const;
};

enum class ImapRead {
  kResponse,    // one whole response was read
  kNothingYet,  // ReadWithin only: the response is not complete yet (what came is kept)
  kBroken,      // the connection closed, failed or timed out (the connection is closed)
  kTooLong,     // a bound was broken (the connection is closed)
};

class ImapReader {
 public:
  // Longest response line without its literals: room for a SEARCH result that lists as many
  // messages as one check takes.
  static constexpr size_t kMaxLineBytes = 16 * 1024 * 1024;
  // Most literals in one response.
  static constexpr size_t kMaxLiterals = 16;

  // The connection must outlive the reader.
  explicit ImapReader(qv::TcpConnection& connection) : connection_(connection) {}

  // Reads one whole response; the literals of that response may hold at most `literalLimit`
  // bytes together. The whole response arrives by the deadline of the running reply (the
  // receive time-out after the command, see platform/socket.h) or the connection is dropped.
  [[nodiscard]] ImapRead Read(ImapResponse* response, long long literalLimit);
  // As Read, but receives at most once, waiting at most `ms` (0: only what has come): returns
  // kNothingYet when the response is still incomplete; the next call goes on with it.
  [[nodiscard]] ImapRead ReadWithin(ImapResponse* response, long long literalLimit, int64_t ms);
  // Bytes received but not yet read as part of a response (after STARTTLS there must be none:
  // they came before the encryption).
  [[nodiscard]] size_t buffered() const { return buffer_.size() - head_; }

 private:
  enum class Step { kDone, kMore, kTooLong };
  // Takes what the buffer holds into the response under construction.
  Step Take(long long literalLimit);
  // Receives once into the buffer; false (connection closed) on a close, failure or time-out.
  // `ms` < 0 waits the socket time-out; `quiet` is set when nothing came in time.
  bool ReceiveMore(int64_t ms, bool* quiet);
  ImapRead Fail(ImapRead why);

  qv::TcpConnection& connection_;
  std::string buffer_;
  size_t head_ = 0;         // first byte of buffer_ not yet taken
  ImapResponse pending_;    // the response under construction
  size_t lineStart_ = 0;    // where in pending_.text the line being read begins
  long long literalLeft_ = -1;  // bytes of the current literal still to come; -1: in a line
  long long literalTotal_ = 0;
};

// A value of a response (RFC 3501 4): an atom (numbers and NIL included), a quoted string
// (unescaped), a literal, or a parenthesised list.
struct ImapValue {
  enum class Kind { kAtom, kQuoted, kLiteral, kList };
  Kind kind = Kind::kAtom;
  std::string text;                       // atom text, or the quoted string's content
  const std::string* literal = nullptr;   // kLiteral: the bytes, owned by the response
  std::vector<ImapValue> items;           // kList

  // The bytes of a string (quoted or literal) or the text of an atom.
  [[nodiscard]] std::string_view bytes() const { return literal ? std::string_view(*literal) : text; }
  [[nodiscard]] bool IsAtom(std::string_view word) const;  // compared without regard to case
};

// Most values ParseImapValues makes of one response, list items included: far more than any
// response this client asks for holds, and few enough that a hostile one ("()()()...") costs
// little.
inline constexpr size_t kMaxImapValues = 4096;

// Reads the values of `response` from `position` on, up to the line's end. A list nests at
// most 32 deep. False when the text is not a sequence of values (an unterminated quoted string
// or list, a "{n}" without its literal, a stray ")") or holds more than kMaxImapValues.
[[nodiscard]] bool ParseImapValues(const ImapResponse& response, size_t position,
                                   std::vector<ImapValue>* values);

// The message numbers (or UIDs) of an untagged SEARCH response "* SEARCH n n ..." (RFC 3501
// 7.2.5), appended to `numbers`: at most `limit` of them, after which the response is not read
// further and `cut` is set. Words that are not a number of 1 or more are passed over. Costs no
// more than the numbers kept. False when the response is not a SEARCH response.
[[nodiscard]] bool ParseImapSearch(const ImapResponse& response, size_t limit, std::vector<uint32_t>* numbers,
                                   bool* cut);

// A status response "OK", "NO", "BAD", "BYE" or "PREAUTH" (RFC 3501 7.1), read from the text
// after the tag or "* ".
struct ImapStatus {
  std::string word;  // upper case; empty when the text is not a status response
  std::string code;  // the response code between "[" and "]", without them; may be empty
  std::string text;  // the human-readable rest
};
[[nodiscard]] ImapStatus ParseImapStatus(std::string_view text);

// A decimal number of at most 32 bits without sign; false otherwise.
[[nodiscard]] bool ParseImapNumber(std::string_view text, uint32_t* value);
