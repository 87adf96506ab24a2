// The one way Quorvex shows a message to the user: an OK-only box. The window installs a
// sink that shows a real box; tests and running without a screen install one that records
// or prints the text.
#pragma once

#include <functional>
#include <string>

namespace qv {

// Receives the CP932 text and caption of one box; returns when the user has confirmed it.
using MessageBoxSink = std::function<void(const std::string& text, const std::string& caption)>;

// Shows an OK-only box. Without an installed sink the text goes to standard error (UTF-8).
void ShowMessageBox(const std::string& text, const std::string& caption = "Quorvex");

// Installs `sink` (empty: back to standard error) and returns the previous one.
MessageBoxSink SetMessageBoxSink(MessageBoxSink sink);

}  // namespace qv
