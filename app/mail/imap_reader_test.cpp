#include "app/mail/imap_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/mail/imap_session.h"
#include "app/mail/testing/test_servers.h"
#include "platform/socket.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

using qv::test::ScriptedServer;

class ImapReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = qv::GetTimings();
    qv::Timings fast = saved_;
    fast.socketReceiveTimeoutMs = 2000;
    qv::SetTimings(fast);
  }
  void TearDown() override { qv::SetTimings(saved_); }
  qv::Timings saved_;
};

// The response of `bytes` as the reader takes it off a connection.
ImapRead ReadOne(const std::string& bytes, ImapResponse* response, long long literalLimit = 1 << 20) {
  ScriptedServer server;
  server.Send(bytes).Cut();
  server.Start();
  qv::TcpConnection connection;
  if (!connection.Connect("127.0.0.1", server.port())) return ImapRead::kBroken;
  ImapReader reader(connection);
  return reader.Read(response, literalLimit);
}

TEST_F(ImapReaderTest, ReadsLiteralsAndFailsCleanlyOnEveryTruncation) {
  const std::string whole = "* 1 FETCH (UID 3 BODY[] {8}\r\nab\r\n{2}c FLAGS ({0}\r\n))\r\n";
  ImapResponse response;
  ASSERT_EQ(ReadOne(whole, &response), ImapRead::kResponse);
  EXPECT_EQ(response.text, "* 1 FETCH (UID 3 BODY[] {8} FLAGS ({0}))");
  ASSERT_EQ(response.literals.size(), 2u);
  EXPECT_EQ(response.literals[0].bytes, "ab\r\n{2}c");  // a "{2}" inside a literal is only bytes
  EXPECT_EQ(response.literals[1].bytes, "");
  std::vector<ImapValue> values;
  ASSERT_TRUE(ParseImapValues(response, 2, &values));
  ASSERT_EQ(values.size(), 3u);
  const std::vector<ImapValue>& items = values[2].items;
  ASSERT_EQ(items.size(), 6u);
  EXPECT_TRUE(items[2].IsAtom("body[]"));
  EXPECT_EQ(items[3].kind, ImapValue::Kind::kLiteral);
  EXPECT_EQ(items[3].bytes(), "ab\r\n{2}c");
  EXPECT_EQ(items[5].items.at(0).bytes(), "");

  for (size_t length = 0; length < whole.size(); ++length) {
    ImapResponse cut;
    EXPECT_EQ(ReadOne(whole.substr(0, length), &cut), ImapRead::kBroken) << length;
  }
}

TEST_F(ImapReaderTest, RefusesWhatBreaksABound) {
  struct Case {
    const char* name;
    std::string bytes;
    long long literalLimit;
  };
  const Case cases[] = {
      {"literal of 2^40", "* 1 FETCH (BODY[] {1099511627776}\r\nabc", 1 << 20},
      {"literal of 30 digits", "* 1 FETCH (BODY[] {999999999999999999999999999999}\r\n", 1 << 20},
      {"literals over the limit together", "* X {6}\r\n123456 {6}\r\n123456\r\n", 10},
      {"too many literals", [] {
         std::string many = "* X";
         for (size_t i = 0; i <= ImapReader::kMaxLiterals; ++i) many += " {1}\r\nx";
         return many + "\r\n";
       }(), 1 << 20},
  };
  for (const Case& c : cases) {
    ImapResponse response;
    EXPECT_EQ(ReadOne(c.bytes, &response, c.literalLimit), ImapRead::kTooLong) << c.name;
  }
}

TEST_F(ImapReaderTest, ReadWithinKeepsAPartResponseForTheNextCall) {
  ScriptedServer server;
  server.Send("* 3 EXI").Pause(30).Send("STS\r\n* OK Still here\r\n").Read();
  server.Start();
  qv::TcpConnection connection;
  ASSERT_TRUE(connection.Connect("127.0.0.1", server.port()));
  ImapReader reader(connection);
  ImapResponse response;
  ImapRead read = ImapRead::kNothingYet;
  for (int i = 0; i < 200 && read == ImapRead::kNothingYet; ++i) read = reader.ReadWithin(&response, 0, 10);
  ASSERT_EQ(read, ImapRead::kResponse);
  EXPECT_EQ(response.text, "* 3 EXISTS");
  // The second response came with the first: it is there without waiting.
  ASSERT_EQ(reader.ReadWithin(&response, 0, 0), ImapRead::kResponse);
  EXPECT_EQ(response.text, "* OK Still here");
  EXPECT_EQ(reader.ReadWithin(&response, 0, 0), ImapRead::kNothingYet);
  ASSERT_TRUE(connection.SendAll("A1 LOGOUT\r\n") && connection.Flush());
  connection.Close();
  ASSERT_TRUE(server.Wait());
}

TEST(ImapValues, ParsesQuotedStringsListsAndStatusesAndRefusesMalformedOnes) {
  ImapResponse response;
  response.text = R"(* 2 FETCH (UID 9 FLAGS (\Seen $Junk) BODY[] "say \"hi\" \\ bye" X NIL))";
  std::vector<ImapValue> values;
  ASSERT_TRUE(ParseImapValues(response, 2, &values));
  const std::vector<ImapValue>& items = values.at(2).items;
  ASSERT_EQ(items.size(), 8u);
  EXPECT_EQ(items[3].items.size(), 2u);
  EXPECT_EQ(items[3].items[0].text, "\\Seen");
  EXPECT_EQ(items[5].kind, ImapValue::Kind::kQuoted);
  EXPECT_EQ(items[5].bytes(), "say \"hi\" \\ bye");
  EXPECT_TRUE(items[7].IsAtom("nil"));

  for (const char* malformed : {"* 1 FETCH (UID 3", "* 1 FETCH (BODY[] \"open", "* 1 FETCH (BODY[] \"\\",
                                "* 1 FETCH )", "* 1 FETCH (BODY[] {5})"}) {
    response.text = malformed;
    EXPECT_FALSE(ParseImapValues(response, 2, &values)) << malformed;
  }
  response.text = "* 1 FETCH " + std::string(33, '(') + std::string(33, ')');
  EXPECT_FALSE(ParseImapValues(response, 2, &values));
  response.text = "* 1 FETCH " + std::string(32, '(') + std::string(32, ')');
  EXPECT_TRUE(ParseImapValues(response, 2, &values));

  ImapStatus status = ParseImapStatus("ok [UIDNEXT 11] Predicted next UID");
  EXPECT_EQ(status.word, "OK");
  EXPECT_EQ(status.code, "UIDNEXT 11");
  EXPECT_EQ(status.text, "Predicted next UID");
  EXPECT_EQ(ParseImapStatus("NO").word, "NO");
  EXPECT_EQ(ParseImapStatus("3 EXISTS").word, "");
  uint32_t number = 0;
  EXPECT_TRUE(ParseImapNumber("4294967295", &number));
  EXPECT_EQ(number, 4294967295u);
  EXPECT_FALSE(ParseImapNumber("4294967296", &number));
  EXPECT_FALSE(ParseImapNumber("-1", &number));
  EXPECT_EQ(ImapServerText("bad\r\n\x1b[31m\xff text"), "bad[31m text");
}

TEST(ImapNames, QuotesAndWritesFolderNamesInModifiedUtf7) {
  std::string quoted;
  ASSERT_TRUE(ImapQuoted(R"(a"b\c)", &quoted));
  EXPECT_EQ(quoted, R"("a\"b\\c")");
  EXPECT_FALSE(ImapQuoted("p\xe9", &quoted));
  EXPECT_FALSE(ImapQuoted("a\tb", &quoted));
  // RFC 3501 5.1.3's example, and the other rules: "&" escaped, non-BMP as a surrogate pair.
  EXPECT_EQ(ImapFolderName(qv::Cp932FromUtf8("~peter/mail/台北/日本語")), "~peter/mail/&U,BTFw-/&ZeVnLIqe-");
  EXPECT_EQ(ImapFolderName("A&B"), "A&-B");
  EXPECT_EQ(ImapFolderName(""), "INBOX");
  EXPECT_EQ(ImapFolderName(qv::Cp932FromUtf8("カメラ")), "&MKsw4TDp-");
}

}  // namespace
