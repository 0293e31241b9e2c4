// lstrlenA, lstrcatA, wsprintfA, FormatMessageA, GetLastError and SetLastError.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "error_detail.h"
#include "memory_shortage.h"
#include "winapi.h"

namespace {

// What FormatMessageA says of each error code that the stand-in's functions
// return. Each text gives the cause, then "; " and what to do, in lower case
// and without a final period: the run puts the program's name before it and
// the counts and the code after it, all in one line of about 100
// characters, a path it quotes aside. A code whose failure comes with a
// detail (the line of user.reg that was refused, the path that Wine would not
// take, the file that is read-only) has a second text with "%s" where the
// detail goes, used when SetErrorDetail gave one and the whole fits the
// caller's buffer.
struct ErrorText {
    LSTATUS code;
    const char* text;
    const char* withDetail; // nullptr: the code has no detail
};

const ErrorText kErrorTexts[] = {
    {ERROR_SUCCESS, "the operation completed successfully", nullptr},
    {ERROR_FILE_NOT_FOUND, "user.reg links to a missing file; restore it", "user.reg links to missing %s; restore it"},
    {ERROR_PATH_NOT_FOUND, "the Wine prefix was not found; set WINEPREFIX to it", "%s; set WINEPREFIX"},
    {ERROR_ACCESS_DENIED, "user.reg or its directory is read-only; make it writable",
     "%s is read-only; make it writable"},
    {ERROR_INVALID_HANDLE, "the registry key is not open", nullptr},
    {ERROR_NOT_ENOUGH_MEMORY, "out of memory; close other programs", nullptr}, // see MemoryShortageText
    {ERROR_WRITE_PROTECT, "user.reg's file system is read-only; remount it read-write", nullptr},
    {ERROR_READ_FAULT, "user.reg or its directory is unreadable; make it readable",
     "%s is unreadable; make it readable"},
    {ERROR_SHARING_VIOLATION, "Wine is running in this prefix; run 'wineserver -k' first",
     "Wine is running; run 'WINEPREFIX=%s wineserver -k' first"},
    {ERROR_INVALID_PARAMETER, "the parameter is incorrect", nullptr},
    {ERROR_CANNOT_MAKE, "no free inodes on user.reg's disk; delete some files", nullptr},
    {ERROR_DISK_FULL, "the disk is full; free some space", nullptr},
    {ERROR_BAD_PATHNAME, "the Wine prefix's path is not absolute; use a full path", "%s; use a full path"},
    {ERROR_FILENAME_EXCED_RANGE, "the Wine prefix's path is too long for Tavik.ini's; use a shorter one", nullptr},
    {ERROR_FILE_TOO_LARGE, "file too large for the file-size limit; raise ulimit -f", nullptr},
    {ERROR_DIRECTORY, "the Wine prefix is not a directory; fix WINEPREFIX", "%s; fix WINEPREFIX"},
    {ERROR_BADDB, "user.reg is not a Wine registry file; move it away", "user.reg %s; fix it"},
    {ERROR_NOT_SUPPORTED, "a key is behind a registry link; remove the link",
     "%s is behind a registry link; remove it"},
    {ERROR_REGISTRY_IO_FAILED, "user.reg could not be read or written; check the prefix's files", nullptr},
    {ERROR_INVALID_OWNER, "user.reg is owned by another user; chown it back", "%s; chown it back"},
    {ERROR_PRIVILEGE_NOT_HELD, "the Wine prefix is not owned by you; run as its owner",
     "%s is not owned by you; run as its owner"},
    {ERROR_CANT_ACCESS_FILE, "a file of the prefix is not a regular file; put Wine's file there",
     "%s; put Wine's file there"},
    {ERROR_CANT_RESOLVE_FILENAME, "user.reg is a link that loops; point it at the real file", nullptr},
};

// The text of ERROR_NOT_ENOUGH_MEMORY once memory ran out: what it ran out
// for, and what helps there. Reading user.reg or Tavik.ini needs memory in
// step with the file; writing, in step with the values, of which a corrupt
// [MRU] FileCount asks for any number.
const char* MemoryShortageText() {
    switch (MemoryShortageDuring()) {
    case MemoryUse::ReadingUserReg:
        return "out of memory reading user.reg; close other programs";
    case MemoryUse::ReadingProfile:
        return "out of memory reading Tavik.ini; close programs or trim it";
    case MemoryUse::Writing:
        return "out of memory writing values; fix [MRU] FileCount";
    case MemoryUse::Other:
        break;
    }
    return nullptr;
}

DWORD gLastError = ERROR_SUCCESS;

std::map<LSTATUS, std::string>& Details() {
    static std::map<LSTATUS, std::string> details;
    return details;
}

// True when the only conversions are "%d", "%c" and "%%", without flags or
// width: those of the key names the migration forms, one per recent file,
// which FormatPlainly writes at a fraction of vsnprintf's cost.
bool OnlyPlainConversions(const char* format) {
    for (const char* at = std::strchr(format, '%'); at; at = std::strchr(at + 2, '%'))
        if (at[1] != 'd' && at[1] != 'c' && at[1] != '%') return false;
    return true;
}

// Formats as vsnprintf would, for a format that OnlyPlainConversions accepts;
// the length written.
std::size_t FormatPlainly(char* out, std::size_t room, const char* format, va_list arguments) {
    char* const start = out;
    char* const last = out + room - 1;
    for (const char* at = format; *at && out < last; ++at) {
        if (*at != '%') {
            *out++ = *at;
            continue;
        }
        ++at;
        if (*at == '%') {
            *out++ = '%';
        } else if (*at == 'c') {
            *out++ = static_cast<char>(va_arg(arguments, int));
        } else {
            const long long value = va_arg(arguments, int);
            unsigned long long magnitude = value < 0 ? 0ull - static_cast<unsigned long long>(value) : value;
            char digits[24];
            char* digit = digits + sizeof digits;
            do *--digit = static_cast<char>('0' + magnitude % 10);
            while (magnitude /= 10);
            if (value < 0) *--digit = '-';
            while (digit < digits + sizeof digits && out < last) *out++ = *digit++;
        }
    }
    *out = '\0';
    return static_cast<std::size_t>(out - start);
}

} // namespace

void SetErrorDetail(LSTATUS code, std::string detail) {
    if (detail.empty())
        Details().erase(code);
    else
        Details()[code] = std::move(detail);
}

int lstrlenA(LPCSTR text) {
    return text ? static_cast<int>(std::strlen(text)) : 0;
}

LPSTR lstrcatA(LPSTR destination, LPCSTR source) {
    return std::strcat(destination, source);
}

int wsprintfA(LPSTR buffer, LPCSTR format, ...) {
    // wsprintfA writes at most 1024 characters.
    constexpr std::size_t kRoom = 1025;
    va_list arguments;
    va_start(arguments, format);
    if (OnlyPlainConversions(format)) {
        const std::size_t length = FormatPlainly(buffer, kRoom, format, arguments);
        va_end(arguments);
        return static_cast<int>(length);
    }
    char formatted[kRoom];
    const int wanted = std::vsnprintf(formatted, sizeof formatted, format, arguments);
    va_end(arguments);
    if (wanted < 0) {
        buffer[0] = '\0';
        return 0;
    }
    const std::size_t length = std::strlen(formatted);
    std::memcpy(buffer, formatted, length + 1);
    return static_cast<int>(length);
}

DWORD FormatMessageA(DWORD flags, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, void*) {
    if (!(flags & FORMAT_MESSAGE_FROM_SYSTEM) || !buffer || size == 0) return 0;
    for (const ErrorText& error : kErrorTexts) {
        if (static_cast<DWORD>(error.code) != messageId) continue;
        return UnlessMemoryRunsShort(
            [&] {
                const char* shortage = error.code == ERROR_NOT_ENOUGH_MEMORY ? MemoryShortageText() : nullptr;
                std::string text = shortage ? shortage : error.text;
                const auto detail = Details().find(error.code);
                if (error.withDetail && detail != Details().end()) {
                    std::string detailed = error.withDetail;
                    detailed.replace(detailed.find("%s"), 2, detail->second);
                    // A detail that quotes a long path leaves the cause and
                    // the remedy without it rather than no text at all.
                    if (detailed.size() < size) text = std::move(detailed);
                }
                if (text.size() + 1 > size) return DWORD{0};
                std::memcpy(buffer, text.c_str(), text.size() + 1);
                return static_cast<DWORD>(text.size());
            },
            [] { return DWORD{0}; });
    }
    return 0;
}

DWORD GetLastError() {
    return gLastError;
}

void SetLastError(DWORD error) {
    gLastError = error;
}
