// Code from outside the program's own files (the sibling camera program's plug-in, the picture
// converter) runs as the user: it is taken only from a place no other user can change, and it
// is run or loaded through the descriptor that was checked, so nothing can be swapped in
// between the check and the use.
#pragma once

#include <string>

namespace qv {

// Opens the program or library `path` for running (RunProcess with ProcessOptions::programFd)
// or loading (LoadTrustedLibrary). Refused, -1 with the reason in `*why` (English, naming the
// path): a path that is not absolute; a folder or file that belongs to another user than this
// one or root, or that group or others may write to; a file that is a symbolic link (the folder
// may be reached through links, as /lib is on Debian); not a regular file; one that cannot be
// opened. Otherwise the open descriptor (close-on-exec), which the caller closes.
[[nodiscard]] int OpenTrustedCode(const std::string& path, std::string* why);

// Loads the library `path` (dlopen, RTLD_NOW | RTLD_LOCAL) once OpenTrustedCode accepted it,
// through its descriptor. Null with the reason in `*why` when it was refused or did not load.
[[nodiscard]] void* LoadTrustedLibrary(const std::string& path, std::string* why);

}  // namespace qv
