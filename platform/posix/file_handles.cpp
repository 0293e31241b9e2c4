// CreateFileA and CloseHandle, for the one use the migration has of them:
// to learn whether the profile can be opened for reading. A handle is the
// file descriptor, plus one, so that descriptor 0 is no null handle.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>

#include "memory_shortage.h"
#include "winapi.h"
#include "wine_paths.h"

namespace {

DWORD ErrorFromOpen(int error) {
    switch (error) {
    case EACCES:
    case EPERM:
        return ERROR_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
        return ERROR_FILE_NOT_FOUND;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_READ_FAULT;
    }
}

} // namespace

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD, LPSECURITY_ATTRIBUTES, DWORD disposition, DWORD, HANDLE) {
    if (access != GENERIC_READ || disposition != OPEN_EXISTING) {
        SetLastError(static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        return INVALID_HANDLE_VALUE;
    }
    return UnlessMemoryRunsShort(
        [&] {
            const std::string unixPath = UnixPath(path);
            const std::string found = FindFileIgnoringCase(unixPath).value_or(unixPath);
            // Not blocking: a FIFO of that name opens at once, and is never read.
            const int fd = ::open(found.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (fd < 0) {
                SetLastError(ErrorFromOpen(errno));
                return INVALID_HANDLE_VALUE;
            }
            return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(fd) + 1);
        },
        [] {
            SetLastError(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
            return INVALID_HANDLE_VALUE;
        });
}

BOOL CloseHandle(HANDLE handle) {
    if (!handle || handle == INVALID_HANDLE_VALUE) {
        SetLastError(static_cast<DWORD>(ERROR_INVALID_HANDLE));
        return 0;
    }
    return ::close(static_cast<int>(reinterpret_cast<std::uintptr_t>(handle) - 1)) == 0;
}
