#include "app/image/converter.h"

#include <unistd.h>

#include <filesystem>
#include <set>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/trusted_code.h"
#include "platform/timing.h"

namespace {

// The names of the regular files in `folder`.
std::set<std::string> FilesIn(const std::string& folder) {
  std::set<std::string> names;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder.empty() ? "." : folder, error)) {
    if (entry.is_regular_file(error)) names.insert(entry.path().filename().string());
  }
  return names;
}

}  // namespace

int RunConverter(const std::string& converterPath, const std::string& source, const std::string& destination) {
  qv::ProcessOptions options;
  options.timeoutMs = qv::GetTimings().converterTimeoutMs;
  // What a killed converter leaves beside its destination (half a picture, its own temporary
  // files) is removed: the folder is the run's private work folder.
  const std::string folder = qv::FolderOf(destination);
  const std::set<std::string> before = FilesIn(folder);
  // Run through the descriptor that passed the check, so no other file can be swapped in.
  std::string refused;
  options.programFd = qv::OpenTrustedCode(converterPath, &refused);
  if (options.programFd < 0) return 0;
  qv::ProcessResult result = qv::RunProcess({converterPath, source, "/convert=" + destination, "/silent"}, options);
  close(options.programFd);
  if (result.outcome == qv::ProcessOutcome::kTimedOut) {
    qv::RemoveRegularFile(destination);
    for (const std::string& name : FilesIn(folder)) {
      if (!before.count(name)) qv::RemoveRegularFile(folder + name);
    }
    return 0;
  }
  return result.Succeeded() ? 1 : 0;
}
