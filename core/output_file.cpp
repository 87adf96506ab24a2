#include "core/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qxcore {

std::FILE* OpenOutputFile(const std::string& path, FileCreation creation) {
  if (creation == FileCreation::kReplace) return std::fopen(path.c_str(), "wb");
  (void)unlink(path.c_str());  // a link is removed itself, never what it points to
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "wb");
  if (file == nullptr) close(fd);
  return file;
}

void RemovePartialFile(const std::string& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) std::remove(path.c_str());
}

}  // namespace qxcore
