#include "app/shell/responder_host.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "app/address/mail_address.h"
#include "app/mail/mail_message.h"
#include "app/responder/live_steps.h"
#include "app/settings/address_list_file.h"
#include "app/shell/device_selection.h"
#include "app/shell/sibling_link.h"
#include "core/qxdvcore.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/registry.h"
#include "platform/window_endpoint.h"

namespace {

// The product key whose "Directory" names the folder of the settings file and the address
// list for the uninstall clean-up (libUninstQV.so).
const char kProductKeyPath[] = "HKEY_CURRENT_USER\\Software\\Halvorsk\\Quorvex";

// An installed program keeps the settings file and the address list in the user's folder, which
// no package knows about: it names that folder in the product key so that the clean-up finds
// them. A program run from its build folder leaves the registry alone.
void RecordProductFolder() {
  if (!qv::ProgramIsInstalled()) return;
  std::string folder = qv::UserConfigFolder();
  if (folder.empty()) return;
  folder.pop_back();  // a folder without its trailing '/', as an installer writes it
  std::string recorded;
  if (qv::ReadRegistryString(kProductKeyPath, "Directory", &recorded) && recorded == folder) return;
  if (!qv::WriteRegistryString(kProductKeyPath, "Directory", folder)) {
    std::fprintf(stderr, "Quorvex: the settings folder %s could not be recorded in %s\n", folder.c_str(),
                 qv::RegistryFilePath().c_str());
  }
}

}  // namespace

std::string MailSetupMessage(const MailSettings& mail) {
  std::vector<std::string> missing = MissingMailSettings(mail);
  if (missing.empty()) return {};
  std::string keys;
  for (const std::string& key : missing) keys += (keys.empty() ? "" : ", ") + ("MailSettings." + key);
  return SJIS("メールの設定が足りないため、メールを確認しません（未設定: ") + keys +
         SJIS("）。「オプション設定」、Quorvex --settings、または Quorvex --config set MailSettings.") +
         missing.front() + SJIS("=値 で設定し、Quorvex --check-accounts で確かめてください。");
}

ResponderHost::ResponderHost(StepsFactory factory) {
  if (factory) {
    steps_ = factory(log_);
  } else {
    auto live = std::make_unique<LiveSteps>(log_);
    liveSteps_ = live.get();
    steps_ = std::move(live);
  }
  responder_ = std::make_unique<Responder>(*steps_, log_);
  sibling_ = std::make_unique<SiblingLink>(responder_->liveCapture);
}

ResponderHost::~ResponderHost() {
  // The workers end before the steps and the log they use go away.
  responder_.reset();
  Close();
}

bool ResponderHost::Open() {
  RecordProductFolder();
  settingsPath_ = qv::SettingsPath();
  // Without a private work folder the pictures would land in a shared or the current folder.
  workFolder_ = qv::MakeWorkFolder("SS");
  if (workFolder_.empty()) {
    std::fprintf(stderr, "Quorvex: the work folder could not be made in %s (%s); set TMPDIR to a writable folder\n",
                 qv::TempFolder().c_str(), std::strerror(errno));
    return false;
  }
  responder_->SetWorkFolder(workFolder_);
  std::string error;
  if (CreateFirstSettings(settingsPath_.c_str(), &error) == FirstSettings::kFailed) {
    // The settings that hold without a file answer nobody all the same.
    std::fprintf(stderr, "Quorvex: %s\n", error.c_str());
  }
  QXStartup();
  coreStarted_ = true;
  // The plug-in itself is loaded only while its entry is the selected device (LoadSettings).
  if (liveSteps_) liveSteps_->SetSiblingCamera(sibling_.get());
  LoadSettings();
  endpoint_ = std::make_unique<qv::WindowEndpoint>("Quorvex");
  if (!endpoint_->ok()) {
    std::string why;
    std::string folder = qv::WindowEndpointFolder(&why);
    std::fprintf(stderr, "Quorvex: no window endpoint: %s\n",
                 folder.empty() ? why.c_str() : ("the socket could not be made in " + folder).c_str());
  }
  sibling_->SetOwnWindow(endpoint_->handle());
  return true;
}

int ResponderHost::windowMessageFd() const { return endpoint_ ? endpoint_->fd() : -1; }

void ResponderHost::PumpWindowMessages() {
  if (!endpoint_) return;
  qv::WindowMessage message;
  while (endpoint_->Receive(&message, 0)) {
    if (message.message == WM_SIBLING_IMAGE_READY) sibling_->OnImageReady();
  }
}

bool ResponderHost::siblingAvailable() const { return sibling_->available() || sibling_->Offered(); }

void ResponderHost::LoadSettings() {
  LoadAllSettings(settingsPath_.c_str(), &settings_);
  log_.SetSettings(settings_.basic.LogOutput, settings_.basic.LogFolder, qv::ProgramDataFolder(),
                   settings_.basic.LogKeepDays);
  for (const std::string& correction : settings_.corrections) log_.Log(LOG_COMM, correction);
  for (const std::string& warning : settings_.warnings) log_.Log(LOG_COMM, warning);
  if (std::string setup = MailSetupMessage(settings_.mail); !setup.empty()) log_.Log(LOG_RECV, setup);
  // The sibling's plug-in runs code as this user: it is loaded only while it is the device.
  if (!sibling_->Follow(settings_.basic.DeviceName) && SiblingEntryName() == settings_.basic.DeviceName) {
    // Without the link the sibling entry can only fail each capture: say why once per load.
    log_.Log(LOG_PICT, SJIS("Orbisk連携を使えません: ") + qv::Cp932FromUtf8(sibling_->why()));
  }
  if (liveSteps_) {
    liveSteps_->UseSettingsFile(settingsPath_);
    liveSteps_->SetMailbox(settings_.mail);
  }
  // Who gets a picture, said once per load, so that nobody wonders why nothing is answered.
  std::vector<std::string> entries;
  (void)ReadAddressListFile(AddressListPath(settingsPath_), &entries);
  log_.Log(LOG_RECV, FilterStateText(settings_.filter, entries.size()));
  std::string sender;
  if (settings_.mail.MailAddr[0] != '\0' && CheckMailAddress(settings_.mail.MailAddr, &sender) != AddressVerdict::kValid) {
    log_.Log(LOG_SEND, SJIS("差出人メールアドレス(MailAddr)の形式が正しくないため、返信は送れません: ") +
                           CleanHeaderText(settings_.mail.MailAddr));
  }
  responder_->SetSettings(settings_);
}

void ResponderHost::ReloadSettings(const std::function<void()>& whileHeld) {
  Responder& responder = *responder_;
  const bool patrol = responder.patrol();
  responder.SetPause(true);
  responder.SetPatrol(false);
  if (whileHeld) whileHeld();
  LoadSettings();
  responder.MakeCheckDueNow();
  responder.SetPatrol(patrol);
  responder.SetPause(false);
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
