#include "app/mail/reply_dispatch.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "app/mail/mail_client.h"
#include "app/mail/testing/smtp_test_peer.h"
#include "app/mail/testing/test_servers.h"
#include "app/settings/activity_log.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace {

using Entry = std::pair<int, std::string>;  // category, message

TEST(CarrierClass, DomainTableAndExactMatches) {
  const char* expected[kCarrierDomainCount] = {
      "ezweb.ne.jp",      "jp-d.ne.jp",       "jp-h.ne.jp",       "jp-t.ne.jp",
      "jp-c.ne.jp",       "jp-k.ne.jp",       "jp-r.ne.jp",       "jp-n.ne.jp",
      "jp-s.ne.jp",       "jp-q.ne.jp",       "d.vodafone.ne.jp", "h.vodafone.ne.jp",
      "t.vodafone.ne.jp", "c.vodafone.ne.jp", "k.vodafone.ne.jp", "r.vodafone.ne.jp",
      "n.vodafone.ne.jp", "s.vodafone.ne.jp", "q.vodafone.ne.jp", "docomo.ne.jp"};
  for (int i = 0; i < kCarrierDomainCount; ++i) {
    EXPECT_STREQ(kCarrierDomains[i].domain, expected[i]) << i;
    int carrier = i == 0 ? CARRIER_AU : i == kCarrierDomainCount - 1 ? CARRIER_DOCOMO
                                                                      : CARRIER_VODAFONE;
    EXPECT_EQ(kCarrierDomains[i].carrierClass, carrier) << i;
    EXPECT_EQ(ClassifyCarrier((std::string("taro@") + expected[i]).c_str()), carrier) << i;
  }

  // Only whole domains in their exact spelling match.
  struct Case {
    const char* address;
    int carrier;
  } cases[] = {
      {"a.b-c_d@ezweb.ne.jp", CARRIER_AU},
      {"@docomo.ne.jp", CARRIER_DOCOMO},
      {"x@DoCoMo.ne.jp", CARRIER_OTHER},
      {"x@mail.docomo.ne.jp", CARRIER_OTHER},
      {"x@docomo.ne.jp.", CARRIER_OTHER},
      {"x@docomo.ne.jp ", CARRIER_OTHER},
      {"x@vodafone.ne.jp", CARRIER_OTHER},
      {"x@jp-x.ne.jp", CARRIER_OTHER},
      {"\"x@y\"@docomo.ne.jp", CARRIER_DOCOMO},  // a quoted local part may hold "@"
      {"x@docomo.ne.jp@y.jp", CARRIER_OTHER},     // the domain starts after the last "@"
      {"docomo.ne.jp", CARRIER_OTHER},
      {"x@", CARRIER_OTHER},
      {"", CARRIER_OTHER},
      {nullptr, CARRIER_OTHER},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClassifyCarrier(c.address), c.carrier) << (c.address ? c.address : "null");
  }
  EXPECT_EQ(CarrierLabel(CARRIER_AU), qv::Cp932FromUtf8("ａｕ"));
  EXPECT_EQ(CarrierLabel(CARRIER_VODAFONE), "Vodafone");
  EXPECT_EQ(CarrierLabel(CARRIER_DOCOMO), "Docomo");
  EXPECT_EQ(CarrierLabel(CARRIER_OTHER), qv::Cp932FromUtf8("その他"));
  EXPECT_EQ(CarrierLabel(7), qv::Cp932FromUtf8("その他"));
}

// A log sink that keeps category and message apart and lets a test look around the moment a
// given line is logged (the reply phase logs synchronously on the calling thread).
class WatchingLog : public LogSink {
 public:
  void AppendLog(const std::string& line) override {
    Entry entry = Split(line);
    entries_.push_back(entry);
    if (watcher_) watcher_(entry);
  }
  const std::vector<Entry>& entries() const { return entries_; }
  void Watch(std::function<void(const Entry&)> watcher) { watcher_ = std::move(watcher); }

 private:
  // "hh:mm:ss [label] message" back to its category and message.
  static Entry Split(const std::string& line) {
    for (int category = 0; category < 4; ++category) {
      std::string prefix = FormatLogLine("", category).substr(8);  // " [label] "
      if (line.compare(8, prefix.size(), prefix) == 0) {
        return {category, line.substr(8 + prefix.size())};
      }
    }
    ADD_FAILURE() << "not a log line: " << line;
    return {-1, line};
  }

  std::vector<Entry> entries_;
  std::function<void(const Entry&)> watcher_;
};

std::string Sha256(const std::string& bytes) {
  return QCryptographicHash::hash(QByteArray::fromStdString(bytes), QCryptographicHash::Sha256)
      .toHex()
      .toStdString();
}

std::string Utf8(const std::string& sjis) { return qv::Utf8FromCp932(sjis); }

std::unique_ptr<REQUESTREC> Request(const std::string& address, const std::string& name = "") {
  auto request = std::make_unique<REQUESTREC>();
  qv::CopySjisField(request->address, sizeof request->address, address);
  qv::CopySjisField(request->name, sizeof request->name, name);
  return request;
}

class ReplyDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = qv::GetTimings();
    qv::Timings quick = saved_;
    quick.socketConnectTimeoutMs = 2000;
    quick.socketReceiveTimeoutMs = 2000;
    quick.popBeforeSmtpPauseMs = 1;
    qv::SetTimings(quick);

    workFolder_ = qv::MakeWorkFolder("qv-reply-work-");
    pictureFolder_ = qv::MakeWorkFolder("qv-reply-pictures-");
    ASSERT_FALSE(workFolder_.empty());
    ASSERT_FALSE(pictureFolder_.empty());
    const char* extensions[] = {".png", ".jpg", ".gif", ".bmp"};
    const size_t sizes[] = {3000, 1025, 2, 7777};
    std::mt19937 generator(42);
    for (int k = 0; k < kCarrierClassCount; ++k) {
      pictures_[k].assign(sizes[k], '\0');
      for (char& c : pictures_[k]) c = static_cast<char>(generator() & 0xFF);
      files_.pictures[k] = pictureFolder_ + "picture" + std::to_string(k) + extensions[k];
      std::ofstream(files_.pictures[k], std::ios::binary) << pictures_[k];
      files_.attachmentNames[k] = "200401021304" + std::string(extensions[k]);
    }
    files_.workFolder = workFolder_;

    qv::CopySjisField(mail_.MailAddr, sizeof mail_.MailAddr, "camera@example.jp");
    qv::CopySjisField(mail_.UserName, sizeof mail_.UserName, SJIS("カメラ"));
    qv::CopySjisField(mail_.SmtpServer, sizeof mail_.SmtpServer, "127.0.0.1");
    qv::CopySjisField(send_.Title, sizeof send_.Title, SJIS("Quorvex画像"));
    qv::CopySjisField(send_.MailText, sizeof send_.MailText, SJIS("画像です。<BR>よろしく"));
    qv::CopySjisField(send_.SendName, sizeof send_.SendName, "-- Quorvex");
  }

  void TearDown() override {
    qv::SetTimings(saved_);
    std::error_code ignored;
    std::filesystem::remove_all(workFolder_, ignored);
    std::filesystem::remove_all(pictureFolder_, ignored);
  }

  // The base64 files in the work folder.
  std::vector<std::string> Base64Files() const {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(workFolder_)) {
      if (entry.path().filename().string().rfind("B64", 0) == 0) found.push_back(entry.path());
    }
    return found;
  }

  // The size line of class k, for a picture of `pictureBytes` bytes.
  static Entry SizeLine(int k, size_t pictureBytes) {
    char size[32];
    snprintf(size, sizeof size, "%3.1fKByte", ((pictureBytes + 2) / 3 * 4) / 1024.0);
    return {LOG_PICT, CarrierLabel(k) + qv::Cp932FromUtf8("用コンバート後ファイズサイズ ") + size};
  }

  std::vector<Entry> ConversionLines() const {
    std::vector<Entry> lines = {{LOG_PICT, qv::Cp932FromUtf8("画像をメールデータへコンバートします。")}};
    for (int k = 0; k < kCarrierClassCount; ++k) lines.push_back(SizeLine(k, pictures_[k].size()));
    return lines;
  }

  static Entry SendLine(const std::string& name, const std::string& address) {
    return {LOG_SEND, name + "<" + address + ">" + qv::Cp932FromUtf8("にメール送信") + "\n"};
  }
  static Entry Send(const char* utf8) { return {LOG_SEND, qv::Cp932FromUtf8(utf8)}; }

  // Checks one stored reply: envelope, headers, text and the picture of `carrier`.
  void ExpectReply(const std::string& path, const std::string& address, const std::string& name,
                   int carrier) {
    SCOPED_TRACE(path);
    QJsonObject envelope = qv::test::SmtpPeer::Envelope(path);
    EXPECT_EQ(envelope["mail_from"].toString().toStdString(), "camera@example.jp");
    EXPECT_EQ(envelope["rcpt_tos"].toArray().at(0).toString().toStdString(), address);
    QJsonObject mail = qv::test::ReadMail(path);
    ASSERT_FALSE(mail.isEmpty());
    QJsonObject from = mail["from_addresses"].toArray().at(0).toObject();
    EXPECT_EQ(from["name"].toString().toStdString(), Utf8(SJIS("カメラ")));
    EXPECT_EQ(mail["subject"].toString().trimmed().toStdString(), Utf8(SJIS("Quorvex画像")));
    EXPECT_TRUE(mail["defects"].toArray().isEmpty());
    if (name.empty()) {
      QJsonObject to = mail["to_addresses"].toArray().at(0).toObject();
      EXPECT_EQ(to["name"].toString().toStdString(), "");
      EXPECT_EQ(to["address"].toString().toStdString(), address);
    } else {
      QJsonObject to = mail["to_addresses"].toArray().at(0).toObject();
      EXPECT_EQ(to["name"].toString().toStdString(), Utf8(name));
      EXPECT_EQ(to["address"].toString().toStdString(), address);
    }
    QJsonArray lines = mail["text_lines"].toArray();
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[0].toString().toStdString(), Utf8(SJIS("画像です。")));
    EXPECT_EQ(lines[1].toString().toStdString(), Utf8(SJIS("よろしく")));
    EXPECT_EQ(lines[2].toString().toStdString(), "-- Quorvex");
    QJsonArray attachments = mail["attachments"].toArray();
    ASSERT_EQ(attachments.size(), 1);
    QJsonObject attachment = attachments[0].toObject();
    const char* types[] = {"image/png", "image/jpeg", "image/gif", "image/bmp"};
    EXPECT_EQ(attachment["content_type"].toString().toStdString(), types[carrier]);
    EXPECT_EQ(attachment["filename"].toString().toStdString(), files_.attachmentNames[carrier]);
    EXPECT_EQ(attachment["sha256"].toString().toStdString(), Sha256(pictures_[carrier]));
    EXPECT_TRUE(mail["boundary_well_formed"].toBool());
    EXPECT_TRUE(mail["defects"].toArray().isEmpty());
  }

  qv::Timings saved_;
  std::string workFolder_;
  std::string pictureFolder_;
  std::array<std::string, kCarrierClassCount> pictures_;
  ReplyFiles files_;
  MailSettings mail_;
  SendSettings send_;
  RequestList requests_;
  WatchingLog log_;
  RecordingLogSink clientLog_;  // the client's own diagnostics, kept apart from the phase's
  CMailClient client_{&clientLog_};
};

TEST_F(ReplyDispatchTest, EachCarrierGetsItsOwnPictureThroughARealServer) {
  qv::test::SmtpPeer peer;
  if (!peer.Start()) GTEST_SKIP() << peer.error();
  mail_.SmtpPort = peer.port();
  // Two requests of one class share its base64 file with the three of the other classes.
  struct Sent {
    std::string address, name;
    int carrier;
  } sent[] = {
      {"taro@ezweb.ne.jp", SJIS("太郎"), CARRIER_AU},
      {"hanako@t.vodafone.ne.jp", SJIS("花子"), CARRIER_VODAFONE},
      {"jiro@docomo.ne.jp", "", CARRIER_DOCOMO},
      {"someone@example.com", "Some One", CARRIER_OTHER},
      {"saburo@docomo.ne.jp", SJIS("三郎"), CARRIER_DOCOMO},
  };
  for (const Sent& s : sent) requests_.push_back(Request(s.address, s.name));

  // While the replies go out, the work folder holds the four base64 files, each the base64
  // text of its class's picture, and no others.
  std::vector<size_t> base64Counts;
  std::array<std::string, kCarrierClassCount> base64Texts;
  log_.Watch([&](const Entry& entry) {
    if (entry.first != LOG_SEND) return;
    std::vector<std::string> found = Base64Files();
    base64Counts.push_back(found.size());
    if (entry.second == qv::Cp932FromUtf8("メール送信開始")) {
      for (const std::string& path : found) {
        std::ifstream file(path, std::ios::binary);
        std::string text((std::istreambuf_iterator<char>(file)), {});
        for (int k = 0; k < kCarrierClassCount; ++k) {
          if (QByteArray::fromStdString(pictures_[k]).toBase64().toStdString() == text)
            base64Texts[k] = path;
        }
      }
    }
  });

  EXPECT_EQ(SendReplies(client_, mail_, send_, requests_, files_, log_), 5);

  std::vector<Entry> expected = ConversionLines();
  expected.push_back(Send("メール送信開始"));
  for (const Sent& s : sent) expected.push_back(SendLine(s.name, s.address));
  expected.push_back(Send("メール送信終了"));
  EXPECT_EQ(log_.entries(), expected);

  EXPECT_EQ(base64Counts, std::vector<size_t>(7, 4));
  for (int k = 0; k < kCarrierClassCount; ++k) EXPECT_FALSE(base64Texts[k].empty()) << k;
  EXPECT_TRUE(Base64Files().empty());

  std::vector<std::string> mails = peer.StoredMails();
  ASSERT_EQ(mails.size(), 5u);
  for (size_t i = 0; i < mails.size(); ++i) {
    ExpectReply(mails[i], sent[i].address, sent[i].name, sent[i].carrier);
  }
}

TEST_F(ReplyDispatchTest, UnreadablePictureGivesAnEmptyPicturePart) {
  qv::test::SmtpPeer peer;
  if (!peer.Start()) GTEST_SKIP() << peer.error();
  mail_.SmtpPort = peer.port();
  std::filesystem::remove(files_.pictures[CARRIER_DOCOMO]);
  requests_.push_back(Request("jiro@docomo.ne.jp"));

  EXPECT_EQ(SendReplies(client_, mail_, send_, requests_, files_, log_), 1);
  ASSERT_GE(log_.entries().size(), 4u);
  EXPECT_EQ(log_.entries()[3], SizeLine(CARRIER_DOCOMO, 0));
  EXPECT_EQ(log_.entries()[3].second.substr(log_.entries()[3].second.size() - 9), " 0.0KByte");

  std::vector<std::string> mails = peer.StoredMails();
  ASSERT_EQ(mails.size(), 1u);
  QJsonObject mail = qv::test::ReadMail(mails[0]);
  QJsonArray attachments = mail["attachments"].toArray();
  ASSERT_EQ(attachments.size(), 1);
  EXPECT_EQ(attachments[0].toObject()["filename"].toString().toStdString(),
            files_.attachmentNames[CARRIER_DOCOMO]);
  EXPECT_EQ(attachments[0].toObject()["size"].toInt(), 0);
  EXPECT_TRUE(Base64Files().empty());
}

TEST_F(ReplyDispatchTest, OwnAddressIsSkippedAndUnsafeRequestsFailWithoutConnecting) {
  // One connection only: the request whose name holds a line break goes out with the name
  // cleaned. The own address, an address without "@" and one with a CR never connect.
  qv::test::ScriptedServer server;
  server.Send("220 hi\r\n").Read().Send("250 a\r\n").Read().Send("250 b\r\n").Read()
      .Send("250 c\r\n").Read().Send("354 d\r\n").ReadUntil(".").Send("250 e\r\n").Read()
      .Send("221 f\r\n");
  server.Start();
  mail_.SmtpPort = server.port();
  requests_.push_back(Request("camera@example.jp", "Me"));
  requests_.push_back(nullptr);
  requests_.push_back(Request("x@docomo.ne.jp", "a\r\nBcc: victim@example.com"));
  requests_.push_back(Request("localonly"));
  requests_.push_back(Request("y@example.com\r\nRCPT TO:<z@example.com>"));

  EXPECT_EQ(SendReplies(client_, mail_, send_, requests_, files_, log_), 1);
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Connections(), 1);
  std::vector<std::string> received = server.Received();
  ASSERT_GE(received.size(), 3u);
  EXPECT_EQ(received[2], "RCPT TO:<x@docomo.ne.jp>");
  for (const std::string& line : received) EXPECT_NE(line.rfind("Bcc", 0), 0u) << line;

  std::vector<Entry> expected = ConversionLines();
  expected.push_back(Send("メール送信開始"));
  expected.push_back(Send("差出人メールアドレスと受信メールアドレスが同じな為送信しません。"));
  expected.push_back(SendLine("aBcc: victim@example.com", "x@docomo.ne.jp"));
  expected.push_back(Send("メール送信に失敗しました。"));
  expected.push_back(Send("メール送信に失敗しました。"));
  expected.push_back(Send("メール送信終了"));
  EXPECT_EQ(log_.entries(), expected);
  EXPECT_TRUE(Base64Files().empty());
}

TEST_F(ReplyDispatchTest, FailedSendsAreLoggedAndTheNextRequestGoesOn) {
  // The first reply is refused at RCPT, the second accepted on a new connection.
  qv::test::ScriptedServer server;
  server.Send("220 hi\r\n").Read().Send("250 a\r\n").Read().Send("250 b\r\n").Read()
      .Send("550 unknown\r\n")
      .NextConnection()
      .Send("220 hi\r\n").Read().Send("250 a\r\n").Read().Send("250 b\r\n").Read()
      .Send("250 c\r\n").Read().Send("354 d\r\n").ReadUntil(".").Send("250 e\r\n").Read()
      .Send("221 f\r\n");
  server.Start();
  mail_.SmtpPort = server.port();
  requests_.push_back(Request("gone@ezweb.ne.jp", SJIS("不明")));
  requests_.push_back(Request("here@ezweb.ne.jp"));

  EXPECT_EQ(SendReplies(client_, mail_, send_, requests_, files_, log_), 1);
  ASSERT_TRUE(server.Wait());
  EXPECT_EQ(server.Connections(), 2);
  std::vector<Entry> expected = ConversionLines();
  expected.push_back(Send("メール送信開始"));
  expected.push_back(SendLine(SJIS("不明"), "gone@ezweb.ne.jp"));
  expected.push_back(Send("SMTPサーバーが送信先アドレスを受け付けませんでした。 (550 unknown)"));
  expected.push_back(Send("メール送信に失敗しました。"));
  expected.push_back(SendLine("", "here@ezweb.ne.jp"));
  expected.push_back(Send("メール送信終了"));
  EXPECT_EQ(log_.entries(), expected);

  // No server at all: every request fails at the connection, without a send line; the log
  // says where it could not connect.
  int closedPort;
  {
    qv::test::ScriptedServer gone;
    closedPort = gone.port();
  }
  mail_.SmtpPort = closedPort;
  WatchingLog again;
  EXPECT_EQ(SendReplies(client_, mail_, send_, requests_, files_, again), 0);
  expected = ConversionLines();
  expected.push_back(Send("メール送信開始"));
  const Entry unreachable = {LOG_SEND, qv::Cp932FromUtf8("SMTPサーバーに接続できませんでした。") + " (127.0.0.1:" +
                                           std::to_string(closedPort) + ")"};
  for (int i = 0; i < 2; ++i) {
    expected.push_back(unreachable);
    expected.push_back(Send("メール送信に失敗しました。"));
  }
  expected.push_back(Send("メール送信終了"));
  EXPECT_EQ(again.entries(), expected);
  EXPECT_TRUE(Base64Files().empty());
}

// POP-before-SMTP against a real Dovecot POP3 server, then the reply through a real SMTP
// server.
class DovecotPop {
 public:
  ~DovecotPop() {
    if (port_ > 0) {
      int status;
      qv::test::RunAndCapture({qv::test::kSystemPython, Script(), "stop", folder_}, &status);
    }
    if (!folder_.empty()) {
      std::error_code ignored;
      std::filesystem::remove_all(folder_, ignored);
    }
  }
  // Starts Dovecot with the user "quorvex" / "secret"; false (see error()) when it cannot.
  bool Start() {
    if (access("/usr/sbin/dovecot", X_OK) != 0) return Fail("dovecot-pop3d is not installed");
    if (access(Script().c_str(), R_OK) != 0) return Fail("the POP3 fixture script is missing");
    char pattern[] = "/tmp/qv-reply-pop-XXXXXX";
    if (!mkdtemp(pattern)) return Fail("cannot make a server folder");
    folder_ = pattern;
    int status;
    std::string output = qv::test::RunAndCapture(
        {qv::test::kSystemPython, Script(), "start", folder_, "quorvex", "secret"}, &status);
    port_ = status == 0 ? atoi(output.c_str()) : 0;
    return port_ > 0 || Fail("Dovecot did not start");
  }
  int port() const { return port_; }
  const std::string& error() const { return error_; }

 private:
  static std::string Script() { return qv::test::FixtureFolder() + "pop3_server.py"; }
  bool Fail(std::string why) {
    error_ = std::move(why);
    return false;
  }
  std::string folder_;
  std::string error_;
  int port_ = 0;
};

TEST_F(ReplyDispatchTest, PopBeforeSmtpAgainstDovecot) {
  DovecotPop pop;
  if (!pop.Start()) GTEST_SKIP() << pop.error();
  qv::test::SmtpPeer peer;
  if (!peer.Start()) GTEST_SKIP() << peer.error();
  mail_.BeforeSMTP = 1;
  mail_.SmtpPort = peer.port();
  requests_.push_back(Request("taro@ezweb.ne.jp", SJIS("太郎")));

  // A wrong password: nothing is sent and the log ends with the failed log-in.
  client_.SetPopParams("127.0.0.1", "quorvex", "wrong", pop.port());
  EXPECT_EQ(SendReplies(client_, mail_, send_, requests_, files_, log_), 0);
  EXPECT_TRUE(peer.StoredMails().empty());
  ASSERT_FALSE(log_.entries().empty());
  EXPECT_EQ(log_.entries().back(), Send("POP認証失敗"));
  EXPECT_TRUE(Base64Files().empty());

  // The right one: the reply goes out after the log-in.
  WatchingLog again;
  client_.SetPopParams("127.0.0.1", "quorvex", "secret", pop.port());
  EXPECT_EQ(SendReplies(client_, mail_, send_, requests_, files_, again), 1);
  std::vector<Entry> expected = ConversionLines();
  expected.push_back(Send("POP認証"));
  expected.push_back(Send("メール送信開始"));
  expected.push_back(SendLine(SJIS("太郎"), "taro@ezweb.ne.jp"));
  expected.push_back(Send("メール送信終了"));
  EXPECT_EQ(again.entries(), expected);
  std::vector<std::string> mails = peer.StoredMails();
  ASSERT_EQ(mails.size(), 1u);
  ExpectReply(mails[0], "taro@ezweb.ne.jp", SJIS("太郎"), CARRIER_AU);
}

}  // namespace
