// GetPrivateProfileIntA and GetPrivateProfileStringA, reading a file the way
// Wine's do. The file is parsed once and kept until it changes on disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>

#include "profile_cache.h"
#include "profile_parser.h"
#include "read_whole_file.h"
#include "text_encoding.h"
#include "winapi.h"
#include "wine_paths.h"

namespace {

// The modification time of a stat result, named differently on macOS.
const timespec& ModifiedTime(const struct stat& info) {
#ifdef __APPLE__
    return info.st_mtimespec;
#else
    return info.st_mtim;
#endif
}

enum class ProfileState { Parsed, Missing, Unreadable };

struct CachedProfile {
    std::string requestedName;
    std::string path; // as found on disk
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    std::chrono::steady_clock::time_point checked; // when the file was last seen unchanged
    Profile profile;
};

// Never freed: freeing a profile of a million keys at exit would cost more
// than reading it.
CachedProfile& gCache = *new CachedProfile;

// A name without a directory is looked for in the Windows directory.
std::optional<std::string> ProfilePath(const std::string& name) {
    if (name.find_first_of("/\\") != std::string::npos) return FindFileIgnoringCase(name);
    const auto directory = WindowsDirectory();
    if (!directory) return std::nullopt;
    return FindFileIgnoringCase(*directory + "/" + name);
}

bool SameFile(const CachedProfile& cached, const struct stat& info) {
    return cached.device == info.st_dev && cached.inode == info.st_ino && cached.size == info.st_size &&
           cached.modified.tv_sec == ModifiedTime(info).tv_sec &&
           cached.modified.tv_nsec == ModifiedTime(info).tv_nsec;
}

ProfileState OpenProfile(const char* fileName, const Profile** profile) {
    *profile = &gCache.profile;
    struct stat info;
    // Usually the file is the one parsed for the last read: one stat tells,
    // and one per millisecond is enough to see a change.
    const auto now = std::chrono::steady_clock::now();
    if (gCache.requestedName == fileName && gCache.size >= 0) {
        if (now - gCache.checked < std::chrono::milliseconds(1)) return ProfileState::Parsed;
        if (::stat(gCache.path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && SameFile(gCache, info)) {
            gCache.checked = now;
            return ProfileState::Parsed;
        }
    }

    gCache = CachedProfile{};
    gCache.requestedName = fileName;
    const auto path = ProfilePath(fileName);
    if (!path) return ProfileState::Missing;
    gCache.path = *path;
    // Opened without blocking, so that a FIFO of that name cannot hang the run.
    const int fd = ::open(gCache.path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT ? ProfileState::Missing : ProfileState::Unreadable;
    ProfileState state = ProfileState::Unreadable;
    std::string content;
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ReadWholeFile(fd, content)) {
        gCache.profile = ParseProfile(content);
        gCache.device = info.st_dev;
        gCache.inode = info.st_ino;
        gCache.size = info.st_size;
        gCache.modified = ModifiedTime(info);
        gCache.checked = now;
        state = ProfileState::Parsed;
    }
    ::close(fd);
    return state;
}

// The string that GetPrivateProfileStringA returns, before the 8-bit conversion.
std::u16string ProfileString(LPCSTR section, LPCSTR key, std::u16string defaultValue, std::size_t capacity,
                             LPCSTR fileName) {
    // Trailing blanks of the default go, all but its first character.
    std::size_t keep = defaultValue.size();
    while (keep > 1 && defaultValue[keep - 1] == u' ') --keep;
    defaultValue.resize(keep);

    const Profile* profile = nullptr;
    switch (OpenProfile(fileName, &profile)) {
    case ProfileState::Unreadable:
        return defaultValue.substr(0, capacity - 1);
    case ProfileState::Missing:
        return CopyProfileEntry(defaultValue, capacity);
    case ProfileState::Parsed:
        break;
    }
    const auto value = FindProfileValue(*profile, DecodeCp1252(section), DecodeCp1252(key));
    return CopyProfileEntry(value ? *value : defaultValue, capacity);
}

} // namespace

void ForgetProfiles() {
    gCache = CachedProfile{};
}

DWORD GetPrivateProfileStringA(LPCSTR section, LPCSTR key, LPCSTR defaultValue, LPSTR buffer, DWORD size,
                               LPCSTR fileName) {
    if (!buffer || size == 0) return 0;
    buffer[0] = '\0';
    // Listing sections or keys (a null section or key) is not needed here.
    if (!section || !key || !fileName) return 0;
    const std::string text =
        EncodeCp1252(ProfileString(section, key, DecodeCp1252(defaultValue ? defaultValue : ""), size, fileName));
    const std::size_t length = std::min<std::size_t>(text.size(), size - 1);
    std::memcpy(buffer, text.data(), length);
    buffer[length] = '\0';
    return static_cast<DWORD>(length);
}

UINT GetPrivateProfileIntA(LPCSTR section, LPCSTR key, INT defaultValue, LPCSTR fileName) {
    if (!section || !key || !fileName) return static_cast<UINT>(defaultValue);
    // Wine reads an integer entry through a buffer of 30 characters.
    const std::u16string text = ProfileString(section, key, u"", 30, fileName);
    if (text.empty()) return static_cast<UINT>(defaultValue);
    return ProfileStringToInteger(text);
}
