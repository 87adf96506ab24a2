#include "app/settings/converter_lookup.h"

#include "platform/registry.h"

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
