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

// The system's text for an error code in `reason`, in one line: without the
// line end and the final period that system messages carry; empty when the
// system has none.
void SystemText(DWORD error, char (&reason)[512]) {
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        reason, sizeof reason, nullptr);
    reason[length < sizeof reason ? length : 0] = '\0';
    std::size_t end = std::strcspn(reason, "\r\n");
    if (end > 0 && reason[end - 1] == '.') --end;
    reason[end] = '\0';
}

// Says on standard error, in one line, why the run ends with exit status 2:
// the platform's text of the error code (its cause and what to do), then,
// when values were attempted, how many of them were stored, and the code.
void ReportFailure(DWORD error, const RegistryWriteTally* tally) {
    char reason[512];
    SystemText(error, reason);
    const char* cause = reason[0] ? reason : "the run failed";
    if (tally && tally->attempted != 0)
        std::fprintf(stderr, "%s%s (%" PRIu64 " of %" PRIu64 " stored, error %lu)\n", kMessagePrefix, cause,
                     tally->attempted - tally->notStored, tally->attempted, static_cast<unsigned long>(error));
    else
        std::fprintf(stderr, "%s%s (error %lu)\n", kMessagePrefix, cause, static_cast<unsigned long>(error));
}

// A profile that is there but cannot be read would give every setting its
// default, stored over the user's values: the run ends instead, saying why.
void ReportUnreadableProfile(DWORD error) {
    char reason[512];
    SystemText(error, reason);
    const char* cause = error == ERROR_ACCESS_DENIED       ? "permission denied; let this user read it"
                        : error == ERROR_SHARING_VIOLATION ? "another program has it open; close that program"
                        : reason[0]                        ? reason
                                                           : "it cannot be opened";
    std::fprintf(stderr, "%scannot read %s: %s (error %lu)\n", kMessagePrefix, gPathBuffer, cause,
                 static_cast<unsigned long>(error));
}

bool LocateProfile() {
    const UINT length = GetWindowsDirectoryA(gPathBuffer, sizeof gPathBuffer);
    // Room for the separator, the file name and the terminating NUL.
    const std::size_t room = sizeof gPathBuffer - (sizeof kDirectorySeparator - 1) - (sizeof kProfileFileName - 1) - 1;
    if (length == 0) {
        const DWORD error = GetLastError();
        ReportFailure(error != 0 ? error : ERROR_PATH_NOT_FOUND, nullptr);
        return false;
    }
    if (length > room) {
        ReportFailure(ERROR_FILENAME_EXCED_RANGE, nullptr);
        return false;
    }
    // A directory given in Windows form ("C:\\windows", where the native
    // program's Unix path would not fit) takes a Windows separator.
    lstrcatA(gPathBuffer, std::strchr(gPathBuffer, '\\') ? "\\" : kDirectorySeparator);
    lstrcatA(gPathBuffer, kProfileFileName);
    return true;
}

void WaitForKeyPress() {
    while (ConsoleInputAvailable() && !KeyPressPending()) WaitForConsoleInput(kKeyPollMs);
}

} // namespace

int RunMigration() {
    if (!LocateProfile()) return kExitNotStored;
    if (GetFileAttributesA(gPathBuffer) == INVALID_FILE_ATTRIBUTES) {
        ExplainMissingProfile();
        std::printf(kNotFoundMessage, gPathBuffer);
        WaitForKeyPress();
        return kExitProfileMissing;
    }
    if (const DWORD error = ProfileOpenError(gPathBuffer)) {
        ReportUnreadableProfile(error);
        return kExitNotStored;
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
        ReportFailure(static_cast<DWORD>(tally.firstError), &tally);
        return kExitNotStored;
    }
    return kExitCopied;
}
