#include "app/responder/live_steps.h"

#include <cstring>

#include "app/mail/reply_dispatch.h"
#include "app/settings/state_file.h"
#include "core/qxdvcore.h"
#include "platform/text.h"
#include "platform/dialup.h"

LiveSteps::LiveSteps(LogSink& log) : log_(log), client_(&log) {}

void LiveSteps::SetMailbox(const MailSettings& mail) {
  client_.SetMailbox(mail);
}

void LiveSteps::UseSettingsFile(const std::string& settingsPath) {
  addresses_.LoadAddressList(AddressListPath(settingsPath));
  statePath_ = StateFilePath(settingsPath);
  client_.SetStatePath(statePath_);
}

bool LiveSteps::MailboxReady(const AllSettings& settings) { return MissingMailSettings(settings.mail).empty(); }

int LiveSteps::CheckMail() {
  const int fetched = client_.CheckMail();
  return fetched == 0 && client_.lastCheckFailed() ? -1 : fetched;
}

int LiveSteps::ProcessRequests(const AllSettings& settings) {
  RequestGate gate;
  gate.statePath = statePath_;
  const std::string deviceName = settings.basic.DeviceName;
  gate.pictureSourceProblem = [this, deviceName] { return PictureSourceProblem(deviceName); };
  RequestTally tally;
  int accepted = ::ProcessRequests(client_, settings.filter, addresses_, requests_, log_, gate, &tally);
  heldRequests_ = tally.held;
  return accepted;
}

std::string LiveSteps::PictureSourceProblem(const std::string& deviceName) const {
  if (sibling_ && sibling_->Selects(deviceName)) return {};
  if (QXGetCurDevice() >= 0) return {};
  return SJIS("画像を撮るカメラが起動していません(カメラがつながっていないか、使えません)。");
}

int LiveSteps::CaptureFrame(const std::string& path) { return QXCaptureSingleFrame(path.c_str(), 0); }

void LiveSteps::MakeNames(const RunContext& run, time_t captureTime) {
  std::tm local{};
  localtime_r(&captureTime, &local);
  names_ = qv::MakeNames(run.workFolder, run.settings.pict, run.settings.converterPath, local);
}

std::string LiveSteps::MakePicture(const RunContext& run, int profile) {
  qv::BuildProfilePicture(run.workFolder, names_, profile, run.settings.pict[profile],
                          run.settings.converterPath, &log_);
  return names_.outputPath[profile];
}

void LiveSteps::SendReplies(const RunContext& run) {
  const AllSettings& settings = run.settings;
  ReplyFiles files;
  files.workFolder = run.workFolder;
  for (int k = 0; k < qv::kProfileCount; ++k) {
    files.pictures[k] = names_.outputPath[k];
    files.attachmentNames[k] = names_.attachmentName[k];
  }
  const int repliesSent = ::SendReplies(client_, settings.mail, settings.send, requests_, files, log_);
  int answerable = 0;
  for (const auto& request : requests_) {
    if (request && std::strncmp(request->address, settings.mail.MailAddr, sizeof request->address) != 0) {
      ++answerable;
    }
  }
  failedReplies_ = answerable - repliesSent;
}

bool LiveSteps::DialConnect(const std::string& entry) { return qv::DialConnect(entry); }

void LiveSteps::DialHangUp(const std::string& entry) { qv::DialHangUp(entry); }

bool LiveSteps::StartIdle() { return !client_.lastLoginFailed() && client_.StartIdle(); }

ResponderSteps::IdleNews LiveSteps::WaitIdle(int64_t ms) {
  switch (client_.WaitIdle(ms)) {
    case CMailClient::IdleNews::kNewMail:
      return IdleNews::kNewMail;
    case CMailClient::IdleNews::kDropped:
      return IdleNews::kDropped;
    case CMailClient::IdleNews::kNone:
      break;
  }
  return IdleNews::kNone;
}
