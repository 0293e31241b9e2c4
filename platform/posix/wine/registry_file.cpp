// The prefix's user.reg on disk. The rules this file keeps, on which the
// rest of the program relies:
//
// 1. One run at a time per prefix. LoadRegistryFile takes an exclusive flock
//    on the directory that holds user.reg (the file a symbolic link points
//    to, so two links to one file share the lock) before it reads, and the
//    lock is held until ReleaseRegistryFile. Saving requires the lock.
// 2. No write while a wineserver runs for the prefix: it holds the registry
//    in memory and would write its own copy back. Looked for after taking
//    the lock, and again just before the rename.
// 3. user.reg is never written in place. The new text goes to one fixed
//    temporary name beside it, takes the old file's permissions (and owner,
//    when run as root; a new file, its directory's owner and at least 0600),
//    is flushed to the disk and renamed over the old file; then the
//    directory is flushed. A crash leaves the old file or the
//    new one, never a mix; a temporary left behind is replaced next time.
// 4. A symbolic link named user.reg stays a link; its target is replaced.
// 5. A user.reg that is not writable for its owner is left alone.
// 6. Errors are turned into Win32 codes whose texts name the cause
//    (refusals.h). Those ignored are ignored on purpose, where they are.
// 7. Any file of the prefix may be a FIFO, a device or a directory: each is
//    opened through OpenRegularFile, and read no further than needed
//    (system.reg up to its architecture, the recorded server directory's
//    name to its first line, /proc/locks a line at a time). A user.reg or
//    system.reg that is no regular file is refused, naming it.
// 8. A file-size limit (ulimit -f) smaller than the new file fails the write
//    like a full disk: SIGXFSZ, which would kill the process and leave the
//    new file behind, is ignored while the file is written.
#include "registry_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>
#include <utility>
#include <string_view>
#include <vector>

#include "error_detail.h"
#include "listed_locks.h"
#include "read_whole_file.h"
#include "refusals.h"
#include "reg_syntax.h"
#include "regular_file.h"
#include "wine_paths.h"

namespace {

bool WriteAll(int fd, std::string_view text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        done += static_cast<std::size_t>(wrote);
    }
    return true;
}

// Flushes a file to the disk itself. On macOS fsync stops at the drive's
// cache and F_FULLFSYNC does not; file systems without it fail it.
int FlushToDisk(int fd) {
#ifdef F_FULLFSYNC
    if (::fcntl(fd, F_FULLFSYNC) == 0) return 0;
#endif
    return ::fsync(fd);
}

// The architecture of system.reg's "#arch=" line, for a user.reg made anew:
// empty when it has none, or cannot be read. Like Wine, only the options
// before the first key count; Wine writes the line fourth, and a line longer
// than 256 bytes is no such line.
LSTATUS PrefixArchitecture(const std::string& prefix, std::string& arch) {
    arch.clear();
    const OpenedFile file = OpenRegularFile(prefix + "/system.reg");
    if (file.kind == FileKind::Missing || file.kind == FileKind::Unreadable) return ERROR_SUCCESS;
    if (file.kind != FileKind::Regular) return RefuseSpecialFile("system.reg", file.kind);
    ReadFileLines(file.fd, 256, [&](std::string_view line, bool cut) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const RegLineKind kind = ClassifyRegLine(line);
        if (kind == RegLineKind::Key) return false;
        const auto option = kind == RegLineKind::Option && !cut ? RegArchOption(line) : std::nullopt;
        if (option) arch = *option;
        return !option;
    });
    return ERROR_SUCCESS;
}

// A wineserver keeps a lock on the file "lock" in its server directory while
// it runs.
bool ServerLockHeld(const std::string& directory) {
    const OpenedFile lock = OpenRegularFile(directory + "/lock");
    if (lock.kind != FileKind::Regular) return false;
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    return ::fcntl(lock.fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
}

// The first line of a regular file, empty when there is none or it is
// longer than a path.
std::string FirstLine(const std::string& path) {
    const OpenedFile file = OpenRegularFile(path);
    if (file.kind != FileKind::Regular) return "";
    std::string first;
    ReadFileLines(file.fd, PATH_MAX, [&](std::string_view line, bool cut) {
        if (!cut) first = line;
        return false;
    });
    return first;
}

// The directories where Wine puts the server's directory, named <name>:
// upstream /tmp/.wine-<uid>; Debian's /run/user/<uid>/wine where
// /run/user/<uid> exists, else a random directory under TMPDIR (or /tmp)
// whose name the prefix records in its file "wineserver". TMPDIR may differ
// from the server's; both it and /tmp are tried.
std::vector<std::string> ServerDirectories(const std::string& prefix, const std::string& name) {
    const std::string uid = std::to_string(::getuid());
    std::vector<std::string> places{"/tmp/.wine-" + uid + "/" + name, "/run/user/" + uid + "/wine/" + name};
    const std::string recorded = FirstLine(prefix + "/wineserver");
    if (!recorded.empty()) {
        const char* tmpdir = std::getenv("TMPDIR");
        if (tmpdir && *tmpdir) places.push_back(std::string(tmpdir) + "/" + recorded + "/" + name);
        places.push_back("/tmp/" + recorded + "/" + name);
    }
    return places;
}

// The target of a symbolic link (relative to the directory `at`), empty
// when it cannot be read.
std::string LinkTarget(int at, const std::string& link) {
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(at, link.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) return "";
    return std::string(target, static_cast<std::size_t>(length));
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Whether a path that /proc shows is the server directory <name> or its
// lock; /proc adds " (deleted)" to a removed one.
bool IsServerDirectory(std::string path, const std::string& name) {
    if (EndsWith(path, " (deleted)")) path.resize(path.size() - 10);
    if (EndsWith(path, "/lock")) path.resize(path.size() - 5);
    return EndsWith(path, "/" + name);
}

// The processes that hold a write lock on some file, as /proc/locks lists
// them, each once; nullopt when the list cannot be read. A running wineserver
// holds one on the "lock" of its server directory all the time, so only
// these need a closer look: reading the links of every process costs more
// than the rest of a typical run.
std::optional<std::vector<std::string>> WriteLockHolders() {
    std::vector<std::string> holders;
    const bool listed = ForEachListedLock([&](const ListedLock& lock) {
        if (lock.access == "WRITE" && lock.pid[0] >= '1' && lock.pid[0] <= '9' &&
            std::find(holders.begin(), holders.end(), lock.pid) == holders.end())
            holders.emplace_back(lock.pid);
        return true;
    });
    if (!listed) return std::nullopt;
    return holders;
}

// The process that holds the flock on the open directory, as the system
// lists it; 0 when the list does not show it.
long FlockHolder(int directoryFd) {
    struct stat info;
    if (::fstat(directoryFd, &info) != 0) return 0;
    const std::string name = ListedFileName(info);
    long holder = 0;
    ForEachListedLock([&](const ListedLock& lock) {
        if (lock.kind == "FLOCK" && !lock.waiting && lock.file == name)
            holder = std::atol(std::string(lock.pid).c_str());
        return holder == 0;
    });
    return holder;
}

// A wineserver, however packaged, works in its server directory <name>
// (deleted or not), and loads and saves the registry from inside the prefix
// with that directory and its lock open. Linux shows both in /proc; without
// /proc this finds nothing. Only links are read: a process working on a
// hung network file system cannot stall the run.
bool ServerProcessRunning(const std::string& name, const std::string& prefix) {
    DIR* processes = ::opendir("/proc");
    if (!processes) return false;
    // Links are read relative to /proc: a shorter walk for each process.
    const int proc = ::dirfd(processes);
    auto isServer = [&](const std::string& process) {
        const std::string cwd = LinkTarget(proc, process + "/cwd");
        if (IsServerDirectory(cwd, name)) return true;
        if (cwd != prefix) return false;
        bool found = false;
        if (DIR* files = ::opendir(("/proc/" + process + "/fd").c_str())) {
            while (const dirent* file = found ? nullptr : ::readdir(files))
                found = IsServerDirectory(LinkTarget(::dirfd(files), file->d_name), name);
            ::closedir(files);
        }
        return found;
    };
    bool found = false;
    if (const auto holders = WriteLockHolders()) {
        for (const std::string& process : *holders)
            if ((found = isServer(process))) break;
    } else {
        while (const dirent* entry = found ? nullptr : ::readdir(processes))
            if (entry->d_name[0] >= '1' && entry->d_name[0] <= '9') found = isServer(entry->d_name);
    }
    ::closedir(processes);
    return found;
}

// True when a wineserver holds the registry of this prefix in memory, wherever
// Wine put its server directory.
bool WineServerRunning(const std::string& prefix) {
    struct stat info;
    if (::stat(prefix.c_str(), &info) != 0) return false;
    // Wine names the server's directory after the prefix's device and inode.
    char name[64];
    std::snprintf(name, sizeof name, "server-%llx-%llx", static_cast<unsigned long long>(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    for (const std::string& directory : ServerDirectories(prefix, name))
        if (ServerLockHeld(directory)) return true;
    char* real = ::realpath(prefix.c_str(), nullptr);
    const std::string path = real ? real : prefix;
    std::free(real);
    return ServerProcessRunning(name, path);
}

// The new file beside user.reg while it is written: closed, and removed
// unless it was renamed over user.reg, on every way out of the save, memory
// running out included.
struct NewFile {
    explicit NewFile(std::string name) : path(std::move(name)) {
        ::unlink(path.c_str());
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    }
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile() {
        if (fd >= 0) ::close(fd);
        if (!renamed) ::unlink(path.c_str());
    }
    const std::string path;
    int fd = -1;
    bool renamed = false;
};

// While it lives, a write beyond the file-size limit fails with EFBIG
// instead of killing the process with SIGXFSZ (rule 8).
struct FileSizeLimitFails {
    FileSizeLimitFails() {
        struct sigaction ignore = {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(SIGXFSZ, &ignore, &previous);
    }
    FileSizeLimitFails(const FileSizeLimitFails&) = delete;
    FileSizeLimitFails& operator=(const FileSizeLimitFails&) = delete;
    ~FileSizeLimitFails() { ::sigaction(SIGXFSZ, &previous, nullptr); }
    struct sigaction previous = {};
};

// The directory that holds the file; runs on the same file lock it.
std::string DirectoryOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

} // namespace

LSTATUS LoadRegistryFile(RegistryFile& file, UserReg& hive, const std::function<void(long holder)>& announceWait) {
    assert(file.lockFd < 0 && "loaded twice without a release");
    LSTATUS refusal = ERROR_PATH_NOT_FOUND;
    const auto prefix = WinePrefixDirectory(&refusal);
    if (!prefix) return refusal;
    file.prefix = *prefix;
    struct stat info;
    if (::stat(file.prefix.c_str(), &info) != 0) {
        if (errno == ENOENT) return ERROR_PATH_NOT_FOUND;
        return RefuseFailedCall(errno, file.prefix, file.prefix, FileAccess::Reading);
    }

    // A symbolic link stays; the file it points to is the one replaced.
    file.path = file.prefix + "/user.reg";
    if (::lstat(file.path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        char* target = ::realpath(file.path.c_str(), nullptr);
        if (!target) return RefuseLink(errno, file.path, file.prefix);
        file.path = target;
        std::free(target);
    }
    const std::string directory = DirectoryOf(file.path);
    file.lockFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file.lockFd < 0) return RefuseFailedCall(errno, directory, file.prefix, FileAccess::Reading);
    // Another run holding the lock may be stopped, or slow: the wait is
    // said at once, never silent.
    int locked;
    while ((locked = ::flock(file.lockFd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked != 0) {
        if (errno != EWOULDBLOCK) return RefuseFailedCall(errno, directory, file.prefix, FileAccess::Reading);
        if (announceWait) announceWait(FlockHolder(file.lockFd));
        while (::flock(file.lockFd, LOCK_EX) != 0) {
            if (errno != EINTR) return RefuseFailedCall(errno, directory, file.prefix, FileAccess::Reading);
        }
    }
    if (WineServerRunning(file.prefix)) return RefuseWhileWineRuns(file.prefix);

    const OpenedFile opened = OpenRegularFile(file.path);
    file.existed = opened.kind != FileKind::Missing;
    if (!file.existed) {
        std::string arch;
        if (const LSTATUS status = PrefixArchitecture(file.prefix, arch); status != ERROR_SUCCESS) return status;
        hive = NewUserReg(arch);
        return ERROR_SUCCESS;
    }
    if (opened.kind == FileKind::Unreadable)
        return RefuseFailedCall(opened.error, file.path, file.prefix, FileAccess::Reading);
    if (opened.kind != FileKind::Regular) return RefuseSpecialFile("user.reg", opened.kind);
    // A user.reg without write permission is one the user wants left alone.
    if (!(opened.info.st_mode & S_IWUSR)) return RefuseReadOnlyFile(file.path);
    LargeText text;
    if (!ReadWholeFile(opened.fd, text)) return RefuseFailedCall(errno, file.path, file.prefix, FileAccess::Reading);
    std::string reason;
    auto parsed = ParseUserReg(std::move(text), &reason);
    if (!parsed) {
        SetErrorDetail(ERROR_BADDB, reason);
        return ERROR_BADDB;
    }
    hive = std::move(*parsed);
    return ERROR_SUCCESS;
}

LSTATUS SaveRegistryFile(const RegistryFile& file, const UserReg& hive) {
    assert(file.lockFd >= 0 && "saved without the prefix's lock");
    const std::string directory = DirectoryOf(file.path);
    // One name for the new file: under the lock no other run writes it, and
    // what a run killed while writing left behind is replaced by the next.
    NewFile created(directory + "/.user.reg.tavik-new");
    if (created.fd < 0) return RefuseFailedCall(errno, directory, file.prefix, FileAccess::Writing);
    const FileSizeLimitFails fileSizeLimitFails;

    struct stat old;
    mode_t mode;
    if (file.existed && ::stat(file.path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
        if (::geteuid() == 0 && ::fchown(created.fd, old.st_uid, old.st_gid) != 0) {
            // Keeping the owner is a courtesy; the content matters.
        }
    } else {
        // A new file is the prefix owner's, readable and writable by that
        // owner whatever the umask: root's 077 (sudo) would otherwise make
        // a file that the owner's Wine cannot read, and then saves over.
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = (0666 & ~mask) | S_IRUSR | S_IWUSR;
        if (::geteuid() == 0 && ::stat(directory.c_str(), &old) == 0 &&
            ::fchown(created.fd, old.st_uid, old.st_gid) != 0)
            return RefuseFailedCall(errno, directory, file.prefix, FileAccess::Writing);
    }
    int error = 0;
    if (!WriteUserReg(hive, [&created](std::string_view chunk) { return WriteAll(created.fd, chunk); }) ||
        ::fchmod(created.fd, mode) != 0 || FlushToDisk(created.fd) != 0)
        error = errno;
    if (::close(std::exchange(created.fd, -1)) != 0 && !error) error = errno;
    if (error) return RefuseFailedCall(error, directory, file.prefix, FileAccess::Writing);
    // A wineserver started since the file was read holds the old registry
    // and would write it back: the last look comes just before the rename.
    if (WineServerRunning(file.prefix)) return RefuseWhileWineRuns(file.prefix);
    if (::rename(created.path.c_str(), file.path.c_str()) != 0)
        return RefuseFailedCall(errno, directory, file.prefix, FileAccess::Writing);
    created.renamed = true;
    // The rename itself reaches the disk with the directory.
    // The new file is in place: a failure here is not reported, as a retry
    // could not undo the rename.
    if (const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        FlushToDisk(dirFd);
        ::close(dirFd);
    }
    return ERROR_SUCCESS;
}

void ReleaseRegistryFile(RegistryFile& file) {
    if (file.lockFd >= 0) ::close(file.lockFd);
    file.lockFd = -1;
}
