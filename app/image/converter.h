// The outside picture converter that writes GIF reply pictures.
//
// It is registered like a Windows file-type handler: the default value of the registry key
// HKEY_CLASSES_ROOT\IrfanView\shell\open\command holds its open command, for example
// "/opt/quorvex/qvconvert" "%1". It is started as
//   converter SOURCE /convert=DESTINATION /silent
// and is expected to read the BMP file SOURCE (recognised by content, the name has no useful
// extension) and to write DESTINATION in the format its extension names.
#pragma once

#include <string>

// The registry key whose default value holds the converter's open command.
inline constexpr char kConverterCommandKey[] = "HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command";

// Cuts a registered open command down to the program path. A command that starts with a
// quoted path gives that path whole, blanks included; otherwise every double quote is
// removed and the text before the first blank is kept. Leading blanks are skipped.
[[nodiscard]] std::string ConverterPathFromCommand(const std::string& command);

// Looks the converter up in the registry. Returns true and sets *converterPath when the key
// opens and its default value yields a non-empty program path; otherwise returns false and
// empties *converterPath. Does not check that the program exists.
[[nodiscard]] bool LocateConverter(std::string* converterPath);

// Runs the converter from `source` to `destination` and waits for its end, at most the
// converter time-out of the timings record. A converter that runs longer is killed with
// everything it started, reaped, and its destination file is removed, so a half-written
// picture is never sent. Logs nothing. Returns 1 when the converter ended with exit status 0,
// 0 when it could not be started, failed or was killed.
int RunConverter(const std::string& converterPath, const std::string& source, const std::string& destination);
