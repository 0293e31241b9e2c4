#include "profile_store.h"

#include "platform.h"

std::uint32_t ProfileOpenError(const char* path) {
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 0;
    // Shared as the profile functions share it: a writer that lets others
    // read is no obstacle.
    const HANDLE file =
        CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(file);
    return 0;
}

std::int32_t ReadProfileInt(const char* section, const char* key, std::int32_t defaultValue) {
    return static_cast<std::int32_t>(GetPrivateProfileIntA(section, key, defaultValue, kProfileFileName));
}

void ReadProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                       std::uint32_t capacity) {
    GetPrivateProfileStringA(section, key, defaultValue, buffer, capacity, kProfileFileName);
}

void ReadLastDocument(char* buffer, std::uint32_t capacity) {
    ReadProfileString("Files", "LastDocument", "", buffer, capacity);
}
