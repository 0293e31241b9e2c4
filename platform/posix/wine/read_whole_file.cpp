#include "read_whole_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

bool ReadWholeFile(int fd, LargeText& content) {
    // Room for a regular file's size at once: grown by doubling, a large file
    // would be held twice while it is copied.
    struct stat info;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        content.reserve(content.size() + static_cast<std::size_t>(info.st_size) + 1);
    char chunk[65536];
    for (;;) {
        const ssize_t got = ::read(fd, chunk, sizeof chunk);
        if (got == 0) return true;
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        content.append(chunk, static_cast<std::size_t>(got));
    }
}

bool ReadWholeFile(const std::string& path, LargeText& content) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ReadWholeFile(fd, content);
    const int error = errno;
    ::close(fd);
    errno = error;
    return ok;
}
