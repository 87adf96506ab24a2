#include "app/mail/session_result.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ServerReplyText, PrintableAsciiWithoutSecretsAndCut) {
  EXPECT_EQ(ServerReplyText("bad\r\n\x1b[31m\xff text"), "bad[31m text");
  // Secrets are masked wherever they stand, also where a control byte split them, and before
  // the cut, so that no part of one is left at the end.
  EXPECT_EQ(ServerReplyText("-ERR pw pw\x01x is wrong", {"pwx", "pw"}), "-ERR *** *** is wrong");
  EXPECT_EQ(ServerReplyText("no secret here", {""}), "no secret here");
  const std::string secret = "Pa55-secret";
  const std::string reply = std::string(195, 'a') + secret;
  EXPECT_EQ(ServerReplyText(reply, {secret}), std::string(195, 'a') + "***");
  EXPECT_EQ(ServerReplyText(std::string(200, 'b')).size(), 200u);
  EXPECT_EQ(ServerReplyText(std::string(201, 'b')).size(), 200u);
  EXPECT_EQ(ServerReplyText("***", {"*"}), "*********");
}

TEST(ReplyLogLine, OursThenTheServersReply) {
  EXPECT_EQ(ReplyLogLine("failed.", "550 no"), "failed. (550 no)");
  EXPECT_EQ(ReplyLogLine("failed.", ""), "failed.");
}

}  // namespace
