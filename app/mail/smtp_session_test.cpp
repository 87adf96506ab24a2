#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QJsonArray>
#include <QJsonObject>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "app/mail/encodings.h"
#include "app/mail/reply_message.h"
#include "app/mail/smtp_session.h"
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

// The submission server on loopback at `port`.
SmtpAccount Account(int port, int security = 0, bool authenticate = false) {
  SmtpAccount account;
  account.server = "127.0.0.1";
  account.port = port;
  account.security = security;
  account.authenticate = authenticate;
  return account;
}

// The address, which the test knows to pass the address rule.
CheckedAddress Checked(const std::string& address) { return CheckedAddress::Check(address).value(); }

class SmtpSessionTest : public qv::test::ShortSocketTimeoutsTest {
 protected:
  // The reply's subject and body text (Shift_JIS, "<BR>" for line breaks).
  void SetReplyText(const std::string& subject, const std::string& body) {
    subject_ = subject;
    body_ = body;
  }
  // The base64 file of the picture (empty: none) and the attachment's name (empty: the file's).
  void SetAttachment(const std::string& base64File, const std::string& name) {
    base64File_ = base64File;
    pictureName_ = name;
  }
  // The whole reply to `address`, as the reply phase builds it.
  std::string Message(const std::string& address, const char* name, const std::string& senderName = SJIS("山田太郎")) {
    const std::tm now = LocalNow();
    ReplyRecord record{Checked(kSender), senderName, Checked(address), name ? name : "", subject_, body_,
                       base64File_.empty() ? std::nullopt : ReadBase64File(base64File_),
                       pictureName_.empty() ? base64File_ : pictureName_, now, NewMessageId(now, Checked(kSender))};
    return BuildReplyMessage(record);
  }
  // Connects the session and sends one reply over it; the status of the step that failed.
  SmtpStatus Send(SmtpSession& session, const std::string& address, const char* name,
                  const std::string& senderName = SJIS("山田太郎")) {
    SmtpResult connected = session.Connect();
    if (!connected.ok()) return connected.status;
    return SendMail(session, Checked(kSender), Checked(address), Message(address, name, senderName)).status;
  }
  // Sends one reply through a server answering with `replies`; returns every line the server
  // received, and the send's result in `*result`.
  Lines Run(const Lines& replies, const std::string& address, const char* name, SmtpStatus* result,
            const std::string& senderName = SJIS("山田太郎")) {
    ScriptedServer server;
    Script(server, replies);
    server.Start();
    SmtpSession session(Account(server.port()), &log_);
    *result = Send(session, address, name, senderName);
    session.Close();
    EXPECT_TRUE(server.Wait());
    return server.Received();
  }
  // The mail data (the lines after DATA up to and including ".") of an accepted reply.
  Lines SendAccepted(const std::string& address, const char* name,
                     const std::string& senderName = SJIS("山田太郎")) {
    SmtpStatus result;
    Lines transcript = Run(kAccepting, address, name, &result, senderName);
    EXPECT_EQ(result, SmtpStatus::kOk);
    auto data = std::find(transcript.begin(), transcript.end(), "DATA");
    auto end = std::find(data, transcript.end(), ".");
    if (end == transcript.end()) return {};
    return Lines(data + 1, end + 1);
  }
  bool Logged(const char* utf8) const {
    for (const std::string& line : log_.lines()) {
      if (line.find(qv::Cp932FromUtf8(utf8)) != std::string::npos) return true;
    }
    return false;
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

  static constexpr char kSender[] = "camera@example.jp";
  RecordingLogSink log_;
  ScratchFolder scratch_;
  std::string subject_;
  std::string body_;
  std::string base64File_;
  std::string pictureName_;
};

TEST_F(SmtpSessionTest, SendsTheReplyLayoutLineByLine) {
  // 100 base64 characters: one full line of 64 and one of 36.
  std::string base64;
  for (size_t i = 0; i < 100; ++i) base64 += "QRSTabcd+/09"[i % 12];
  SetReplyText(SJIS("テスト"), SJIS("カメラ") + "<BR>.dot<BR><BR>sig");
  SetAttachment(scratch_.File("B64test", base64), "200401021304.JPG");
  SmtpStatus result;
  Lines transcript = Run(kAccepting, "user@docomo.ne.jp", SJIS("テスト").c_str(), &result);
  EXPECT_EQ(result, SmtpStatus::kOk);
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

TEST_F(SmtpSessionTest, OptionalHeaderPartsAndBodyLines) {
  // No sender name: bare address. No recipient name: a To line with the bare address. Empty
  // subject: "なし".
  SetReplyText("", "x");
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
    SetReplyText("s", c.body);
    EXPECT_EQ(BodyOf(SendAccepted("u@example.com", "")), c.lines) << c.body;
  }
}

TEST_F(SmtpSessionTest, AttachmentPart) {
  std::string file = scratch_.File("B64x", "QUJD");
  SetReplyText("s", "b");
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
    SetAttachment(file, c.name);
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
    SetAttachment(scratch_.File("B64n", base64), "p.png");
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
  SetAttachment(scratch_.File("x", "") + ".missing", "p.png");
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

TEST_F(SmtpSessionTest, LongTextsAreFoldedIntoShortWordsAndLines) {
  // Kanji alternating with ASCII makes the ISO-2022-JP text grow most (an escape pair per
  // character); half-width katakana go out full-width; plain kanji runs fill whole words.
  std::string mixed, kanji;
  for (int i = 0; i < 85; ++i) mixed += SJIS("画") + "a";
  for (int i = 0; i < 127; ++i) kanji += SJIS("像");
  std::string kana = "\xb6\xde\xd2\xd7 " + kanji.substr(0, 100);
  std::string longAddress = std::string(240, 'x') + "@docomo.ne.jp";
  SetReplyText(mixed, kanji + "<BR>." + std::string(1500, 'z') + "<BR>" + mixed);
  Lines data = SendAccepted(longAddress, kanji.c_str(), kana);
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

TEST_F(SmtpSessionTest, ReplyCodesDecideEachStep) {
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
    SmtpStatus result;
    Lines transcript = Run(c.replies, "u@example.com", "", &result);
    EXPECT_EQ(result == SmtpStatus::kOk, c.accepted) << c.replies.back();
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

TEST_F(SmtpSessionTest, RefusalLeavesTheSocketToTheCaller) {
  ScriptedServer server;
  Script(server, {"220 ready", "250 ok", "250 ok", "550 no such user"});
  server.Start();
  SmtpSession session(Account(server.port()), &log_);
  EXPECT_EQ(Send(session, "nobody@example.com", ""), SmtpStatus::kRecipientRefused);
  EXPECT_TRUE(session.IsOpen());
  EXPECT_FALSE(server.Wait(100));  // the server still waits for the client to close
  session.Close();
  EXPECT_TRUE(server.Wait());
  EXPECT_TRUE(Logged("SMTPサーバーが送信先アドレスを受け付けませんでした。 (550 no such user)"));
}

TEST_F(SmtpSessionTest, SilentOrMissingServerFails) {
  qv::Timings quick = qv::GetTimings();
  quick.socketReceiveTimeoutMs = 150;
  qv::SetTimings(quick);
  SmtpStatus result;
  // Silent from the start: no greeting. Silent after MAIL FROM: a failed send.
  EXPECT_EQ(Run({}, "u@example.com", "", &result), Lines{});
  EXPECT_EQ(result, SmtpStatus::kUnreachable);
  EXPECT_TRUE(Logged("SMTPサーバーが接続を受け付けませんでした。"));
  EXPECT_EQ(Run({"220 a", "250 b"}, "u@example.com", "", &result),
            (Lines{"HELO 127.0.0.1", "MAIL FROM:<camera@example.jp>"}));
  EXPECT_EQ(result, SmtpStatus::kRefused);
  EXPECT_TRUE(Logged("SMTPサーバーが差出人アドレスを受け付けませんでした。"));

  // Every failure to connect is said, with where.
  int closedPort;
  {
    ScriptedServer gone;
    closedPort = gone.port();
  }
  EXPECT_EQ(SmtpSession(Account(closedPort), &log_).Connect().status, SmtpStatus::kUnreachable);
  EXPECT_TRUE(Logged(("SMTPサーバーに接続できませんでした。 (127.0.0.1:" + std::to_string(closedPort) + ")").c_str()));
  SmtpAccount unset = Account(25);
  unset.server.clear();
  EXPECT_EQ(SmtpSession(unset, &log_).Connect().status, SmtpStatus::kUnreachable);
  EXPECT_TRUE(Logged("SMTPサーバーが設定されていません。"));
  ScriptedServer refusing;
  refusing.Send("421 4.3.2 too busy\r\n");
  refusing.Start();
  EXPECT_EQ(SmtpSession(Account(refusing.port()), &log_).Connect().status, SmtpStatus::kUnreachable);
  EXPECT_TRUE(refusing.Wait());
  EXPECT_TRUE(Logged("SMTPサーバーが接続を受け付けませんでした。 (421 4.3.2 too busy)"));
}

TEST_F(SmtpSessionTest, APeerThatStopsReadingAfterDataFailsTheSendInTime) {
  qv::Timings quick = qv::GetTimings();
  quick.socketSendTimeoutMs = 100;
  qv::SetTimings(quick);
  // Far more than the socket buffers hold: the picture cannot leave once the server stops.
  SetAttachment(scratch_.File("B64big", std::string(32 << 20, 'Q')), "p.png");
  SetReplyText("s", "b");
  ScriptedServer server;
  Script(server, {"220 ready", "250 hello", "250 ok", "250 ok", "354 go"});
  server.StopReading();
  server.Start();
  SmtpSession session(Account(server.port()), &log_);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Send(session, "u@example.com", ""), SmtpStatus::kBroken);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  EXPECT_FALSE(session.IsOpen());
  session.Close();
  EXPECT_TRUE(server.Wait());
  EXPECT_TRUE(Logged("メールの送信中にSMTPサーバーとの接続が切れました。"));
}

TEST_F(SmtpSessionTest, MultiLineAndSplitRepliesAreReadWhole) {
  ScriptedServer server;
  server.Send("220-first line\r\n").Pause(20).Send("220-second\r\n220 last\r\n")
      .Read().Send("25").Pause(20).Send("0 hello\r\n")
      .Read().Send("250-a\r\n250 b\r\n");
  Script(server, {"250 ok", "354 go", "250 queued", "221 bye"}, 3);
  server.Start();
  SetReplyText("s", "b");
  SmtpSession session(Account(server.port()), &log_);
  EXPECT_EQ(Send(session, "u@example.com", ""), SmtpStatus::kOk);
  session.Close();
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Received().back(), "QUIT");
}

// The server name goes into HELO and EHLO: one with a control byte or longer than a host name
// may be is refused before any connection; the addresses are the address rule's
// (CheckedAddress).
TEST_F(SmtpSessionTest, UnsafeServerNamesAndNamesControlBytesNeverReachTheWire) {
  int dialled = 0;
  qv::SetConnectHook([&dialled](const std::string&, int) {
    ++dialled;
    return -1;
  });
  struct Case {
    std::string server;
    bool dialled;
  } cases[] = {
      {"smtp.example\r\nRSET", false},
      {"smtp.example\x7f", false},
      {std::string(256, 'a'), false},
      {std::string(255, 'a'), true},
  };
  for (const Case& c : cases) {
    dialled = 0;
    SmtpAccount account = Account(25);
    account.server = c.server;
    EXPECT_EQ(SmtpSession(account, &log_).Connect().status, SmtpStatus::kUnreachable);
    EXPECT_EQ(dialled, c.dialled ? 1 : 0) << c.server.size();
  }
  qv::SetConnectHook({});
  EXPECT_TRUE(Logged("SMTPサーバー名に使えない文字が含まれているか、長すぎます。"));

  // Control bytes of names are dropped; what is left goes out.
  SetReplyText("s", "b");
  Lines data = SendAccepted("u@example.com", "Evil\r\nBcc: x@example.com", "na\tme\x1b(I");
  EXPECT_EQ(DecodeHeaderText(UnfoldedField(data, "To")), "EvilBcc: x@example.com <u@example.com>");
  EXPECT_EQ(DecodeHeaderText(UnfoldedField(data, "From")), "name(I <camera@example.jp>");
  EXPECT_EQ(HeaderLine(data, "Bcc"), "");
}

// RFC 5321 4.1.2: a local part that is no dot-string goes out as a quoted string, in the
// envelope and in the To field alike.
TEST_F(SmtpSessionTest, QuotedLocalPartsStayQuotedInRcptToAndTo) {
  SetReplyText("s", "b");
  SmtpStatus result;
  Lines transcript = Run(kAccepting, "\"foo bar\"@example.com", "", &result);
  EXPECT_EQ(result, SmtpStatus::kOk);
  ASSERT_GE(transcript.size(), 3u);
  EXPECT_EQ(transcript[2], "RCPT TO:<\"foo bar\"@example.com>");
  EXPECT_EQ(HeaderLine(SendAccepted("\"foo bar\"@example.com", ""), "To"), "To: \"foo bar\"@example.com");
  EXPECT_EQ(HeaderLine(SendAccepted("\"a\\\"b\"@example.com", "Taro"), "To"), "To: =?ISO-2022-JP?B?VGFybw==?= <\"a\\\"b\"@example.com>");
}

TEST_F(SmtpSessionTest, AuthenticationAndStartTlsSteps) {
  struct Case {
    int security;
    Lines replies;    // greeting, then one reply per command the client sends
    SmtpStatus result;
    Lines received;   // commands up to MAIL (or the end)
    const char* logged;
  };
  const std::string plain = "AUTH PLAIN " + Base64Encode(std::string("\0user\0p@ss", 10));
  const Case cases[] = {
      // PLAIN preferred; the session goes on to MAIL FROM.
      {0, {"220 hi", "250-hi\r\n250-AUTH LOGIN PLAIN\r\n250 8BITMIME", "235 ok", "250 ok", "550 no"},
       SmtpStatus::kRecipientRefused,
       {"EHLO 127.0.0.1", plain, "MAIL FROM:<camera@example.jp>", "RCPT TO:<u@example.com>"}, "(550 no)"},
      // LOGIN only: user and password in two steps.
      {0, {"220 hi", "250-hi\r\n250 AUTH=LOGIN", "334 VXNlcm5hbWU6", "334 UGFzc3dvcmQ6", "235 ok", "250 ok",
           "550 no"},
       SmtpStatus::kRecipientRefused,
       {"EHLO 127.0.0.1", "AUTH LOGIN", "dXNlcg==", "cEBzcw==", "MAIL FROM:<camera@example.jp>",
        "RCPT TO:<u@example.com>"},
       nullptr},
      // Credentials refused: the server's reply is logged, QUIT follows; a reply that repeats
      // the credentials shows them masked.
      {0, {"220 hi", "250-hi\r\n250 AUTH PLAIN", "535 5.7.8 bad credentials", "221 bye"}, SmtpStatus::kAuthRefused,
       {"EHLO 127.0.0.1", plain, "QUIT"}, "SMTP認証に失敗しました。 (535 5.7.8 bad credentials)"},
      {0, {"220 hi", "250-hi\r\n250 AUTH PLAIN", "535-5.7.8 p@ss\r\n535 " + plain.substr(11) + " refused", "221 bye"},
       SmtpStatus::kAuthRefused, {"EHLO 127.0.0.1", plain, "QUIT"}, "SMTP認証に失敗しました。 (535-5.7.8 *** 535 *** refused)"},
      {0, {"220 hi", "250-hi\r\n250 AUTH CRAM-MD5", "221 bye"}, SmtpStatus::kAuthRefused, {"EHLO 127.0.0.1", "QUIT"},
       "認証方式"},
      // STARTTLS asked for but not offered: nothing else is said.
      {1, {"220 hi", "250-hi\r\n250 AUTH PLAIN", "221 bye"}, SmtpStatus::kNoTls, {"EHLO 127.0.0.1", "QUIT"},
       "STARTTLSに対応していない"},
      {1, {"220 hi", "250-hi\r\n250 STARTTLS", "454 TLS not available", "221 bye"}, SmtpStatus::kNoTls,
       {"EHLO 127.0.0.1", "STARTTLS", "QUIT"}, "STARTTLSを受け付けませんでした。 (454 TLS not available)"},
  };
  for (const Case& c : cases) {
    RecordingLogSink log;
    SetReplyText("s", "b");
    ScriptedServer server;
    server.Send(c.replies[0] + "\r\n");
    for (size_t i = 1; i < c.replies.size(); ++i) server.Read().Send(c.replies[i] + "\r\n");
    server.Start();
    SmtpAccount account = Account(server.port(), c.security, true);
    account.userId = "user";
    account.password = "p@ss";
    SmtpSession session(account, &log);
    // A session that gets through refuses the recipient: the steps before it are checked.
    EXPECT_EQ(Send(session, "u@example.com", ""), c.result) << c.replies[1];
    session.Close();
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.Received(), c.received) << c.replies[1];
    bool found = c.logged == nullptr;
    for (const std::string& line : log.lines()) {
      EXPECT_EQ(line.find("p@ss"), std::string::npos);
      EXPECT_EQ(line.find(plain.substr(11)), std::string::npos);
      if (c.logged && line.find(qv::Cp932FromUtf8(c.logged)) != std::string::npos) found = true;
    }
    EXPECT_TRUE(found) << c.replies[1];
  }
}

TEST_F(SmtpSessionTest, InternationalLocalPartsNeedAnSmtpUtf8Server) {
  const char* address = "\xe3\x83\xa6\xe3\x83\xbc\xe3\x82\xb6@example.jp";  // UTF-8 local part
  SetReplyText("s", "b");
  SmtpStatus result;
  Lines transcript = Run({"220 ready", "250-hello\r\n250-8BITMIME\r\n250 smtputf8", "250 ok",
                          "250 ok", "354 go", "250 queued", "221 bye"},
                         address, "", &result);
  EXPECT_EQ(result, SmtpStatus::kOk);
  ASSERT_GE(transcript.size(), 3u);
  EXPECT_EQ(Lines(transcript.begin(), transcript.begin() + 3),
            (Lines{"EHLO 127.0.0.1", "MAIL FROM:<camera@example.jp> SMTPUTF8",
                   std::string("RCPT TO:<") + address + ">"}));

  // Without SMTPUTF8 the server never sees the address.
  transcript = Run({"220 ready", "250-hello\r\n250 8BITMIME", "221 bye"}, address, "", &result);
  EXPECT_EQ(result, SmtpStatus::kNoUtf8Support);
  EXPECT_EQ(transcript, (Lines{"EHLO 127.0.0.1", "QUIT"}));
  EXPECT_TRUE(Logged("SMTPサーバーが対応していない(SMTPUTF8)ため送信しません。"));
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
  const std::tm now = LocalNow();
  ReplyRecord record{Checked("camera@example.jp"),
                     SJIS("山田太郎"),
                     Checked("someone@docomo.ne.jp"),
                     SJIS("テスト"),
                     SJIS("Quorvex画像"),
                     SJIS("カメラからの画像です。") + "\r\nline 2<BR>.<BR><BR>" + SJIS("署名 テスト"),
                     ReadBase64File(base64File),
                     "200401021304.jpg",
                     now,
                     NewMessageId(now, Checked("camera@example.jp"))};
  auto send = [&] {
    SmtpSession session(Account(peer.port()), &log);
    SmtpStatus status = session.Connect().status;
    if (status == SmtpStatus::kOk) {
      status = SendMail(session, record.sender, record.recipient, BuildReplyMessage(record)).status;
    }
    session.Close();
    return status;
  };
  ASSERT_EQ(send(), SmtpStatus::kOk);

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
  record.senderName = "\xb6\xd2\xd7\xb6\xde\xb6\xdf";
  record.recipient = Checked("plain@example.com");
  record.recipientName.clear();
  ASSERT_EQ(send(), SmtpStatus::kOk);
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
TEST_F(SmtpSessionTest, AMultiLineReplyThatNeverEndsIsDroppedAtTheReceiveTimeOut) {
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
    auto start = std::chrono::steady_clock::now();
    SmtpSession session(Account(server.port()), &log_);
    SmtpStatus result = Send(session, "user@example.com", "");
    EXPECT_LT(MsSince(start), 1500);
    EXPECT_EQ(result, inGreeting ? SmtpStatus::kUnreachable : SmtpStatus::kRefused);
    session.Close();
    ASSERT_TRUE(server.Wait());
    EXPECT_EQ(server.Received(), inGreeting ? Lines{} : Lines{"HELO 127.0.0.1"});
  }
}

// Text sent in plain after "220" to STARTTLS came before the encryption: it is never taken as
// a reply of the protected session. Here it would have accepted the second EHLO.
TEST_F(SmtpSessionTest, PlainTextAfterTheStartTlsGoAheadIsDropped) {
  qv::test::TestCa ca;
  qv::test::TlsScriptedPeer peer(ca.Issue("smtp.example", {"DNS:smtp.example"}),
                                 {"220 ready\r\n", "250-hello\r\n250 STARTTLS\r\n", "220 go ahead\r\n250 injected\r\n"},
                                 {"554 no service\r\n", "221 bye\r\n"});
  qv::SetConnectHook([&](const std::string&, int) { return peer.TakeClientEnd(); });
  SmtpAccount account = Account(587, 1);
  account.server = "smtp.example";
  account.caFile = ca.caFile();
  SmtpSession session(account, &log_);
  EXPECT_EQ(Send(session, "user@example.com", ""), SmtpStatus::kRefused);
  session.Close();
  EXPECT_TRUE(Logged("SMTPサーバーがEHLOを受け付けませんでした。 (554 no service)"));
  EXPECT_TRUE(peer.handshakeDone());
  EXPECT_EQ(peer.received(), (Lines{"EHLO smtp.example", "STARTTLS", "EHLO smtp.example"}));
  qv::SetConnectHook({});
}

// A security level that is not 0, 1 or 2 means TLS from the first byte.
TEST_F(SmtpSessionTest, AnUnknownSecurityLevelMeansTlsFromTheFirstByte) {
  qv::test::TestCa ca;
  const qv::test::ServerCertificate leaf = ca.Issue("smtp.example", {"DNS:smtp.example"});
  for (int security : {-1, 7}) {
    SCOPED_TRACE(security);
    qv::test::TlsScriptedPeer peer(leaf, {}, {"220 ready\r\n", "250 hello\r\n", "221 bye\r\n"});
    qv::SetConnectHook([&](const std::string&, int) { return peer.TakeClientEnd(); });
    SmtpAccount account = Account(465, security);
    account.server = "smtp.example";
    account.caFile = ca.caFile();
    SmtpSession session(account, &log_);
    ASSERT_TRUE(session.Connect().ok());
    EXPECT_TRUE(session.IsTls());
    session.Close();
    EXPECT_TRUE(peer.handshakeDone());
    qv::SetConnectHook({});
  }
}

}  // namespace
