// Top-level windows of cooperating programs, found by title. A program window that takes
// messages from other programs has an endpoint named by its title: a Unix datagram socket in
// $XDG_RUNTIME_DIR/quorvex-windows/, else /tmp/quorvex-windows-UID/.
#pragma once

#include <string>

namespace qv {

// The folder of the endpoints, with a trailing '/'.
[[nodiscard]] std::string WindowEndpointFolder();

// True when a window titled `title` has its endpoint (as FindWindow finds a window by title).
[[nodiscard]] bool WindowTitleExists(const std::string& title);

}  // namespace qv
