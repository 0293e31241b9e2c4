#include "regular_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

namespace {

FileKind KindOf(mode_t mode) {
    if (S_ISREG(mode)) return FileKind::Regular;
    if (S_ISDIR(mode)) return FileKind::Directory;
    if (S_ISFIFO(mode)) return FileKind::Fifo;
    if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::Device;
    return FileKind::Other;
}

OpenedFile Failed(int error) {
    OpenedFile failed;
    failed.kind = error == ENOENT ? FileKind::Missing : FileKind::Unreadable;
    failed.error = error;
    return failed;
}

} // namespace

OpenedFile::OpenedFile(OpenedFile&& other) noexcept
    : fd(std::exchange(other.fd, -1)), kind(other.kind), error(other.error), info(other.info) {}

OpenedFile::~OpenedFile() {
    if (fd >= 0) ::close(fd);
}

OpenedFile OpenRegularFile(const std::string& path) {
    struct stat before;
    if (::stat(path.c_str(), &before) != 0) return Failed(errno);
    OpenedFile file;
    file.kind = KindOf(before.st_mode);
    if (file.kind != FileKind::Regular) return file;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Failed(errno);
    file.fd = fd;
    if (::fstat(fd, &file.info) != 0) return Failed(errno);
    file.kind = KindOf(file.info.st_mode);
    if (file.kind != FileKind::Regular) {
        ::close(std::exchange(file.fd, -1));
        return file;
    }
    // Reads of a regular file never block; the flag goes for tidiness.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return file;
}

std::string_view FileKindName(FileKind kind) {
    switch (kind) {
    case FileKind::Regular:
        return "";
    case FileKind::Missing:
        return "missing";
    case FileKind::Directory:
        return "a directory";
    case FileKind::Fifo:
        return "a FIFO";
    case FileKind::Device:
        return "a device";
    case FileKind::Other:
        return "a socket or other special file";
    case FileKind::Unreadable:
        return "unreadable";
    }
    return "";
}

bool ReadFileLines(int fd, std::size_t longest, const std::function<bool(std::string_view line, bool cut)>& line) {
    char block[1 << 14];
    std::string current; // the line so far, at most `longest` bytes of it
    bool cut = false;
    for (;;) {
        const ssize_t got = ::read(fd, block, sizeof block);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (got == 0) break;
        std::string_view rest(block, static_cast<std::size_t>(got));
        for (;;) {
            const std::size_t end = rest.find('\n');
            const std::string_view piece = rest.substr(0, end);
            const std::size_t room = longest - current.size();
            cut = cut || piece.size() > room;
            current.append(piece.substr(0, room));
            if (end == std::string_view::npos) break;
            rest.remove_prefix(end + 1);
            if (!line(current, cut)) return true;
            current.clear();
            cut = false;
        }
    }
    // The last line, when the file does not end with a line end.
    if (!current.empty() || cut) line(current, cut);
    return true;
}
