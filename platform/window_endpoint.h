// Window messages between programs. A window that other programs can find by its title is an
// endpoint: a Unix datagram socket "#HANDLE" in the endpoint folder, plus a link named by the
// title that points at it. FindWindowByTitle follows the link; PostWindowMessage sends the
// message number and its two parameters to a handle without waiting.
//
// The folder is $XDG_RUNTIME_DIR/quorvex-windows/, else one in the user's home
// ($XDG_CACHE_HOME/quorvex-windows/, else ~/.cache/quorvex-windows/; never a name in a shared
// folder that another user could take first), made with mode 0700 so that only the user's own
// programs reach it. A socket left behind by a program that is gone is not a window: nothing
// accepts what is sent to it.
#pragma once

#include <cstdint>
#include <string>

namespace qv {

// A window handle; 0 is none. Handles are unique among the live endpoints of the machine.
using WindowHandle = int64_t;

struct WindowMessage {
  uint32_t message = 0;
  int64_t wParam = 0;
  int64_t lParam = 0;
};

// The endpoint folder with its trailing '/', created (mode 0700) when missing; empty when it
// cannot be made or is not a private folder of the user, with the reason (naming the folder)
// in `*why` when `why` is not null.
[[nodiscard]] std::string WindowEndpointFolder(std::string* why = nullptr);

class WindowEndpoint {
 public:
  // Registers a window with `title` ('/' in a title becomes '_'); a newer window of the same
  // title takes the title over. ok() is false when the socket could not be made.
  explicit WindowEndpoint(const std::string& title);
  // Removes the socket, and the title link while it still points at this window.
  ~WindowEndpoint();
  WindowEndpoint(const WindowEndpoint&) = delete;
  WindowEndpoint& operator=(const WindowEndpoint&) = delete;

  [[nodiscard]] bool ok() const { return fd_ >= 0; }
  [[nodiscard]] WindowHandle handle() const { return handle_; }
  // The socket, readable when a message waits (for a caller's own poll loop).
  [[nodiscard]] int fd() const { return fd_; }

  // Takes one message, waiting at most `timeoutMs` (0: not at all; negative: until one comes).
  // Datagrams that are not a message are dropped. False when none came.
  [[nodiscard]] bool Receive(WindowMessage* message, int timeoutMs);

 private:
  std::string socketPath_;
  std::string linkPath_;
  WindowHandle handle_ = 0;
  int fd_ = -1;
};

// The handle of a live window with this title, 0 when there is none.
[[nodiscard]] WindowHandle FindWindowByTitle(const std::string& title);

// Sends a message to `window` without waiting; false when the window is gone or the handle is 0.
bool PostWindowMessage(WindowHandle window, uint32_t message, int64_t wParam, int64_t lParam);

}  // namespace qv
