#pragma once

#include <cstdint>

// The keys of section "MRU" and the Symb strings of section "Disassembler",
// whose names are formed at run time. Both read into and name keys with the
// run's two scratch buffers: pathBuffer holds MAX_PATH characters,
// keyNameBuffer at least 16.

// Copies "FileCount" and the entries File1 to File<count>.
void CopyRecentFiles(char* pathBuffer, char* keyNameBuffer);

// Copies the entries File<first> to File<last>; none when last < first. Ends
// also when last is 2147483647.
void CopyRecentFileEntries(std::int32_t first, std::int32_t last, char* pathBuffer, char* keyNameBuffer);

// Copies the non-empty strings among Symb6, SymbA, SymbE, SymbG, SymbS and SymbX.
void CopySymbStrings(char* pathBuffer, char* keyNameBuffer);
