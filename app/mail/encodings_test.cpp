#include "app/mail/encodings.h"

#include <gtest/gtest.h>
#include <iconv.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "platform/files.h"
#include "platform/text.h"

namespace {

using namespace std::string_literals;

const std::string kToJis = "\x1b$B";
const std::string kToAscii = "\x1b(B";

std::string Sjis(const char* utf8) { return qv::Cp932FromUtf8(utf8); }

// Converts with glibc's iconv; false when any byte cannot be converted.
bool Iconv(const char* from, const char* to, const std::string& input, std::string* output) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string in = input;
  char buffer[64];
  char* inPtr = in.data();
  size_t inLeft = in.size();
  char* outPtr = buffer;
  size_t outLeft = sizeof buffer;
  bool ok = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) != static_cast<size_t>(-1) &&
            iconv(cd, nullptr, nullptr, &outPtr, &outLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  if (ok) output->assign(buffer, static_cast<size_t>(outPtr - buffer));
  return ok;
}

TEST(Base64, EncodesAndDecodesKnownVectors) {
  EXPECT_EQ(Base64Encode(""), "");
  EXPECT_EQ(Base64Encode("f"), "Zg==");
  EXPECT_EQ(Base64Encode("fo"), "Zm8=");
  EXPECT_EQ(Base64Encode("foo"), "Zm9v");
  EXPECT_EQ(Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(Base64Encode("\xff\xfe\x00"s), "//4A");
  EXPECT_EQ(Base64Decode("Zm9vYmFy"), "foobar");
  // Every group gives three bytes; padding becomes zero bytes.
  EXPECT_EQ(Base64Decode("Zg=="), "f\0\0"s);
  EXPECT_EQ(Base64Decode("Zm8"), "fo\0"s);
  EXPECT_EQ(Base64Decode(""), "");
}

TEST(Base64, PaddedAndUnpaddedPasswordsReadTheSame) {
  // A four-character password, stored unpadded by the settings dialog.
  std::string padded = Base64Decode("cGFzcw==");
  std::string unpadded = Base64Decode("cGFzcw");
  EXPECT_STREQ(padded.c_str(), "pass");
  EXPECT_STREQ(unpadded.c_str(), "pass");
  EXPECT_EQ(padded.size(), 6u);
}

TEST(Base64, AlphabetRoundTripsAndOutsidersAreZero) {
  for (int value = 0; value < 64; ++value) EXPECT_EQ(Base64Value(Base64Char(value)), value);
  EXPECT_EQ(Base64Char(64), '=');
  EXPECT_EQ(Base64Char(-1), '=');
  EXPECT_EQ(Base64Value('='), 0);
  EXPECT_EQ(Base64Value('*'), 0);
  EXPECT_EQ(Base64Value('\x80'), 0);
  std::string all;
  for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
  EXPECT_EQ(Base64Decode(Base64Encode(all)), all + "\0\0"s);  // 256 = 3 * 85 + 1
  EXPECT_EQ(Base64Decode("Zm9v!!!!"), "foo\0\0\0"s);  // junk counts as zero values
}

TEST(EncodedWord, EncodesWholeTextAsOneWord) {
  EXPECT_EQ(EncodeWord(""), "=?ISO-2022-JP?B?" "?=");
  EXPECT_EQ(EncodeWord("abc"), "=?ISO-2022-JP?B?YWJj?=");
  EXPECT_EQ(EncodeWord(SjisToJis(Sjis("なし"))), "=?ISO-2022-JP?B?GyRCJEokNxsoQg==?=");
  EXPECT_EQ(EncodeWord("ab\0cd"s), "=?ISO-2022-JP?B?YWI=?=");  // up to the first zero byte
}

TEST(EncodedWord, LongTextIsCutAtACharacterAndFitsTheBuffer) {
  std::string ascii(800, 'x');
  std::string word = EncodeWord(ascii);
  EXPECT_LE(word.size(), kCodecTextLimit);
  EXPECT_EQ(DecodeWord(word), std::string(kEncodeWordInputLimit, 'x'));

  // 500 kanji in JIS: the cut must fall between two characters and close the run.
  std::string jis = kToJis;
  for (int i = 0; i < 500; ++i) jis += "\x30\x21";
  jis += kToAscii;
  word = EncodeWord(jis);
  EXPECT_LE(word.size(), kCodecTextLimit);
  std::string decoded = DecodeWord(word);
  ASSERT_GE(decoded.size(), 6u);
  EXPECT_EQ(decoded.substr(decoded.size() - 3), kToAscii);
  EXPECT_EQ((decoded.size() - 6) % 2, 0u);
  EXPECT_GT(decoded.size(), kEncodeWordInputLimit - 4);
  EXPECT_EQ(decoded.substr(0, decoded.size() - 3), jis.substr(0, decoded.size() - 3));
}

TEST(EncodedWord, DecodesTheFirstWordOnly) {
  EXPECT_EQ(DecodeWord(" =?iso-2022-jp?b?GyRCJEokNxsoQg==?=\r"), SjisToJis(Sjis("なし")));
  EXPECT_EQ(DecodeWord("Re: =?ISO-2022-JP?B?YWJj?= =?ISO-2022-JP?B?ZGVm?="), "abc");
  EXPECT_EQ(DecodeWord("=?ISO-2022-JP?B?YWJj"), "abc");  // no closing "?=": to the end
  EXPECT_EQ(DecodeWord("=?ISO-2022-JP?B?YQ==?="), "a");   // stops at the first zero byte
  // Other texts come back as they were, blanks and CR included.
  EXPECT_EQ(DecodeWord("  Hello\r"), "  Hello\r");
  EXPECT_EQ(DecodeWord("=?UTF-8?B?YWJj?="), "=?UTF-8?B?YWJj?=");
  std::string huge = "=?ISO-2022-JP?B?" + std::string(5000, 'Q') + "?=";
  EXPECT_EQ(DecodeWord(huge).size(), kCodecTextLimit);
}

TEST(ShiftJisToJis, WrapsEveryDoubleByteRunInEscapes) {
  EXPECT_EQ(SjisToJis("abc" + Sjis("漢字") + "xyz"),
            "abc" + kToJis + "\x34\x41\x3b\x7a" + kToAscii + "xyz");
  EXPECT_EQ(SjisToJis(Sjis("画像") + "-" + Sjis("あ")),
            kToJis + "\x32\x68\x41\x7c" + kToAscii + "-" + kToJis + "\x24\x22" + kToAscii);
  EXPECT_EQ(SjisToJis(""), "");
  EXPECT_EQ(SjisToJis("a\r\nb\rc"), "a\nb\nc");  // a lone CR keeps the byte after it
  EXPECT_EQ(SjisToJis("ab\0cd"s), "ab");
  EXPECT_EQ(SjisToJis("a\x1b$Bb"), "a?$Bb");  // the text's own ESC switches no mode
}

TEST(ShiftJisToJis, HalfWidthKanaGoOutFullWidthAndTheResultIs7Bit) {
  struct Case {
    std::string sjis;
    std::string fullWidth;  // the same text as written with full-width letters
  };
  const Case cases[] = {
      {"x\xb1y", "x" + Sjis("ア") + "y"},
      {"\xb6\xd2\xd7", Sjis("カメラ")},
      {"\xb6\xde\xb7\xde\xca\xdf\xcd\xde", Sjis("ガギパベ")},  // marks join their letter
      {"\xb3\xde", Sjis("ヴ")},
      {"\xb1\xde\xde", Sjis("ア゛゛")},                         // no such letter: the mark stays
      {"\xb0\xa1\xa4\xa2\xa3", Sjis("ー。、「」")},
      {Sjis("画") + "\xb6", Sjis("画カ")},                       // one run with the kanji
      {"a\x80" "b\xa0" "c\xfd", "a?b?c?"},                             // no character: '?'
  };
  for (const Case& c : cases) {
    std::string jis = SjisToJis(c.sjis);
    EXPECT_EQ(jis, SjisToJis(c.fullWidth)) << c.sjis;
    for (unsigned char byte : jis) ASSERT_LT(byte, 0x80) << c.sjis;
  }
}

TEST(HeaderText, DecodesWordsOfEveryCharsetIntoCp932) {
  const std::string camera = Sjis("カメラ");
  struct Case {
    std::string value;
    std::string expected;
  };
  const Case cases[] = {
      {"=?UTF-8?B?44Kr44Oh44Op?=", camera},
      {"=?utf-8?q?=E3=82=AB=E3=83=A1=E3=83=A9?=", camera},
      {"=?Shift_JIS?B?g0qDgYOJ?=", camera},
      {"=?ISO-2022-JP?B?GyRCJSslYSVpGyhC?=", camera},
      {"=?UTF-8*ja?B?44Kr44Oh44Op?=", camera},                  // RFC 2231 language
      {"=?UTF-8?B?44Kr4w==?= \t =?UTF-8?B?g6Hjg6k=?=", camera},  // a character split over words
      {"=?UTF-8?B?44Kr44Oh44Op?= =?Shift_JIS?B?g0qDgYOJ?=", camera + camera},
      {"Re: =?UTF-8?B?44Kr44Oh44Op?= please", "Re: " + camera + " please"},
      {"=?ISO-8859-1?Q?caf=E9_au_lait?=", "caf? au lait"},      // CP932 lacks the letter
      {"=?ISO-2022-JP?B?GyRCLSEbKEI=?=", Sjis("①")},           // NEC row 13 is CP932's
      {"\xe3\x82\xab\xe3\x83\xa1\xe3\x83\xa9", camera},          // raw UTF-8 (RFC 6532)
      {camera, camera},                                          // raw CP932
      {"\x1b$B%+%a%i\x1b(B", camera},                           // raw JIS
      {"\x1b(I\x36\x52\x57\x1b(B!", "\xb6\xd2\xd7!"},             // JIS half-width katakana
      {"\xf0\x9f\x93\xb7 x", "? x"},                              // one '?' per character
      {"a=b =?x-unknown?B?YWJj?=", "a=b =?x-unknown?B?YWJj?="},   // unknown set: as written
      {"=?UTF-8?B?44Kr44Oh44Op", "=?UTF-8?B?44Kr44Oh44Op"},     // not closed: not a word
      {"=?UTF-8?X?abc?= =??B?YQ==?=", "=?UTF-8?X?abc?= =??B?YQ==?="},
  };
  for (const Case& c : cases) EXPECT_EQ(DecodeHeaderText(c.value), c.expected) << c.value;

  std::string many;
  for (int i = 0; i < 400; ++i) many += "=?UTF-8?B?44Kr44Oh44Op?=";
  std::string decoded = DecodeHeaderText(many);
  EXPECT_EQ(decoded.size(), kCodecTextLimit - 1);  // cut between two characters
  EXPECT_EQ(decoded.substr(0, 6), camera);
}

TEST(ShiftJisToJis, EndsTheTextAtACharacterWithoutJisCode) {
  EXPECT_EQ(SjisToJis("a" + Sjis("字") + "\xf0\x40" + "b"),
            "a" + kToJis + "\x3b\x7a" + kToAscii);
  EXPECT_EQ(SjisToJis("a\xf0\x40"), "a");
  EXPECT_EQ(SjisToJis("a\x81"), "a");      // lead byte without its trail byte
  EXPECT_EQ(SjisToJis("a\x81\x7f"), "a");  // 0x7F is never a trail byte
}

TEST(ShiftJisToJis, LongTextIsCutBeforeTheCharacterThatDoesNotFit) {
  std::string kanji = Sjis("漢");
  std::string text;
  for (int i = 0; i < 700; ++i) text += kanji;
  std::string jis = SjisToJis(text);
  ASSERT_LE(jis.size(), kCodecTextLimit);
  EXPECT_EQ(jis.substr(jis.size() - 3), kToAscii);
  EXPECT_EQ(jis.size(), 3 + 2 * 508 + 3u);  // one more character would not fit
  EXPECT_EQ(JisToSjis(jis), text.substr(0, 2 * 508));

  std::string mixed;
  for (int i = 0; i < 400; ++i) mixed += "a" + kanji;
  jis = SjisToJis(mixed);
  EXPECT_LE(jis.size(), kCodecTextLimit);
  EXPECT_GT(jis.size() + 8, kCodecTextLimit);  // ESC $ B, a kanji and ESC ( B would not fit
  EXPECT_EQ(jis.back(), 'a');                  // ends in ASCII mode after the last letter
  std::string back = JisToSjis(jis);
  EXPECT_EQ(back, mixed.substr(0, back.size()));
  EXPECT_EQ(back.size() % 3, 1u);

  EXPECT_EQ(SjisToJis(std::string(2000, 'z')), std::string(kCodecTextLimit, 'z'));
}

TEST(JisToShiftJis, ConvertsEscapedRunsAndLineEnds) {
  EXPECT_EQ(JisToSjis("abc" + kToJis + "\x34\x41\x3b\x7a" + kToAscii + "xyz"),
            "abc" + Sjis("漢字") + "xyz");
  // The older escapes ESC $ @ and ESC ( J work the same.
  EXPECT_EQ(JisToSjis("\x1b$@\x24\x22\x1b(Jz"), Sjis("あ") + "z");
  EXPECT_EQ(JisToSjis("\na\nb\r\nc"), "\r\na\r\nb\r\nc");
  EXPECT_EQ(JisToSjis("a=b==c"), "abc");
  EXPECT_EQ(JisToSjis(kToJis + "\x24\x3d" + kToAscii), Sjis("そ"));  // '=' inside a pair stays
  EXPECT_EQ(JisToSjis("a\x1b$Zb"), "a\x1b$Zb");  // unknown escapes are plain bytes
  EXPECT_EQ(JisToSjis(kToJis + "\x24\x22\x24"), Sjis("あ"));  // lone byte at the end
  EXPECT_EQ(JisToSjis(kToJis + "\x24\x22\x24\x7f" + kToAscii + "z"), Sjis("あ"));
  EXPECT_EQ(JisToSjis("a\0b"s), "a");
}

TEST(JisToShiftJis, LongTextNeverSplitsACharacterOrALineEnd) {
  std::string lines(1500, '\n');
  std::string sjis = JisToSjis(lines);
  EXPECT_EQ(sjis.size(), kCodecTextLimit - 1);
  EXPECT_EQ(sjis.substr(sjis.size() - 2), "\r\n");

  std::string jis = "a" + kToJis;
  for (int i = 0; i < 700; ++i) jis += "\x30\x21";
  sjis = JisToSjis(jis);
  EXPECT_EQ(sjis.size(), kCodecTextLimit);  // "a" + 511 characters
  EXPECT_EQ(sjis.substr(1, 2), Sjis("亜"));
}

TEST(CodeConversion, ArithmeticMatchesKnownCodes) {
  EXPECT_EQ(qv::_mbcjmstojis(0x8140), 0x2121u);
  EXPECT_EQ(qv::_mbcjmstojis(0x889F), 0x3021u);  // 亜
  EXPECT_EQ(qv::_mbcjmstojis(0x9FFC), 0x5E7Eu);
  EXPECT_EQ(qv::_mbcjmstojis(0xE040), 0x5F21u);
  EXPECT_EQ(qv::_mbcjmstojis(0xEAA4), 0x7426u);  // 熙, the last kanji of JIS X 0208
  EXPECT_EQ(qv::_mbcjmstojis(0x8180), 0x2160u);
  EXPECT_EQ(qv::_mbcjmstojis(0x817F), 0u);
  EXPECT_EQ(qv::_mbcjmstojis(0x813F), 0u);
  EXPECT_EQ(qv::_mbcjmstojis(0x81FD), 0u);
  EXPECT_EQ(qv::_mbcjmstojis(0xF040), 0u);  // user-defined area
  EXPECT_EQ(qv::_mbcjmstojis(0x4142), 0u);
  EXPECT_EQ(qv::_mbcjmstojis(0x18140), 0u);
  EXPECT_EQ(qv::_mbcjistojms(0x2121), 0x8140u);
  EXPECT_EQ(qv::_mbcjistojms(0x7426), 0xEAA4u);
  EXPECT_EQ(qv::_mbcjistojms(0x2120), 0u);
  EXPECT_EQ(qv::_mbcjistojms(0x7F21), 0u);
  EXPECT_EQ(qv::_mbcjistojms(0x12121), 0u);
  // Every JIS X 0208 position maps to a distinct Shift_JIS code and back.
  for (unsigned int high = 0x21; high <= 0x7E; ++high) {
    for (unsigned int low = 0x21; low <= 0x7E; ++low) {
      unsigned int sjis = qv::_mbcjistojms(high << 8 | low);
      ASSERT_TRUE(qv::IsSjisLeadByte(static_cast<unsigned char>(sjis >> 8))) << std::hex << sjis;
      ASSERT_EQ(qv::_mbcjmstojis(sjis), high << 8 | low) << std::hex << sjis;
    }
  }
}

// Every CP932 double-byte character with its own JIS X 0208 code converts exactly as glibc's
// ISO-2022-JP does, and back.
TEST(CodeConversion, AgreesWithIconvOnEveryJisCharacter) {
  int checked = 0;
  for (unsigned int lead = 0x81; lead <= 0xFC; ++lead) {
    if (!qv::IsSjisLeadByte(static_cast<unsigned char>(lead))) continue;
    for (unsigned int trail = 0x40; trail <= 0xFC; ++trail) {
      if (trail == 0x7F) continue;
      std::string sjis{static_cast<char>(lead), static_cast<char>(trail)};
      std::string utf8, iso, roundTrip;
      if (!Iconv("CP932", "UTF-8", sjis, &utf8) || !Iconv("UTF-8", "ISO-2022-JP", utf8, &iso) ||
          !Iconv("ISO-2022-JP", "CP932", iso, &roundTrip)) {
        continue;
      }
      // NEC and IBM duplicates share a code with another character; only the canonical one
      // converts back to itself.
      if (roundTrip != sjis || iso.size() != 8 || iso.substr(0, 3) != kToJis) continue;
      ASSERT_EQ(SjisToJis(sjis), iso) << std::hex << lead << trail;
      ASSERT_EQ(JisToSjis(iso), sjis) << std::hex << lead << trail;
      ++checked;
    }
  }
  EXPECT_GT(checked, 6800);  // JIS X 0208 holds 6879 characters
}

class FileToBase64Test : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = qv::MakeWorkFolder("qvb64"); ASSERT_FALSE(folder_.empty()); }
  void TearDown() override {
    std::string command = "rm -rf '" + folder_ + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::ofstream(folder_ + name, std::ios::binary) << bytes;
    return folder_ + name;
  }
  std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  std::string folder_;
};

TEST_F(FileToBase64Test, PadsTheLastGroupAndDecodesBack) {
  std::string destination = Write("out.b64", "");
  struct Case {
    size_t size;
    const char* ending;
  };
  for (Case c : {Case{30, "A"}, Case{31, "=="}, Case{32, "="}}) {
    std::string bytes;
    for (size_t i = 0; i < c.size; ++i) bytes += static_cast<char>(i * 37 + 1);
    std::string source = Write("in.bin", bytes);
    ASSERT_EQ(FileToBase64(source.c_str(), destination.c_str()), 1);
    std::string text = Read(destination);
    EXPECT_EQ(text.size(), (c.size + 2) / 3 * 4);
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos);
    if (c.size % 3 == 0) {
      EXPECT_NE(text.back(), '=');
    } else {
      EXPECT_EQ(text.substr(text.size() - std::string(c.ending).size()), c.ending);
      EXPECT_NE(text[text.size() - std::string(c.ending).size() - 1], '=');
    }
    EXPECT_EQ(Base64Decode(text).substr(0, c.size), bytes);
  }
}

TEST_F(FileToBase64Test, LargeFileMatchesTheStringEncoder) {
  std::mt19937 random(7);
  std::string bytes(200001, '\0');
  for (char& b : bytes) b = static_cast<char>(random());
  std::string source = Write("big.bin", bytes);
  std::string destination = Write("big.b64", "old contents");
  ASSERT_EQ(FileToBase64(source.c_str(), destination.c_str()), 1);
  EXPECT_EQ(Read(destination), Base64Encode(bytes));

  std::string empty = Write("empty.bin", "");
  ASSERT_EQ(FileToBase64(empty.c_str(), destination.c_str()), 1);
  EXPECT_EQ(Read(destination), "");
}

TEST_F(FileToBase64Test, MissingSourceOrUnwritableDestinationWritesNothing) {
  std::string destination = Write("out.b64", "");
  std::string missing = folder_ + "missing.bin";
  EXPECT_EQ(FileToBase64(missing.c_str(), destination.c_str()), 0);
  EXPECT_EQ(qv::FileSize(destination), 0);
  std::string source = Write("in.bin", "abc");
  std::string badDestination = folder_ + "no-such-folder/out.b64";
  EXPECT_EQ(FileToBase64(source.c_str(), badDestination.c_str()), 0);
  EXPECT_EQ(FileToBase64(nullptr, destination.c_str()), 0);
  struct stat full {};
  if (stat("/dev/full", &full) == 0 && S_ISCHR(full.st_mode)) {
    EXPECT_EQ(FileToBase64(source.c_str(), "/dev/full"), 0);  // every write fails
  }
}

}  // namespace
