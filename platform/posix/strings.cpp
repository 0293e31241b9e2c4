// lstrlenA, lstrcatA, wsprintfA and FormatMessageA.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "error_detail.h"
#include "winapi.h"

namespace {

// Texts of the errors that the registry functions return; each says what to
// do. "%s" marks where the error's detail goes, in parentheses.
struct ErrorText {
    LSTATUS code;
    const char* text;
};

const ErrorText kErrorTexts[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_FILE_NOT_FOUND, "The file was not found."},
    {ERROR_PATH_NOT_FOUND, "The Wine prefix could not be found; set WINEPREFIX or HOME and run again."},
    {ERROR_ACCESS_DENIED, "Access to the Wine prefix's user.reg was denied; make it and its directory writable "
                          "for this user and run again."},
    {ERROR_INVALID_HANDLE, "The registry key is not open."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory; close other programs and run again."},
    {ERROR_SHARING_VIOLATION, "A wineserver is running for this Wine prefix and would overwrite user.reg; close "
                              "the Wine programs or run 'wineserver -k', then run again."},
    {ERROR_DISK_FULL, "The disk is full; user.reg was left as it was. Free some space and run again."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BADDB, "The prefix's user.reg is not a Wine registry file as Wine reads it%s, so it was left as it "
                  "was; repair or remove it and run again."},
    {ERROR_NOT_SUPPORTED, "A key on the path of the migrated values is a registry link in the prefix's user.reg%s; "
                          "links are not followed here, so user.reg was left as it was. Run the Windows program "
                          "under Wine, or remove the link, and run again."},
    {ERROR_REGISTRY_IO_FAILED, "user.reg could not be read or written, and was left as it was; check the Wine "
                               "prefix's files and run again."},
};

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
        std::string text = error.text;
        if (const std::size_t mark = text.find("%s"); mark != std::string::npos) {
            const auto detail = Details().find(error.code);
            text.replace(mark, 2, detail == Details().end() ? "" : " (" + detail->second + ")");
        }
        if (text.size() + 1 > size) return 0;
        std::memcpy(buffer, text.c_str(), text.size() + 1);
        return static_cast<DWORD>(text.size());
    }
    return 0;
}
