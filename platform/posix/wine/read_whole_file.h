#pragma once

#include <string>

#include "large_buffer.h"

// Appends the whole rest of an open file, or of the file at a path, to
// `content`. False on a read error, with errno telling which.
bool ReadWholeFile(int fd, LargeText& content);
bool ReadWholeFile(const std::string& path, LargeText& content);
