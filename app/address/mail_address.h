// The shape of a mail address as it goes on the wire: the one rule every address passes,
// whether it comes out of a request mail, out of the settings file or from a person typing it
// (the sender address of the replies, an entry of the sender address list). A setting that
// passes it can be sent; one that fails it is refused before it is saved.
//
// A valid address is local@domain as RFC 5321 4.1.2 reads it (with RFC 6531 for UTF-8):
// - the local part is one or more bytes of printable ASCII or well-formed UTF-8. It goes out
//   bare when it holds only atext and dots (dots anywhere: older handsets' addresses have
//   them doubled or at the end, and their mail servers expect them bare), else as one quoted
//   string with '"' and '\' escaped (RFC 5321 Quoted-string), so "foo bar"@example.com
//   stays quoted;
// - the domain is letters, digits, '-', '_' and dots without an empty label (no dot at either
//   end), or UTF-8 that becomes IDNA A-labels (RFC 5891). Domain literals are refused.
// - the whole is at most 254 bytes (RFC 5321 4.5.3.1.3: a path holds 256 with its brackets).
// Every input here is untrusted.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

enum class AddressVerdict {
  kValid,
  kEmpty,             // no address at all
  kControlCharacter,  // a control byte (tab, CR and LF above all) somewhere in it
  kMalformed,         // not local@domain as above
};

// Checks the address made of the local part `local`, given as its value (the quotes and quoted
// pairs of a quoted string already undone, comments and folding removed), and `domain`.
// `*address` receives the address in the form to send; it is cleared when the verdict is not
// kValid. kEmpty when both parts are empty.
[[nodiscard]] AddressVerdict CheckMailAddressParts(std::string_view local, std::string_view domain,
                                                   std::string* address);

// Checks an address written out as text, as a setting holds it or as CheckMailAddressParts
// gives it: "local@domain", the local part either bare (atext and dots, or UTF-8) or one
// quoted string. Blanks at either end are ignored; any other blank, a comment or an angle
// bracket outside the quoted string makes it kMalformed (such forms belong to the header
// syntax, which the mail reader undoes before it gets here). `*address` receives the form to
// send, which checks again to itself; it is cleared when the verdict is not kValid.
[[nodiscard]] AddressVerdict CheckMailAddress(std::string_view text, std::string* address);

// Whether a checked address needs the SMTPUTF8 extension (RFC 6531): its local part is not
// ASCII.
[[nodiscard]] bool NeedsSmtpUtf8(std::string_view address);

// The '@' that ends the local part of a checked address (a quoted local part may hold '@'
// itself; a domain never does): its position, or npos when there is none.
[[nodiscard]] size_t DomainSeparator(std::string_view address);

// An address that passed the rule above, in its form to send. Only Check makes one, so code
// that takes a CheckedAddress (the reply sender, the SMTP session) needs no check of its own.
class CheckedAddress {
 public:
  // The address `text` as CheckMailAddress gives it when the verdict is kValid; nothing
  // otherwise. `*verdict` (may be null) receives the verdict.
  [[nodiscard]] static std::optional<CheckedAddress> Check(std::string_view text,
                                                           AddressVerdict* verdict = nullptr);

  [[nodiscard]] const std::string& text() const { return text_; }
  // Whether it needs the SMTPUTF8 extension (NeedsSmtpUtf8).
  [[nodiscard]] bool needsSmtpUtf8() const { return NeedsSmtpUtf8(text_); }

 private:
  explicit CheckedAddress(std::string text) : text_(std::move(text)) {}

  std::string text_;
};
