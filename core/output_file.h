// How the capture core creates the files it writes, and what a failed write leaves behind.
#pragma once

#include <cstdio>
#include <string>

namespace qxcore {

enum class FileCreation {
  // A destination the caller named: an existing file there is replaced.
  kReplace,
  // A work file of the core's own in its private folder: whatever carries the name is removed,
  // then the file is made anew (O_CREAT | O_EXCL | O_NOFOLLOW, mode 0600), so nothing planted
  // under the name, a symbolic link least of all, is ever written through.
  kFresh,
};

// Opens `path` for binary writing as `creation` says. Null on failure, with errno set.
[[nodiscard]] std::FILE* OpenOutputFile(const std::string& path, FileCreation creation);

// Removes `path` when it names a regular file. A destination may be a device (/dev/null,
// /dev/full) that is not ours to remove.
void RemovePartialFile(const std::string& path);

}  // namespace qxcore
