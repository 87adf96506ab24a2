// Temporary names, the program folder and the settings path.
#pragma once

#include <string>
#include <string_view>

namespace qv {

// The system temporary folder: $TMPDIR when set and non-empty, else "/tmp"; always ends in '/'.
[[nodiscard]] std::string TempFolder();

// Creates a new empty file named `prefix` + six unique characters in `folder` (with or without
// a trailing '/') and returns its path; empty on failure. The file is closed again.
[[nodiscard]] std::string MakeTempFile(const std::string& folder, const std::string& prefix);

// Creates a private folder named `prefix` + six unique characters in the temporary folder,
// readable only by the user, and returns its path with a trailing '/'; empty on failure.
[[nodiscard]] std::string MakeWorkFolder(const std::string& prefix);

// Path of the running program file (from /proc/self/exe).
[[nodiscard]] std::string ProgramPath();
// Folder of the running program file, with a trailing '/'.
[[nodiscard]] std::string ProgramFolder();

// Whether the running program is installed: it sits in a "lib/quorvex/" folder, where the
// install rules put it (a build puts it in "bin/"). An installed program never writes beside
// itself, not even as root: settings, address list and logs go to UserConfigFolder().
[[nodiscard]] bool ProgramIsInstalled();

// Settings path rule: `programPath` with its extension replaced by ".ini", or ".ini" appended
// when the file name has no extension ("/opt/q/Quorvex" -> "/opt/q/Quorvex.ini").
[[nodiscard]] std::string SettingsPathFor(const std::string& programPath);

// The user's configuration folder for Quorvex, "$XDG_CONFIG_HOME/quorvex/" or
// "HOME/.config/quorvex/" with a trailing '/', HOME from the environment or, when it is unset
// (a system service), from the password database. Never a shared folder: "" when the user
// has no home folder at all. Not created here.
[[nodiscard]] std::string UserConfigFolder();

// Creates `folder` and any missing folder above it with mode 0700 (only the user can look
// in). True when it exists as a folder afterwards.
bool MakePrivateFolder(const std::string& folder);

// Where the program keeps what it writes beside itself (the default log folder): the program
// folder when it is writable and the program is not installed, else UserConfigFolder()
// (created, 0700), as for the settings file.
[[nodiscard]] std::string ProgramDataFolder();

// The settings file of this process: the path set by SetSettingsPathOverride when one was
// set (--ini); else the program's settings path when the program folder is writable and the
// program is not installed; else the same file name in UserConfigFolder() (created, 0700), as
// a system-wide install keeps per-user settings; the program's own path again when there is no
// user folder.
[[nodiscard]] std::string SettingsPath();
void SetSettingsPathOverride(const std::string& path);

// Folder part of `path` with a trailing '/' ("" when `path` has no '/').
[[nodiscard]] std::string FolderOf(const std::string& path);

// The whole content of a file; empty when it cannot be read.
[[nodiscard]] std::string ReadFileBytes(const std::string& path);
// Replaces the content of a file (creating it); false when it cannot be written.
bool WriteFileBytes(const std::string& path, std::string_view bytes);

// Replaces the content of the regular file `path` (creating it) so that a reader sees either
// the old content or the new one, never a part: the new content is written to a file beside
// it, flushed to disk and renamed over it. The old file's permissions are kept (a new file is
// private to the user); a symbolic link is followed and its target replaced. False with a
// reason in *error (may be null) when it cannot be done; the old file is then unchanged.
[[nodiscard]] bool ReplaceFileContents(const std::string& path, std::string_view bytes, std::string* error = nullptr);

// Removes `path` when it is a regular file or a symbolic link; a device, a folder or anything
// else is left alone (a destination named by the user may be /dev/null or a pipe).
void RemoveRegularFile(const std::string& path);

// Owns an open file descriptor (none when negative) and closes it when it goes.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor();
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  [[nodiscard]] int get() const { return fd_; }

 private:
  int fd_;
};

// Reads exactly `size` bytes at `offset` of the open file `fd`; false on a short read or an
// error. Interrupted calls are resumed.
[[nodiscard]] bool ReadAt(int fd, void* buffer, size_t size, long long offset);
// Writes exactly `size` bytes at `offset` of the open file `fd`; false on an error.
[[nodiscard]] bool WriteAt(int fd, const void* buffer, size_t size, long long offset);

// Size of a regular file in bytes, or -1 when it cannot be read.
[[nodiscard]] long long FileSize(const std::string& path);

}  // namespace qv
