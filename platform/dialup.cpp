#include "platform/dialup.h"

#include <cstdlib>

#include "platform/process.h"
#include "platform/text.h"
#include "platform/timing.h"

namespace qv {
namespace {

ProcessResult RunNmcli(const std::vector<std::string>& arguments, bool captureOutput) {
  std::vector<std::string> command = {NmcliPath()};
  command.insert(command.end(), arguments.begin(), arguments.end());
  ProcessOptions options;
  options.timeoutMs = GetTimings().dialTimeoutMs;
  options.captureOutput = captureOutput;
  return RunProcess(command, options);
}

// Splits one line of terse output ("NAME:TYPE") into its fields. In terse output a ':' inside
// a value is written "\:" and a backslash "\\".
std::vector<std::string> TerseFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == '\\' && i + 1 < line.size()) {
      fields.back().push_back(line[++i]);
    } else if (c == ':') {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  return fields;
}

bool IsDialType(const std::string& type) {
  return type == "gsm" || type == "cdma" || type == "pppoe" || type == "bluetooth";
}

}  // namespace

std::string NmcliPath() {
  const char* path = std::getenv("QUORVEX_NMCLI");
  return path && *path ? path : "nmcli";
}

std::vector<std::string> ListDialEntries() {
  ProcessResult result = RunNmcli({"-t", "-f", "NAME,TYPE", "connection", "show"}, true);
  std::vector<std::string> names;
  if (!result.Succeeded()) return names;
  for (std::string_view piece : SplitLines(result.output)) {
    std::string line(piece);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::vector<std::string> fields = TerseFields(line);
    if (fields.size() == 2 && !fields[0].empty() && IsDialType(fields[1])) {
      names.push_back(Cp932FromUtf8(fields[0]));
    }
  }
  return names;
}

bool DialConnect(const std::string& name) {
  return RunNmcli({"connection", "up", "id", Utf8FromCp932(name)}, false).Succeeded();
}

bool DialHangUp(const std::string& name) {
  return RunNmcli({"connection", "down", "id", Utf8FromCp932(name)}, false).Succeeded();
}

}  // namespace qv
