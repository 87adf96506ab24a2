#include "app/shell/responder_host.h"

#include <cstdio>
#include <filesystem>

#include "app/responder/live_steps.h"
#include "app/shell/device_selection.h"
#include "core/qxdvcore.h"
#include "platform/files.h"

ResponderHost::ResponderHost(StepsFactory factory) {
  if (factory) {
    steps_ = factory(log_);
  } else {
    auto live = std::make_unique<LiveSteps>(log_);
    liveSteps_ = live.get();
    steps_ = std::move(live);
  }
  responder_ = std::make_unique<Responder>(*steps_, log_);
  if (liveSteps_) liveSteps_->SetResponder(responder_.get());
}

ResponderHost::~ResponderHost() {
  // The workers end before the steps and the log they use go away.
  responder_.reset();
  Close();
}

void ResponderHost::Open() {
  settingsPath_ = qv::SettingsPath();
  workFolder_ = qv::MakeWorkFolder("SS");
  if (workFolder_.empty()) {
    std::fprintf(stderr, "Quorvex: the work folder could not be made in %s\n", qv::TempFolder().c_str());
  }
  responder_->SetWorkFolder(workFolder_);
  QXStartup();
  coreStarted_ = true;
  LoadSettings();
}

void ResponderHost::LoadSettings() {
  LoadAllSettings(settingsPath_.c_str(), &settings_);
  log_.SetSettings(settings_.basic.LogOutput, settings_.basic.LogFolder, qv::ProgramDataFolder());
  if (liveSteps_) {
    liveSteps_->LoadAddressList(settingsPath_);
    liveSteps_->SetPopParams(settings_.mail);
  }
  responder_->SetSettings(settings_);
}

int ResponderHost::SelectDevice(QWidget* parent, bool previewHidden) {
  DeviceSelection selection;
  selection.basic = &settings_.basic;
  selection.settingsPath = settingsPath_;
  selection.parent = parent;
  selection.previewHidden = previewHidden;
  int result = SelectCaptureDevice(QXGetDeviceCount(), selection);
  deviceRunning_ = selection.deviceRunning;
  responder_->SetSettings(settings_);
  return result;
}

void ResponderHost::Close() {
  if (coreStarted_) QXCleanup();
  coreStarted_ = false;
  if (!workFolder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(workFolder_, ignored);
    workFolder_.clear();
  }
}
