#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "app/responder/encodings.h"
#include "app/responder/mail_client.h"
#include "app/responder/smtp_test_peer.h"
#include "app/responder/test_servers.h"
#include "app/settings/activity_log.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

using qv::test::ScriptedServer;
using Lines = std::vector<std::string>;

// A scratch folder removed with the test.
class ScratchFolder {
 public:
  ScratchFolder() {
    char pattern[] = "/tmp/qv-smtp-test-XXXXXX";
    path_ = mkdtemp(pattern);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string File(const std::string& name, const std::string& content) const {
    std::string path = path_ + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

 private:
  std::string path_;
};

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// The server side of one complete, accepted reply.
void ScriptAcceptingServer(ScriptedServer& server) {
  server.Send("220 test ESMTP\r\n")
      .Read().Send("250 hello\r\n")
      .Read().Send("250 sender ok\r\n")
      .Read().Send("250 recipient ok\r\n")
      .Read().Send("354 go ahead\r\n")
      .ReadUntil(".").Send("250 queued\r\n")
      .Read().Send("221 bye\r\n");
}

class SmtpClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = qv::GetTimings();
    qv::Timings quick = saved_;
    quick.socketConnectTimeoutMs = 2000;
    quick.socketReceiveTimeoutMs = 2000;
    qv::SetTimings(quick);
  }
  void TearDown() override { qv::SetTimings(saved_); }

  void UseServer(CMailClient& client, const ScriptedServer& server,
                 const std::string& senderName = SJIS("山田太郎")) {
    client.SetSmtpParams("127.0.0.1", "camera@example.jp", senderName.c_str(), server.port());
  }

  // Sends one reply through an accepting scripted server and returns every line it received.
  Lines SendAccepted(CMailClient& client, const char* address, const char* name,
                     const std::string& senderName = SJIS("山田太郎")) {
    ScriptedServer server;
    ScriptAcceptingServer(server);
    server.Start();
    UseServer(client, server, senderName);
    auto connection = client.SmtpConnect();
    EXPECT_NE(connection, nullptr);
    if (!connection) return {};
    EXPECT_EQ(client.SmtpSendMail(*connection, address, name), 0);
    client.SmtpClose(std::move(connection));
    EXPECT_TRUE(server.Wait());
    return server.Received();
  }

  // The mail data of a transcript: the lines after DATA up to and including ".".
  static Lines MailData(const Lines& transcript) {
    auto data = std::find(transcript.begin(), transcript.end(), "DATA");
    if (data == transcript.end()) return {};
    auto end = std::find(data, transcript.end(), ".");
    return Lines(data + 1, end == transcript.end() ? end : end + 1);
  }

  static std::string HeaderLine(const Lines& data, const std::string& name) {
    for (const std::string& line : data) {
      if (line.empty()) break;
      if (line.rfind(name + ": ", 0) == 0) return line;
    }
    return {};
  }

  static std::string BoundaryOf(const Lines& data) {
    std::smatch match;
    std::string line = HeaderLine(data, "Content-Type");
    if (!std::regex_match(line, match, std::regex(R"re(Content-Type: multipart/mixed; boundary="(.*)")re")))
      return {};
    return match[1];
  }

  qv::Timings saved_;
  RecordingLogSink log_;
};

TEST_F(SmtpClientTest, SendsTheReplyLayoutLineByLine) {
  ScratchFolder scratch;
  // 100 base64 characters: one full line of 64 and one of 36.
  std::string base64(100, 'A');
  for (size_t i = 0; i < base64.size(); ++i) base64[i] = "QRSTabcd+/09"[i % 12];
  std::string base64File = scratch.File("B64test", base64);

  CMailClient client(&log_);
  client.SetReplyText(SJIS("テスト").c_str(), (SJIS("カメラ") + "<BR>.dot<BR><BR>sig").c_str());
  client.SetAttachment(base64File.c_str(), "200401021304.JPG");
  Lines transcript = SendAccepted(client, "user@docomo.ne.jp", SJIS("テスト").c_str());

  ASSERT_GE(transcript.size(), 5u);
  EXPECT_EQ(transcript[0], "HELO 127.0.0.1");
  EXPECT_EQ(transcript[1], "MAIL FROM:<camera@example.jp>");
  EXPECT_EQ(transcript[2], "RCPT TO:<user@docomo.ne.jp>");
  EXPECT_EQ(transcript[3], "DATA");
  EXPECT_EQ(transcript.back(), "QUIT");

  Lines data = MailData(transcript);
  std::string boundary = BoundaryOf(data);
  ASSERT_TRUE(std::regex_match(boundary, std::regex(R"(__\+\+QUORVX__\d{14}__MULTIPART\+\+__)")))
      << boundary;
  ASSERT_GE(data.size(), 5u);
  EXPECT_TRUE(std::regex_match(data[3], std::regex(
      R"(Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d [+-]\d{4})")))
      << data[3];
  EXPECT_TRUE(std::regex_match(data[4], std::regex(R"(Message-ID: <[^<>@ ]+@example\.jp>)")))
      << data[4];

  Lines expected = {
      "From: =?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?=<camera@example.jp>",
      "Subject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?= ",
      "To: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=<user@docomo.ne.jp>",
      data[3],
      data[4],
      "X-Mailer: Quorvex",
      "MIME-Version: 1.0",
      "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"",
      "Content-Transfer-Encoding: 7bit",
      "",
      "--" + boundary,
      "Content-Type: text/plain; charset=\"ISO-2022-JP\"",
      "Content-Transfer-Encoding: 7bit",
      "",
      "\x1B$B%+%a%i\x1B(B",
      "..dot",
      "",
      "sig",
      "--" + boundary,
      "Content-Type: image/jpeg; name=\"200401021304.JPG\"",
      "Content-Disposition: attachment; filename=\"200401021304.JPG\"",
      "Content-Transfer-Encoding: base64",
      "",
      base64.substr(0, 64),
      base64.substr(64),
      "",
      "--" + boundary + "--",
      "",
      ".",
  };
  EXPECT_EQ(data, expected);
  // Every line was sent with CR LF: the recorder strips exactly that pair, and a bare LF
  // would have split a line above.
}

TEST_F(SmtpClientTest, OptionalHeaderPartsFollowTheirTexts) {
  CMailClient client(&log_);
  client.SetReplyText("", "x");
  // No sender name: bare address. No recipient name: no To line. Empty subject: "なし".
  Lines data = MailData(SendAccepted(client, "user@ezweb.ne.jp", "", ""));
  ASSERT_GE(data.size(), 3u);
  EXPECT_EQ(data[0], "From: camera@example.jp");
  EXPECT_EQ(data[1], "Subject: =?ISO-2022-JP?B?GyRCJEokNxsoQg==?= ");
  EXPECT_EQ(HeaderLine(data, "To"), "");
  EXPECT_EQ(data[2].rfind("Date: ", 0), 0u);

  // A null name counts as empty too.
  Lines again = MailData(SendAccepted(client, "user@ezweb.ne.jp", nullptr, ""));
  EXPECT_EQ(HeaderLine(again, "To"), "");
}

TEST_F(SmtpClientTest, BodyIsCutAtBreakTokens) {
  CMailClient client(&log_);
  struct Case {
    std::string body;
    Lines lines;
  } cases[] = {
      {"a<BR><BR>b", {"a", "", "b"}},
      {"<BR>", {"", ""}},
      {"", {""}},
      {".<BR>..x<BR>a.b", {"..", "...x", "a.b"}},
      {"a<br>b", {"a<br>b"}},
  };
  for (const Case& c : cases) {
    client.SetReplyText("s", c.body.c_str());
    client.SetAttachment("", "");
    Lines data = MailData(SendAccepted(client, "u@example.com", ""));
    auto textStart = std::find(data.begin(), data.end(), "Content-Type: text/plain; charset=\"ISO-2022-JP\"");
    ASSERT_NE(textStart, data.end()) << c.body;
    // Content-Type, Content-Transfer-Encoding, empty line, then the body up to the boundary;
    // without an attachment the data ends with the bare boundary, an empty line and ".".
    Lines body(textStart + 3, data.end() - 3);
    EXPECT_EQ(body, c.lines) << c.body;
    EXPECT_EQ(data[data.size() - 3], "--" + BoundaryOf(data));
  }
}

TEST_F(SmtpClientTest, AttachmentMediaTypeComesFromTheNameExtension) {
  ScratchFolder scratch;
  std::string base64File = scratch.File("B64x", "QUJD");
  CMailClient client(&log_);
  client.SetReplyText("s", "b");
  struct Case {
    std::string name;
    std::string type;
    std::string shown;
  } cases[] = {
      {"a.png", "image/png", "a.png"},   {"a.jpg", "image/jpeg", "a.jpg"},
      {"a.Jpg", "image/jpeg", "a.Jpg"},  {"a.BMP", "image/bmp", "a.BMP"},
      {"a.gif", "image/gif", "a.gif"},   {"a.tif", "image/png", "a.tif"},
      {"a.jpeg", "image/png", "a.jpeg"}, {"noext", "image/png", "noext"},
      {"", "image/png", base64File},     {"a\"b\r\n.gif", "image/gif", "ab.gif"},
  };
  for (const Case& c : cases) {
    client.SetAttachment(base64File.c_str(), c.name.c_str());
    Lines data = MailData(SendAccepted(client, "u@example.com", ""));
    auto typeLine = std::find(data.begin(), data.end(),
                              "Content-Type: " + c.type + "; name=\"" + c.shown + "\"");
    ASSERT_NE(typeLine, data.end()) << c.name;
    EXPECT_EQ(typeLine[1], "Content-Disposition: attachment; filename=\"" + c.shown + "\"");
    EXPECT_EQ(typeLine[4], "QUJD");
  }
}

TEST_F(SmtpClientTest, AttachmentIsSentInLinesOf64AndMissingFileLeavesNoPicturePart) {
  ScratchFolder scratch;
  CMailClient client(&log_);
  client.SetReplyText("s", "b");
  for (size_t size : {0u, 63u, 64u, 65u, 128u, 5000u}) {
    std::string base64 = Base64Encode(RandomBytes(size, static_cast<unsigned>(size)));
    base64.resize(size);
    client.SetAttachment(scratch.File("B64n", base64).c_str(), "p.png");
    Lines data = MailData(SendAccepted(client, "u@example.com", ""));
    auto start = std::find(data.begin(), data.end(), "Content-Transfer-Encoding: base64");
    ASSERT_NE(start, data.end());
    std::string joined;
    auto line = start + 2;
    for (; line != data.end() && !line->empty(); ++line) {
      EXPECT_LE(line->size(), 64u);
      if (line + 1 != data.end() && !line[1].empty()) {
        EXPECT_EQ(line->size(), 64u);
      }
      joined += *line;
    }
    EXPECT_EQ(joined, base64) << size;
    ASSERT_GE(data.end() - line, 4);
    EXPECT_EQ(line[1], "--" + BoundaryOf(data) + "--");
    EXPECT_EQ(line[2], "");
    EXPECT_EQ(line[3], ".");
  }

  client.SetAttachment((scratch.File("x", "") + ".missing").c_str(), "p.png");
  Lines data = MailData(SendAccepted(client, "u@example.com", ""));
  ASSERT_GE(data.size(), 4u);
  Lines tail(data.end() - 4, data.end());
  EXPECT_EQ(tail, (Lines{"b", "--" + BoundaryOf(data), "", "."}));
}

TEST_F(SmtpClientTest, LongTextsAreCutAtCharacterBoundariesWithinTheLineLimit) {
  // Kanji alternating with ASCII makes the ISO-2022-JP text grow most (an escape pair per
  // character); plain kanji runs test the cut inside one run.
  std::string mixed, kanji;
  for (int i = 0; i < 400; ++i) mixed += SJIS("画") + "a";
  for (int i = 0; i < 600; ++i) kanji += SJIS("像");
  std::string longName = kanji.substr(0, 254);
  std::string longAddress = std::string(240, 'x') + "@docomo.ne.jp";

  CMailClient client(&log_);
  client.SetReplyText(mixed.c_str(), (kanji + "<BR>." + std::string(1500, 'z') + "<BR>" + mixed).c_str());
  Lines transcript = SendAccepted(client, longAddress.c_str(), longName.c_str(), mixed);
  Lines data = MailData(transcript);
  ASSERT_FALSE(data.empty());
  for (const std::string& line : transcript) EXPECT_LE(line.size(), 998u) << line.substr(0, 40);

  // Every encoded word decodes to a leading part of its text, cut after a whole character.
  auto decodedHeader = [&](const std::string& name, const std::string& original) {
    std::string line = HeaderLine(data, name);
    std::string decoded = JisToSjis(DecodeWord(line));
    EXPECT_GT(decoded.size(), 200u) << name;
    EXPECT_LE(decoded.size(), original.size()) << name;
    EXPECT_EQ(original.compare(0, decoded.size(), decoded), 0) << name;
    return line;
  };
  decodedHeader("Subject", mixed);
  decodedHeader("From", mixed);
  std::string to = decodedHeader("To", longName);
  EXPECT_NE(to.find("<" + longAddress + ">"), std::string::npos);

  auto textStart = std::find(data.begin(), data.end(), "Content-Type: text/plain; charset=\"ISO-2022-JP\"");
  ASSERT_NE(textStart, data.end());
  Lines body(textStart + 3, textStart + 6);
  EXPECT_EQ(JisToSjis(body[0]).size() % 2, 0u);
  EXPECT_EQ(kanji.compare(0, JisToSjis(body[0]).size(), JisToSjis(body[0])), 0);
  EXPECT_EQ(body[1].substr(0, 3), "..z");
  std::string mixedBack = JisToSjis(body[2]);
  EXPECT_GT(mixedBack.size(), 100u);
  EXPECT_EQ(mixed.compare(0, mixedBack.size(), mixedBack), 0);
}

TEST_F(SmtpClientTest, RefusedRecipientEndsBeforeDataAndLeavesTheSocketOpen) {
  ScriptedServer server;
  server.Send("220 ready\r\n").Read().Send("250 ok\r\n").Read().Send("250 ok\r\n").Read()
      .Send("550 no such user\r\n");
  server.Start();
  CMailClient client(&log_);
  UseServer(client, server);
  auto connection = client.SmtpConnect();
  ASSERT_NE(connection, nullptr);
  EXPECT_NE(client.SmtpSendMail(*connection, "nobody@example.com", ""), 0);
  EXPECT_TRUE(connection->IsOpen());
  EXPECT_FALSE(server.Wait(100));  // the server still waits for the client to close
  client.SmtpClose(std::move(connection));
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Received(),
            (Lines{"HELO 127.0.0.1", "MAIL FROM:<camera@example.jp>", "RCPT TO:<nobody@example.com>"}));
}

TEST_F(SmtpClientTest, ReplyCodesDecideEachStep) {
  // A server that answers every command with 221 is accepted at every step.
  {
    ScriptedServer server;
    server.Send("221 a\r\n").Read().Send("221 b\r\n").Read().Send("221 c\r\n").Read()
        .Send("221 d\r\n").Read().Send("221 e\r\n").ReadUntil(".").Send("221 f\r\n").Read()
        .Send("221 g\r\n");
    server.Start();
    CMailClient client(&log_);
    UseServer(client, server);
    client.SetReplyText("s", "b");
    auto connection = client.SmtpConnect();
    ASSERT_NE(connection, nullptr);
    EXPECT_EQ(client.SmtpSendMail(*connection, "u@example.com", ""), 0);
    client.SmtpClose(std::move(connection));
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.Received().back(), "QUIT");
  }
  // An unrecognised answer to QUIT is a failure although the mail was accepted.
  {
    ScriptedServer server;
    server.Send("220 a\r\n").Read().Send("250 b\r\n").Read().Send("250 c\r\n").Read()
        .Send("250 d\r\n").Read().Send("354 e\r\n").ReadUntil(".").Send("250 f\r\n").Read()
        .Send("500 what\r\n");
    server.Start();
    CMailClient client(&log_);
    UseServer(client, server);
    auto connection = client.SmtpConnect();
    ASSERT_NE(connection, nullptr);
    EXPECT_NE(client.SmtpSendMail(*connection, "u@example.com", ""), 0);
    client.SmtpClose(std::move(connection));
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.Received().back(), "QUIT");
  }
  // A refused end of data gives no QUIT.
  {
    ScriptedServer server;
    server.Send("220 a\r\n").Read().Send("250 b\r\n").Read().Send("250 c\r\n").Read()
        .Send("250 d\r\n").Read().Send("354 e\r\n").ReadUntil(".").Send("554 spam\r\n");
    server.Start();
    CMailClient client(&log_);
    UseServer(client, server);
    auto connection = client.SmtpConnect();
    ASSERT_NE(connection, nullptr);
    EXPECT_NE(client.SmtpSendMail(*connection, "u@example.com", ""), 0);
    client.SmtpClose(std::move(connection));
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.Received().back(), ".");
  }
}

TEST_F(SmtpClientTest, GreetingMustBeAccepted) {
  for (std::string greeting : {"421 busy\r\n", "554 no service\r\n", "22\r\n", "\r\n"}) {
    ScriptedServer server;
    server.Send(greeting);
    server.Start();
    CMailClient client(&log_);
    UseServer(client, server);
    EXPECT_EQ(client.SmtpConnect(), nullptr) << greeting;
    ASSERT_TRUE(server.Wait());
    EXPECT_TRUE(server.Received().empty());
  }
  // Nothing listening, or no server configured.
  CMailClient client(&log_);
  int closedPort;
  {
    ScriptedServer gone;
    closedPort = gone.port();
  }
  client.SetSmtpParams("127.0.0.1", "a@b.c", "", closedPort);
  EXPECT_EQ(client.SmtpConnect(), nullptr);
  client.SetSmtpParams("", "a@b.c", "", 25);
  EXPECT_EQ(client.SmtpConnect(), nullptr);
}

TEST_F(SmtpClientTest, SilentServerTimesOut) {
  qv::Timings quick = qv::GetTimings();
  quick.socketReceiveTimeoutMs = 150;
  qv::SetTimings(quick);
  {
    ScriptedServer server;
    server.GoSilent();
    server.Start();
    CMailClient client(&log_);
    UseServer(client, server);
    EXPECT_EQ(client.SmtpConnect(), nullptr);
    ASSERT_TRUE(server.Wait());
  }
  {
    ScriptedServer server;
    server.Send("220 a\r\n").Read().Send("250 b\r\n").GoSilent();
    server.Start();
    CMailClient client(&log_);
    UseServer(client, server);
    auto connection = client.SmtpConnect();
    ASSERT_NE(connection, nullptr);
    EXPECT_NE(client.SmtpSendMail(*connection, "u@example.com", ""), 0);
    client.SmtpClose(std::move(connection));
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.Received(), (Lines{"HELO 127.0.0.1", "MAIL FROM:<camera@example.jp>"}));
  }
}

TEST_F(SmtpClientTest, MultiLineAndSplitRepliesAreReadWhole) {
  ScriptedServer server;
  server.Send("220-first line\r\n").Pause(20).Send("220-second\r\n220 last\r\n")
      .Read().Send("25").Pause(20).Send("0 hello\r\n")
      .Read().Send("250-a\r\n250 b\r\n")
      .Read().Send("250 ok\r\n")
      .Read().Send("354 go\r\n")
      .ReadUntil(".").Send("250 queued\r\n")
      .Read().Send("221 bye\r\n");
  server.Start();
  CMailClient client(&log_);
  UseServer(client, server);
  client.SetReplyText("s", "b");
  auto connection = client.SmtpConnect();
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(client.SmtpSendMail(*connection, "u@example.com", ""), 0);
  client.SmtpClose(std::move(connection));
  ASSERT_TRUE(server.Wait());
  Lines received = server.Received();
  ASSERT_GE(received.size(), 4u);
  EXPECT_EQ(received[1], "MAIL FROM:<camera@example.jp>");
  EXPECT_EQ(received[2], "RCPT TO:<u@example.com>");
}

TEST_F(SmtpClientTest, UnsafeOrMissingAddressesAndNamesNeverReachTheWire) {
  struct Case {
    const char* address;
    const char* name;
    std::string senderAddress;
    std::string senderName;
  } cases[] = {
      {"u@example.com\r\nRCPT TO:<x@example.com>", "", "camera@example.jp", ""},
      {"u@example.com", "Evil\r\nBcc: x@example.com", "camera@example.jp", ""},
      {"u@example.com", "tab\there", "camera@example.jp", ""},
      {"u@example.com", "", "camera@example.jp\n", ""},
      {"u@example.com", "", "camera@example.jp", "name\r\nX: y"},
      {"", "", "camera@example.jp", ""},
      {nullptr, "", "camera@example.jp", ""},
      {"u@example.com", "", "", ""},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    server.Send("220 ready\r\n");
    server.Start();
    CMailClient client(&log_);
    client.SetSmtpParams("127.0.0.1", c.senderAddress.c_str(), c.senderName.c_str(), server.port());
    auto connection = client.SmtpConnect();
    ASSERT_NE(connection, nullptr);
    EXPECT_NE(client.SmtpSendMail(*connection, c.address, c.name), 0) << (c.address ? c.address : "null");
    client.SmtpClose(std::move(connection));
    ASSERT_TRUE(server.Wait());
    EXPECT_TRUE(server.Received().empty());
  }
}

TEST(SmtpBoundary, CarriesTheLocalTime) {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::string boundary = CMailClient::MakeBoundary();
  std::smatch match;
  ASSERT_TRUE(std::regex_match(boundary, match,
                               std::regex(R"(__\+\+QUORVX__(\d{4})(\d\d)(\d\d)\d{6}__MULTIPART\+\+__)")));
  EXPECT_EQ(std::stoi(match[1]), local.tm_year + 1900);
  EXPECT_EQ(std::stoi(match[2]), local.tm_mon + 1);
}

// Through a real SMTP server, read back by an independent MIME parser.
TEST(SmtpRealServer, ReplyReadsBackAsSent) {
  qv::test::SmtpPeer peer;
  if (!peer.Start()) GTEST_SKIP() << peer.error();
  ScratchFolder scratch;
  std::string picture = RandomBytes(3001, 7);
  std::string pictureFile = scratch.File("picture.jpg", picture);
  std::string base64File = scratch.File("B64real", "");
  ASSERT_EQ(FileToBase64(pictureFile.c_str(), base64File.c_str()), 1);

  RecordingLogSink log;
  CMailClient client(&log);
  client.SetSmtpParams("127.0.0.1", "camera@example.jp", SJIS("山田太郎").c_str(), peer.port());
  client.SetReplyText(SJIS("Quorvex画像").c_str(),
                      (SJIS("カメラからの画像です。") + "<BR>.<BR><BR>" + SJIS("署名 テスト")).c_str());
  client.SetAttachment(base64File.c_str(), "200401021304.jpg");
  auto connection = client.SmtpConnect();
  ASSERT_NE(connection, nullptr);
  ASSERT_EQ(client.SmtpSendMail(*connection, "someone@docomo.ne.jp", SJIS("テスト").c_str()), 0);
  client.SmtpClose(std::move(connection));

  std::vector<std::string> mails = peer.StoredMails();
  ASSERT_EQ(mails.size(), 1u);
  QJsonObject envelope = qv::test::SmtpPeer::Envelope(mails[0]);
  EXPECT_EQ(envelope["mail_from"].toString(), "camera@example.jp");
  EXPECT_EQ(envelope["rcpt_tos"].toArray().at(0).toString(), "someone@docomo.ne.jp");

  QJsonObject mail = qv::test::ReadMail(mails[0]);
  ASSERT_FALSE(mail.isEmpty());
  auto utf8 = [](const std::string& sjis) { return QString::fromStdString(qv::Utf8FromCp932(sjis)); };
  QJsonObject from = mail["from_addresses"].toArray().at(0).toObject();
  EXPECT_EQ(from["name"].toString(), utf8(SJIS("山田太郎")));
  EXPECT_EQ(from["address"].toString(), "camera@example.jp");
  QJsonObject to = mail["to_addresses"].toArray().at(0).toObject();
  EXPECT_EQ(to["name"].toString(), utf8(SJIS("テスト")));
  EXPECT_EQ(to["address"].toString(), "someone@docomo.ne.jp");
  EXPECT_EQ(mail["subject"].toString().trimmed(), utf8(SJIS("Quorvex画像")));
  QJsonArray lines = mail["text_lines"].toArray();
  ASSERT_EQ(lines.size(), 4);
  EXPECT_EQ(lines[0].toString(), utf8(SJIS("カメラからの画像です。")));
  EXPECT_EQ(lines[1].toString(), ".");
  EXPECT_EQ(lines[2].toString(), "");
  EXPECT_EQ(lines[3].toString(), utf8(SJIS("署名 テスト")));

  QJsonArray attachments = mail["attachments"].toArray();
  ASSERT_EQ(attachments.size(), 1);
  QJsonObject attachment = attachments[0].toObject();
  EXPECT_EQ(attachment["filename"].toString(), "200401021304.jpg");
  EXPECT_EQ(attachment["content_type"].toString(), "image/jpeg");
  EXPECT_EQ(attachment["size"].toInt(), static_cast<int>(picture.size()));
  QByteArray digest = QCryptographicHash::hash(QByteArray::fromStdString(picture),
                                               QCryptographicHash::Sha256).toHex();
  EXPECT_EQ(attachment["sha256"].toString(), QString::fromLatin1(digest));

  EXPECT_TRUE(mail["boundary_well_formed"].toBool());
  EXPECT_EQ(mail["content_type"].toString(), "multipart/mixed");
  EXPECT_TRUE(mail["defects"].toArray().isEmpty());
  EXPECT_FALSE(mail["raw_bare_lf"].toBool());
  EXPECT_LE(mail["raw_max_line_length"].toInt(), 998);
  QJsonArray names = mail["header_names"].toArray();
  EXPECT_TRUE(names.contains("Date"));
  EXPECT_TRUE(names.contains("Message-ID"));
}

}  // namespace
