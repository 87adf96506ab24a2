// The outside picture converter that writes GIF reply pictures (its registration is looked
// up by app/settings/converter_lookup.h). It is started as
//   converter SOURCE /convert=DESTINATION /silent
// and is expected to read the BMP file SOURCE (recognised by content, the name has no useful
// extension) and to write DESTINATION in the format its extension names.
#pragma once

#include <string>

// Runs the converter from `source` to `destination` and waits for its end, at most the
// converter time-out of the timings record. A converter that runs longer is killed with
// everything it started, reaped, and its destination file is removed, so a half-written
// picture is never sent, together with every other file it left in the destination's folder
// (which must be private to the caller: the work folder). The converter runs only from a safe
// place (qv::OpenTrustedCode), through the descriptor that was checked. Logs nothing. Returns 1
// when the converter ended with exit status 0, 0 when it was refused, could not be started,
// failed or was killed.
int RunConverter(const std::string& converterPath, const std::string& source, const std::string& destination);
