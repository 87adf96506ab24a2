#include "app/image/converter.h"

#include <unistd.h>

#include "platform/files.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/timing.h"

std::string ConverterPathFromCommand(const std::string& command) {
  size_t start = command.find_first_not_of(" \t");
  if (start == std::string::npos) return {};
  if (command[start] == '"') {
    size_t close = command.find('"', start + 1);
    if (close != std::string::npos) return command.substr(start + 1, close - start - 1);
  }
  std::string unquoted;
  for (size_t i = start; i < command.size(); ++i) {
    if (command[i] != '"') unquoted.push_back(command[i]);
  }
  return unquoted.substr(0, unquoted.find_first_of(" \t"));
}

bool LocateConverter(std::string* converterPath) {
  converterPath->clear();
  std::string command;
  if (!qv::ReadRegistryString(kConverterCommandKey, "", &command)) return false;
  *converterPath = ConverterPathFromCommand(command);
  return !converterPath->empty();
}

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
