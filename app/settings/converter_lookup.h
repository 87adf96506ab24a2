// Where the outside picture converter that writes GIF reply pictures is registered.
//
// It is registered like a Windows file-type handler: the default value of the registry key
// HKEY_CLASSES_ROOT\IrfanView\shell\open\command holds its open command, for example
// "/opt/quorvex/qvconvert" "%1". Loading the settings looks it up (a registry read), so the
// lookup lives with the settings; running the converter is the image pipeline's.
#pragma once

#include <string>

// The registry key whose default value holds the converter's open command.
inline constexpr char kConverterCommandKey[] = "HKEY_CLASSES_ROOT\\IrfanView\\shell\\open\\command";

// Cuts a registered open command down to the program path. A command that starts with a
// quoted path gives that path whole, blanks included; otherwise every double quote is
// removed and the text before the first blank is kept. Leading blanks are skipped.
[[nodiscard]] std::string ConverterPathFromCommand(const std::string& command);

// Looks the converter up in the registry. Returns true and sets *converterPath when the key
// opens, its default value yields a non-empty program path, and that program lies in a safe
// place (ConverterIsTrusted); otherwise returns false and empties *converterPath. A registered
// converter that is refused gives its path and the reason in `*refusal` (may be null; empty
// when nothing was refused), so the caller can log why GIF pictures are sent as JPEG.
[[nodiscard]] bool LocateConverter(std::string* converterPath, std::string* refusal = nullptr);

// Whether the converter program `path` may be run: the one check every converter path passes
// (qv::OpenTrustedCode: an absolute path, file and folder of this user or root and not
// writable by others, no link). False with the reason in `*why`.
[[nodiscard]] bool ConverterIsTrusted(const std::string& path, std::string* why);
