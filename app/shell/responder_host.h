// What the window and the run without a screen own for the life of the process: the settings
// file and its records, the activity log, the responder's steps and workers, the work folder,
// the capture core and the started device, the window endpoint "Quorvex" and the link to the
// sibling camera program.
//
// Order of use: Open (work folder, capture core, sibling plug-in, settings, address list, mail
// client, window endpoint), then SelectDevice, then responder().StartWorkers(); ReloadSettings
// for the settings dialog and for a request to read the settings again; Close at the end (also
// done by the destructor), after the workers have ended.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/responder/responder.h"
#include "app/settings/activity_log.h"
#include "app/settings/settings.h"

class LiveSteps;
class QWidget;
class SiblingLink;
namespace qv {
class WindowEndpoint;
}

// What the mail settings lack and the commands that set it (CP932, one log line), or "" when
// MissingMailSettings names nothing.
[[nodiscard]] std::string MailSetupMessage(const MailSettings& mail);

class ResponderHost {
 public:
  // Makes the steps of a cycle; tests give fakes. Empty: the real steps.
  using StepsFactory = std::function<std::unique_ptr<ResponderSteps>(LogSink& log)>;

  explicit ResponderHost(StepsFactory factory = {});
  ~ResponderHost();
  ResponderHost(const ResponderHost&) = delete;
  ResponderHost& operator=(const ResponderHost&) = delete;

  // Makes the private work folder, makes a settings file that is not there yet with the first
  // settings (CreateFirstSettings), starts the capture core and loads the settings of
  // qv::SettingsPath() (logging what the load held to its range). An installed program
  // (qv::ProgramIsInstalled) first records its per-user folder as "Directory" of the product
  // key HKEY_CURRENT_USER\Software\Halvorsk\Quorvex, for the uninstall clean-up; a failure
  // to do so is a line on standard error. False, with a line on standard error and nothing
  // started, when the work folder cannot be made: the program must not run then.
  [[nodiscard]] bool Open();
  // Loads the settings file and the address list again, gives the log its settings (and logs
  // what the load held to its range, which senders the filter lets through, a sender address
  // no reply could be sent from, and MailSetupMessage once when the mail settings are
  // incomplete, in which case no check is made), the mail client its mailbox parameters and the
  // workers the new records; loads the sibling's plug-in when DeviceName selects the sibling,
  // and unloads it when not (a refusal is logged with its path and reason).
  void LoadSettings();
  // Reads the settings again while the workers run: holds the mail-check worker between checks
  // with the patrol off (a running check finishes with what it had; the capture worker is not
  // held), runs `whileHeld` (the settings dialog; may be empty), LoadSettings, makes the next
  // check due now, puts the patrol back as it was and lets the worker go on.
  void ReloadSettings(const std::function<void()>& whileHeld = {});
  // Device selection with the capture core's device count; the preview goes into `parent` (null
  // without a screen). Returns SelectCaptureDevice's result.
  int SelectDevice(QWidget* parent, bool previewHidden);
  // Shuts the capture core down and removes the work folder; the second call does nothing.
  void Close();

  // The window endpoint's socket (-1 without one): readable when window messages wait.
  [[nodiscard]] int windowMessageFd() const;
  // Handles every waiting window message (WM_SIBLING_IMAGE_READY) without blocking.
  void PumpWindowMessages();
  // Whether pictures can come from the sibling camera program: its plug-in is loaded, or would
  // be loaded were the sibling entry selected.
  [[nodiscard]] bool siblingAvailable() const;

  Responder& responder() { return *responder_; }
  ActivityLog& log() { return log_; }
  // The real steps; null when a factory made others.
  LiveSteps* liveSteps() { return liveSteps_; }
  const AllSettings& settings() const { return settings_; }
  const std::string& settingsPath() const { return settingsPath_; }
  const std::string& workFolder() const { return workFolder_; }
  bool deviceRunning() const { return deviceRunning_; }
  void SetDeviceRunning(bool running) { deviceRunning_ = running; }

 private:
  ActivityLog log_;
  std::unique_ptr<ResponderSteps> steps_;
  LiveSteps* liveSteps_ = nullptr;
  std::unique_ptr<Responder> responder_;
  std::unique_ptr<SiblingLink> sibling_;
  std::unique_ptr<qv::WindowEndpoint> endpoint_;
  AllSettings settings_;
  std::string settingsPath_;
  std::string workFolder_;
  bool coreStarted_ = false;
  bool deviceRunning_ = false;
};
