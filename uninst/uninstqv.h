// libUninstQV.so, the uninstall clean-up. An uninstaller loads it (dlopen) and calls the three
// entries; UninstInitialize removes what the running program made and a package does not know
// about: the settings file "Quorvex.ini" and the address list "MailList.dat" in the folder
// that the value "Directory" of the product key names, and the product key itself. Log files,
// pictures, the registry file and everything else stay.
//
// The registry is the user's registry file of platform/registry.h ($QUORVEX_REGISTRY, else
// ~/.config/quorvex/registry.reg); the library links that layer and nothing else of the system.
#pragma once

#define UNINSTQV_EXPORT __attribute__((visibility("default")))

// The product key under HKEY_CURRENT_USER, below the vendor key, and what it names.
inline constexpr char kUninstVendorKey[] = "Software\\Halvorsk";
inline constexpr char kUninstProductName[] = "Quorvex";
inline constexpr char kUninstProductKey[] = "Software\\Halvorsk\\Quorvex";
inline constexpr char kUninstDirectoryValue[] = "Directory";
inline constexpr const char* kUninstRemovedFiles[] = {"Quorvex.ini", "MailList.dat"};

extern "C" {

// Does nothing; returns 1. No argument is read.
UNINSTQV_EXPORT int LibMain(void* instance, unsigned short dataSegment, unsigned short heapSize, char* commandLine);

// The clean-up, without a message, returning 0 in every case:
// 1. "Directory" of the product key is read when the key opens. When it is a string the folder
//    rule accepts (UninstFolderAccepted), FOLDER/Quorvex.ini and FOLDER/MailList.dat are
//    removed where they are regular files or symbolic links (a trailing '/' of the folder
//    gives "//", which names the same file). An empty or relative folder removes nothing: it
//    would name files at the root or in whatever folder the uninstaller runs in.
// 2. The product key is deleted from the vendor key, with any key below it; the vendor key
//    stays. Every step that fails (no key, no value, a file that cannot go) is skipped.
// No argument is read.
UNINSTQV_EXPORT int UninstInitialize(void* window, void* instance, long reserved);

// Does nothing; returns 0. No argument is read.
UNINSTQV_EXPORT int UninstUnInitialize(void* window, void* instance, long reserved);

}  // extern "C"

// The folder rule of UninstInitialize: the folder "Directory" names is used only when it is an
// absolute path of at most 255 bytes (what fits the 256-byte buffer with its terminating zero).
// Any other folder would name files at the root or in whatever folder the uninstaller runs in.
inline bool UninstFolderAccepted(const char* folder, unsigned long length) {
  return length > 0 && length <= 255 && folder[0] == '/';
}

// The entries' types, for dlsym.
using UninstLibMainFunction = int (*)(void*, unsigned short, unsigned short, char*);
using UninstFunction = int (*)(void*, void*, long);
