#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <string_view>

// The file locks that the system lists in /proc/locks (Linux), one line
// each: "1: FLOCK  ADVISORY  WRITE 4242 fe:00:1234 0 EOF", with "->" after
// the number for a process that waits for the lock.
struct ListedLock {
    std::string_view kind;   // FLOCK, POSIX or OFDLCK
    std::string_view access; // READ or WRITE
    std::string_view pid;    // the holder, or the process that waits
    std::string_view file;   // as ListedFileName gives it
    bool waiting = false;
};

// Hands each listed lock to `lock` until it returns false. False when the
// list cannot be read (no /proc). The list is read line by line: any user
// can make it as long as memory allows, with a lock per byte of a file.
bool ForEachListedLock(const std::function<bool(const ListedLock& lock)>& lock);

// How the list names the file of `info`: "fe:00:1234", the device's major and
// minor numbers in hexadecimal and the inode in decimal.
std::string ListedFileName(const struct stat& info);
