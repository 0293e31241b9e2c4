#pragma once

// Platform declarations for the native program: our stand-in for the Win32
// functions that the migration uses, working on a Wine prefix.
#include "winapi.h"

#include "console_input.h"
#include "program_hooks.h"

// Separates the Windows directory from the profile file name; a POSIX path
// that a user can paste.
inline constexpr char kDirectorySeparator[] = "/";

// The start of each of the program's own messages on standard error, as
// POSIX tools name themselves.
inline constexpr char kMessagePrefix[] = "tavikmigrate: ";
