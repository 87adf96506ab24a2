// The program's command line: the input is the arguments after the program name, each ended
// by a zero byte (a last one without it counts too).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "app/shell/command_line.h"
#include "fuzz/fuzz_support.h"

using namespace qv::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view input = AsText(data, size);
  std::vector<std::string> arguments;
  while (!input.empty()) {
    size_t end = input.find('\0');
    arguments.emplace_back(input.substr(0, end));
    input.remove_prefix(end == std::string_view::npos ? input.size() : end + 1);
  }
  CommandLineOptions options;
  std::string error;
  if (ParseCommandLine(arguments, &options, &error)) {
    Check(error.empty(), "a message for an accepted command line");
    Check(options.timingScale == -1 || options.timingScale >= 0, "a negative timing scale accepted");
    Check(!options.iniPath.empty() || std::find(arguments.begin(), arguments.end(), "--ini") == arguments.end(),
          "--ini accepted without a path");
  } else {
    Check(!error.empty(), "a refused command line without a message");
  }
  return 0;
}
