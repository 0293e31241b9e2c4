#include "wine_paths.h"

#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
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

std::string DriveRoot(const std::string& prefix, char letter) {
    const std::string devices = prefix + "/dosdevices";
    struct stat info;
    // Wine makes c: and z: in a prefix that has no dosdevices.
    if (::lstat(devices.c_str(), &info) != 0 && errno == ENOENT)
        return letter == 'c' ? prefix + "/drive_c" : letter == 'z' ? "/" : "";
    const std::string link = devices + "/" + letter + ":";
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlink(link.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return link; // no link, or a directory
    target.resize(static_cast<std::size_t>(length));
    if (target.front() == '/') return target;
    // "../drive_c" from dosdevices is <prefix>/drive_c, unless dosdevices is
    // itself a link: then the link's own path is kept.
    std::string base = devices;
    std::string_view rest = target;
    while (rest.substr(0, 3) == "../" && base.find('/') != std::string::npos) {
        base.erase(base.rfind('/'));
        rest.remove_prefix(3);
    }
    const std::string spelt = base + "/" + std::string(rest);
    struct stat linked, through;
    const bool same = ::stat(link.c_str(), &linked) == 0 && ::stat(spelt.c_str(), &through) == 0 &&
                      linked.st_dev == through.st_dev && linked.st_ino == through.st_ino;
    return same ? spelt : link;
}

namespace {

// `names` (separated by '\\' or '/') below the Unix directory `directory`,
// each found in any letter case as Wine finds names on a drive; one not there
// is kept as written.
std::string BelowIgnoringCase(std::string directory, std::string_view names) {
    while (!names.empty()) {
        const std::size_t end = std::min(names.find_first_of("\\/"), names.size());
        if (end > 0) {
            const std::string wanted = directory + "/" + std::string(names.substr(0, end));
            directory = FindFileIgnoringCase(wanted).value_or(wanted);
        }
        names.remove_prefix(std::min(end + 1, names.size()));
    }
    return directory;
}

} // namespace

std::optional<std::string> WindowsDirectory(LSTATUS* refusal) {
    const auto prefix = WinePrefixDirectory(refusal);
    if (!prefix) return std::nullopt;
    return BelowIgnoringCase(DriveRoot(*prefix, 'c'), "windows");
}

std::string UnixPath(const std::string& path) {
    const bool onDrive = path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':' &&
                         path[2] == '\\';
    const auto prefix = onDrive ? WinePrefixDirectory() : std::nullopt;
    if (!prefix) return path;
    const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
    return BelowIgnoringCase(DriveRoot(*prefix, letter), std::string_view(path).substr(3));
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
