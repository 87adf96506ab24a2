// Choosing and starting the capture device at start-up.
#pragma once

#include <string>
#include <vector>

class QWidget;
struct BasicSettings;

// The device list entry that selects the sibling camera program instead of a device.
const std::string& SiblingEntryName();

// True when the sibling camera program's window "Orbisk" is there.
bool SiblingWindowExists();

// What device selection needs from its caller.
struct DeviceSelection {
  BasicSettings* basic = nullptr;  // DeviceName is read, and written when a device starts
  std::string settingsPath;        // where the started device's name is stored
  QWidget* parent = nullptr;       // preview parent; null without a screen
  bool previewHidden = true;       // the preview is shrunk to 1 x 1
  bool deviceRunning = false;      // set when a device was started here
};

// Starts the configured capture device (or the first that starts when DeviceName is empty),
// with the capture core already started and `count` devices listed. Returns 1 when a device
// was started or the sibling entry is configured, 0 when no device is listed or none matched,
// -1 when matching devices exist but none could be started. Each failure shows its message box.
int SelectCaptureDevice(int count, DeviceSelection& selection);

// Sets the preview to 320 x 240 at `shownFps` frames per second (`shown`), or to 1 x 1 at one
// frame per second, and re-selects the display mode.
void ApplyPreviewSize(bool shown, int shownFps);

// The names DeviceName can take now (CP932): the sibling entry first when the sibling camera
// program's plug-in loads, then every capture device with a name, in device order. Starts the
// capture core for the look-up and shuts it down again, so nothing else may be using it.
[[nodiscard]] std::vector<std::string> ListDeviceNames();

// Preview frame rate of a PreviewRate index; indexes outside 0..6 are clamped.
int PreviewRateFps(int index);
