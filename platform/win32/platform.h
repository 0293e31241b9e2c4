#pragma once

// Platform declarations for the Windows program: the real Win32 API.
#include <windows.h>

#include "console_input.h"
#include "program_hooks.h"

// Separates the Windows directory from the profile file name.
inline constexpr char kDirectorySeparator[] = "\\";

// The start of each of the program's own messages: none. The Windows program
// is read in a console window of its own, where Windows' console programs do
// not name themselves, and its messages begin with the system's own text.
inline constexpr char kMessagePrefix[] = "";
