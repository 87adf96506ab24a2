// The link to the sibling camera program Orbisk, which hands over finished pictures.
//
// Orbisk writes its folder to the registry (HKEY_CURRENT_USER\Software\Halvorsk\Orbisk, value
// "Directory"); its plug-in QXComm.so there exports GetImageFileName(char buffer[260]), which
// writes the full path of the picture it has just made. The hand-over: the capture worker posts
// WM_SIBLING_CAPTURE (wParam 0, lParam our window's handle) to the window titled "Orbisk" and
// waits for "QuorvexLiveCapture"; Orbisk posts WM_SIBLING_IMAGE_READY to our window, whose
// handler calls GetImageFileName and sets the event; the worker copies the picture over its
// frame file, deletes Orbisk's file and resets the event.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "app/responder/live_steps.h"
#include "platform/event.h"
#include "platform/window_endpoint.h"

inline constexpr uint32_t WM_SIBLING_CAPTURE = 1147;
inline constexpr uint32_t WM_SIBLING_IMAGE_READY = 1148;

// Checks the picture path the plug-in wrote into its 260-byte `buffer` and copies the file to
// `destination`. Refused (false, nothing copied, the reason on standard error): no terminating
// zero within 260 bytes, a path that is not a regular file (links included) or not a BMP. The
// sibling's file is deleted after the copy only when it lies directly in `siblingFolder`.
[[nodiscard]] bool TakeSiblingPicture(const char* buffer, const std::string& siblingFolder,
                                      const std::string& destination);

class SiblingLink : public SiblingCamera {
 public:
  // `ready` is the event "QuorvexLiveCapture"; it must outlive the link.
  explicit SiblingLink(qv::Event& ready) : ready_(ready) {}
  // Unloads the plug-in.
  ~SiblingLink() override;
  SiblingLink(const SiblingLink&) = delete;
  SiblingLink& operator=(const SiblingLink&) = delete;

  // Reads the sibling folder from the registry and loads QXComm.so from it, only from a safe
  // place (qv::LoadTrustedLibrary: an absolute folder and a file of this user or root that no
  // one else may change, no link). True when the link is available (the plug-in loaded and
  // exports GetImageFileName); a link already made stays. Runs the plug-in's own start-up code,
  // so it is called only while the sibling entry is the selected device.
  bool Load();
  // Unloads the plug-in; the link is then unavailable until the next Load.
  void Unload();
  // Loads the plug-in when `deviceName` is the sibling entry, unloads it otherwise; true when
  // the link is available afterwards.
  bool Follow(const std::string& deviceName);
  // Whether Load would find a plug-in it may load: the folder is registered and QXComm.so in
  // it passes the safety check. Loads nothing (for offering the sibling entry in the device list).
  [[nodiscard]] bool Offered() const;
  [[nodiscard]] bool available() const { return loaded_.load(); }
  // Why the last Load did not make the link (empty after a successful one): the plug-in's path
  // and the reason.
  [[nodiscard]] const std::string& why() const { return why_; }
  [[nodiscard]] const std::string& folder() const { return folder_; }

  // The handle of our own window, which receives WM_SIBLING_IMAGE_READY.
  void SetOwnWindow(qv::WindowHandle window) { ownWindow_ = window; }

  // Window side of WM_SIBLING_IMAGE_READY: fills the picture path, then sets the event.
  void OnImageReady();

  // Worker side: the entry name "Orbisk連携" selects the sibling.
  [[nodiscard]] bool Selects(const std::string& deviceName) const override;
  // Posts the request when Orbisk's window is there and waits for the event, at most the
  // sibling poll times the poll count (about 180 s), ending at once on an abort; then takes the
  // picture and resets the event.
  bool Capture(const std::string& path) override;

 private:
  using GetImageFileNameFunction = void (*)(char* buffer);
  // The plug-in may write only 260 bytes; the rest absorbs one that writes more.
  static constexpr size_t kBufferSize = 4096;

  // The registered sibling folder (empty when none is) and the plug-in's path in it.
  static std::string RegisteredFolder();
  // Waits for the event; true when it came in time.
  bool WaitForPicture();

  qv::Event& ready_;
  std::string folder_;
  std::string why_;
  // Load, Unload and OnImageReady run on the window thread; the worker only asks available().
  std::mutex pathMutex_;  // the window side writes the path, the worker reads it; the plug-in
                          // is unloaded only under it
  void* module_ = nullptr;
  GetImageFileNameFunction getImageFileName_ = nullptr;
  std::atomic<bool> loaded_{false};
  qv::WindowHandle ownWindow_ = 0;
  char path_[kBufferSize] = {};
};
