#include "read_whole_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "regular_file.h"

bool ReadWholeFile(int fd, LargeText& content) {
    // Read straight into the text, room for a regular file's size at once
    // (and one byte more, to see the end in the same pass): a bounce buffer
    // would touch as many fresh pages as the text and copy it, and growing by
    // doubling would hold a large file twice while it is copied.
    struct stat info;
    std::size_t room = 1 << 12;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0)
        room = static_cast<std::size_t>(info.st_size) + 1;
    std::size_t used = content.size();
    for (;;) {
        if (used == content.size()) content.resize(used + room);
        const ssize_t got = ::read(fd, &content[used], content.size() - used);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            content.resize(used);
            return false;
        }
        used += static_cast<std::size_t>(got);
        room = std::max(room, used); // a file that grew: double
    }
    content.resize(used);
    return true;
}

bool ReadWholeFile(const std::string& path, LargeText& content) {
    const OpenedFile file = OpenRegularFile(path);
    if (file.kind != FileKind::Regular) {
        errno = file.error ? file.error : EINVAL;
        return false;
    }
    return ReadWholeFile(file.fd, content);
}
