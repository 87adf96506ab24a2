// QXComm.so: orbisk's plug-in, loaded by Quorvex from orbisk's folder. GetImageFileName writes
// the path of orbisk's latest picture, as recorded in "LastImage.txt" beside the plug-in, into
// the caller's 260-byte buffer; an empty string when there is none or it would not fit.
#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// The file this plug-in was mapped from, as /proc/self/maps names it: the loader may have been
// given another name for it (Quorvex loads it through /proc/self/fd/N).
std::string OwnFile() {
  const auto here = reinterpret_cast<uintptr_t>(&OwnFile);
  FILE* maps = std::fopen("/proc/self/maps", "r");
  if (!maps) return {};
  std::string found;
  char line[4096];
  while (found.empty() && std::fgets(line, sizeof line, maps)) {
    unsigned long start = 0, end = 0;
    int pathAt = 0;
    if (std::sscanf(line, "%lx-%lx %*s %*s %*s %*s %n", &start, &end, &pathAt) < 2 || pathAt == 0) continue;
    if (here < start || here >= end || line[pathAt] != '/') continue;
    found = line + pathAt;
    while (!found.empty() && (found.back() == '\n' || found.back() == ' ')) found.pop_back();
  }
  std::fclose(maps);
  return found;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void GetImageFileName(char* buffer) {
  buffer[0] = '\0';
  std::string record = OwnFile();
  if (record.empty()) return;
  record = record.substr(0, record.find_last_of('/') + 1) + "LastImage.txt";
  FILE* file = std::fopen(record.c_str(), "rb");
  if (!file) return;
  char path[261];
  size_t length = std::fread(path, 1, sizeof path, file);
  std::fclose(file);
  if (length == 0 || length > 259) return;
  std::memcpy(buffer, path, length);
  buffer[length] = '\0';
}
