#include "core/capture_driver.h"

#include <mutex>

#include "core/test_device.h"
#include "core/v4l2_device.h"

namespace qxcore {
namespace {
std::mutex listerMutex;
DriverLister testingLister;
}  // namespace

std::vector<DriverEntry> ListCaptureDrivers() {
  DriverLister lister;
  {
    std::lock_guard lock(listerMutex);
    lister = testingLister;
  }
  std::vector<DriverEntry> entries = lister ? lister() : ListTestDevices();
  if (!lister) {
    for (const V4l2Node& node : ListV4l2CaptureNodes("/dev")) {
      if (entries.size() >= static_cast<size_t>(kMaxDrivers)) break;
      const std::string path = node.path;
      entries.push_back({node.card, [path] { return OpenV4l2Device(path); }});
    }
  }
  if (entries.size() > static_cast<size_t>(kMaxDrivers)) entries.resize(kMaxDrivers);
  return entries;
}

void SetDriverListerForTesting(DriverLister lister) {
  std::lock_guard lock(listerMutex);
  testingLister = std::move(lister);
}

}  // namespace qxcore
