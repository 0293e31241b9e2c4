#include "profile_store.h"

#include "platform.h"

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
