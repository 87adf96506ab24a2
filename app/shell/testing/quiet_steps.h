// Test support: responder steps whose mail checks find nothing, so no capture run is ever
// asked for. For window tests that need a running responder but no mail. Like the real steps,
// they make no check while the mail settings are incomplete.
#pragma once

#include <ctime>
#include <string>

#include "app/responder/responder.h"

class QuietSteps : public ResponderSteps {
 public:
  bool MailboxReady(const AllSettings& settings) override { return MissingMailSettings(settings.mail).empty(); }
  int CheckMail() override { return 0; }
  int ProcessRequests(const AllSettings&) override { return 0; }
  int CaptureFrame(const std::string&) override { return 0; }
  void MakeNames(const RunContext&, time_t) override {}
  std::string MakePicture(const RunContext&, int) override { return {}; }
  void SendReplies(const RunContext&) override {}
  bool DialConnect(const std::string&) override { return false; }
  void DialHangUp(const std::string&) override {}
};
