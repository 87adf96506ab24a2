// What Quorvex remembers between runs for one settings file (reply counts, and later more),
// in a small text file beside it: the settings file's name with ".state" for its extension
// ("Quorvex.ini" -> "Quorvex.state"), readable and writable by the user only (0600).
//
// The file is a list of named sections of lines, each line ended by LF:
//   [ReplyCount]
//   day 2024-06-01 12
//   reply 1717236000 taro@example.jp
// Each part of the program owns its sections and keeps the others as it read them. The file
// is replaced whole on every save (written beside it, flushed and renamed over it), so a crash
// leaves the old or the new one. It is still untrusted input (a person or a broken disk may
// change it): a line that begins with "[" and ends with "]" starts a section (even "[]"), a line
// before the first section is ignored, a CR before the LF dropped, and a
// file above kMaxStateFileBytes is refused rather than read.
//
// Load, change and Save from one thread at a time; two processes that save the same file at
// once keep the changes of the last one.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

inline constexpr size_t kMaxStateFileBytes = 16 * 1024 * 1024;

// The state file that belongs to the settings file `settingsPath`.
[[nodiscard]] std::string StateFilePath(const std::string& settingsPath);

class StateFile {
 public:
  explicit StateFile(std::string path) : path_(std::move(path)) {}

  // Reads the file, replacing what the store held. A missing file is an empty store. False
  // with a reason in *error (may be null) when the file is there but cannot be read or is too
  // large; the store is then empty.
  [[nodiscard]] bool Load(std::string* error);
  // The lines of `section`, in file order (none when the section is missing).
  [[nodiscard]] const std::vector<std::string>& Lines(std::string_view section) const;
  // Replaces the lines of `section` (an empty list removes it). A line that could not be read
  // back as one (empty, holding CR, LF or NUL, or beginning with '[') is dropped. `section`
  // must be a plain name without ']', CR or LF.
  void SetLines(std::string_view section, std::vector<std::string> lines);
  // Writes every section to the file with mode 0600. False with a reason in *error (may be
  // null); the old file is then unchanged.
  [[nodiscard]] bool Save(std::string* error) const;

  [[nodiscard]] const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::pair<std::string, std::vector<std::string>>> sections_;
};
