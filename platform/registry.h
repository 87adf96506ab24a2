// The registry: a REGEDIT4 text file with the Windows-like calls the system uses.
//
// The file is $QUORVEX_REGISTRY when set and non-empty, else
// $XDG_CONFIG_HOME/quorvex/registry.reg (~/.config/quorvex/registry.reg). It looks like
//
//   REGEDIT4
//
//   [HKEY_CLASSES_ROOT\IrfanView\shell\open\command]
//   @="\"/opt/quorvex/qvconvert\" \"%1\""
//
// Two roots exist, HKEY_CURRENT_USER and HKEY_CLASSES_ROOT. A key exists when the file names
// it or a key below it. Key and value names compare without regard to ASCII case. `@` (or an
// empty or null value name in the calls) is a key's default value. Value kinds: strings
// ("..." with \\ and \" escaped; a string holding a line break is written as hex(1):),
// dword:XXXXXXXX and hex:/hex(N): byte lists. The file is untrusted: lines that make no sense
// are skipped and reading goes on with the next line.
//
// Every call reads the file afresh (nothing is cached, so other processes' writes are seen at
// once); every change rewrites the whole file beside the old one and renames it into place,
// so a reader never sees half a file. Calls are safe from any thread of one process.
#pragma once

#include <cstdint>
#include <string>

struct RegistryKey;
// An open key. Roots are fixed values that need no closing; any other handle comes from
// RegOpenKeyA or RegCreateKeyA and must be given back with RegCloseKey.
using HKEY = RegistryKey*;

inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000000u));
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x80000001u));

// Results of the calls, with the Windows values.
inline constexpr long ERROR_SUCCESS = 0;
inline constexpr long ERROR_FILE_NOT_FOUND = 2;    // no such key or value
inline constexpr long ERROR_ACCESS_DENIED = 5;     // the file could not be written
inline constexpr long ERROR_INVALID_HANDLE = 6;    // not a root nor an open handle
inline constexpr long ERROR_INVALID_PARAMETER = 87;
inline constexpr long ERROR_MORE_DATA = 234;       // the caller's buffer is too small

// Value types.
inline constexpr uint32_t REG_NONE = 0;
inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_DWORD = 4;

// Opens the existing key `subKey` (backslash-separated, relative to `key`; null or empty: the
// same key again) into *result. ERROR_FILE_NOT_FOUND when it does not exist.
[[nodiscard]] long RegOpenKeyA(HKEY key, const char* subKey, HKEY* result);

// Like RegOpenKeyA, but creates the key (and the keys above it) when missing.
[[nodiscard]] long RegCreateKeyA(HKEY key, const char* subKey, HKEY* result);

// Reads value `valueName` of `key`. `reserved` must be null. `type` (may be null) receives the
// value type. On entry *dataSize is the size of `data`; on return it is the size the value
// needs (strings include their terminating zero). With `data` null only the size is reported.
// ERROR_MORE_DATA when `data` is too small (nothing useful is in `data` then).
[[nodiscard]] long RegQueryValueExA(HKEY key, const char* valueName, uint32_t* reserved, uint32_t* type,
                                    unsigned char* data, uint32_t* dataSize);

// Stores value `valueName` of `key` (creating the key if it was deleted meanwhile). REG_SZ
// data ends at its first zero byte or after `dataSize` bytes; REG_DWORD needs 4 bytes
// (little-endian); other types are kept as bytes.
[[nodiscard]] long RegSetValueExA(HKEY key, const char* valueName, uint32_t reserved, uint32_t type,
                                  const unsigned char* data, uint32_t dataSize);

// Deletes key `subKey` of `key` with every key below it (empty: `key` itself; a root cannot
// be deleted); the key above it stays. ERROR_FILE_NOT_FOUND when it does not exist.
[[nodiscard]] long RegDeleteKeyA(HKEY key, const char* subKey);

// Gives back a handle from RegOpenKeyA or RegCreateKeyA. Roots are accepted and ignored.
long RegCloseKey(HKEY key);

namespace qv {

// The path of the registry file (see above); the folder may not exist yet. Empty when there is
// neither QUORVEX_REGISTRY nor a home folder: the registry is then empty and cannot be written.
[[nodiscard]] std::string RegistryFilePath();

// Reads the default value of key `path` (for example
// "HKEY_CLASSES_ROOT\IrfanView\shell\open\command") as a string; false when the key or the
// value is missing or the value is not a string.
[[nodiscard]] bool ReadRegistryString(const std::string& path, const std::string& valueName, std::string* value);

// Sets a string value of key `path`, creating the key; false when the path is not under a
// root or the file cannot be written.
[[nodiscard]] bool WriteRegistryString(const std::string& path, const std::string& valueName, const std::string& value);

}  // namespace qv
