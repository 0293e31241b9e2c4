// The profile parsed last, kept while its file stays the same on disk.
#include "profile_cache.h"

#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <utility>

#include "read_whole_file.h"
#include "regular_file.h"
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

struct CachedProfile {
    std::string requestedName;
    std::string path; // as found on disk
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    timespec modified{};
    std::int64_t checked = 0; // when the file was last seen unchanged, in ms
    Profile profile;
};

// A monotonic clock in milliseconds that is cheap to read, for it is read
// for every key: the coarse clock where there is one (it moves once a
// scheduler tick, every 1 to 4 ms).
std::int64_t Milliseconds() {
    timespec now;
#ifdef CLOCK_MONOTONIC_COARSE
    ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
#else
    ::clock_gettime(CLOCK_MONOTONIC, &now);
#endif
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Never freed: freeing a profile of a million keys at exit would cost more
// than reading it.
CachedProfile& gCache = *new CachedProfile;

// A name without a directory is looked for in the Windows directory.
std::optional<std::string> ProfilePath(const std::string& name) {
    if (name.find_first_of("/\\") != std::string::npos) return FindFileIgnoringCase(UnixPath(name));
    const auto directory = WindowsDirectory();
    if (!directory) return std::nullopt;
    return FindFileIgnoringCase(*directory + "/" + name);
}

// Empties the cache and frees its memory: assigning an empty one would keep
// the text's buffer, as a moved-in short string leaves the old capacity.
void ClearCache() {
    CachedProfile dropped = std::move(gCache);
    gCache = CachedProfile{};
}

bool SameFile(const CachedProfile& cached, const struct stat& info) {
    return cached.device == info.st_dev && cached.inode == info.st_ino && cached.size == info.st_size &&
           cached.modified.tv_sec == ModifiedTime(info).tv_sec &&
           cached.modified.tv_nsec == ModifiedTime(info).tv_nsec;
}

} // namespace

ProfileState OpenProfile(const char* fileName, const Profile** profile) {
    *profile = &gCache.profile;
    struct stat info;
    // Usually the file is the one parsed for the last read: one stat tells,
    // and one per millisecond is enough to see a change.
    const std::int64_t now = Milliseconds();
    if (gCache.requestedName == fileName && gCache.size >= 0) {
        if (now == gCache.checked) return ProfileState::Parsed;
        if (::stat(gCache.path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && SameFile(gCache, info)) {
            gCache.checked = now;
            return ProfileState::Parsed;
        }
    }

    ClearCache();
    gCache.requestedName = fileName;
    const auto path = ProfilePath(fileName);
    if (!path) return ProfileState::Missing;
    gCache.path = *path;
    // A directory of that name reads as an empty profile: every value gets
    // its default, as in Wine. (A FIFO or a device is not found by
    // GetFileAttributesA, so the run ends before it is read; should one appear
    // in between, it too reads as empty, without being opened for reading.)
    const OpenedFile file = OpenRegularFile(gCache.path);
    if (file.kind == FileKind::Missing) return ProfileState::Missing;
    LargeText content;
    if (file.kind != FileKind::Regular || !ReadWholeFile(file.fd, content)) return ProfileState::Unreadable;
    gCache.profile = ParseProfile(std::move(content));
    gCache.device = file.info.st_dev;
    gCache.inode = file.info.st_ino;
    gCache.size = file.info.st_size;
    gCache.modified = ModifiedTime(file.info);
    gCache.checked = now;
    return ProfileState::Parsed;
}

void ForgetProfiles() {
    ClearCache();
}
