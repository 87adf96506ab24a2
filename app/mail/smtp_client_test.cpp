#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QJsonArray>
#include <QJsonObject>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/mail/encodings.h"
#include "app/mail/mail_client.h"
#include "app/mail/testing/smtp_test_peer.h"
#include "app/mail/testing/test_servers.h"
#include "app/settings/activity_log.h"
#include "platform/socket.h"
#include "platform/testing/tls_peer.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

// Whether the whole of `text` matches the regular expression `pattern`.
bool FullMatch(const std::string& text, const char* pattern) {
  QRegularExpression expression(QRegularExpression::anchoredPattern(QString::fromUtf8(pattern)));
  return expression.match(QString::fromUtf8(text)).hasMatch();
}


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

// Scripts a server that greets with replies[0] and answers HELO, MAIL, RCPT, DATA, the end of
// the data and QUIT with the following replies, as far as they go; with `first` > 0 the
// replies start at that step.
void Script(ScriptedServer& server, const Lines& replies, size_t first = 0) {
  for (size_t i = first; i < first + replies.size(); ++i) {
    if (i == 5) {
      server.ReadUntil(".");
    } else if (i > 0) {
      server.Read();
    }
    server.Send(replies[i - first] + "\r\n");
  }
}
const Lines kAccepting = {"220 ready", "250 hello", "250 ok", "250 ok", "354 go", "250 queued", "221 bye"};

class SmtpClientTest : public qv::test::ShortSocketTimeoutsTest {
 protected:
  // Sends one reply through a server answering with `replies`; returns every line the server
  // received, and the send's result in `*result` (-1 when the connection was refused).
  Lines Run(const Lines& replies, const char* address, const char* name, int* result,
            const std::string& senderName = SJIS("山田太郎")) {
    ScriptedServer server;
    Script(server, replies);
    server.Start();
    client_.SetSmtpParams("127.0.0.1", "camera@example.jp", senderName.c_str(), server.port());
    auto connection = client_.SmtpConnect();
    *result = connection ? client_.SmtpSendMail(*connection, address, name) : -1;
    client_.SmtpClose(std::move(connection));
    EXPECT_TRUE(server.Wait());
    return server.Received();
  }
  // The mail data (the lines after DATA up to and including ".") of an accepted reply.
  Lines SendAccepted(const char* address, const char* name,
                     const std::string& senderName = SJIS("山田太郎")) {
    int result;
    Lines transcript = Run(kAccepting, address, name, &result, senderName);
    EXPECT_EQ(result, 0);
    auto data = std::find(transcript.begin(), transcript.end(), "DATA");
    auto end = std::find(data, transcript.end(), ".");
    if (end == transcript.end()) return {};
    return Lines(data + 1, end + 1);
  }

  static std::string HeaderLine(const Lines& data, const std::string& name) {
    for (const std::string& line : data) {
      if (line.empty()) break;
      if (line.rfind(name + ": ", 0) == 0) return line;
    }
    return {};
  }
  static std::string BoundaryOf(const Lines& data) {
    std::string line = HeaderLine(data, "Content-Type");
    size_t quote = line.find('"');
    return quote == std::string::npos ? "" : line.substr(quote + 1, line.size() - quote - 2);
  }
  // The body lines: from the text part's empty line up to the next boundary line.
  static Lines BodyOf(const Lines& data) {
    auto text = std::find(data.begin(), data.end(), "Content-Type: text/plain; charset=\"ISO-2022-JP\"");
    if (text == data.end()) return {};
    return Lines(text + 3, std::find(text, data.end(), "--" + BoundaryOf(data)));
  }

  RecordingLogSink log_;
  CMailClient client_{&log_};
  ScratchFolder scratch_;
};

TEST_F(SmtpClientTest, SendsTheReplyLayoutLineByLine) {
  // 100 base64 characters: one full line of 64 and one of 36.
  std::string base64;
  for (size_t i = 0; i < 100; ++i) base64 += "QRSTabcd+/09"[i % 12];
  client_.SetReplyText(SJIS("テスト").c_str(), (SJIS("カメラ") + "<BR>.dot<BR><BR>sig").c_str());
  client_.SetAttachment(scratch_.File("B64test", base64).c_str(), "200401021304.JPG");
  int result;
  Lines transcript = Run(kAccepting, "user@docomo.ne.jp", SJIS("テスト").c_str(), &result);
  EXPECT_EQ(result, 0);
  ASSERT_GE(transcript.size(), 5u);
  EXPECT_EQ(Lines(transcript.begin(), transcript.begin() + 4),
            (Lines{"HELO 127.0.0.1", "MAIL FROM:<camera@example.jp>", "RCPT TO:<user@docomo.ne.jp>", "DATA"}));
  EXPECT_EQ(transcript.back(), "QUIT");

  Lines data(transcript.begin() + 4, transcript.end() - 1);
  std::string boundary = BoundaryOf(data);
  ASSERT_TRUE(FullMatch(boundary, R"(__\+\+QUORVX__\d{14}__MULTIPART\+\+__)"))
      << boundary;
  ASSERT_GE(data.size(), 5u);
  EXPECT_TRUE(FullMatch(data[3],
      R"(Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} \d\d:\d\d:\d\d [+-]\d{4})"))
      << data[3];
  EXPECT_TRUE(FullMatch(data[4], R"(Message-ID: <[^<>@ ]+@example\.jp>)"))
      << data[4];

  // The recorder strips exactly one CR LF per line, so a bare LF would show as a split line.
  Lines expected = {
      "From: =?ISO-2022-JP?B?GyRCOzNFREJATzobKEI=?= <camera@example.jp>",
      "Subject: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?= ",
      "To: =?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?= <user@docomo.ne.jp>",
      data[3],
      data[4],
      "Auto-Submitted: auto-replied",
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
}

TEST_F(SmtpClientTest, OptionalHeaderPartsAndBodyLines) {
  // No sender name: bare address. No recipient name: a To line with the bare address. Empty
  // subject: "なし".
  client_.SetReplyText("", "x");
  Lines data = SendAccepted("user@ezweb.ne.jp", nullptr, "");
  ASSERT_GE(data.size(), 4u);
  EXPECT_EQ(data[0], "From: camera@example.jp");
  EXPECT_EQ(data[1], "Subject: =?ISO-2022-JP?B?GyRCJEokNxsoQg==?= ");
  EXPECT_EQ(data[2], "To: user@ezweb.ne.jp");
  EXPECT_EQ(data[3].rfind("Date: ", 0), 0u);

  // Without an attachment the text part is followed by the bare boundary and the end.
  EXPECT_EQ(Lines(data.end() - 3, data.end()), (Lines{"--" + BoundaryOf(data), "", "."}));

  struct Case {
    std::string body;
    Lines lines;
  } cases[] = {
      {"a<BR><BR>b", {"a", "", "b"}},
      {"<BR>", {"", ""}},
      {".<BR>..x<BR>a.b", {"..", "...x", "a.b"}},
      {"a<br>b", {"a<br>b"}},
  };
  for (const Case& c : cases) {
    client_.SetReplyText("s", c.body.c_str());
    EXPECT_EQ(BodyOf(SendAccepted("u@example.com", "")), c.lines) << c.body;
  }
}

TEST_F(SmtpClientTest, AttachmentPart) {
  std::string file = scratch_.File("B64x", "QUJD");
  client_.SetReplyText("s", "b");
  struct Case {
    std::string name, type, shown;
  } cases[] = {
      {"a.jpg", "image/jpeg", "a.jpg"}, {"a.Jpg", "image/jpeg", "a.Jpg"},
      {"a.BMP", "image/bmp", "a.BMP"},  {"a.gif", "image/gif", "a.gif"},
      {"a.png", "image/png", "a.png"},  {"a.jpeg", "image/png", "a.jpeg"},
      {"noext", "image/png", "noext"},  {"", "image/png", file},
      {"a\"b\r\n.gif", "image/gif", "ab.gif"},
  };
  for (const Case& c : cases) {
    client_.SetAttachment(file.c_str(), c.name.c_str());
    Lines data = SendAccepted("u@example.com", "");
    auto type = std::find(data.begin(), data.end(), "Content-Type: " + c.type + "; name=\"" + c.shown + "\"");
    ASSERT_NE(type, data.end()) << c.name;
    EXPECT_EQ(Lines(type + 1, data.end()),
              (Lines{"Content-Disposition: attachment; filename=\"" + c.shown + "\"",
                     "Content-Transfer-Encoding: base64", "", "QUJD", "",
                     "--" + BoundaryOf(data) + "--", "", "."}));
  }

  // The base64 text goes out in lines of 64 characters, the last one shorter.
  for (size_t size : {0u, 64u, 65u, 5000u}) {
    std::string base64 = Base64Encode(RandomBytes(size, static_cast<unsigned>(size))).substr(0, size);
    client_.SetAttachment(scratch_.File("B64n", base64).c_str(), "p.png");
    Lines data = SendAccepted("u@example.com", "");
    auto line = std::find(data.begin(), data.end(), "Content-Transfer-Encoding: base64") + 2;
    std::string joined;
    for (; line < data.end() && !line->empty(); ++line) {
      EXPECT_EQ(line->size(), std::min<size_t>(64, base64.size() - joined.size()));
      joined += *line;
    }
    EXPECT_EQ(joined, base64) << size;
  }

  // A base64 file that cannot be opened leaves the mail without a picture part.
  client_.SetAttachment((scratch_.File("x", "") + ".missing").c_str(), "p.png");
  Lines data = SendAccepted("u@example.com", "");
  EXPECT_EQ(Lines(data.end() - 4, data.end()), (Lines{"b", "--" + BoundaryOf(data), "", "."}));
}

// A header field with its continuation lines joined (RFC 5322 unfolding).
std::string UnfoldedField(const Lines& data, const std::string& name) {
  for (size_t i = 0; i < data.size() && !data[i].empty(); ++i) {
    if (data[i].rfind(name + ": ", 0) != 0) continue;
    std::string value = data[i].substr(name.size() + 2);
    for (size_t k = i + 1; k < data.size() && (data[k].rfind(" ", 0) == 0); ++k) value += data[k];
    return value;
  }
  return {};
}

TEST_F(SmtpClientTest, LongTextsAreFoldedIntoShortWordsAndLines) {
  // Kanji alternating with ASCII makes the ISO-2022-JP text grow most (an escape pair per
  // character); half-width katakana go out full-width; plain kanji runs fill whole words.
  std::string mixed, kanji;
  for (int i = 0; i < 85; ++i) mixed += SJIS("画") + "a";
  for (int i = 0; i < 127; ++i) kanji += SJIS("像");
  std::string kana = "\xb6\xde\xd2\xd7 " + kanji.substr(0, 100);
  std::string longAddress = std::string(240, 'x') + "@docomo.ne.jp";
  client_.SetReplyText(mixed.c_str(), (kanji + "<BR>." + std::string(1500, 'z') + "<BR>" + mixed).c_str());
  Lines data = SendAccepted(longAddress.c_str(), kanji.c_str(), kana);
  ASSERT_FALSE(data.empty());
  for (const std::string& line : data) EXPECT_LE(line.size(), 998u) << line.substr(0, 40);

  // Every line of an encoded word is at most 76 characters, every word at most 75 and a whole
  // ISO-2022-JP text; joined, the words give the whole text back.
  for (size_t i = 0; i < data.size() && !data[i].empty(); ++i) {
    if (data[i].find("=?") == std::string::npos) continue;
    EXPECT_LE(data[i].size(), 76u) << data[i];
  }
  auto expectWords = [](const std::string& value, const std::string& original) {
    size_t words = 0;
    for (size_t at = value.find("=?"); at != std::string::npos;) {
      size_t end = value.find("?=", value.find('?', value.find('?', at + 2) + 1) + 1) + 2;
      std::string word = value.substr(at, end - at);
      at = value.find("=?", end);
      EXPECT_LE(word.size(), 75u);
      std::string jis = DecodeWord(word);
      size_t lastEscape = jis.rfind('\x1b');  // each word ends in ASCII mode
      EXPECT_TRUE(lastEscape == std::string::npos || jis.compare(lastEscape, 3, "\x1b(B") == 0)
          << word;
      ++words;
    }
    EXPECT_GT(words, 2u);
    EXPECT_EQ(DecodeHeaderText(value), original);
  };
  expectWords(UnfoldedField(data, "Subject"), mixed + " ");
  expectWords(UnfoldedField(data, "From"), SJIS("ガメラ ") + kanji.substr(0, 100) + " <camera@example.jp>");
  expectWords(UnfoldedField(data, "To"), kanji + " <" + longAddress + ">");
  Lines body = BodyOf(data);
  ASSERT_EQ(body.size(), 3u);
  EXPECT_EQ(JisToSjis(body[0]), kanji);
  EXPECT_EQ(body[1].substr(0, 3), "..z");
  EXPECT_EQ(body[1].size(), 998u);
  EXPECT_EQ(JisToSjis(body[2]), mixed);
}

TEST_F(SmtpClientTest, ReplyCodesDecideEachStep) {
  struct Case {
    Lines replies;
    bool accepted;
    Lines received;  // by the server; "..." stands for the mail data
  } cases[] = {
      // Every reply is judged by its first three digits only, whatever it answers.
      {{"221 a", "221 b", "221 c", "221 d", "221 e", "221 f", "221 g"}, true,
       {"HELO", "MAIL", "RCPT", "DATA", "...", "QUIT"}},
      {{"220 a", "250 b", "250 c", "550 no such user"}, false, {"HELO", "MAIL", "RCPT"}},
      {{"220 a", "250 b", "354 c", "250 d", "354 e", "554 spam"}, false,
       {"HELO", "MAIL", "RCPT", "DATA", "..."}},
      // An unrecognised answer to QUIT fails although the mail was accepted.
      {{"220 a", "250 b", "250 c", "250 d", "354 e", "250 f", "500 what"}, false,
       {"HELO", "MAIL", "RCPT", "DATA", "...", "QUIT"}},
      {{"421 busy"}, false, {}},
      {{"22"}, false, {}},
      {{""}, false, {}},
  };
  for (const Case& c : cases) {
    int result;
    Lines transcript = Run(c.replies, "u@example.com", "", &result);
    EXPECT_EQ(result == 0, c.accepted) << c.replies.back();
    // Mail data lines are condensed to "..." and commands to their verb.
    Lines seen;
    bool inData = false;
    for (const std::string& line : transcript) {
      if (inData) {
        inData = line != ".";
        continue;
      }
      seen.push_back(line.substr(0, line.find(' ')));
      if (line == "DATA") {
        inData = true;
        seen.push_back("...");
      }
    }
    EXPECT_EQ(seen, c.received) << c.replies.back();
  }
}

TEST_F(SmtpClientTest, RefusalLeavesTheSocketToTheCaller) {
  ScriptedServer server;
  Script(server, {"220 ready", "250 ok", "250 ok", "550 no such user"});
  server.Start();
  client_.SetSmtpParams("127.0.0.1", "camera@example.jp", "", server.port());
  auto connection = client_.SmtpConnect();
  ASSERT_NE(connection, nullptr);
  EXPECT_NE(client_.SmtpSendMail(*connection, "nobody@example.com", ""), 0);
  EXPECT_TRUE(connection->IsOpen());
  EXPECT_FALSE(server.Wait(100));  // the server still waits for the client to close
  client_.SmtpClose(std::move(connection));
  EXPECT_TRUE(server.Wait());
}

TEST_F(SmtpClientTest, SilentOrMissingServerFails) {
  qv::Timings quick = qv::GetTimings();
  quick.socketReceiveTimeoutMs = 150;
  qv::SetTimings(quick);
  int result;
  // Silent from the start: no greeting. Silent after MAIL FROM: a failed send.
  EXPECT_EQ(Run({}, "u@example.com", "", &result), Lines{});
  EXPECT_EQ(result, -1);
  EXPECT_EQ(Run({"220 a", "250 b"}, "u@example.com", "", &result),
            (Lines{"HELO 127.0.0.1", "MAIL FROM:<camera@example.jp>"}));
  EXPECT_GT(result, 0);

  int closedPort;
  {
    ScriptedServer gone;
    closedPort = gone.port();
  }
  client_.SetSmtpParams("127.0.0.1", "a@b.c", "", closedPort);
  EXPECT_EQ(client_.SmtpConnect(), nullptr);
  client_.SetSmtpParams("", "a@b.c", "", 25);
  EXPECT_EQ(client_.SmtpConnect(), nullptr);
}

TEST_F(SmtpClientTest, APeerThatStopsReadingAfterDataFailsTheSendInTime) {
  qv::Timings quick = qv::GetTimings();
  quick.socketSendTimeoutMs = 100;
  qv::SetTimings(quick);
  // Far more than the socket buffers hold: the picture cannot leave once the server stops.
  client_.SetAttachment(scratch_.File("B64big", std::string(32 << 20, 'Q')).c_str(), "p.png");
  client_.SetReplyText("s", "b");
  ScriptedServer server;
  Script(server, {"220 ready", "250 hello", "250 ok", "250 ok", "354 go"});
  server.StopReading();
  server.Start();
  client_.SetSmtpParams("127.0.0.1", "camera@example.jp", "", server.port());
  auto connection = client_.SmtpConnect();
  ASSERT_NE(connection, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client_.SmtpSendMail(*connection, "u@example.com", ""), kSmtpBroken);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_FALSE(connection->IsOpen());
  client_.SmtpClose(std::move(connection));
  EXPECT_TRUE(server.Wait());
}

TEST_F(SmtpClientTest, MultiLineAndSplitRepliesAreReadWhole) {
  ScriptedServer server;
  server.Send("220-first line\r\n").Pause(20).Send("220-second\r\n220 last\r\n")
      .Read().Send("25").Pause(20).Send("0 hello\r\n")
      .Read().Send("250-a\r\n250 b\r\n");
  Script(server, {"250 ok", "354 go", "250 queued", "221 bye"}, 3);
  server.Start();
  client_.SetSmtpParams("127.0.0.1", "camera@example.jp", "", server.port());
  client_.SetReplyText("s", "b");
  auto connection = client_.SmtpConnect();
  ASSERT_NE(connection, nullptr);
  EXPECT_EQ(client_.SmtpSendMail(*connection, "u@example.com", ""), 0);
  client_.SmtpClose(std::move(connection));
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Received().back(), "QUIT");
}

TEST_F(SmtpClientTest, UnsafeOrMissingAddressesNeverReachTheWire) {
  struct Case {
    const char* address;
    std::string senderAddress;
  } cases[] = {
      {"u@example.com\r\nRCPT TO:<x@example.com>", "camera@example.jp"},
      {"u@example.com", "camera@example.jp\n"},
      {"u@example.com>", "camera@example.jp"},
      {"no address", "camera@example.jp"},
      {"", "camera@example.jp"},
      {nullptr, "camera@example.jp"},
      {"u@example.com", ""},
  };
  for (const Case& c : cases) {
    ScriptedServer server;
    server.Send("220 ready\r\n");
    server.Start();
    client_.SetSmtpParams("127.0.0.1", c.senderAddress.c_str(), "", server.port());
    auto connection = client_.SmtpConnect();
    ASSERT_NE(connection, nullptr);
    EXPECT_NE(client_.SmtpSendMail(*connection, c.address, ""), 0);
    client_.SmtpClose(std::move(connection));
    ASSERT_TRUE(server.Wait());
    EXPECT_TRUE(server.Received().empty()) << (c.address ? c.address : "null");
  }

  // Control bytes of names are dropped; what is left goes out.
  client_.SetReplyText("s", "b");
  Lines data = SendAccepted("u@example.com", "Evil\r\nBcc: x@example.com", "na\tme\x1b(I");
  EXPECT_EQ(DecodeHeaderText(UnfoldedField(data, "To")), "EvilBcc: x@example.com <u@example.com>");
  EXPECT_EQ(DecodeHeaderText(UnfoldedField(data, "From")), "name(I <camera@example.jp>");
  EXPECT_EQ(HeaderLine(data, "Bcc"), "");
}

// RFC 5321 4.1.2: a local part that is no dot-string goes out as a quoted string, in the
// envelope and in the To field alike.
TEST_F(SmtpClientTest, QuotedLocalPartsStayQuotedInRcptToAndTo) {
  client_.SetReplyText("s", "b");
  int result;
  Lines transcript = Run(kAccepting, "\"foo bar\"@example.com", "", &result);
  EXPECT_EQ(result, 0);
  ASSERT_GE(transcript.size(), 3u);
  EXPECT_EQ(transcript[2], "RCPT TO:<\"foo bar\"@example.com>");
  EXPECT_EQ(HeaderLine(SendAccepted("\"foo bar\"@example.com", ""), "To"), "To: \"foo bar\"@example.com");
  EXPECT_EQ(HeaderLine(SendAccepted("\"a\\\"b\"@example.com", "Taro"), "To"), "To: =?ISO-2022-JP?B?VGFybw==?= <\"a\\\"b\"@example.com>");
}

TEST_F(SmtpClientTest, AuthenticationAndStartTlsSteps) {
  struct Case {
    int security;
    Lines replies;    // greeting, then one reply per command the client sends
    int result;
    Lines received;   // commands up to MAIL (or the end)
    const char* logged;
  };
  const std::string plain = "AUTH PLAIN " + Base64Encode(std::string("\0user\0p@ss", 10));
  const Case cases[] = {
      // PLAIN preferred; the session goes on to MAIL FROM.
      {0, {"220 hi", "250-hi\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME", "235 ok", "250 ok", "550 no"},
       kSmtpRefused, {"EHLO 127.0.0.1", plain, "MAIL FROM:<camera@example.jp>", "RCPT TO:<u@example.com>"},
       nullptr},
      // LOGIN only: user and password in two steps.
      {0, {"220 hi", "250-hi\r\n250 AUTH=LOGIN", "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 ok", "250 ok",
           "550 no"},
       kSmtpRefused,
       {"EHLO 127.0.0.1", "AUTH LOGIN", "dXNlcg==", "cEBzcw==", "MAIL FROM:<camera@example.jp>",
        "RCPT TO:<u@example.com>"},
       nullptr},
      // Credentials refused: the code is logged, QUIT follows.
      {0, {"220 hi", "250-hi\r\n250 AUTH PLAIN", "535 5.7.8 bad credentials", "221 bye"}, kSmtpAuthRefused,
       {"EHLO 127.0.0.1", plain, "QUIT"}, "SMTP認証に失敗しました。 (535)"},
      {0, {"220 hi", "250-hi\r\n250 AUTH CRAM-MD5", "221 bye"}, kSmtpAuthRefused, {"EHLO 127.0.0.1", "QUIT"},
       "認証方式"},
      // STARTTLS asked for but not offered: nothing else is said.
      {1, {"220 hi", "250-hi\r\n250 AUTH PLAIN", "221 bye"}, kSmtpNoTls, {"EHLO 127.0.0.1", "QUIT"},
       "STARTTLSに対応していない"},
      {1, {"220 hi", "250-hi\r\n250 STARTTLS", "454 TLS not available", "221 bye"}, kSmtpNoTls,
       {"EHLO 127.0.0.1", "STARTTLS", "QUIT"}, "STARTTLSを受け付けません"},
  };
  for (const Case& c : cases) {
    RecordingLogSink log;
    CMailClient client(&log);
    client.SetReplyText("s", "b");
    ScriptedServer server;
    server.Send(c.replies[0] + "\r\n");
    for (size_t i = 1; i < c.replies.size(); ++i) server.Read().Send(c.replies[i] + "\r\n");
    server.Start();
    client.SetSmtpParams("127.0.0.1", "camera@example.jp", "", server.port());
    client.SetSmtpSecurity(c.security, 1, "user", "p@ss", "");
    auto connection = client.SmtpConnect();
    ASSERT_NE(connection, nullptr);
    // A session that gets through refuses the recipient: the steps before it are checked.
    EXPECT_EQ(client.SmtpSendMail(*connection, "u@example.com", ""), c.result) << c.replies[1];
    client.SmtpClose(std::move(connection));
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.Received(), c.received) << c.replies[1];
    bool found = c.logged == nullptr;
    for (const std::string& line : log.lines()) {
      EXPECT_EQ(line.find("p@ss"), std::string::npos);
      if (c.logged && line.find(qv::Cp932FromUtf8(c.logged)) != std::string::npos) found = true;
    }
    EXPECT_TRUE(found) << c.replies[1];
  }
}

TEST_F(SmtpClientTest, InternationalLocalPartsNeedAnSmtpUtf8Server) {
  const char* address = "\xe3\x83\xa6\xe3\x83\xbc\xe3\x82\xb6@example.jp";  // UTF-8 local part
  client_.SetReplyText("s", "b");
  int result;
  Lines transcript = Run({"220 ready", "250-hello\r\n250-8BITMIME\r\n250 smtputf8", "250 ok",
                          "250 ok", "354 go", "250 queued", "221 bye"},
                         address, "", &result);
  EXPECT_EQ(result, kSmtpSent);
  ASSERT_GE(transcript.size(), 3u);
  EXPECT_EQ(Lines(transcript.begin(), transcript.begin() + 3),
            (Lines{"EHLO 127.0.0.1", "MAIL FROM:<camera@example.jp> SMTPUTF8",
                   std::string("RCPT TO:<") + address + ">"}));

  // Without SMTPUTF8 the server never sees the address.
  transcript = Run({"220 ready", "250-hello\r\n250 8BITMIME", "221 bye"}, address, "", &result);
  EXPECT_EQ(result, kSmtpNoUtf8Support);
  EXPECT_EQ(transcript, (Lines{"EHLO 127.0.0.1", "QUIT"}));
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
                      (SJIS("カメラからの画像です。") + "\r\nline 2<BR>.<BR><BR>" + SJIS("署名 テスト")).c_str());
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
  // A line break inside the configured text becomes a line of its own, never a bare LF.
  ASSERT_EQ(lines.size(), 5);
  EXPECT_EQ(lines[0].toString(), utf8(SJIS("カメラからの画像です。")));
  EXPECT_EQ(lines[1].toString(), "line 2");
  EXPECT_EQ(lines[2].toString(), ".");
  EXPECT_EQ(lines[3].toString(), "");
  EXPECT_EQ(lines[4].toString(), utf8(SJIS("署名 テスト")));

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
  EXPECT_EQ(mail["headers"].toObject()["Auto-Submitted"].toString(), "auto-replied");

  // A recipient without a name, a sender name in half-width katakana: still no defect.
  client.SetSmtpParams("127.0.0.1", "camera@example.jp", "\xb6\xd2\xd7\xb6\xde\xb6\xdf", peer.port());
  connection = client.SmtpConnect();
  ASSERT_NE(connection, nullptr);
  ASSERT_EQ(client.SmtpSendMail(*connection, "plain@example.com", ""), 0);
  client.SmtpClose(std::move(connection));
  mails = peer.StoredMails();
  ASSERT_EQ(mails.size(), 2u);
  mail = qv::test::ReadMail(mails[1]);
  EXPECT_TRUE(mail["defects"].toArray().isEmpty());
  to = mail["to_addresses"].toArray().at(0).toObject();
  EXPECT_EQ(to["name"].toString(), "");
  EXPECT_EQ(to["address"].toString(), "plain@example.com");
  from = mail["from_addresses"].toArray().at(0).toObject();
  EXPECT_EQ(from["name"].toString(), QString::fromUtf8("カメラガカ゜"));
}

}  // namespace

namespace {

// Milliseconds since `start`.
int64_t MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// A multi-line reply that never ends ("250-" lines every 20 ms for two seconds) is over at the
// receive time-out: the greeting, and the answer to HELO.
TEST_F(SmtpClientTest, AMultiLineReplyThatNeverEndsIsDroppedAtTheReceiveTimeOut) {
  qv::Timings timings = qv::GetTimings();
  timings.socketReceiveTimeoutMs = 400;
  qv::SetTimings(timings);
  for (bool inGreeting : {true, false}) {
    SCOPED_TRACE(inGreeting);
    ScriptedServer server;
    if (!inGreeting) server.Send("220 ready\r\n").Read();
    for (int i = 0; i < 100; ++i) server.Send(inGreeting ? "220-still here\r\n" : "250-still here\r\n").Pause(20);
    server.Send(inGreeting ? "220 ready\r\n" : "250 hello\r\n");
    server.Start();
    client_.SetSmtpParams("127.0.0.1", "camera@example.jp", "", server.port());
    auto start = std::chrono::steady_clock::now();
    auto connection = client_.SmtpConnect();
    int result = connection ? client_.SmtpSendMail(*connection, "user@example.com", "") : -1;
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_EQ(result, inGreeting ? -1 : kSmtpRefused);
    client_.SmtpClose(std::move(connection));
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.Received(), inGreeting ? Lines{} : Lines{"HELO 127.0.0.1"});
  }
}

// Text sent in plain after "220" to STARTTLS came before the encryption: it is never taken as
// a reply of the protected session. Here it would have accepted the second EHLO.
TEST_F(SmtpClientTest, PlainTextAfterTheStartTlsGoAheadIsDropped) {
  qv::test::TestCa ca;
  qv::test::TlsScriptedPeer peer(ca.Issue("smtp.example", {"DNS:smtp.example"}),
                                 {"220 ready\r\n", "250-hello\r\n250 STARTTLS\r\n", "220 go ahead\r\n250 injected\r\n"},
                                 {"554 no service\r\n", "221 bye\r\n"});
  qv::SetConnectHook([&](const std::string&, int) { return peer.TakeClientEnd(); });
  client_.SetSmtpParams("smtp.example", "camera@example.jp", "", 587);
  client_.SetSmtpSecurity(1, 0, "", "", ca.caFile().c_str());
  auto connection = client_.SmtpConnect();
  ASSERT_TRUE(connection);
  EXPECT_EQ(client_.SmtpSendMail(*connection, "user@example.com", ""), kSmtpRefused);
  client_.SmtpClose(std::move(connection));
  EXPECT_TRUE(peer.handshakeDone());
  EXPECT_EQ(peer.received(), (Lines{"EHLO smtp.example", "STARTTLS", "EHLO smtp.example"}));
  qv::SetConnectHook({});
}

// A security level that is not 0, 1 or 2 means TLS from the first byte.
TEST_F(SmtpClientTest, AnUnknownSecurityLevelMeansTlsFromTheFirstByte) {
  qv::test::TestCa ca;
  const qv::test::ServerCertificate leaf = ca.Issue("smtp.example", {"DNS:smtp.example"});
  for (int security : {-1, 7}) {
    SCOPED_TRACE(security);
    qv::test::TlsScriptedPeer peer(leaf, {}, {"220 ready\r\n", "250 hello\r\n", "221 bye\r\n"});
    qv::SetConnectHook([&](const std::string&, int) { return peer.TakeClientEnd(); });
    client_.SetSmtpParams("smtp.example", "camera@example.jp", "", 465);
    client_.SetSmtpSecurity(security, 0, "", "", ca.caFile().c_str());
    auto connection = client_.SmtpConnect();
    ASSERT_TRUE(connection);
    EXPECT_TRUE(connection->IsTls());
    client_.SmtpClose(std::move(connection));
    EXPECT_TRUE(peer.handshakeDone());
    qv::SetConnectHook({});
  }
}

}  // namespace
