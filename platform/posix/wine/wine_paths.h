#pragma once

#include <optional>
#include <string>

#include "winapi.h"

// The Wine prefix as Wine takes it: $WINEPREFIX, or ~/.wine when WINEPREFIX
// is not set (~ is $HOME, or the user's home in /etc/passwd when HOME is not
// set), without trailing slashes. It need not exist. nullopt where Wine
// would refuse it, with the reason's Win32 code in *refusal and its words as
// the code's error detail: ERROR_BAD_PATHNAME for a WINEPREFIX, or a HOME,
// that is empty or not absolute; ERROR_DIRECTORY for a prefix that exists
// and is not a directory, or lies below a file; ERROR_PATH_NOT_FOUND when no
// home directory can be found.
std::optional<std::string> WinePrefixDirectory(LSTATUS* refusal = nullptr);
std::optional<std::string> WindowsDirectory(LSTATUS* refusal = nullptr); // <prefix>/drive_c/windows

// The path of a file whose name may differ in letter case from the one asked
// for, as Wine finds it; an exact match wins. nullopt when there is none.
std::optional<std::string> FindFileIgnoringCase(const std::string& path);
