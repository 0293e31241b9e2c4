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

// The Unix directory that the prefix's drive `letter` ('a' to 'z') stands
// for, as Wine finds it: what dosdevices/<letter>: points to (a relative link
// taken from dosdevices, spelt without its "..", so that a message names the
// place itself), or, in a prefix without dosdevices, drive_c for c: and "/"
// for z:. It need not exist; "" where the prefix has no such drive at all.
std::string DriveRoot(const std::string& prefix, char letter);

// C:\windows as Wine finds it: "windows" in any letter case below the C:
// drive's root (DriveRoot), "<root>/windows" when there is none. nullopt,
// with the refusal, where WinePrefixDirectory refuses the prefix.
std::optional<std::string> WindowsDirectory(LSTATUS* refusal = nullptr);

// A path as the stand-in's file functions take it: a Windows path on a drive
// ("C:\windows\Tavik.ini") becomes the Unix path below that drive's root;
// any other path is returned as it is.
std::string UnixPath(const std::string& path);

// The path of a file whose name may differ in letter case from the one asked
// for, as Wine finds it; an exact match wins. nullopt when there is none.
std::optional<std::string> FindFileIgnoringCase(const std::string& path);
