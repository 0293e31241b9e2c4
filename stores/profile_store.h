#pragma once

#include <cstdint>

// Reads of the profile file in the Windows directory. A section or key that
// the file does not hold yields the default; a string that does not fit its
// buffer is cut to capacity - 1 characters.

// The profile's name, without a directory: the profile functions look in the
// Windows directory.
inline constexpr char kProfileFileName[] = "Tavik.ini";

// 0 when the profile at `path` can be opened for reading, or is a directory,
// which reads as an empty profile; otherwise the system's error code, such as
// ERROR_ACCESS_DENIED, or ERROR_SHARING_VIOLATION when another program holds
// it open without sharing it. The profile functions themselves would read
// such a file as empty, every setting its default.
std::uint32_t ProfileOpenError(const char* path);

std::int32_t ReadProfileInt(const char* section, const char* key, std::int32_t defaultValue);
void ReadProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                       std::uint32_t capacity);
// "LastDocument" of section "Files", empty by default.
void ReadLastDocument(char* buffer, std::uint32_t capacity);
