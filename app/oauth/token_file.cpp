#include "app/oauth/token_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "app/oauth/token_reply.h"
#include "app/settings/state_file.h"
#include "platform/files.h"
#include "platform/text.h"

namespace {

constexpr long long kMaxTokenFileBytes = 64 * 1024;

std::string Reason(const char* utf8, const std::string& path) {
  return SJIS("トークンファイル ") + path + " " + qv::Cp932FromUtf8(utf8);
}

bool UsableToken(const std::string& value) {
  if (value.empty() || value.size() > kMaxTokenBytes) return false;
  for (unsigned char c : value) {
    if (c < 0x21 || c > 0x7E) return false;
  }
  return true;
}

}  // namespace

std::string TokenFilePath(const std::string& settingsPath) {
  // The state file's name with its other extension: the two always sit side by side.
  constexpr std::string_view kStateExtension = ".state";
  std::string statePath = StateFilePath(settingsPath);
  return statePath.substr(0, statePath.size() - kStateExtension.size()) + ".tokens";
}

TokenFileStatus LoadTokenFile(const std::string& path, StoredTokens* tokens, std::string* why) {
  *tokens = {};
  auto refuse = [&](const std::string& reason) {
    if (why) *why = reason;
    return TokenFileStatus::kRefused;
  };
  // O_NOFOLLOW: a link put in its place could point at another user's file.
  qv::FileDescriptor fd(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
  if (fd.get() < 0) {
    if (errno == ENOENT) return TokenFileStatus::kMissing;
    return refuse(Reason("を開けません: ", path) + std::strerror(errno));
  }
  struct stat st;
  if (fstat(fd.get(), &st) != 0) return refuse(Reason("を調べられません: ", path) + std::strerror(errno));
  if (!S_ISREG(st.st_mode)) return refuse(Reason("は通常のファイルではありません。", path));
  if (st.st_uid != geteuid()) return refuse(Reason("は他のユーザーのものです。使いません。", path));
  if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    return refuse(Reason("は他のユーザーも読み書きできます。使いません (chmod 600 で直せます)。", path));
  }
  if (st.st_size > kMaxTokenFileBytes) return refuse(Reason("が大きすぎます。", path));
  std::string bytes(static_cast<size_t>(st.st_size), '\0');
  if (!bytes.empty() && !qv::ReadAt(fd.get(), bytes.data(), bytes.size(), 0)) {
    return refuse(Reason("を読めません。", path));
  }
  for (std::string_view line : qv::SplitLines(bytes)) {
    size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    std::string_view name = line.substr(0, space);
    std::string value(line.substr(space + 1));
    if (name == "refresh_token" && UsableToken(value)) {
      tokens->refreshToken = value;
    } else if (name == "access_token" && UsableToken(value)) {
      tokens->accessToken = value;
    } else if (name == "expires_at" && !value.empty() && value.size() <= 18 &&
               value.find_first_not_of("0123456789") == std::string::npos) {
      tokens->expiresAt = std::stoll(value);
    }
  }
  return TokenFileStatus::kRead;
}

bool SaveTokenFile(const std::string& path, const StoredTokens& tokens, std::string* why) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
      if (why) *why = Reason("は他のユーザーのものか、通常のファイルではありません。書き換えません。", path);
      return false;
    }
    // The replacement keeps the old file's mode: an old file that others could read is made
    // private first.
    if (chmod(path.c_str(), S_IRUSR | S_IWUSR) != 0) {
      if (why) *why = Reason("のモードを変えられません: ", path) + std::strerror(errno);
      return false;
    }
  }
  std::string bytes;
  if (UsableToken(tokens.refreshToken)) bytes += "refresh_token " + tokens.refreshToken + "\n";
  if (UsableToken(tokens.accessToken)) {
    bytes += "access_token " + tokens.accessToken + "\n";
    bytes += "expires_at " + std::to_string(tokens.expiresAt) + "\n";
  }
  std::string error;
  if (!qv::ReplaceFileContents(path, bytes, &error)) {
    if (why) *why = Reason("に書き込めません: ", path) + error;
    return false;
  }
  return true;
}
