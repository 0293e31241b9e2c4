#pragma once

// The Win32 types, constants and functions that the migration uses, under
// their Win32 names, implemented on POSIX over a Wine prefix
// ($WINEPREFIX, or ~/.wine): its drive_c/windows is the Windows directory and
// its user.reg is HKEY_CURRENT_USER.

#include <cstdint>

using BYTE = unsigned char;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = unsigned int;
using INT = int;
using BOOL = int;
using LONG = std::int32_t;
using LSTATUS = long;
using REGSAM = DWORD;
using LPSTR = char*;
using LPCSTR = const char*;
using LPDWORD = DWORD*;
using LPCVOID = const void*;
struct HKEY__;
using HKEY = HKEY__*;
using PHKEY = HKEY*;
using HANDLE = void*;
struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x80000001u));

// Room for a path, with its NUL, in the buffers that the API fills.
constexpr DWORD MAX_PATH = 260;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD FILE_SHARE_READ = 1;
constexpr DWORD FILE_SHARE_WRITE = 2;
constexpr DWORD OPEN_EXISTING = 3;

constexpr DWORD INVALID_FILE_ATTRIBUTES = 0xFFFFFFFFu;
constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_MULTI_SZ = 7;
constexpr DWORD REG_OPTION_NON_VOLATILE = 0;
constexpr DWORD REG_CREATED_NEW_KEY = 1;
constexpr DWORD REG_OPENED_EXISTING_KEY = 2;
constexpr REGSAM KEY_WRITE = 0x20006;

constexpr DWORD FORMAT_MESSAGE_IGNORE_INSERTS = 0x200;
constexpr DWORD FORMAT_MESSAGE_FROM_SYSTEM = 0x1000;

// Error codes, with the Win32 numbers where Win32 has one of the meaning.
constexpr LSTATUS ERROR_SUCCESS = 0;
constexpr LSTATUS ERROR_FILE_NOT_FOUND = 2;
constexpr LSTATUS ERROR_PATH_NOT_FOUND = 3;
constexpr LSTATUS ERROR_ACCESS_DENIED = 5;
constexpr LSTATUS ERROR_INVALID_HANDLE = 6;
constexpr LSTATUS ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr LSTATUS ERROR_WRITE_PROTECT = 19;
constexpr LSTATUS ERROR_READ_FAULT = 30;
constexpr LSTATUS ERROR_SHARING_VIOLATION = 32;
constexpr LSTATUS ERROR_NOT_SUPPORTED = 50;
constexpr LSTATUS ERROR_CANNOT_MAKE = 82;
constexpr LSTATUS ERROR_INVALID_PARAMETER = 87;
constexpr LSTATUS ERROR_DISK_FULL = 112;
constexpr LSTATUS ERROR_BAD_PATHNAME = 161;
constexpr LSTATUS ERROR_FILENAME_EXCED_RANGE = 206;
constexpr LSTATUS ERROR_FILE_TOO_LARGE = 223;
constexpr LSTATUS ERROR_DIRECTORY = 267;
constexpr LSTATUS ERROR_BADDB = 1009;
constexpr LSTATUS ERROR_REGISTRY_IO_FAILED = 1016;
constexpr LSTATUS ERROR_INVALID_OWNER = 1307;
constexpr LSTATUS ERROR_PRIVILEGE_NOT_HELD = 1314;
constexpr LSTATUS ERROR_CANT_ACCESS_FILE = 1920;
constexpr LSTATUS ERROR_CANT_RESOLVE_FILENAME = 1921;

// Files and directories (kernel32).
UINT GetWindowsDirectoryA(LPSTR buffer, UINT size);
DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
DWORD GetFileAttributesA(LPCSTR path);
// Opens an existing file for reading only (GENERIC_READ, OPEN_EXISTING; the
// share mode and attributes are not used): the error is ERROR_ACCESS_DENIED
// without read permission, ERROR_FILE_NOT_FOUND, ERROR_NOT_ENOUGH_MEMORY, or
// ERROR_READ_FAULT for any other failure.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD attributes, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);

// Profile files (kernel32), read as Wine reads them.
UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT defaultValue, LPCSTR fileName);
DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer, DWORD size,
                               LPCSTR fileName);

// Strings, messages and the calling thread's last error (kernel32, user32).
int lstrlenA(LPCSTR text);
LPSTR lstrcatA(LPSTR destination, LPCSTR source);
int wsprintfA(LPSTR buffer, LPCSTR format, ...);
DWORD FormatMessageA(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPSTR buffer, DWORD size,
                     void* arguments);
DWORD GetLastError();
void SetLastError(DWORD error);

// Registry (advapi32), over the prefix's user.reg. The first call reads it
// under the prefix's lock; the values set are kept in memory and reach
// user.reg together, on RegFlushKey(HKEY_CURRENT_USER).
LSTATUS RegCreateKeyExA(HKEY key, LPCSTR subKey, DWORD reserved, LPSTR keyClass, DWORD options, REGSAM access,
                        LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition);
LSTATUS RegSetValueExA(HKEY key, LPCSTR valueName, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
LSTATUS RegCloseKey(HKEY key);
// Our addition: besides writing user.reg (all of the run's values, or none
// when one key was refused) and giving up the lock, it drops the profile kept
// by GetPrivateProfile*A, so that a large profile and a large hive are not
// held at once; the next profile read parses the file again.
LSTATUS RegFlushKey(HKEY key);
