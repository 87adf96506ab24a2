// Clean-up of files that a failed write left behind.
#pragma once

#include <string>

namespace qxcore {

// Removes `path` when it names a regular file. A destination may be a device (/dev/null,
// /dev/full) that is not ours to remove.
void RemovePartialFile(const std::string& path);

}  // namespace qxcore
