#pragma once

#include <string>

// Appends the whole rest of an open file, or of the file at a path, to
// `content`. False on a read error, with errno telling which.
bool ReadWholeFile(int fd, std::string& content);
bool ReadWholeFile(const std::string& path, std::string& content);
