// Synthetic capture devices for tests, benchmarks and machines without a camera, named in
// $QUORVEX_TEST_DEVICES ("Name A,Name B"). A name starting with '!' refuses to connect. A device
// delivers a deterministic moving colour picture at 640 x 480 (other sizes through the format
// dialog), or the 24-bit BMP named by $QUORVEX_TEST_FRAME at its own size.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/capture_driver.h"

namespace qxcore {

// The names in a comma-separated list, with blanks around each name removed and empty names
// dropped.
[[nodiscard]] std::vector<std::string> ParseTestDeviceNames(const std::string& list);

// The test devices of $QUORVEX_TEST_DEVICES, in list order (empty when unset).
[[nodiscard]] std::vector<DriverEntry> ListTestDevices();

// Connects the test device `name`: null for a name starting with '!', and when
// $QUORVEX_TEST_FRAME names a file that is not a readable BMP (a line on standard error says
// why).
[[nodiscard]] std::unique_ptr<CaptureDriver> OpenTestDevice(const std::string& name);

// Frame `frameIndex` of the moving picture: `width` x `height` BGR pixels, rows top to bottom.
// A colour gradient that drifts by 4 steps per frame with a white square that moves across.
void RenderTestPicture(uint32_t frameIndex, int width, int height, std::vector<uint8_t>& bgr);

}  // namespace qxcore
