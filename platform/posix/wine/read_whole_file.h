#pragma once

#include <string>

#include "large_buffer.h"

// Appends the whole rest of an open file, or of the regular file at a path
// (OpenRegularFile), to `content`. False on a read error, with errno telling
// which (EINVAL for a path that names no regular file).
bool ReadWholeFile(int fd, LargeText& content);
bool ReadWholeFile(const std::string& path, LargeText& content);
