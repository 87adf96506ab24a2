// The real steps of a responder cycle: the mail client and request list, the capture core,
// the picture pipeline, the reply sender and the dial-up layer.
#pragma once

#include <ctime>
#include <string>

#include "app/image/picture_output.h"
#include "app/mail/mail_client.h"
#include "app/mail/requests.h"
#include "app/responder/responder.h"

// The sibling camera program as picture source; the owner sets one when its link is available.
class SiblingCamera {
 public:
  virtual ~SiblingCamera() = default;
  // Whether `deviceName` selects the sibling program.
  [[nodiscard]] virtual bool Selects(const std::string& deviceName) const = 0;
  // Asks for a picture and copies it into `path`; true when one arrived.
  virtual bool Capture(const std::string& path) = 0;
};

class LiveSteps : public ResponderSteps {
 public:
  // `log` receives the steps' lines and must outlive the steps. The request list lives here,
  // so an owner that destroys the responder first keeps it until the capture worker has ended.
  explicit LiveSteps(LogSink& log);

  // Hands the mailbox parameters of `mail` (protocol, server, account, security, folder) to
  // the mail client.
  void SetMailbox(const MailSettings& mail);
  // Loads the sender address list that belongs to the settings file `settingsPath`, and keeps
  // the reply counts in that file's state file.
  void UseSettingsFile(const std::string& settingsPath);

  // False while MissingMailSettings names a key: checking could not log in, or would delete
  // the accepted mails and then fail every reply.
  bool MailboxReady(const AllSettings& settings) override;
  int CheckMail() override;
  // The filter step with the reply limits; before any accepted mail is deleted it makes sure a
  // picture can be taken (PictureSourceProblem), else the mails stay on the server.
  int ProcessRequests(const AllSettings& settings) override;
  // Why no picture can be taken now with `deviceName` (CP932, for the log): neither the
  // sibling program's link selected by the name nor a started camera is there. Empty when a
  // picture source is ready.
  [[nodiscard]] std::string PictureSourceProblem(const std::string& deviceName) const;
  // The sibling camera (may be null); set before the workers start. It must outlive them.
  void SetSiblingCamera(SiblingCamera* sibling) { sibling_ = sibling; }

  int CaptureFrame(const std::string& path) override;
  bool UsesSibling(const std::string& deviceName) override { return sibling_ && sibling_->Selects(deviceName); }
  bool SiblingCapture(const std::string& path) override { return sibling_ && sibling_->Capture(path); }
  void MakeNames(const RunContext& run, time_t captureTime) override;
  std::string MakePicture(const RunContext& run, int profile) override;
  void SendReplies(const RunContext& run) override;
  bool DialConnect(const std::string& entry) override;
  void DialHangUp(const std::string& entry) override;
  // The mail client's IMAP idle session; no idle after a check that could not log in.
  bool StartIdle() override;
  IdleNews WaitIdle(int64_t ms) override;
  void EndIdle() override { client_.EndIdle(); }

  // The outcome of the last check and run, for the owner once the workers have ended.
  // Whether the last CheckMail failed to log in (as opposed to finding no mail).
  bool lastLoginFailed() const { return client_.lastLoginFailed(); }
  // Requests of the last run that should have been answered and were not (a failed send, a
  // failed POP-before-SMTP log-in); a request from the program's own address does not count.
  int failedReplies() const { return failedReplies_; }
  // Mails of the last check that were accepted but kept on the server for a later check (no
  // picture source, or the reply counts could not be kept).
  int heldRequests() const { return heldRequests_; }

 private:
  SiblingCamera* sibling_ = nullptr;
  LogSink& log_;
  CMailClient client_;
  AddressList addresses_;
  std::string statePath_;  // set before the workers start
  RequestList requests_;
  qv::PictureNames names_;
  // Written by the workers: the request list, the names and the counts of one cycle are handed
  // from the check to the run by the responder's capture request.
  int failedReplies_ = 0;
  int heldRequests_ = 0;
};
