#include "app/settings/state_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"
#include "platform/text.h"

std::string StateFilePath(const std::string& settingsPath) {
  size_t slash = settingsPath.rfind('/');
  size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  size_t dot = settingsPath.rfind('.');
  std::string base = dot == std::string::npos || dot <= nameStart ? settingsPath : settingsPath.substr(0, dot);
  return base + ".state";
}

bool StateFile::Load(std::string* error) {
  sections_.clear();
  auto fail = [&](const std::string& why) {
    if (error) *error = why;
    return false;
  };
  qv::FileDescriptor fd(open(path_.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return errno == ENOENT ? true : fail(std::strerror(errno));
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return fail(std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return fail("it is not a file");
  if (st.st_size > static_cast<off_t>(kMaxStateFileBytes)) return fail("it is larger than 16 MiB");
  std::string bytes(static_cast<size_t>(st.st_size), '\0');
  if (!bytes.empty() && !qv::ReadAt(fd.get(), bytes.data(), bytes.size(), 0)) return fail("it cannot be read");

  std::vector<std::string>* lines = nullptr;
  for (std::string_view piece : qv::SplitLines(bytes)) {
    std::string line(piece);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      std::string name = line.substr(1, line.size() - 2);
      lines = nullptr;
      for (auto& section : sections_) {
        if (section.first == name) lines = &section.second;
      }
      if (!lines) lines = &sections_.emplace_back(name, std::vector<std::string>()).second;
    } else if (lines && !line.empty() && line.find('\0') == std::string::npos) {
      lines->push_back(std::move(line));
    }
  }
  return true;
}

const std::vector<std::string>& StateFile::Lines(std::string_view section) const {
  static const std::vector<std::string> kNone;
  for (const auto& entry : sections_) {
    if (entry.first == section) return entry.second;
  }
  return kNone;
}

void StateFile::SetLines(std::string_view section, std::vector<std::string> lines) {
  std::erase_if(lines, [](const std::string& line) {
    return line.empty() || line.front() == '[' || line.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos;
  });
  for (auto it = sections_.begin(); it != sections_.end(); ++it) {
    if (it->first != section) continue;
    if (lines.empty()) {
      sections_.erase(it);
    } else {
      it->second = std::move(lines);
    }
    return;
  }
  if (!lines.empty()) sections_.emplace_back(std::string(section), std::move(lines));
}

bool StateFile::Save(std::string* error) const {
  std::string bytes;
  for (const auto& [name, lines] : sections_) {
    bytes += "[" + name + "]\n";
    for (const std::string& line : lines) bytes += line + "\n";
  }
  // An existing file that others could read is made private before it is replaced: the
  // replacement keeps the old file's mode, and a new file is made private.
  if (chmod(path_.c_str(), S_IRUSR | S_IWUSR) != 0 && errno != ENOENT) {
    if (error) *error = std::strerror(errno);
    return false;
  }
  return qv::ReplaceFileContents(path_, bytes, error);
}
