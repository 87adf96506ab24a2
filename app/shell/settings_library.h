// The settings dialog library, libQXDVDlg.so beside the program, loaded with dlopen on the
// first use of the settings command (the program runs without it).
#pragma once

#include <string>

#include "dialogs/qxdvdlg.h"

// QDOpenDialog(reserved, info, parent): runs the settings sheet modally; 1 after OK, 2 after
// Cancel or for a null record.
using QDOpenDialogFunction = int (*)(int reserved, QDOPENDIALOGINFO* info, QWidget* parent);

class SettingsLibrary {
 public:
  explicit SettingsLibrary(std::string path) : path_(std::move(path)) {}
  // The library stays loaded until the program ends: the sheet's Qt classes may still be
  // referenced by the application when the window closes.
  ~SettingsLibrary() = default;
  SettingsLibrary(const SettingsLibrary&) = delete;
  SettingsLibrary& operator=(const SettingsLibrary&) = delete;

  // The QDOpenDialog entry, loading the library on the first call; null when the library or
  // the entry is missing (error() then tells why).
  [[nodiscard]] QDOpenDialogFunction Entry();
  [[nodiscard]] const std::string& path() const { return path_; }
  [[nodiscard]] const std::string& error() const { return error_; }

 private:
  std::string path_;
  void* handle_ = nullptr;
  QDOpenDialogFunction entry_ = nullptr;
  std::string error_;
};
