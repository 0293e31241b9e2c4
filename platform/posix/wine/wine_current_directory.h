#pragma once

#include <optional>
#include <string>

// The current directory that Wine gives a program started from here with
// this prefix, as GetCurrentDirectoryW returns it: $PWD when it names the
// working directory (so a symbolic link stays as typed), else the working
// directory; as a path on the drive of the prefix's dosdevices whose root is
// its deepest ancestor as the path is written (the first letter on a tie; c:
// and z: when the prefix has no dosdevices), "unix\..." where no drive
// reaches it, "C:\windows" where Wine could not open the result (too long, or
// a name that changes on the way, such as one ending in a dot). On a drive, a
// name that still ends in a dot after the cleaning loses one more as Wine
// opens it ("x...\" gives "x.\"). Names are decoded in the locale's character
// set, as Wine decodes them. nullopt where that set is neither UTF-8 nor
// ASCII and the path is not ASCII, and on macOS where Wine would first
// compose the text (we have no tables for either).
std::optional<std::u16string> WineCurrentDirectory(const std::string& prefix);
