// The device dialogs: picture format, picture source controls and stream compression. Each
// runs modally on the GUI thread and changes nothing itself; the caller applies the result.
// Controls carry object names so tests can find them.
#pragma once

#include <vector>

#include "core/capture_driver.h"

class QWidget;

namespace qxcore {

// Lets the user choose among `formats` (list "formatList", `current` selected). True with
// `chosen` set when the user confirms.
[[nodiscard]] bool RunFormatDialog(QWidget* parent, const std::vector<FrameFormat>& formats,
                                   const FrameFormat& current, FrameFormat& chosen);

// Lets the user edit `controls` (a spin box, or a check box for a boolean control, named
// "control" + id). True with the new values in `controls` when the user confirms.
[[nodiscard]] bool RunSourceDialog(QWidget* parent, std::vector<DriverControl>& controls);

// Lets the user choose the Motion-JPEG quality of recorded streams (spin box "streamQuality",
// 1 to 100). True with `quality` set when the user confirms.
[[nodiscard]] bool RunCompressionDialog(QWidget* parent, int& quality);

}  // namespace qxcore
