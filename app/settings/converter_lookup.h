// Where the outside picture converter that writes GIF reply pictures is found.
//
// It is registered like a Windows file-type handler: the default value of the registry key
// HKEY_CLASSES_ROOT\IrfanView\shell\open\command holds its open command, for example
// "/opt/quorvex/qvconvert" "%1". Without a registration, the converter that comes with
// Quorvex, "qvconvert" beside the program (installed, or in the build folder), is used, so GIF
// replies work out of the box. Loading the settings looks it up (a registry read), so the
// lookup lives with the settings; running the converter is the image pipeline's.
#pragma once

#include <string>

// The registry key whose default value holds the converter's open command.
inline constexpr char kConverterCommandKey[] = "HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command";

// Cuts a registered open command down to the program path. A command that starts with a
// quoted path gives that path whole, blanks included; otherwise every double quote is
// removed and the text before the first blank is kept. Leading blanks are skipped.
[[nodiscard]] std::string ConverterPathFromCommand(const std::string& command);

// The converter that comes with Quorvex: `folder` (ending in '/') + "qvconvert" when that is a
// regular file (links followed) the user may execute; "" otherwise.
[[nodiscard]] std::string BundledConverter(const std::string& folder);

// The folder BundledConverter is asked about by LocateConverter: the program folder, unless
// this sets another (tests of a program without a converter give an empty folder).
void SetBundledConverterFolder(const std::string& folder);

// Looks the converter up: the registered one when the key opens and its default value yields a
// non-empty program path, else the bundled one. Returns true and sets *converterPath when
// either gave a path and that program lies in a safe place (ConverterIsTrusted); otherwise
// returns false and empties *converterPath. A converter that is refused gives its path and the
// reason in `*refusal` (may be null; empty when nothing was refused), so the caller can log why
// GIF pictures are sent as JPEG. A refused registered converter is not replaced by the bundled
// one: the owner chose it, and is told.
[[nodiscard]] bool LocateConverter(std::string* converterPath, std::string* refusal = nullptr);

// Whether the converter program `path` may be run: the one check every converter path passes
// (qv::OpenTrustedCode: an absolute path, file and folder of this user or root and not
// writable by others, no link). False with the reason in `*why`.
[[nodiscard]] bool ConverterIsTrusted(const std::string& path, std::string* why);
