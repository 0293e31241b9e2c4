#include "recent_files.h"

#include <cstdint>

#include "platform.h"
#include "profile_store.h"
#include "registry_store.h"

namespace {
// Number of recent files; 4 unless the profile says otherwise.
std::int32_t gRecentFileCount = 4;
const char kSymbLetters[] = "6AEGSX";
} // namespace

void CopyRecentFiles(char* pathBuffer, char* keyNameBuffer) {
    gRecentFileCount = ReadProfileInt("MRU", "FileCount", gRecentFileCount);
    WriteRegistryDword("MRU", "FileCount", gRecentFileCount);
    CopyRecentFileEntries(1, gRecentFileCount, pathBuffer, keyNameBuffer);
}

void CopyRecentFileEntries(std::int32_t first, std::int32_t last, char* pathBuffer, char* keyNameBuffer) {
    // Counted in 64 bits so that a last entry of 2147483647 ends the loop
    // instead of overflowing it.
    for (std::int64_t n = first; n <= last; ++n) {
        wsprintfA(keyNameBuffer, "File%d", static_cast<int>(n));
        ReadProfileString("MRU", keyNameBuffer, "", pathBuffer, MAX_PATH);
        WriteRegistryString("MRU", keyNameBuffer, pathBuffer);
    }
}

void CopySymbStrings(char* pathBuffer, char* keyNameBuffer) {
    for (const char* letter = kSymbLetters; *letter; ++letter) {
        pathBuffer[0] = '\0';
        wsprintfA(keyNameBuffer, "Symb%c", *letter);
        ReadProfileString("Disassembler", keyNameBuffer, "", pathBuffer, MAX_PATH);
        if (pathBuffer[0] != '\0') WriteRegistryString("Disassembler", keyNameBuffer, pathBuffer);
    }
}
