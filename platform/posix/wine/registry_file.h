#pragma once

#include <functional>
#include <string>

#include "user_reg.h"
#include "winapi.h"

// The prefix's user.reg on disk: read under a lock that serialises runs on
// one prefix, and replaced as a whole, so that it holds either the old
// content or the complete new one. The rules are listed at the top of
// registry_file.cpp.

// Between LoadRegistryFile and ReleaseRegistryFile, lockFd holds the lock
// (it is -1 otherwise, and after a load that failed before taking it).
struct RegistryFile {
    std::string prefix; // the Wine prefix directory
    std::string path;   // user.reg, or the file its symbolic link points to
    int lockFd = -1;
    bool existed = false;
};

// Locks the prefix, refuses while a wineserver runs for it, and reads user.reg
// (a missing one is a new hive, with system.reg's architecture). When another
// process holds the lock, calls `announceWait` with its process id (0 where
// the system does not show it) before it waits for the lock. Returns the
// Win32 error of a refusal, with its error detail, as refusals.h gives them;
// ERROR_BADDB with the offending line as the code's error detail when Wine
// would not read the file as we do. Throws std::bad_alloc (or
// std::length_error) when memory runs out. Call ReleaseRegistryFile
// afterwards in every case.
LSTATUS LoadRegistryFile(RegistryFile& file, UserReg& hive,
                         const std::function<void(long holder)>& announceWait = nullptr);

// Writes the hive beside the file, flushes it to disk and renames it over
// the old file, keeping the old file's permissions. Needs the lock of a
// successful load; ERROR_SHARING_VIOLATION when a wineserver started since,
// else refusals as refusals.h gives them. Throws std::bad_alloc when memory
// runs out. Whenever it does not return ERROR_SUCCESS, user.reg is as it was
// and no new file is left beside it.
LSTATUS SaveRegistryFile(const RegistryFile& file, const UserReg& hive);

// Gives up the lock; the file may be loaded again.
void ReleaseRegistryFile(RegistryFile& file);
