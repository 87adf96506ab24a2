#include "app/mail/reply_message.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/text.h"

namespace {

CheckedAddress Checked(const std::string& address) { return CheckedAddress::Check(address).value(); }

// Friday, 2 January 2004, 13:04:05 at +0900.
std::tm Date() {
  std::tm date{};
  date.tm_year = 104;
  date.tm_mon = 0;
  date.tm_mday = 2;
  date.tm_wday = 5;
  date.tm_hour = 13;
  date.tm_min = 4;
  date.tm_sec = 5;
  date.tm_gmtoff = 9 * 3600;
  return date;
}

// The whole message, byte for byte: header, text part, picture part and the empty line the
// message has always ended with.
TEST(BuildReplyMessage, TheWholeMessageByteForByte) {
  const std::string boundary = "__++QUORVX__20040102130405__MULTIPART++__";
  const std::string header =
      "Date: Fri, 02 Jan 2004 13:04:05 +0900\r\n"
      "Message-ID: <id@example.jp>\r\n"
      "Auto-Submitted: auto-replied\r\n"
      "X-Mailer: Quorvex\r\n"
      "MIME-Version: 1.0\r\n"
      "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\r\n"
      "Content-Transfer-Encoding: 7bit\r\n"
      "\r\n"
      "--" + boundary + "\r\n"
      "Content-Type: text/plain; charset=\"ISO-2022-JP\"\r\n"
      "Content-Transfer-Encoding: 7bit\r\n"
      "\r\n";
  ReplyRecord record{Checked("camera@example.jp"),
                     SJIS("山田太郎"),
                     Checked("user@docomo.ne.jp"),
                     SJIS("テスト"),
                     SJIS("テスト"),
                     SJIS("カメラ") + "<BR>.dot<BR><BR>sig\r",
                     std::string(64, 'A') + "\r\nQUJD\nRA==",
                     "200401021304.JPG",
                     Date(),
                     "<id@example.jp>"};
  EXPECT_EQ(BuildReplyMessage(record),
            "From: =?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <camera@example.jp>\r\n"
            "Subject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?= \r\n"
            "To: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?= <user@docomo.ne.jp>\r\n" +
                header +
                "\x1B$B%+%a%i\x1B(B\r\n"
                ".dot\r\n"
                "\r\n"
                "sig\r\n"
                "\r\n"
                "--" + boundary + "\r\n"
                "Content-Type: image/jpeg; name=\"200401021304.JPG\"\r\n"
                "Content-Disposition: attachment; filename=\"200401021304.JPG\"\r\n"
                "Content-Transfer-Encoding: base64\r\n"
                "\r\n" +
                std::string(64, 'A') + "\r\n"
                "QUJDRA==\r\n"
                "\r\n"
                "--" + boundary + "--\r\n"
                "\r\n");

  // No names, an empty subject, no picture: the bare addresses, "なし", and the text part
  // followed by a bare boundary line.
  record.senderName = "\t";
  record.recipientName.clear();
  record.subject = " ";
  record.bodyText = "x";
  record.picture.reset();
  record.recipient = Checked("user@ezweb.ne.jp");
  EXPECT_EQ(BuildReplyMessage(record),
            "From: camera@example.jp\r\n"
            "Subject: =?ISO-2022-JP?B?GyRCJEokNxsoQg==?= \r\n"
            "To: user@ezweb.ne.jp\r\n" +
                header +
                "x\r\n"
                "--" + boundary + "\r\n"
                "\r\n");

  // An empty picture still gets its part, without data lines.
  record.picture = "";
  record.pictureName = "p";
  const std::string empty = BuildReplyMessage(record);
  EXPECT_TRUE(empty.ends_with("x\r\n--" + boundary + "\r\nContent-Type: image/png; name=\"p\"\r\n"
                              "Content-Disposition: attachment; filename=\"p\"\r\n"
                              "Content-Transfer-Encoding: base64\r\n\r\n\r\n--" + boundary + "--\r\n\r\n"))
      << empty;
}

// A body line that begins with "." gains one on the wire, so it is cut one byte shorter: every
// line stays within 998 bytes after the SMTP session's dot-stuffing.
TEST(BuildReplyMessage, BodyLinesFitTheWireAfterDotStuffing) {
  ReplyRecord record{Checked("a@example.jp"), "", Checked("b@example.jp"), "", "s",
                     std::string(1200, 'z') + "<BR>." + std::string(1200, 'y') + "<BR>" + std::string(998, 'x'),
                     std::nullopt, "", Date(), "<i@example.jp>"};
  const std::string message = BuildReplyMessage(record);
  EXPECT_NE(message.find("\r\n" + std::string(998, 'z') + "\r\n"), std::string::npos);
  EXPECT_NE(message.find("\r\n." + std::string(996, 'y') + "\r\n"), std::string::npos);
  EXPECT_NE(message.find("\r\n" + std::string(998, 'x') + "\r\n"), std::string::npos);
}

TEST(NewMessageId, UniqueAtThePlainDomainOfTheSender) {
  const std::tm date = Date();
  const std::string first = NewMessageId(date, Checked("\"a@b\"@Example.JP"));
  EXPECT_EQ(first.rfind("<20040102130405.", 0), 0u) << first;
  EXPECT_TRUE(first.ends_with(".Quorvex@Example.JP>")) << first;
  EXPECT_NE(NewMessageId(date, Checked("\"a@b\"@Example.JP")), first);
  // A domain with characters beyond a plain host name's is not used.
  EXPECT_TRUE(NewMessageId(date, Checked("a@x_y.jp")).ends_with("@localhost>"));
}

TEST(ReadBase64File, TheTextOrNone) {
  const std::string path = std::filesystem::temp_directory_path() / ("qv-b64-" + std::to_string(getpid()));
  std::ofstream(path, std::ios::binary) << "QUJD\r\n";
  EXPECT_EQ(ReadBase64File(path), std::optional<std::string>("QUJD\r\n"));
  std::filesystem::remove(path);
  EXPECT_EQ(ReadBase64File(path), std::nullopt);
  EXPECT_EQ(ReadBase64File(""), std::nullopt);
}

}  // namespace
