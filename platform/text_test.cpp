#include "platform/text.h"

#include <gtest/gtest.h>

namespace qv {
namespace {

TEST(Text, ConvertsJapaneseBothWays) {
  // 画像 in CP932 is 0x89 0xE6 0x91 0x9C.
  EXPECT_EQ(Cp932FromUtf8("画像"), "\x89\xE6\x91\x9C");
  EXPECT_EQ(Utf8FromCp932("\x89\xE6\x91\x9C"), "画像");
  EXPECT_EQ(SJIS("ａｕ"), "\x82\x81\x82\x95");
  EXPECT_EQ(Utf8FromCp932("A\x81"), "A\xEF\xBF\xBD");  // a lead byte cut off at the end
}

TEST(Text, CutsAtCharacterBoundary) {
  std::string text = "A\x89\xE6\x91\x9C";  // A画像
  EXPECT_EQ(SjisCutLength(text, 5), 5u);
  EXPECT_EQ(SjisCutLength(text, 4), 3u);
  EXPECT_EQ(SjisCutLength(text, 2), 1u);
  EXPECT_EQ(SjisCutLength("\x89", 4), 1u);  // a lone lead byte counts as one byte
  char field[4];
  CopySjisField(field, sizeof field, text);
  EXPECT_STREQ(field, "A\x89\xE6");
  CopySjisField(field, sizeof field, "");
  EXPECT_STREQ(field, "");
  CopySjisField(field, sizeof field, std::string_view());  // no data pointer at all
  EXPECT_STREQ(field, "");
}

TEST(TextTest, SplitLinesKeepsEmptyLinesAndCarriageReturnsButNoFinalEmptyLine) {
  using Lines = std::vector<std::string_view>;
  const struct {
    std::string_view text;
    Lines lines;
  } cases[] = {
      {"", {}},
      {"\n", {""}},
      {"a", {"a"}},
      {"a\n", {"a"}},
      {"a\n\nb", {"a", "", "b"}},
      {"a\r\nb\r", {"a\r", "b\r"}},
      {"a\n\n", {"a", ""}},
  };
  for (const auto& c : cases) EXPECT_EQ(SplitLines(c.text), c.lines) << c.text;
}

}  // namespace
}  // namespace qv
