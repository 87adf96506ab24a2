// The capture core's trace hook. Refused calls and start-up steps pass one line here; by
// default the hook discards it, so nothing reaches the user or a file.
#pragma once

#include <functional>
#include <string>

namespace qxcore {

using TraceHook = std::function<void(const std::string& line)>;

// Passes `line` (ending in "\n") to the installed hook. Thread-safe.
void Trace(const std::string& line);

// Installs `hook` (empty: discard again) and returns the previous one. Tests use it to read
// the lines.
TraceHook SetTraceHook(TraceHook hook);

}  // namespace qxcore
