#pragma once

#include <cstdint>

// The time stamps of a Wine prefix's registry: a FILETIME counts 100 ns units
// since 1601-01-01 UTC. Wine writes each key's last change twice, as Unix
// seconds after the key's name and as "#time=" in hex.

inline constexpr std::uint64_t kFileTimeOf1970 = 116444736000000000ull;
inline constexpr std::uint64_t kFileTimePerSecond = 10000000ull;

// The present moment as a FILETIME.
std::uint64_t FileTimeNow();

// The Unix seconds of a FILETIME from 1970 on.
inline std::uint64_t FileTimeToUnixSeconds(std::uint64_t fileTime) {
    return (fileTime - kFileTimeOf1970) / kFileTimePerSecond;
}
