#include "refusals.h"

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

#include "error_detail.h"

namespace {

LSTATUS WithDetail(LSTATUS code, std::string detail) {
    SetErrorDetail(code, std::move(detail));
    return code;
}

// Denied access: the owner of the prefix, then of the file read, tell the
// cause before the permissions do. Root is denied nothing for want of
// ownership.
LSTATUS RefuseDenied(const std::string& path, const std::string& prefix, FileAccess access) {
    const uid_t user = ::geteuid();
    struct stat info;
    if (user != 0 && ::stat(prefix.c_str(), &info) == 0 && info.st_uid != user)
        return WithDetail(ERROR_PRIVILEGE_NOT_HELD, prefix);
    if (user != 0 && access == FileAccess::Reading && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        info.st_uid != user) {
        const std::string owner = info.st_uid == 0 ? "root" : "uid " + std::to_string(info.st_uid);
        return WithDetail(ERROR_INVALID_OWNER, path + " is owned by " + owner);
    }
    return WithDetail(access == FileAccess::Reading ? ERROR_READ_FAULT : ERROR_ACCESS_DENIED, path);
}

// No room for a new file may be no room at all, or no inode left while
// blocks are (df shows free space, df -i none). File systems that count no
// inodes show none in total.
LSTATUS RefuseFull(const std::string& path) {
    struct statvfs info;
    if (::statvfs(path.c_str(), &info) == 0 && info.f_files != 0 && info.f_favail == 0 && info.f_bavail != 0)
        return ERROR_CANNOT_MAKE;
    return ERROR_DISK_FULL;
}

// The path as one word of a shell command line: as it is when no shell
// would take it apart, else in double quotes.
std::string ShellWord(const std::string& path) {
    if (path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789/._+,:@%=-") ==
        std::string::npos)
        return path;
    std::string word = "\"";
    for (char c : path) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') word += '\\';
        word += c;
    }
    return word + "\"";
}

} // namespace

LSTATUS RefuseFailedCall(int error, const std::string& path, const std::string& prefix, FileAccess access) {
    switch (error) {
    case EACCES:
    case EPERM:
        return RefuseDenied(path, prefix, access);
    case EROFS:
        return ERROR_WRITE_PROTECT;
    case ENOSPC:
        return RefuseFull(path);
    case EDQUOT:
        return ERROR_DISK_FULL;
    case EFBIG:
        return ERROR_FILE_TOO_LARGE;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_REGISTRY_IO_FAILED;
    }
}

LSTATUS RefuseReadOnlyFile(const std::string& path) {
    return WithDetail(ERROR_ACCESS_DENIED, path);
}

LSTATUS RefuseLink(int error, const std::string& link, const std::string& prefix) {
    if (error == ELOOP) return ERROR_CANT_RESOLVE_FILENAME;
    if (error != ENOENT) return RefuseFailedCall(error, link, prefix, FileAccess::Reading);
    // The target as the link names it, as ls -l shows it.
    char target[PATH_MAX];
    const ssize_t length = ::readlink(link.c_str(), target, sizeof target);
    const bool named = length > 0 && static_cast<std::size_t>(length) < sizeof target;
    return WithDetail(ERROR_FILE_NOT_FOUND, named ? std::string(target, static_cast<std::size_t>(length)) : "");
}

LSTATUS RefuseSpecialFile(const std::string& name, FileKind kind) {
    return WithDetail(ERROR_CANT_ACCESS_FILE, name + " is " + std::string(FileKindName(kind)));
}

LSTATUS RefuseWhileWineRuns(const std::string& prefix) {
    return WithDetail(ERROR_SHARING_VIOLATION, std::getenv("WINEPREFIX") ? ShellWord(prefix) : "");
}
