#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// Opening the files of a prefix that a user may have replaced by anything: a
// FIFO, a device, a directory. Only a regular file is read; the others are
// told apart so that a message can name them.

enum class FileKind { Regular, Missing, Directory, Fifo, Device, Other, Unreadable };

// Closes its file when it goes, on every way out.
struct OpenedFile {
    int fd = -1; // open for reading when kind is Regular, -1 otherwise
    FileKind kind = FileKind::Unreadable;
    int error = 0;       // the errno of a Missing or Unreadable file
    struct stat info {}; // of the open file

    OpenedFile() = default;
    OpenedFile(OpenedFile&& other) noexcept;
    OpenedFile& operator=(OpenedFile&&) = delete;
    ~OpenedFile();
};

// Opens the file at `path` (a symbolic link followed) for reading, only when
// it is a regular file. What the path names is looked at before it is opened,
// so that no device is opened, and again once open, so that what is read is
// what was looked at; the open does not block, so that a FIFO put there in
// between cannot hold the run.
OpenedFile OpenRegularFile(const std::string& path);

// "a FIFO", "a directory", ... for a message; empty for Regular.
std::string_view FileKindName(FileKind kind);

// Hands the lines of an open file to `line`, without their "\n", from its
// start until `line` returns false or the file ends; a line longer than
// `longest` bytes is handed on cut to that length, with `cut` true. Memory
// stays within `longest` plus a block of reading, whatever the file holds.
// False on a read error, with errno telling which.
bool ReadFileLines(int fd, std::size_t longest, const std::function<bool(std::string_view line, bool cut)>& line);
