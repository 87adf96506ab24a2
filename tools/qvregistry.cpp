// qvregistry: reads and changes Quorvex's registry file from the command line (install
// scripts, tests, and people who would rather not edit the file by hand).
//
//   qvregistry path                      prints the registry file's path
//   qvregistry get KEY [NAME]            prints a string value (NAME "@" or none: the default)
//   qvregistry set KEY NAME VALUE        sets a string value, creating the key
//   qvregistry delete KEY                deletes the key and everything below it
//
// KEY is a full path such as HKEY_CLASSES_ROOT\IrfanView\shell\open\command. Exit status 0
// on success, 1 with a message on standard error otherwise.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/registry.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: qvregistry path\n"
               "       qvregistry get KEY [NAME]\n"
               "       qvregistry set KEY NAME VALUE\n"
               "       qvregistry delete KEY\n");
  return 1;
}

std::string ValueName(const char* name) { return std::strcmp(name, "@") == 0 ? std::string() : std::string(name); }

// Splits "ROOT\rest" into a root handle and the rest; false for an unknown root.
bool SplitKey(const std::string& path, HKEY* root, std::string* rest) {
  for (auto [name, handle] : {std::pair{"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
                              std::pair{"HKEY_CURRENT_USER", HKEY_CURRENT_USER}}) {
    size_t length = std::strlen(name);
    if (path.compare(0, length, name) == 0 && (path.size() == length || path[length] == '\\')) {
      *root = handle;
      *rest = path.size() > length ? path.substr(length + 1) : std::string();
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = argv[1];
  if (command == "path" && argc == 2) {
    std::printf("%s\n", qv::RegistryFilePath().c_str());
    return 0;
  }
  if (command == "get" && (argc == 3 || argc == 4)) {
    std::string value;
    if (!qv::ReadRegistryString(argv[2], argc == 4 ? ValueName(argv[3]) : std::string(), &value)) {
      std::fprintf(stderr, "qvregistry: no such string value in %s\n", qv::RegistryFilePath().c_str());
      return 1;
    }
    std::printf("%s\n", value.c_str());
    return 0;
  }
  if (command == "set" && argc == 5) {
    if (!qv::WriteRegistryString(argv[2], ValueName(argv[3]), argv[4])) {
      std::fprintf(stderr, "qvregistry: cannot set the value in %s (is the key under HKEY_CLASSES_ROOT or "
                           "HKEY_CURRENT_USER, and the file writable?)\n",
                   qv::RegistryFilePath().c_str());
      return 1;
    }
    return 0;
  }
  if (command == "delete" && argc == 3) {
    HKEY root = nullptr;
    std::string rest;
    long status = SplitKey(argv[2], &root, &rest) ? RegDeleteKeyA(root, rest.c_str()) : ERROR_INVALID_PARAMETER;
    if (status != ERROR_SUCCESS) {
      std::fprintf(stderr, "qvregistry: cannot delete %s (error %ld)\n", argv[2], status);
      return 1;
    }
    return 0;
  }
  return Usage();
}
