#include "app/settings/setting_rules.h"

#include <gtest/gtest.h>

namespace {

using qv::AddressProblem;

// The sender address of the replies and the entries of the address list pass the address rule
// of the wire after the settings pages' own checks, each with its problem.
TEST(SettingRules, AddressesAreCheckedAsTheWireTakesThem) {
  const struct {
    const char* text;
    AddressProblem setting;  // as MailAddr
    AddressProblem entry;    // as an address list entry
    const char* stored;      // the entry as stored, when accepted
  } cases[] = {
      {"cam@example.jp", AddressProblem::kNone, AddressProblem::kNone, "cam@example.jp"},
      {"\"foo bar\"@example.com", AddressProblem::kNone, AddressProblem::kNone, "\"foo bar\"@example.com"},
      {"\"john\"@x.jp", AddressProblem::kNone, AddressProblem::kNone, "john@x.jp"},
      {"taro..x.@docomo.ne.jp", AddressProblem::kNone, AddressProblem::kNone, "taro..x.@docomo.ne.jp"},
      {"カメラ@example.jp", AddressProblem::kNotAscii, AddressProblem::kNotAscii, ""},
      {"cam.example.jp", AddressProblem::kNotAnAddress, AddressProblem::kNotAnAddress, ""},
      {"@example.jp", AddressProblem::kNotAnAddress, AddressProblem::kNotAnAddress, ""},
      {"cam@", AddressProblem::kNotAnAddress, AddressProblem::kNotAnAddress, ""},
      {"a@b@c.jp", AddressProblem::kSecondAtSign, AddressProblem::kSecondAtSign, ""},
      // Saved before, each of these made every reply fail.
      {"a b@example.com", AddressProblem::kMalformed, AddressProblem::kMalformed, ""},
      {"a<b>@example.com", AddressProblem::kMalformed, AddressProblem::kMalformed, ""},
      {"a@b..c", AddressProblem::kMalformed, AddressProblem::kMalformed, ""},
      {"(x)a@b.c", AddressProblem::kMalformed, AddressProblem::kMalformed, ""},
      {"a@x.jp.", AddressProblem::kMalformed, AddressProblem::kMalformed, ""},
      // "*" alone stands for any name or domain; among other characters it is a character.
      {"*@example.jp", AddressProblem::kNone, AddressProblem::kNone, "*@example.jp"},  // "*" is atext
      {"spam@*", AddressProblem::kMalformed, AddressProblem::kNone, "spam@*"},
      {"*@*", AddressProblem::kMalformed, AddressProblem::kNone, "*@*"},
      {"a*b@x.jp", AddressProblem::kNone, AddressProblem::kNone, "a*b@x.jp"},
      {"*@*.example.jp", AddressProblem::kMalformed, AddressProblem::kMalformed, ""},
      {"* x@example.jp", AddressProblem::kMalformed, AddressProblem::kMalformed, ""},
      {"*@exa mple.jp", AddressProblem::kMalformed, AddressProblem::kMalformed, ""},
      {"**@x.jp", AddressProblem::kNone, AddressProblem::kWildcardsLocal, ""},
      {"a@**", AddressProblem::kMalformed, AddressProblem::kWildcardsDomain, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(qv::CheckAddressSetting(c.text), c.setting) << c.text;
    EXPECT_EQ(qv::CheckAddressListEntry(c.text), c.entry) << c.text;
    if (c.entry == AddressProblem::kNone) {
      EXPECT_EQ(qv::ListEntryForm(c.text), c.stored) << c.text;
    }
  }
}

}  // namespace
