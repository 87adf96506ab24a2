#include "app/address/mail_address.h"

#include <gtest/gtest.h>

#include <string>
#include <type_traits>

namespace {

// Every address text through the one rule: its verdict, and for a valid one the form that goes
// on the wire, which checks again to itself.
TEST(CheckMailAddress, OneRuleForTheWireAndTheSettings) {
  const std::string local64(64, 'a');
  const struct {
    std::string text;
    AddressVerdict verdict;
    std::string sent;  // for kValid
  } cases[] = {
      {"taro@example.jp", AddressVerdict::kValid, "taro@example.jp"},
      {"  taro@example.jp ", AddressVerdict::kValid, "taro@example.jp"},  // blanks at the ends
      {"Taro.Y+tag@Sub.Example.JP", AddressVerdict::kValid, "Taro.Y+tag@Sub.Example.JP"},
      {"taro..x.@docomo.ne.jp", AddressVerdict::kValid, "taro..x.@docomo.ne.jp"},  // handset dots
      {"\"taro..x.\"@docomo.ne.jp", AddressVerdict::kValid, "taro..x.@docomo.ne.jp"},  // quotes not needed
      {"\"foo bar\"@example.com", AddressVerdict::kValid, "\"foo bar\"@example.com"},
      {"\"a\\\"b\\\\c\"@x.jp", AddressVerdict::kValid, "\"a\\\"b\\\\c\"@x.jp"},  // quoted pairs kept
      {"\"a@b\"@x.jp", AddressVerdict::kValid, "\"a@b\"@x.jp"},
      {"ろくろう@例え.jp", AddressVerdict::kValid, "ろくろう@xn--r8jz45g.jp"},  // RFC 6531, IDNA
      {"a@x_y.jp", AddressVerdict::kValid, "a@x_y.jp"},
      {"", AddressVerdict::kEmpty, ""},
      {"   ", AddressVerdict::kEmpty, ""},
      {"a@x.jp\r\nRSET", AddressVerdict::kControlCharacter, ""},
      {"a\t@x.jp", AddressVerdict::kControlCharacter, ""},
      {"\"a\x01\"@x.jp", AddressVerdict::kControlCharacter, ""},
      {"a b@example.com", AddressVerdict::kMalformed, ""},
      {"a<b>@example.com", AddressVerdict::kMalformed, ""},
      {"<a@example.com>", AddressVerdict::kMalformed, ""},
      {"(x)a@b.c", AddressVerdict::kMalformed, ""},
      {"a@b..c", AddressVerdict::kMalformed, ""},
      {"a@x.jp.", AddressVerdict::kMalformed, ""},
      {"a@.x.jp", AddressVerdict::kMalformed, ""},
      {"a@[192.0.2.1]", AddressVerdict::kMalformed, ""},  // domain literals are refused
      {"a@ex!ample.jp", AddressVerdict::kMalformed, ""},
      {"a@b@c.jp", AddressVerdict::kMalformed, ""},
      {"@x.jp", AddressVerdict::kMalformed, ""},
      {"a@", AddressVerdict::kMalformed, ""},
      {"ax.jp", AddressVerdict::kMalformed, ""},
      {"\"\"@x.jp", AddressVerdict::kMalformed, ""},
      {"\"open@x.jp", AddressVerdict::kMalformed, ""},
      {"\"a\"b@x.jp", AddressVerdict::kMalformed, ""},
      {"\xff\xfe@x.jp", AddressVerdict::kMalformed, ""},  // not UTF-8
      {"a@\xff.jp", AddressVerdict::kMalformed, ""},
      // 254 bytes is the longest path an SMTP server takes; 255 is one too many.
      {local64 + "@" + std::string(186, 'd') + ".jp", AddressVerdict::kValid, local64 + "@" + std::string(186, 'd') + ".jp"},
      {local64 + "@" + std::string(187, 'd') + ".jp", AddressVerdict::kMalformed, ""},
  };
  for (const auto& c : cases) {
    std::string sent = "stale";
    EXPECT_EQ(CheckMailAddress(c.text, &sent), c.verdict) << c.text;
    EXPECT_EQ(sent, c.sent) << c.text;
    if (c.verdict == AddressVerdict::kValid) {
      std::string again;
      EXPECT_EQ(CheckMailAddress(sent, &again), AddressVerdict::kValid) << sent;
      EXPECT_EQ(again, sent);
    }
  }
}

TEST(CheckMailAddressParts, QuotesTheLocalPartOnlyWhereItMust) {
  const struct {
    std::string local;
    std::string domain;
    AddressVerdict verdict;
    std::string sent;
  } cases[] = {
      {"jdoe", "machine.example", AddressVerdict::kValid, "jdoe@machine.example"},
      {"foo bar", "example.com", AddressVerdict::kValid, "\"foo bar\"@example.com"},
      {"a\"b", "x.jp", AddressVerdict::kValid, "\"a\\\"b\"@x.jp"},
      {"a(b)", "x.jp", AddressVerdict::kValid, "\"a(b)\"@x.jp"},
      {"", "", AddressVerdict::kEmpty, ""},
      {"", "x.jp", AddressVerdict::kMalformed, ""},
      {"a", "", AddressVerdict::kMalformed, ""},
      {"a\nb", "x.jp", AddressVerdict::kControlCharacter, ""},
      {"a", "x\x7f.jp", AddressVerdict::kControlCharacter, ""},
  };
  for (const auto& c : cases) {
    std::string sent;
    EXPECT_EQ(CheckMailAddressParts(c.local, c.domain, &sent), c.verdict) << c.local;
    EXPECT_EQ(sent, c.sent) << c.local;
  }
  EXPECT_TRUE(NeedsSmtpUtf8("\"ろ う\"@x.jp"));
  EXPECT_FALSE(NeedsSmtpUtf8("\"a@b\"@xn--r8jz45g.jp"));
  EXPECT_EQ(DomainSeparator("\"a@b\"@x.jp"), 5u);
}

// Only the rule makes a checked address: no text becomes one without passing it, and what
// passes is the form to send. The texts are those a request or a setting could hand the
// sender of a reply.
TEST(CheckedAddress, OnlyTheRuleMakesOne) {
  static_assert(!std::is_constructible_v<CheckedAddress, std::string>);
  static_assert(!std::is_constructible_v<CheckedAddress, const char*>);
  const struct {
    const char* text;
    AddressVerdict verdict;
  } refused[] = {
      {"u@example.com\r\nRCPT TO:<x@example.com>", AddressVerdict::kControlCharacter},
      {"camera@example.jp\n", AddressVerdict::kControlCharacter},
      {"u@example.com>", AddressVerdict::kMalformed},
      {"no address", AddressVerdict::kMalformed},
      {"localonly", AddressVerdict::kMalformed},
      {"", AddressVerdict::kEmpty},
  };
  for (const auto& c : refused) {
    AddressVerdict verdict = AddressVerdict::kValid;
    EXPECT_FALSE(CheckedAddress::Check(c.text, &verdict).has_value()) << c.text;
    EXPECT_EQ(verdict, c.verdict) << c.text;
  }
  std::optional<CheckedAddress> quoted = CheckedAddress::Check(" \"foo bar\"@example.com ");
  ASSERT_TRUE(quoted.has_value());
  EXPECT_EQ(quoted->text(), "\"foo bar\"@example.com");
  EXPECT_FALSE(quoted->needsSmtpUtf8());
  std::optional<CheckedAddress> international = CheckedAddress::Check("ろくろう@例え.jp");
  ASSERT_TRUE(international.has_value());
  EXPECT_EQ(international->text(), "ろくろう@xn--r8jz45g.jp");
  EXPECT_TRUE(international->needsSmtpUtf8());
  EXPECT_TRUE(CheckedAddress::Check("a@b.jp", nullptr).has_value());
}

}  // namespace
