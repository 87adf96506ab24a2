// orbisk: a small stand-in for the sibling camera program Orbisk, to exercise Quorvex's link.
//
//   orbisk [--folder DIR] [--picture FILE.bmp] [--delay MS] [--never]
//
// It registers its window "Orbisk", writes its folder (default: its own program folder, where
// QXComm.so lies) to the registry as HKEY_CURRENT_USER\Software\Halvorsk\Orbisk "Directory",
// and prints "orbisk: ready". On WM_SIBLING_CAPTURE it writes a 24-bit BMP to a new file
// "OrbiskNNNNNN.bmp" in its folder (a frame of the first test camera, or a copy of --picture),
// records that file's path in "LastImage.txt" there for the plug-in, and posts
// WM_SIBLING_IMAGE_READY to the window named in lParam: at once, after --delay milliseconds,
// or (--never) not at all. SIGINT or SIGTERM ends it.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/qxdvcore.h"
#include "platform/files.h"
#include "platform/registry.h"
#include "platform/timing.h"
#include "platform/window_endpoint.h"

namespace {

constexpr uint32_t kCaptureRequest = 1147;  // WM_SIBLING_CAPTURE
constexpr uint32_t kImageReady = 1148;      // WM_SIBLING_IMAGE_READY

std::atomic<bool> stopping{false};
void OnStopSignal(int) { stopping = true; }

struct Options {
  std::string folder;
  std::string picture;
  long delayMs = 0;
  bool never = false;
};

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    bool hasValue = i + 1 < argc;
    if (argument == "--folder" && hasValue) {
      options->folder = argv[++i];
    } else if (argument == "--picture" && hasValue) {
      options->picture = argv[++i];
    } else if (argument == "--delay" && hasValue) {
      char* end = nullptr;
      options->delayMs = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || options->delayMs < 0) return false;
    } else if (argument == "--never") {
      options->never = true;
    } else {
      return false;
    }
  }
  return true;
}

// A new file name in `folder` that no other picture has; empty when none could be made.
std::string NewPictureFile(const std::string& folder) {
  for (int n = 0; n < 1000000; ++n) {
    char name[32];
    std::snprintf(name, sizeof name, "Orbisk%06d.bmp", n);
    std::string path = folder + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      close(fd);
      return path;
    }
    if (errno != EEXIST) return {};
  }
  return {};
}

bool MakePicture(const Options& options, bool cameraStarted, const std::string& path) {
  if (!options.picture.empty()) {
    std::string bytes = qv::ReadFileBytes(options.picture);
    return !bytes.empty() && qv::WriteFileBytes(path, bytes);
  }
  return cameraStarted && QXCaptureSingleFrame(path.c_str(), 0) != 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    std::fprintf(stderr, "usage: orbisk [--folder DIR] [--picture FILE.bmp] [--delay MS] [--never]\n");
    return 1;
  }
  std::string folder = options.folder.empty() ? qv::ProgramFolder() : options.folder;
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  if (!qv::WriteRegistryString("HKEY_CURRENT_USER\\Software\\Halvorsk\\Orbisk", "Directory", folder)) {
    std::fprintf(stderr, "orbisk: cannot write the registry file %s\n", qv::RegistryFilePath().c_str());
    return 1;
  }
  folder += "/";

  bool cameraStarted = false;
  if (options.picture.empty()) {
    QXStartup();
    cameraStarted = QXGetDeviceCount() > 0 && QXStartupDevice(nullptr, 0);
    if (!cameraStarted) std::fprintf(stderr, "orbisk: no camera could be started\n");
  }

  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  qv::WindowEndpoint window("Orbisk");
  if (!window.ok()) {
    std::string why;
    std::string folder = qv::WindowEndpointFolder(&why);
    std::fprintf(stderr, "orbisk: cannot register the window: %s\n",
                 folder.empty() ? why.c_str() : ("the socket could not be made in " + folder).c_str());
    return 1;
  }
  std::printf("orbisk: ready\n");
  std::fflush(stdout);

  while (!stopping) {
    qv::WindowMessage message;
    if (!window.Receive(&message, 100) || message.message != kCaptureRequest) continue;
    std::string path = NewPictureFile(folder);
    if (path.empty() || !MakePicture(options, cameraStarted, path)) {
      std::fprintf(stderr, "orbisk: no picture could be made in %s\n", folder.c_str());
      if (!path.empty()) unlink(path.c_str());
      continue;
    }
    std::string record = folder + "LastImage.txt";
    if (!qv::WriteFileBytes(record + ".new", path) || rename((record + ".new").c_str(), record.c_str()) != 0) {
      std::fprintf(stderr, "orbisk: cannot write %s\n", record.c_str());
      continue;
    }
    std::printf("orbisk: picture %s\n", path.c_str());
    std::fflush(stdout);
    if (options.never) continue;
    qv::SleepMs(options.delayMs);
    qv::PostWindowMessage(message.lParam, kImageReady, 0, 0);
  }
  if (cameraStarted) QXCleanup();
  return 0;
}
