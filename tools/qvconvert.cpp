// qvconvert: the picture converter Quorvex starts for GIF reply pictures.
//
//   qvconvert SOURCE /convert=DESTINATION [/silent]
//
// Reads the BMP file SOURCE (recognised by its content; the name needs no extension) and
// writes DESTINATION in the format of its extension: .gif, .png, .jpg / .jpeg or .bmp (any
// letter case). The picture is written to a temporary name in the destination's folder and
// renamed into place, so DESTINATION is either complete or untouched. Exit status 0 on
// success, 1 with a message on standard error on any failure. /silent is accepted for
// compatibility; qvconvert never shows anything but its error messages.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tools/picture.h"

namespace {

constexpr int kJpegQuality = 90;

int Usage() {
  std::fprintf(stderr, "usage: qvconvert SOURCE /convert=DESTINATION [/silent]\n");
  return 1;
}

int Fail(const std::string& message) {
  std::fprintf(stderr, "qvconvert: %s\n", message.c_str());
  return 1;
}

std::string LowerExtension(const std::string& path) {
  size_t slash = path.rfind('/');
  size_t dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
  std::string extension = path.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

// Writes `bytes` beside `destination` and renames it into place.
bool WriteAtomically(const std::string& destination, const std::vector<uint8_t>& bytes, std::string* error) {
  std::string folder = qv::FolderOf(destination);
  if (folder.empty()) folder = "./";
  std::string temp = qv::MakeTempFile(folder, ".qvconvert-");
  if (temp.empty()) {
    *error = "cannot write in " + folder + ": " + std::strerror(errno);
    return false;
  }
  int fd = open(temp.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  bool ok = fd >= 0 && fchmod(fd, 0644) == 0;
  size_t done = 0;
  while (ok && done < bytes.size()) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) ok = false;
    else done += static_cast<size_t>(n);
  }
  if (ok && fsync(fd) != 0) ok = false;
  int savedErrno = errno;
  if (fd >= 0 && close(fd) != 0) ok = false;
  if (ok && rename(temp.c_str(), destination.c_str()) != 0) {
    ok = false;
    savedErrno = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    *error = "cannot write " + destination + ": " + std::strerror(savedErrno);
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string source;
  std::string destination;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (argument.rfind("/convert=", 0) == 0) {
      destination = argument.substr(9);
    } else if (argument == "/silent") {
      continue;
    } else if (argument == "--help" || argument == "-h") {
      Usage();
      return 0;
    } else if (source.empty()) {
      source = argument;
    } else {
      return Usage();
    }
  }
  if (source.empty() || destination.empty()) return Usage();

  std::string extension = LowerExtension(destination);
  if (extension != "gif" && extension != "png" && extension != "jpg" && extension != "jpeg" && extension != "bmp") {
    return Fail("cannot tell the output format from " + destination + " (use .gif, .png, .jpg or .bmp)");
  }
  qvconvert::Picture picture;
  std::string error;
  if (!qvconvert::ReadBmpFile(source, &picture, &error)) return Fail(error);
  std::vector<uint8_t> bytes;
  bool encoded = false;
  if (extension == "gif") {
    encoded = qvconvert::EncodeGif(picture, &bytes, &error);
  } else if (extension == "png") {
    encoded = qvconvert::EncodePng(picture, &bytes, &error);
  } else if (extension == "bmp") {
    encoded = qvconvert::EncodeBmp(picture, &bytes, &error);
  } else {
    encoded = qvconvert::EncodeJpeg(picture, kJpegQuality, &bytes, &error);
  }
  if (!encoded) return Fail(error);
  if (!WriteAtomically(destination, bytes, &error)) return Fail(error);
  return 0;
}
