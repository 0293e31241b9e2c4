#include "registry_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "error_detail.h"
#include "read_file.h"
#include "wine_paths.h"

namespace {

LSTATUS ErrorFromErrno(int error) {
    switch (error) {
    case ENOSPC:
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EACCES:
    case EPERM:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

bool WriteAll(int fd, const std::string& text) {
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

// The architecture line of system.reg, for a user.reg made anew.
std::string PrefixArchitecture(const std::string& prefix) {
    std::string system;
    if (!ReadWholeFile(prefix + "/system.reg", system)) return "";
    const std::size_t at = system.find("\n#arch=");
    if (at == std::string::npos) return "";
    const std::size_t end = system.find('\n', at + 1);
    return system.substr(at + 7, end - at - 7);
}

// A wineserver keeps a lock on the file "lock" in its server directory while
// it runs; the directory is named after the prefix's device and inode.
bool ServerLockHeld(const std::string& directory) {
    const int fd = ::open((directory + "/lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct flock probe = {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool held = ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

} // namespace

bool WineServerRunning(const std::string& prefix) {
    struct stat info;
    if (::stat(prefix.c_str(), &info) != 0) return false;
    char name[64];
    std::snprintf(name, sizeof name, "server-%llx-%llx", static_cast<unsigned long long>(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    const std::string uid = std::to_string(::getuid());
    std::vector<std::string> candidates{"/tmp/.wine-" + uid + "/" + name};
    if (DIR* tmp = ::opendir("/tmp")) {
        while (const dirent* entry = ::readdir(tmp)) {
            if (std::string(entry->d_name).rfind("wine-", 0) == 0)
                candidates.push_back(std::string("/tmp/") + entry->d_name + "/" + name);
        }
        ::closedir(tmp);
    }
    for (const std::string& directory : candidates)
        if (ServerLockHeld(directory)) return true;
    return false;
}

// The directory that holds the file; runs on the same file lock it.
static std::string DirectoryOf(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

LSTATUS LoadRegistryFile(RegistryFile& file, UserReg& hive) {
    const auto prefix = WinePrefixDirectory();
    if (!prefix) return ERROR_PATH_NOT_FOUND;
    file.prefix = *prefix;
    struct stat info;
    if (::stat(file.prefix.c_str(), &info) != 0) return errno == ENOENT ? ERROR_PATH_NOT_FOUND : ErrorFromErrno(errno);

    // A symbolic link stays; the file it points to is the one replaced.
    file.path = file.prefix + "/user.reg";
    if (::lstat(file.path.c_str(), &info) == 0 && S_ISLNK(info.st_mode)) {
        char* target = ::realpath(file.path.c_str(), nullptr);
        if (!target) return ERROR_REGISTRY_IO_FAILED;
        file.path = target;
        std::free(target);
    }
    file.lockFd = ::open(DirectoryOf(file.path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (file.lockFd < 0) return ErrorFromErrno(errno);
    while (::flock(file.lockFd, LOCK_EX) != 0) {
        if (errno != EINTR) return ErrorFromErrno(errno);
    }
    if (WineServerRunning(file.prefix)) return ERROR_SHARING_VIOLATION;

    if (::stat(file.path.c_str(), &info) != 0) {
        if (errno != ENOENT) return ErrorFromErrno(errno);
        file.existed = false;
        hive = NewUserReg(PrefixArchitecture(file.prefix));
        return ERROR_SUCCESS;
    }
    file.existed = true;
    if (!S_ISREG(info.st_mode)) return ERROR_BADDB;
    // A user.reg without write permission is one the user wants left alone.
    if (!(info.st_mode & S_IWUSR)) return ERROR_ACCESS_DENIED;
    std::string text;
    if (!ReadWholeFile(file.path, text)) return ErrorFromErrno(errno);
    std::string reason;
    auto parsed = ParseUserReg(text, &reason);
    if (!parsed) {
        SetErrorDetail(ERROR_BADDB, reason);
        return ERROR_BADDB;
    }
    hive = std::move(*parsed);
    return ERROR_SUCCESS;
}

LSTATUS SaveRegistryFile(const RegistryFile& file, const UserReg& hive) {
    if (WineServerRunning(file.prefix)) return ERROR_SHARING_VIOLATION;
    const std::string text = SerializeUserReg(hive);
    const std::string directory = DirectoryOf(file.path);
    // One name for the new file: under the lock no other run writes it, and
    // what a run killed while writing left behind is replaced by the next.
    const std::string temporary = directory + "/.user.reg.tavik-new";
    ::unlink(temporary.c_str());
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return ErrorFromErrno(errno);

    struct stat old;
    mode_t mode;
    if (file.existed && ::stat(file.path.c_str(), &old) == 0) {
        mode = old.st_mode & 07777;
        if (::geteuid() == 0 && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
            // Keeping the owner is a courtesy; the content matters.
        }
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    int error = 0;
    if (!WriteAll(fd, text) || ::fchmod(fd, mode) != 0 || ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && !error) error = errno;
    if (!error && ::rename(temporary.c_str(), file.path.c_str()) != 0) error = errno;
    if (error) {
        ::unlink(temporary.c_str());
        return ErrorFromErrno(error);
    }
    // The rename itself reaches the disk with the directory.
    if (const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return ERROR_SUCCESS;
}

void ReleaseRegistryFile(RegistryFile& file) {
    if (file.lockFd >= 0) ::close(file.lockFd);
    file.lockFd = -1;
}
