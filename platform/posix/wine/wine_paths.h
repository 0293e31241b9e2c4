#pragma once

#include <optional>
#include <string>

// Where a Wine prefix keeps things: $WINEPREFIX, or ~/.wine as in Wine.
std::optional<std::string> WinePrefixDirectory();
std::optional<std::string> WindowsDirectory(); // <prefix>/drive_c/windows

// The path of a file whose name may differ in letter case from the one asked
// for, as Wine finds it; an exact match wins. nullopt when there is none.
std::optional<std::string> FindFileIgnoringCase(const std::string& path);
