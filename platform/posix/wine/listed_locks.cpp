#include "listed_locks.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cstdio>

#include "regular_file.h"

bool ForEachListedLock(const std::function<bool(const ListedLock& lock)>& lock) {
    const OpenedFile locks = OpenRegularFile("/proc/locks");
    if (locks.kind != FileKind::Regular) return false;
    return ReadFileLines(locks.fd, 256, [&](std::string_view line, bool) {
        std::string_view words[6];
        std::size_t count = 0;
        bool waiting = false;
        while (count < 6) {
            const std::size_t start = line.find_first_not_of(' ');
            if (start == std::string_view::npos) break;
            line.remove_prefix(start);
            const std::size_t length = std::min(line.find(' '), line.size());
            if (line.substr(0, length) == "->") waiting = true;
            else words[count++] = line.substr(0, length);
            line.remove_prefix(length);
        }
        if (count < 6) return true;
        return lock(ListedLock{words[1], words[3], words[4], words[5], waiting});
    });
}

std::string ListedFileName(const struct stat& info) {
    char name[64];
    std::snprintf(name, sizeof name, "%02x:%02x:%llu", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    return name;
}
