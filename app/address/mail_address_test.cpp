#include "app/address/mail_address.h"

#include <gtest/gtest.h>

#include <string>

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

}  // namespace
