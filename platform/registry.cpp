#include "platform/registry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <vector>

#include "platform/files.h"

struct RegistryKey {
  std::string path;  // full path starting with the root name
};

namespace {

const char kClassesRoot[] = "HKEY_CLASSES_ROOT";
const char kCurrentUser[] = "HKEY_CURRENT_USER";

struct Value {
  std::string name;  // "" is the default value
  uint32_t type = REG_SZ;
  std::string data;  // REG_SZ without terminator, REG_DWORD as 4 little-endian bytes
};

struct Key {
  std::string path;
  std::vector<Value> values;
};

using Document = std::vector<Key>;

std::mutex registryMutex;
std::set<RegistryKey*> openHandles;

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

// True when `path` is `ancestor` or lies below it.
bool IsAtOrBelow(const std::string& path, const std::string& ancestor) {
  if (path.size() < ancestor.size()) return false;
  if (!SameName(path.substr(0, ancestor.size()), ancestor)) return false;
  return path.size() == ancestor.size() || path[ancestor.size()] == '\\';
}

// The canonical root name at the start of `path`, or empty when there is none.
std::string RootOf(const std::string& path) {
  for (const char* root : {kClassesRoot, kCurrentUser}) {
    if (IsAtOrBelow(path, root)) return root;
  }
  return {};
}

// A path is valid when it starts with a root and has no empty components.
bool IsValidPath(const std::string& path) {
  std::string root = RootOf(path);
  if (root.empty()) return false;
  if (path.size() == root.size()) return true;
  std::string rest = path.substr(root.size() + 1);
  if (rest.empty() || rest.back() == '\\') return false;
  return rest.find("\\\\") == std::string::npos && rest.front() != '\\';
}

// Replaces the root spelling of a valid path by the canonical one.
std::string Canonical(const std::string& path) {
  std::string root = RootOf(path);
  return root + path.substr(root.size());
}

// ---- Reading the file -------------------------------------------------------------------

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads a quoted string starting at text[*pos] == '"'; moves *pos past the closing quote.
bool ParseQuoted(const std::string& text, size_t* pos, std::string* out) {
  if (*pos >= text.size() || text[*pos] != '"') return false;
  out->clear();
  for (size_t i = *pos + 1; i < text.size(); ++i) {
    char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      out->push_back(text[++i]);
    } else if (c == '"') {
      *pos = i + 1;
      return true;
    } else {
      out->push_back(c);
    }
  }
  return false;
}

// Parses "41,00,ff" (blanks allowed around the commas) into bytes.
bool ParseHexBytes(const std::string& text, std::string* out) {
  out->clear();
  size_t i = text.find_first_not_of(" \t");
  while (i != std::string::npos) {
    if (i + 1 >= text.size()) return false;
    int high = HexDigit(text[i]);
    int low = HexDigit(text[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<char>(high * 16 + low));
    i = text.find_first_not_of(" \t", i + 2);
    if (i == std::string::npos) break;
    if (text[i] != ',') return false;
    i = text.find_first_not_of(" \t", i + 1);
  }
  return true;
}

// Parses the right-hand side of a value line; false for anything it does not understand.
bool ParseData(const std::string& text, Value* value) {
  if (!text.empty() && text[0] == '"') {
    size_t pos = 0;
    value->type = REG_SZ;
    return ParseQuoted(text, &pos, &value->data);
  }
  if (text.compare(0, 6, "dword:") == 0) {
    std::string digits = text.substr(6);
    if (digits.empty() || digits.size() > 8) return false;
    uint32_t number = 0;
    for (char c : digits) {
      int d = HexDigit(c);
      if (d < 0) return false;
      number = number * 16 + static_cast<uint32_t>(d);
    }
    value->type = REG_DWORD;
    value->data.assign(4, '\0');
    for (int i = 0; i < 4; ++i) value->data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
    return true;
  }
  std::string bytes;
  if (text.compare(0, 4, "hex:") == 0) {
    if (!ParseHexBytes(text.substr(4), &bytes)) return false;
    value->type = REG_BINARY;
  } else if (text.compare(0, 4, "hex(") == 0) {
    size_t close = text.find("):", 4);
    if (close == std::string::npos || close == 4 || close > 12) return false;
    uint32_t type = 0;
    for (size_t i = 4; i < close; ++i) {
      int d = HexDigit(text[i]);
      if (d < 0) return false;
      type = type * 16 + static_cast<uint32_t>(d);
    }
    if (!ParseHexBytes(text.substr(close + 2), &bytes)) return false;
    value->type = type;
  } else {
    return false;
  }
  if (value->type == REG_SZ) {
    // A string kept as bytes carries its terminating zero; the stored form has none.
    size_t zero = bytes.find('\0');
    if (zero != std::string::npos) bytes.resize(zero);
  }
  value->data = bytes;
  return true;
}

void SetValue(Key* key, Value value) {
  for (Value& existing : key->values) {
    if (SameName(existing.name, value.name)) {
      existing = std::move(value);
      return;
    }
  }
  key->values.push_back(std::move(value));
}

Key* FindKey(Document* document, const std::string& path) {
  for (Key& key : *document) {
    if (SameName(key.path, path)) return &key;
  }
  return nullptr;
}

Key* FindOrAddKey(Document* document, const std::string& path) {
  if (Key* key = FindKey(document, path)) return key;
  document->push_back(Key{path, {}});
  return &document->back();
}

Document Parse(const std::string& text) {
  Document document;
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
    start = end + 1;
  }
  std::string currentPath;  // empty while outside a usable key
  for (size_t i = 0; i < lines.size(); ++i) {
    std::string line = lines[i];
    // hex lists may go on over several lines ending in a backslash
    while (!line.empty() && line.back() == '\\' && line.find("=hex") != std::string::npos &&
           i + 1 < lines.size()) {
      line.pop_back();
      std::string next = lines[++i];
      size_t first = next.find_first_not_of(" \t");
      line += first == std::string::npos ? std::string() : next.substr(first);
    }
    if (line.empty() || line[0] == ';') continue;
    if (line[0] == '[') {
      size_t close = line.rfind(']');
      std::string path = close == std::string::npos ? std::string() : line.substr(1, close - 1);
      currentPath.clear();
      if (!path.empty() && path[0] != '-' && IsValidPath(path)) {
        currentPath = Canonical(path);
        FindOrAddKey(&document, currentPath);
      }
      continue;
    }
    if (currentPath.empty()) continue;
    Value value;
    size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (line[0] == '"') {
      if (!ParseQuoted(line, &pos, &value.name)) continue;
    } else {
      continue;
    }
    if (pos >= line.size() || line[pos] != '=') continue;
    if (!ParseData(line.substr(pos + 1), &value)) continue;
    SetValue(FindOrAddKey(&document, currentPath), std::move(value));
  }
  return document;
}

// Reads the file; a missing file is an empty registry. False only when the file exists but
// cannot be read (writing over it would then lose it).
bool Load(Document* document) {
  document->clear();
  std::string path = qv::RegistryFilePath();
  // Without blocking: a named pipe in place of the file must not hold the caller.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return false;
  }
  std::string text;
  char buffer[65536];
  while (true) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  *document = Parse(text);
  return true;
}

// ---- Writing the file -------------------------------------------------------------------

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  return out + "\"";
}

std::string HexList(const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out.push_back(',');
    unsigned char b = static_cast<unsigned char>(bytes[i]);
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

std::string FormatData(const Value& value) {
  char buffer[32];
  switch (value.type) {
    case REG_SZ:
      if (value.data.find_first_of("\r\n") == std::string::npos) return Quoted(value.data);
      // A line break cannot be written inside quotes; the byte form keeps it.
      return "hex(1):" + HexList(value.data + std::string(1, '\0'));
    case REG_DWORD:
      if (value.data.size() == 4) {
        uint32_t number = 0;
        for (int i = 3; i >= 0; --i) number = number * 256 + static_cast<unsigned char>(value.data[i]);
        std::snprintf(buffer, sizeof buffer, "dword:%08x", number);
        return buffer;
      }
      break;
    case REG_BINARY:
      return "hex:" + HexList(value.data);
    default:
      break;
  }
  std::snprintf(buffer, sizeof buffer, "hex(%x):", value.type);
  return buffer + HexList(value.data);
}

std::string Serialize(const Document& document) {
  std::string text = "REGEDIT4\n\n";
  for (const Key& key : document) {
    text += "[" + key.path + "]\n";
    for (const Value& value : key.values) {
      text += (value.name.empty() ? std::string("@") : Quoted(value.name)) + "=" + FormatData(value) + "\n";
    }
    text += "\n";
  }
  return text;
}

bool Save(const Document& document) {
  std::string path = qv::RegistryFilePath();
  if (path.empty()) return false;
  std::string folder = qv::FolderOf(path);
  if (folder.empty()) folder = "./";
  if (!qv::MakePrivateFolder(folder)) return false;
  std::string temp = qv::MakeTempFile(folder, ".registry-");
  if (temp.empty()) return false;
  std::string text = Serialize(document);
  bool ok = false;
  int fd = open(temp.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) fchmod(fd, st.st_mode & 07777);
    size_t done = 0;
    ok = true;
    while (done < text.size()) {
      ssize_t n = write(fd, text.data() + done, text.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = false;
        break;
      }
      done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0) ok = false;
    if (close(fd) != 0) ok = false;
  }
  if (ok && rename(temp.c_str(), path.c_str()) == 0) return true;
  unlink(temp.c_str());
  return false;
}

// ---- Handles ----------------------------------------------------------------------------

// The full path of an open handle or root; false when `key` is neither.
bool PathOfHandle(HKEY key, std::string* path) {
  if (key == HKEY_CLASSES_ROOT) {
    *path = kClassesRoot;
  } else if (key == HKEY_CURRENT_USER) {
    *path = kCurrentUser;
  } else if (key && openHandles.count(key)) {
    *path = key->path;
  } else {
    return false;
  }
  return true;
}

// Joins the handle's path and `subKey` into the canonical full path; ERROR_INVALID_HANDLE for
// a handle that is neither a root nor open, ERROR_INVALID_PARAMETER when the result is not a
// valid path.
long ResolvePath(HKEY key, const char* subKey, std::string* path) {
  if (!PathOfHandle(key, path)) return ERROR_INVALID_HANDLE;
  if (subKey && *subKey) *path += std::string("\\") + subKey;
  if (!IsValidPath(*path)) return ERROR_INVALID_PARAMETER;
  *path = Canonical(*path);
  return ERROR_SUCCESS;
}

bool KeyExists(const Document& document, const std::string& path) {
  if (RootOf(path).size() == path.size()) return true;
  return std::any_of(document.begin(), document.end(),
                     [&](const Key& key) { return IsAtOrBelow(key.path, path); });
}

HKEY NewHandle(const std::string& path) {
  HKEY handle = new RegistryKey{path};
  openHandles.insert(handle);
  return handle;
}

long OpenOrCreate(HKEY key, const char* subKey, HKEY* result, bool create) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = nullptr;
  std::lock_guard lock(registryMutex);
  std::string path;
  if (long status = ResolvePath(key, subKey, &path); status != ERROR_SUCCESS) return status;
  Document document;
  if (!Load(&document)) return ERROR_ACCESS_DENIED;
  if (!KeyExists(document, path)) {
    if (!create) return ERROR_FILE_NOT_FOUND;
    FindOrAddKey(&document, path);
    if (!Save(document)) return ERROR_ACCESS_DENIED;
  }
  *result = NewHandle(path);
  return ERROR_SUCCESS;
}

}  // namespace

long RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) { return OpenOrCreate(key, subKey, result, false); }

long RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) { return OpenOrCreate(key, subKey, result, true); }

long RegQueryValueExA(HKEY key, const char* valueName, uint32_t* reserved, uint32_t* type, unsigned char* data,
                      uint32_t* dataSize) {
  if (reserved || (data && !dataSize)) return ERROR_INVALID_PARAMETER;
  std::lock_guard lock(registryMutex);
  std::string path;
  if (!PathOfHandle(key, &path)) return ERROR_INVALID_HANDLE;
  Document document;
  if (!Load(&document)) return ERROR_ACCESS_DENIED;
  const Key* found = FindKey(&document, path);
  if (!found) return ERROR_FILE_NOT_FOUND;
  std::string name = valueName ? valueName : "";
  auto value = std::find_if(found->values.begin(), found->values.end(),
                            [&](const Value& v) { return SameName(v.name, name); });
  if (value == found->values.end()) return ERROR_FILE_NOT_FOUND;
  std::string bytes = value->data;
  if (value->type == REG_SZ) bytes.push_back('\0');
  if (type) *type = value->type;
  if (!dataSize) return ERROR_SUCCESS;
  uint32_t room = *dataSize;
  *dataSize = static_cast<uint32_t>(bytes.size());
  if (!data) return ERROR_SUCCESS;
  if (room < bytes.size()) return ERROR_MORE_DATA;
  std::memcpy(data, bytes.data(), bytes.size());
  return ERROR_SUCCESS;
}

long RegSetValueExA(HKEY key, const char* valueName, uint32_t reserved, uint32_t type, const unsigned char* data,
                    uint32_t dataSize) {
  if (reserved != 0 || (!data && dataSize != 0)) return ERROR_INVALID_PARAMETER;
  Value value;
  value.name = valueName ? valueName : "";
  value.type = type;
  value.data.assign(reinterpret_cast<const char*>(data), dataSize);
  if (type == REG_SZ) {
    size_t zero = value.data.find('\0');
    if (zero != std::string::npos) value.data.resize(zero);
  } else if (type == REG_DWORD && dataSize != 4) {
    return ERROR_INVALID_PARAMETER;
  }
  std::lock_guard lock(registryMutex);
  std::string path;
  if (!PathOfHandle(key, &path)) return ERROR_INVALID_HANDLE;
  if (RootOf(path).size() == path.size()) return ERROR_INVALID_PARAMETER;  // no values on a root
  Document document;
  if (!Load(&document)) return ERROR_ACCESS_DENIED;
  SetValue(FindOrAddKey(&document, path), std::move(value));
  return Save(document) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

long RegDeleteKeyA(HKEY key, const char* subKey) {
  std::lock_guard lock(registryMutex);
  std::string path;
  if (long status = ResolvePath(key, subKey, &path); status != ERROR_SUCCESS) return status;
  if (RootOf(path).size() == path.size()) return ERROR_INVALID_PARAMETER;
  Document document;
  if (!Load(&document)) return ERROR_ACCESS_DENIED;
  if (!KeyExists(document, path)) return ERROR_FILE_NOT_FOUND;
  std::erase_if(document, [&](const Key& k) { return IsAtOrBelow(k.path, path); });
  // The key above stays, as in the Windows registry, also when only the deleted key named it.
  std::string parent = path.substr(0, path.rfind('\\'));
  if (!KeyExists(document, parent)) document.push_back(Key{parent, {}});
  return Save(document) ? ERROR_SUCCESS : ERROR_ACCESS_DENIED;
}

long RegCloseKey(HKEY key) {
  if (key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER) return ERROR_SUCCESS;
  std::lock_guard lock(registryMutex);
  if (!key || openHandles.erase(key) == 0) return ERROR_INVALID_HANDLE;
  delete key;
  return ERROR_SUCCESS;
}

namespace qv {

std::string RegistryFilePath() {
  const char* env = getenv("QUORVEX_REGISTRY");
  if (env && *env) return env;
  // Without a home folder there is no registry: never one in a shared or current folder.
  std::string folder = UserConfigFolder();
  return folder.empty() ? std::string() : folder + "registry.reg";
}

bool ReadRegistryString(const std::string& path, const std::string& valueName, std::string* value) {
  std::string root = RootOf(path);
  if (root.empty()) return false;
  HKEY rootKey = root == kClassesRoot ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER;
  std::string rest = path.size() > root.size() ? path.substr(root.size() + 1) : std::string();
  HKEY key = nullptr;
  if (RegOpenKeyA(rootKey, rest.c_str(), &key) != ERROR_SUCCESS) return false;
  uint32_t type = 0;
  uint32_t size = 0;
  bool ok = RegQueryValueExA(key, valueName.c_str(), nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
            type == REG_SZ;
  if (ok) {
    std::vector<unsigned char> buffer(size + 1);
    uint32_t room = static_cast<uint32_t>(buffer.size());
    ok = RegQueryValueExA(key, valueName.c_str(), nullptr, &type, buffer.data(), &room) == ERROR_SUCCESS &&
         type == REG_SZ;
    const char* text = reinterpret_cast<const char*>(buffer.data());
    if (ok) value->assign(text, strnlen(text, room));
  }
  RegCloseKey(key);
  return ok;
}

bool WriteRegistryString(const std::string& path, const std::string& valueName, const std::string& value) {
  std::string root = RootOf(path);
  if (root.empty() || path.size() == root.size()) return false;
  HKEY rootKey = root == kClassesRoot ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER;
  HKEY key = nullptr;
  if (RegCreateKeyA(rootKey, path.substr(root.size() + 1).c_str(), &key) != ERROR_SUCCESS) return false;
  long status = RegSetValueExA(key, valueName.c_str(), 0, REG_SZ, reinterpret_cast<const unsigned char*>(value.data()),
                               static_cast<uint32_t>(value.size()));
  RegCloseKey(key);
  return status == ERROR_SUCCESS;
}

}  // namespace qv
