#pragma once

#include <string>

#include "winapi.h"

// What FormatMessageA adds to the text of one error code for this process,
// such as the line of user.reg that made the registry refuse the file. Our
// own addition: Win32's messages carry no such detail. The last detail set
// for a code wins; an empty one removes it.
void SetErrorDetail(LSTATUS code, std::string detail);
