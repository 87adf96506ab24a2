#include "platform/window_endpoints.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace qv {

std::string WindowEndpointFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  return runtime && *runtime ? std::string(runtime) + "/quorvex-windows/"
                             : "/tmp/quorvex-windows-" + std::to_string(getuid()) + "/";
}

bool WindowTitleExists(const std::string& title) {
  struct stat st;
  return stat((WindowEndpointFolder() + title).c_str(), &st) == 0 && S_ISSOCK(st.st_mode);
}

}  // namespace qv
