#include "app/image/converter.h"

#include <unistd.h>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/timing.h"

int RunConverter(const std::string& converterPath, const std::string& source, const std::string& destination) {
  qv::ProcessOptions options;
  options.timeoutMs = qv::GetTimings().converterTimeoutMs;
  qv::ProcessResult result = qv::RunProcess({converterPath, source, "/convert=" + destination, "/silent"}, options);
  if (result.outcome == qv::ProcessOutcome::kTimedOut) {
    qv::RemoveRegularFile(destination);
    return 0;
  }
  return result.Succeeded() ? 1 : 0;
}
