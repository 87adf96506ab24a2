#include "core/partial_file.h"

#include <cstdio>

#include <sys/stat.h>

namespace qxcore {

void RemovePartialFile(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) std::remove(path.c_str());
}

}  // namespace qxcore
