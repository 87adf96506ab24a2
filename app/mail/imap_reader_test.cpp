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
      {"literal of 19 digits", "* 1 FETCH (BODY[] {9999999999999999999}\r\n", 1LL << 62},
      {"literal of 19 digits at 10^18", "* 1 FETCH (BODY[] {1000000000000000000}\r\n", 1LL << 62},
      {"literal one byte over the limit", "* 1 FETCH (BODY[] {11}\r\n12345678901)\r\n", 10},
      {"line one byte over its bound", "* " + std::string(ImapReader::kMaxLineBytes - 1, 'x') + "\r\n", 1 << 20},
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

// Each bound holds up to and including its value.
TEST_F(ImapReaderTest, TakesWhatIsAtEachBound) {
  ImapResponse response;
  ASSERT_EQ(ReadOne("* 1 FETCH (BODY[] {10}\r\n1234567890)\r\n", &response, 10), ImapRead::kResponse);
  EXPECT_EQ(response.literals.at(0).bytes, "1234567890");
  // A literal of 18 digits is read as its number (here over any limit, so refused, not wrapped).
  EXPECT_EQ(ReadOne("* 1 FETCH (BODY[] {999999999999999999}\r\n", &response, 1 << 20), ImapRead::kTooLong);
  const std::string longest = "* " + std::string(ImapReader::kMaxLineBytes - 2, 'x');
  ASSERT_EQ(ReadOne(longest + "\r\n", &response), ImapRead::kResponse);
  EXPECT_EQ(response.text.size(), ImapReader::kMaxLineBytes);
  // The same line ended by a bare LF is as long.
  ASSERT_EQ(ReadOne(longest + "\n", &response), ImapRead::kResponse);
  EXPECT_EQ(response.text.size(), ImapReader::kMaxLineBytes);
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
}

// What a response may make of values is capped: "()()()..." or "1 1 1 ..." of any length
// costs at most kMaxImapValues values.
TEST(ImapValues, StopsAtTheCapOfValues) {
  for (const char* unit : {"()", "1 ", "(1)"}) {
    SCOPED_TRACE(unit);
    const size_t perUnit = std::string(unit) == "(1)" ? 2 : 1;
    ImapResponse atCap;
    atCap.text = "* ";
    for (size_t made = 0; made + perUnit <= kMaxImapValues; made += perUnit) atCap.text += unit;
    std::vector<ImapValue> values;
    EXPECT_TRUE(ParseImapValues(atCap, 2, &values));
    ImapResponse over = atCap;
    over.text += std::string(unit) == "(1)" ? "1" : unit;
    EXPECT_FALSE(ParseImapValues(over, 2, &values));
  }
}

TEST(ImapSearch, TakesNumbersUpToItsLimitAndPassesOverTheRest) {
  struct Case {
    const char* text;
    size_t limit;
    bool search;
    std::vector<uint32_t> numbers;
    bool cut;
  };
  const Case cases[] = {
      {"* SEARCH 9 3 7", 3, true, {9, 3, 7}, false},
      {"* SEARCH 9 3 7", 2, true, {9, 3}, true},
      {"* search 4 0 x (MODSEQ 12) 4294967295 4294967296", 10, true, {4, 4294967295u}, false},
      {"* SEARCH", 10, true, {}, false},
      {"* SEARCH  5 ", 10, true, {5}, false},
      {"* SEARCHED 5", 10, false, {}, false},
      {"* 5 SEARCH", 10, false, {}, false},
      {"* SEARCH 1", 0, true, {}, true},
  };
  for (const Case& c : cases) {
    ImapResponse response;
    response.text = c.text;
    std::vector<uint32_t> numbers;
    bool cut = false;
    EXPECT_EQ(ParseImapSearch(response, c.limit, &numbers, &cut), c.search) << c.text;
    EXPECT_EQ(numbers, c.numbers) << c.text;
    EXPECT_EQ(cut, c.cut) << c.text;
  }
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
