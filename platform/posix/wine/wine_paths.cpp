#include "wine_paths.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <strings.h>

std::optional<std::string> WinePrefixDirectory() {
    std::string prefix;
    if (const char* configured = std::getenv("WINEPREFIX"); configured && *configured) {
        prefix = configured;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* user = ::getpwuid(::getuid());
            if (!user || !user->pw_dir) return std::nullopt;
            home = user->pw_dir;
        }
        prefix = std::string(home) + "/.wine";
    }
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    return prefix;
}

std::optional<std::string> WindowsDirectory() {
    const auto prefix = WinePrefixDirectory();
    if (!prefix) return std::nullopt;
    return *prefix + "/drive_c/windows";
}

std::optional<std::string> FindFileIgnoringCase(const std::string& path) {
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0) return path;
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* listing = ::opendir(directory.c_str());
    if (!listing) return std::nullopt;
    std::optional<std::string> found;
    while (const dirent* entry = ::readdir(listing)) {
        if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
            found = directory + "/" + entry->d_name;
            break;
        }
    }
    ::closedir(listing);
    return found;
}
