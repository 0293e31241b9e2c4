#include "wine_paths.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <strings.h>

#include "error_detail.h"
#include "read_whole_file.h"
#include "text_lines.h"

namespace {

// The home directory of the user running the program, from getpwuid, which
// also knows users of other databases (LDAP, systemd's homes). A statically
// linked program reads the user's line of /etc/passwd
// ("name:password:uid:gid:gecos:home:shell") instead: getpwuid would need, at
// run time, the name service modules of the very C library it was linked with.
std::optional<std::string> UserHome() {
#ifdef TAVIK_STATIC_PROGRAM
    LargeText users;
    if (!ReadWholeFile("/etc/passwd", users)) return std::nullopt;
    const std::string uid = std::to_string(::getuid());
    std::string_view rest(users);
    while (!rest.empty()) {
        std::string_view line = TakeLine(rest);
        std::string_view fields[7];
        std::size_t count = 0;
        for (; count < 7; ++count) {
            const std::size_t colon = line.find(':');
            fields[count] = line.substr(0, colon);
            if (colon == std::string_view::npos) break;
            line.remove_prefix(colon + 1);
        }
        if (count >= 5 && fields[2] == uid && !fields[5].empty()) return std::string(fields[5]);
    }
    return std::nullopt;
#else
    const passwd* user = ::getpwuid(::getuid());
    if (!user || !user->pw_dir) return std::nullopt;
    return std::string(user->pw_dir);
#endif
}

} // namespace

std::optional<std::string> WinePrefixDirectory(LSTATUS* refusal) {
    auto refuse = [refusal](LSTATUS code, std::string words) -> std::optional<std::string> {
        SetErrorDetail(code, std::move(words));
        if (refusal) *refusal = code;
        return std::nullopt;
    };
    std::string prefix;
    if (const char* configured = std::getenv("WINEPREFIX")) {
        prefix = configured;
        if (prefix.empty() || prefix.front() != '/')
            return refuse(ERROR_BAD_PATHNAME, "invalid WINEPREFIX '" + prefix + "': not an absolute path");
    } else if (const char* home = std::getenv("HOME")) {
        prefix = home;
        if (prefix.empty() || prefix.front() != '/')
            return refuse(ERROR_BAD_PATHNAME, "invalid HOME '" + prefix + "': not an absolute path");
        prefix += "/.wine";
    } else {
        const auto userHome = UserHome();
        if (!userHome)
            return refuse(ERROR_PATH_NOT_FOUND, "no home directory: HOME is not set and the user database names none");
        prefix = *userHome + "/.wine";
    }
    while (prefix.size() > 1 && prefix.back() == '/') prefix.pop_back();
    // One that does not exist is no refusal: the profile is missing then.
    struct stat info;
    const bool exists = ::stat(prefix.c_str(), &info) == 0;
    if ((exists && !S_ISDIR(info.st_mode)) || (!exists && errno == ENOTDIR))
        return refuse(ERROR_DIRECTORY, "cannot use directory " + prefix + ": not a directory");
    return prefix;
}

std::optional<std::string> WindowsDirectory(LSTATUS* refusal) {
    const auto prefix = WinePrefixDirectory(refusal);
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
