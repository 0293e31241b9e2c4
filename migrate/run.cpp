#include "run.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "catalogue.h"
#include "platform.h"
#include "profile_store.h"
#include "recent_files.h"
#include "registry_store.h"

namespace {

const int kExitCopied = 0;
const int kExitProfileMissing = 1;
const int kExitNotStored = 2;

// Written byte for byte: standard output carries no line-end translation.
const char kNotFoundMessage[] = "%s not found!\r\nTo terminate press any key...\r\n";
const unsigned kKeyPollMs = 20;

// The run's scratch buffers: first the profile path, then each string copied;
// and the key names that the recent-files and Symb steps form.
char gPathBuffer[MAX_PATH];
char gKeyNameBuffer[32];

bool LocateProfile() {
    const UINT length = GetWindowsDirectoryA(gPathBuffer, sizeof gPathBuffer);
    // Room for the separator, the file name and the terminating NUL.
    const std::size_t room = sizeof gPathBuffer - (sizeof kDirectorySeparator - 1) - (sizeof kProfileFileName - 1) - 1;
    if (length == 0 || length > room) {
        std::fprintf(stderr, "The Windows directory could not be found, or its path is too long for the profile "
                             "path; nothing was migrated.\n");
        return false;
    }
    lstrcatA(gPathBuffer, kDirectorySeparator);
    lstrcatA(gPathBuffer, kProfileFileName);
    return true;
}

void WaitForKeyPress() {
    while (ConsoleInputAvailable() && !KeyPressPending()) WaitForConsoleInput(kKeyPollMs);
}

// Says on standard error how many values did not reach the registry, and why.
void ReportNotStored(const RegistryWriteTally& tally) {
    char reason[512] = "";
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(tally.firstError), 0, reason, sizeof reason, nullptr);
    reason[length < sizeof reason ? length : 0] = '\0';
    // One line: drop the line end that system messages carry.
    reason[std::strcspn(reason, "\r\n")] = '\0';
    std::fprintf(stderr, "%" PRIu64 " of %" PRIu64 " values were not stored in the registry (error %ld%s%s)\n",
                 tally.notStored, tally.attempted, tally.firstError, reason[0] ? ": " : "", reason);
}

} // namespace

int RunMigration() {
    if (!LocateProfile()) return kExitNotStored;
    if (GetFileAttributesA(gPathBuffer) == INVALID_FILE_ATTRIBUTES) {
        std::printf(kNotFoundMessage, gPathBuffer);
        WaitForKeyPress();
        return kExitProfileMissing;
    }

    ReadSettings();
    ReadLastDocument(gPathBuffer, sizeof gPathBuffer);
    WriteSettings();
    WriteLastDocument(gPathBuffer);
    CopyRecentFiles(gPathBuffer, gKeyNameBuffer);
    CopySymbStrings(gPathBuffer, gKeyNameBuffer);

    const bool flushed = FlushRegistry();
    const RegistryWriteTally tally = RegistryWrites();
    if (!flushed || tally.notStored != 0) {
        ReportNotStored(tally);
        return kExitNotStored;
    }
    return kExitCopied;
}
