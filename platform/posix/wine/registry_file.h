#pragma once

#include <string>

#include "user_reg.h"
#include "winapi.h"

// The prefix's user.reg on disk: read under a lock that serialises runs on
// one prefix, and replaced as a whole, so that it holds either the old
// content or the complete new one.

struct RegistryFile {
    std::string prefix; // the Wine prefix directory
    std::string path;   // user.reg, or the file its symbolic link points to
    int lockFd = -1;
    bool existed = false;
};

// Locks the prefix, refuses while a wineserver runs for it, and reads user.reg
// (a missing one is a new hive). Returns the Win32 error of a refusal.
LSTATUS LoadRegistryFile(RegistryFile& file, UserReg& hive);

// Writes the hive beside the file, flushes it to disk and renames it over
// the old file, keeping the old file's permissions.
LSTATUS SaveRegistryFile(const RegistryFile& file, const UserReg& hive);

void ReleaseRegistryFile(RegistryFile& file);

// True when a wineserver holds the registry of this prefix in memory, wherever
// Wine put its server directory.
bool WineServerRunning(const std::string& prefix);
