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
    for (DriverEntry& entry : ListV4l2Drivers("/dev")) entries.push_back(std::move(entry));
  }
  if (entries.size() > static_cast<size_t>(kMaxDrivers)) entries.resize(kMaxDrivers);
  return entries;
}

void SetDriverListerForTesting(DriverLister lister) {
  std::lock_guard lock(listerMutex);
  testingLister = std::move(lister);
}

}  // namespace qxcore
