#include "app/shell/settings_library.h"

#include <dlfcn.h>

QDOpenDialogFunction SettingsLibrary::Entry() {
  if (entry_) return entry_;
  if (!handle_) {
    handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
      const char* reason = dlerror();
      error_ = reason ? reason : path_ + ": cannot be loaded";
      return nullptr;
    }
  }
  entry_ = reinterpret_cast<QDOpenDialogFunction>(dlsym(handle_, "QDOpenDialog"));
  if (!entry_) error_ = path_ + ": no QDOpenDialog";
  return entry_;
}
