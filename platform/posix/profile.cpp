// GetPrivateProfileIntA and GetPrivateProfileStringA, reading a file the way
// Wine's do. The file is parsed once and kept until it changes on disk.
#include <algorithm>
#include <cstring>
#include <string>

#include "memory_shortage.h"
#include "profile_cache.h"
#include "profile_parser.h"
#include "text_encoding.h"
#include "winapi.h"

namespace {

// The default as Wine takes it: trailing blanks go, all but its first
// character.
template <class Char>
std::basic_string_view<Char> TrimDefault(std::basic_string_view<Char> text) {
    while (text.size() > 1 && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// The string that GetPrivateProfileStringA returns, before the 8-bit
// conversion, from the profile as OpenProfile gave it.
std::u16string ProfileString(ProfileState state, const Profile* profile, LPCSTR section, LPCSTR key,
                             const std::u16string& fullDefault, std::size_t capacity) {
    const std::u16string_view defaultValue = TrimDefault<char16_t>(fullDefault);
    switch (state) {
    case ProfileState::Unreadable:
        return std::u16string(defaultValue.substr(0, capacity - 1));
    case ProfileState::Missing:
        return std::u16string(CopyProfileEntry(defaultValue, capacity));
    case ProfileState::Parsed:
        break;
    }
    const auto value = FindProfileValue(*profile, section, key);
    return std::u16string(CopyProfileEntry(value ? std::u16string_view(*value) : defaultValue, capacity));
}

// Copies a value, or the default, from a parsed 8-bit profile as it stands:
// a Windows-1252 text comes back unchanged through the conversions to UTF-16
// and back, so none is made.
DWORD CopyFromEightBitProfile(const Profile& profile, LPCSTR section, LPCSTR key, LPCSTR defaultValue,
                              LPSTR buffer, DWORD size) {
    const auto value = FindProfileText(profile, section, key);
    const std::string_view copy =
        CopyProfileEntry(value ? *value : TrimDefault<char>(defaultValue ? defaultValue : ""), size);
    std::memcpy(buffer, copy.data(), copy.size());
    buffer[copy.size()] = '\0';
    return static_cast<DWORD>(copy.size());
}

} // namespace

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer, DWORD size,
                               LPCSTR fileName) {
    if (!buffer || size == 0) return 0;
    buffer[0] = '\0';
    // Listing sections or keys (a null section or key) is not needed here.
    if (!section || !key || !fileName || MemoryRanShort()) return 0;
    return UnlessMemoryRunsShort(
        [&] {
            const Profile* profile = nullptr;
            const ProfileState state = OpenProfile(fileName, &profile);
            if (state == ProfileState::Parsed && !profile->unitsAsUtf8)
                return CopyFromEightBitProfile(*profile, section, key, defaultValue, buffer, size);
            const std::string text = EncodeCp1252(
                ProfileString(state, profile, section, key, DecodeCp1252(defaultValue ? defaultValue : ""), size));
            const std::size_t length = std::min<std::size_t>(text.size(), size - 1);
            std::memcpy(buffer, text.data(), length);
            buffer[length] = '\0';
            return static_cast<DWORD>(length);
        },
        [&] {
            ForgetProfiles();
            buffer[0] = '\0';
            return DWORD{0};
        },
        MemoryUse::ReadingProfile);
}

UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT defaultValue, LPCSTR fileName) {
    if (!section || !key || !fileName || MemoryRanShort()) return static_cast<UINT>(defaultValue);
    return UnlessMemoryRunsShort(
        [&] {
            const Profile* profile = nullptr;
            const ProfileState state = OpenProfile(fileName, &profile);
            // Wine reads an integer entry through a buffer of 30 characters.
            const std::u16string text = ProfileString(state, profile, section, key, u"", 30);
            if (text.empty()) return static_cast<UINT>(defaultValue);
            return static_cast<UINT>(ProfileStringToInteger(text));
        },
        [&] {
            ForgetProfiles();
            return static_cast<UINT>(defaultValue);
        },
        MemoryUse::ReadingProfile);
}
