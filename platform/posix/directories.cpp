// GetWindowsDirectoryA, GetCurrentDirectoryA and GetFileAttributesA on the
// Wine prefix.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "memory_shortage.h"
#include "text_encoding.h"
#include "winapi.h"
#include "wine_current_directory.h"
#include "wine_paths.h"

namespace {

// Win32 convention: the length copied, or the size needed (with the NUL) when
// the buffer is too small, in which case nothing is copied.
UINT CopyOut(const std::string& text, LPSTR buffer, UINT size) {
    if (text.size() + 1 > size) return static_cast<UINT>(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<UINT>(text.size());
}

} // namespace

// The Unix path of the prefix's Windows directory, so that messages name the
// real place; where that path leaves no room in MAX_PATH for a backslash and
// an 8.3 file name, "C:\\windows", as Wine gives it, which the file functions
// here map back (UnixPath). 0 with the reason as the last error where Wine
// would refuse the prefix, or where memory runs out.
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size) {
    static constexpr std::size_t kLongest = MAX_PATH - sizeof "\\12345678.123";
    return UnlessMemoryRunsShort(
        [&] {
            LSTATUS refusal = ERROR_SUCCESS;
            const auto directory = WindowsDirectory(&refusal);
            if (!directory) SetLastError(static_cast<DWORD>(refusal));
            if (!directory) return UINT{0};
            return CopyOut(directory->size() <= kLongest ? *directory : "C:\\windows", buffer, size);
        },
        [] {
            SetLastError(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
            return UINT{0};
        });
}

// The directory Wine would give the Windows program started here, so that the
// emulator under Wine can use it; 0 where we cannot tell what Wine would give.
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer) {
    return UnlessMemoryRunsShort(
        [&] {
            const auto prefix = WinePrefixDirectory();
            const auto directory = prefix ? WineCurrentDirectory(*prefix) : std::nullopt;
            return directory ? CopyOut(EncodeCp1252(*directory), buffer, size) : 0;
        },
        [] { return DWORD{0}; });
}

// As in Wine, only a regular file or a directory is found: a FIFO, a device
// or a socket of that name is missing. Where memory runs out the file's
// presence is unknown: it is taken to be there, so that the run goes on to the
// registry, which reports the shortage (a missing profile would end the run as
// though all were well).
DWORD GetFileAttributesA(LPCSTR path) {
    return UnlessMemoryRunsShort(
        [&] {
            const auto found = FindFileIgnoringCase(UnixPath(path));
            struct stat info;
            if (!found || ::stat(found->c_str(), &info) != 0) return INVALID_FILE_ATTRIBUTES;
            if (S_ISDIR(info.st_mode)) return FILE_ATTRIBUTE_DIRECTORY;
            return S_ISREG(info.st_mode) ? FILE_ATTRIBUTE_NORMAL : INVALID_FILE_ATTRIBUTES;
        },
        [] { return FILE_ATTRIBUTE_NORMAL; });
}
