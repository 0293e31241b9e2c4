#pragma once

// Platform declarations for the Windows program: the real Win32 API.
#include <windows.h>

#include "console_input.h"

// Separates the Windows directory from the profile file name.
inline constexpr char kDirectorySeparator[] = "\\";
