// QXComm.so: orbisk's plug-in, loaded by Quorvex from orbisk's folder. GetImageFileName writes
// the path of orbisk's latest picture, as recorded in "LastImage.txt" beside the plug-in, into
// the caller's 260-byte buffer; an empty string when there is none or it would not fit.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>

extern "C" __attribute__((visibility("default"))) void GetImageFileName(char* buffer) {
  buffer[0] = '\0';
  Dl_info self{};
  if (!dladdr(reinterpret_cast<void*>(&GetImageFileName), &self) || !self.dli_fname) return;
  std::string record = self.dli_fname;
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
