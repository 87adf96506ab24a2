#include "app/settings/ini.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/files.h"
#include "platform/text.h"

namespace {

// Serialises the routines inside the process; the file itself is replaced atomically.
std::mutex iniMutex;

// Upper-cases ASCII letters, leaving both bytes of every double-byte character alone.
std::string UpperSjis(std::string_view text) {
  std::string out(text);
  for (size_t i = 0; i < out.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(out[i]);
    if (qv::IsSjisLeadByte(c) && i + 1 < out.size()) {
      ++i;
    } else if (c >= 'a' && c <= 'z') {
      out[i] = static_cast<char>(c - 'a' + 'A');
    }
  }
  return out;
}

std::string_view CutComment(std::string_view line) {
  size_t semicolon = line.find(';');
  return semicolon == std::string_view::npos ? line : line.substr(0, semicolon);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool IsHeader(std::string_view text) { return text.size() >= 2 && text.front() == '[' && text.back() == ']'; }

// The section search's test: comment cut, trimmed, a header naming `upperSection`.
bool IsSectionHeader(std::string_view line, const std::string& upperSection) {
  std::string_view text = Trim(CutComment(line));
  return IsHeader(text) && UpperSjis(text.substr(1, text.size() - 2)) == upperSection;
}

bool StartsWithKey(std::string_view commentCut, const std::string& upperKey) {
  if (commentCut.size() < upperKey.size()) return false;
  return UpperSjis(commentCut.substr(0, upperKey.size())) == upperKey;
}

// Reads a file line by line: a line ends at LF, a CR right before the LF is dropped, the last
// line may lack its end. Lines of any length and with NUL bytes come through whole.
class LineReader {
 public:
  explicit LineReader(FILE* file) : file_(file) {}
  ~LineReader() { free(buffer_); }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  bool Next(std::string_view* line) {
    ssize_t length = getline(&buffer_, &capacity_, file_);
    if (length < 0) return false;
    size_t n = static_cast<size_t>(length);
    if (n > 0 && buffer_[n - 1] == '\n') {
      --n;
      if (n > 0 && buffer_[n - 1] == '\r') --n;
    }
    *line = std::string_view(buffer_, n);
    return true;
  }
  // True when reading stopped because of an error rather than the end of the file.
  bool Failed() const { return ferror(file_) != 0; }

 private:
  FILE* file_;
  char* buffer_ = nullptr;
  size_t capacity_ = 0;
};

// Opens `path` for reading when it is a regular file; null otherwise (errno set). Opened
// without blocking first, so a named pipe in place of the file cannot hold the caller.
FILE* OpenRegularFile(const char* path) {
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    errno = EISDIR;
    return nullptr;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  FILE* file = fdopen(fd, "rb");
  if (!file) close(fd);
  return file;
}

// Looks the key up; false when the default applies.
bool FindValue(const char* path, const std::string& upperSection, const std::string& upperKey, std::string* value) {
  FILE* file = OpenRegularFile(path);
  if (!file) return false;
  LineReader reader(file);
  std::string_view line;
  bool inSection = false;
  bool found = false;
  while (!found && reader.Next(&line)) {
    if (!inSection) {
      inSection = IsSectionHeader(line, upperSection);
      continue;
    }
    if (line.empty()) continue;
    std::string_view text = CutComment(line);
    if (IsHeader(text)) break;
    if (StartsWithKey(text, upperKey)) {
      text.remove_prefix(std::min(text.size(), upperKey.size() + 1));
      // C strings end at a NUL byte; so does a value.
      size_t zero = text.find('\0');
      value->assign(text.substr(0, zero));
      found = true;
    }
  }
  fclose(file);
  return found;
}

std::string CutAtLineBreak(const char* text) {
  std::string_view view(text ? text : "");
  return std::string(view.substr(0, view.find_first_of("\r\n")));
}

void Report(const char* path, const char* what) {
  std::fprintf(stderr, "Quorvex: the settings file %s could not be written (%s); it was left as it was\n", path,
               what);
}

// Writes the rewritten file into `out`, reading the old one from `in` (null: no old file).
void Rewrite(FILE* in, FILE* out, const std::string& section, const std::string& keyLine,
             const std::string& upperSection, const std::string& upperKey, bool* readFailed) {
  auto put = [out](std::string_view text) {
    fwrite(text.data(), 1, text.size(), out);
    fwrite("\r\n", 1, 2, out);
  };
  if (!in) {
    put("[" + section + "]");
    put(keyLine);
    return;
  }
  LineReader reader(in);
  std::string_view line;
  bool inSection = false;
  bool written = false;
  while (reader.Next(&line)) {
    if (written) {
      put(line);
      continue;
    }
    if (!inSection) {
      put(line);
      inSection = IsSectionHeader(line, upperSection);
      continue;
    }
    if (line.empty()) continue;  // blank lines in front of the key disappear
    std::string_view text = CutComment(line);
    if (IsHeader(text)) {
      put(keyLine);
      put(text);
      written = true;
    } else if (StartsWithKey(text, upperKey)) {
      put(keyLine);
      written = true;
    } else {
      put(line);
    }
  }
  *readFailed = reader.Failed();
  if (written) return;
  if (!inSection) put("[" + section + "]");
  put(keyLine);
}

}  // namespace

int GetIniString(const char* section, const char* key, const char* defaultValue, char* buffer, size_t size,
                 const char* path) {
  if (!buffer || size == 0) return 0;
  std::string value = defaultValue ? defaultValue : "";
  if (section && key && path) {
    std::lock_guard lock(iniMutex);
    std::string found;
    if (FindValue(path, UpperSjis(section), UpperSjis(key), &found)) value = std::move(found);
  }
  size_t n = std::min(value.size(), size - 1);
  std::memcpy(buffer, value.data(), n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

int WriteIniString(const char* section, const char* key, const char* value, const char* path) {
  if (!section || !key || !path || !*path) return 0;
  std::string sectionName = CutAtLineBreak(section);
  std::string keyName = CutAtLineBreak(key);
  std::string keyLine = keyName + "=" + CutAtLineBreak(value);

  std::lock_guard lock(iniMutex);
  // Replace the file a symbolic link points at, not the link.
  std::string target = path;
  struct stat st;
  bool exists = lstat(path, &st) == 0;
  if (exists && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (!realpath(path, resolved)) {
      Report(path, std::strerror(errno));
      return 0;
    }
    target = resolved;
    exists = stat(target.c_str(), &st) == 0;
  } else if (!exists && errno != ENOENT) {
    Report(path, std::strerror(errno));
    return 0;
  }

  FILE* in = nullptr;
  if (exists) {
    in = OpenRegularFile(target.c_str());
    if (!in) {
      Report(path, S_ISREG(st.st_mode) ? std::strerror(errno) : "it is not a file");
      return 0;
    }
  }
  std::string folder = qv::FolderOf(target);
  if (folder.empty()) folder = "./";
  std::string temp = qv::MakeTempFile(folder, "QX");
  if (temp.empty()) {
    Report(path, ("no new file can be made in " + folder + ": " + std::strerror(errno)).c_str());
    if (in) fclose(in);
    return 0;
  }
  FILE* out = std::fopen(temp.c_str(), "wb");
  if (!out) {
    Report(path, std::strerror(errno));
    unlink(temp.c_str());
    if (in) fclose(in);
    return 0;
  }
  // The file holds the mail passwords: every save leaves it private to the user, whatever
  // mode the old file had.
  fchmod(fileno(out), 0600);

  bool readFailed = false;
  Rewrite(in, out, sectionName, keyLine, UpperSjis(sectionName), UpperSjis(keyName), &readFailed);
  if (in) fclose(in);
  bool ok = !readFailed && fflush(out) == 0 && !ferror(out) && fsync(fileno(out)) == 0;
  int savedErrno = errno;
  if (std::fclose(out) != 0) ok = false;
  if (ok && std::rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    Report(path, readFailed ? "the old file could not be read to its end" : std::strerror(savedErrno));
    unlink(temp.c_str());
    return 0;
  }
  return 1;
}
