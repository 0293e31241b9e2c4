// The start directory as Wine 8 derives it: the Unix path is matched against
// the prefix's drives, decoded, cleaned of "." and ".." and trailing dots,
// and then opened again; what Wine cannot open becomes C:\windows.
#include "wine_current_directory.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "read_whole_file.h"
#include "text_encoding.h"
#include "winapi.h"
#include "wine_paths.h"

namespace {

constexpr std::size_t kMaxPath = MAX_PATH;
const char16_t kWindowsDirectory[] = u"C:\\windows";

// The character sets whose Unix names we decode as Wine does.
enum class Charset { kUtf8, kAscii, kOther };

// A locale's code set as one key: "UTF-8", "utf8" and "UTF8" are one name to
// Wine, as they are to the C library.
std::string CodeSetKey(std::string_view name) {
    std::string key;
    for (char c : name)
        if (std::isalnum(static_cast<unsigned char>(c))) key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return key;
}

// Whether the C library has the locale `name` ("de_DE.UTF-8"): compiled in
// /usr/lib/locale, alone ("de_DE.utf8/LC_CTYPE") or in its archive, under the
// name with its code set in lower case without punctuation, as localedef
// files it. A locale that is not there leaves Wine in the "C" locale.
bool LocaleInstalled(std::string_view name, std::string_view codeSet) {
    std::string filed(name.substr(0, name.size() - codeSet.size()));
    for (char c : codeSet)
        if (std::isalnum(static_cast<unsigned char>(c))) filed += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    struct stat info;
    if (::stat(("/usr/lib/locale/" + filed + "/LC_CTYPE").c_str(), &info) == 0) return true;
    LargeText archive;
    if (!ReadWholeFile("/usr/lib/locale/locale-archive", archive)) return false;
    const std::string key = filed + '\0';
    return std::string_view(archive).find(key) != std::string_view::npos;
}

// The character set of Unix names, decided as the C library picks the
// locale that Wine starts in: LC_ALL, else LC_CTYPE, else LANG (the first one
// set and not empty), "C" when none is; its code set follows the "." and
// ends at an "@". Decided from these names, not by loading the locale, so
// that the statically linked program, whose C library cannot load it,
// decides as the dynamic one does. Looked up once, and only when a name is
// not ASCII.
Charset LocaleCharset() {
#ifdef __APPLE__
    return Charset::kUtf8; // Wine's choice there, whatever the locale
#else
    static const Charset charset = [] {
        std::string_view name = "C";
        for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
            const char* value = std::getenv(variable);
            if (value && *value) {
                name = value;
                break;
            }
        }
        const std::size_t dot = name.find('.');
        if (name == "C" || name == "POSIX" || dot == std::string_view::npos) {
            // A language without a code set ("de_DE") has its own default
            // one, which only the locale's files know.
            return name == "C" || name == "POSIX" ? Charset::kAscii : Charset::kOther;
        }
        const std::string_view codeSet = name.substr(dot + 1, name.find('@', dot) - dot - 1);
        const std::string key = CodeSetKey(codeSet);
        if (!LocaleInstalled(name.substr(0, dot + 1 + codeSet.size()), codeSet)) return Charset::kAscii;
        return key == "UTF8" ? Charset::kUtf8 : key == "ANSIX341968" ? Charset::kAscii : Charset::kOther;
    }();
    return charset;
#endif
}

std::optional<std::u16string> DecodeName(std::string_view bytes) {
    std::u16string text;
    bool ascii = true;
    for (char byte : bytes) {
        ascii = ascii && static_cast<unsigned char>(byte) < 0x80;
        text.push_back(static_cast<unsigned char>(byte) & 0x7F); // Wine's ASCII table drops the high bit
    }
    if (ascii || LocaleCharset() == Charset::kAscii) return text;
    if (LocaleCharset() == Charset::kOther) return std::nullopt;
    text = DecodeUtf8(bytes);
#ifdef __APPLE__
    // Wine composes names here; text below U+0300 throughout is composed already.
    for (char16_t unit : text)
        if (unit >= 0x300) return std::nullopt;
#endif
    return text;
}

// Wine's strict encoding: nullopt where a character has no exact bytes.
std::optional<std::string> EncodeName(std::u16string_view text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t cp = text[i];
        if (cp >= 0x80 && LocaleCharset() != Charset::kUtf8) return std::nullopt;
        if (cp >= 0xD800 && cp < 0xE000) {
            if (cp >= 0xDC00 || i + 1 == text.size() || text[i + 1] < 0xDC00 || text[i + 1] >= 0xE000)
                return std::nullopt;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        }
        if (cp < 0x80) {
            bytes += static_cast<char>(cp);
            continue;
        }
        static constexpr unsigned char kLead[] = {0, 0xC0, 0xE0, 0xF0};
        const int tail = cp < 0x800 ? 1 : cp < 0x10000 ? 2 : 3;
        bytes += static_cast<char>(kLead[tail] | (cp >> (6 * tail)));
        for (int k = tail - 1; k >= 0; --k) bytes += static_cast<char>(0x80 | ((cp >> (6 * k)) & 0x3F));
    }
    return bytes;
}

struct Drive {
    std::string root;
    dev_t device;
    ino_t inode;
};
using Drives = std::array<std::optional<Drive>, 26>;

Drives PrefixDrives(const std::string& prefix) {
    Drives drives;
    for (int letter = 0; letter < 26; ++letter) {
        const std::string root = DriveRoot(prefix, static_cast<char>('a' + letter));
        struct stat info;
        if (!root.empty() && ::stat(root.c_str(), &info) == 0) drives[letter] = Drive{root, info.st_dev, info.st_ino};
    }
    return drives;
}

// The components of `path` between its separators (any character of
// `separators`), without empty ones and without ".".
template <typename Char>
std::vector<std::basic_string_view<Char>> SplitPath(std::basic_string_view<Char> path,
                                                    std::basic_string_view<Char> separators) {
    std::vector<std::basic_string_view<Char>> components;
    while (!path.empty()) {
        const std::size_t end = std::min(path.find_first_of(separators), path.size());
        const auto component = path.substr(0, end);
        if (!component.empty() && !(component.size() == 1 && component[0] == '.')) components.push_back(component);
        path.remove_prefix(std::min(end + 1, path.size()));
    }
    return components;
}

using UnixComponents = std::vector<std::string_view>;

// "/" followed by the first `count` components.
std::string JoinUnixPath(const UnixComponents& components, std::size_t count) {
    std::string path;
    for (std::size_t i = 0; i < count; ++i) path += "/" + std::string(components[i]);
    return path.empty() ? "/" : path;
}

// The first letter whose drive root is `directory`, the same file.
std::optional<int> DriveRootedAt(const std::string& directory, const Drives& drives) {
    struct stat info;
    if (::stat(directory.c_str(), &info) != 0) return std::nullopt;
    for (int letter = 0; letter < 26; ++letter)
        if (drives[letter] && drives[letter]->device == info.st_dev && drives[letter]->inode == info.st_ino)
            return letter;
    return std::nullopt;
}

// Where a Unix path lies on the prefix's drives.
struct DrivePlace {
    int letter;
    UnixComponents below; // the path's components below the drive's root
};

// Climbs from `path` towards "/" one component at a time, as written (so
// through a symbolic link by its name); a ".." on the way is one more level
// to climb before a directory is looked at again. The first directory that is
// a drive's root gives the place.
std::optional<DrivePlace> FindDrive(std::string_view path, const Drives& drives) {
    const UnixComponents components = SplitPath(path, std::string_view("/"));
    std::size_t depth = components.size();
    std::size_t levelsUp = 0; // still to climb before looking again
    for (;;) {
        if (levelsUp == 0 || depth == 0) {
            if (const auto letter = DriveRootedAt(JoinUnixPath(components, depth), drives))
                return DrivePlace{*letter, UnixComponents(components.begin() + depth, components.end())};
        }
        if (depth == 0) return std::nullopt;
        const std::string_view left = components[--depth];
        if (left == "..") ++levelsUp;
        else if (levelsUp > 0) --levelsUp;
    }
}

// The names of the Windows path `path` (below its drive or the Unix root)
// once Wine has cleaned it: '/' and '\' both separate names; "." goes, ".."
// takes the name before it away (never climbing above the root), a name
// loses one trailing dot, and the last name its trailing dots and blanks.
std::vector<std::u16string_view> CollapsePath(std::u16string_view path) {
    std::vector<std::u16string_view> names;
    for (std::u16string_view name : SplitPath(path, std::u16string_view(u"/\\"))) {
        if (name == u"..") {
            if (!names.empty()) names.pop_back();
            continue;
        }
        if (name.back() == '.') name.remove_suffix(1);
        names.push_back(name);
    }
    if (!names.empty()) {
        std::u16string_view& last = names.back();
        while (!last.empty() && (last.back() == '.' || last.back() == ' ')) last.remove_suffix(1);
        if (last.empty()) names.pop_back();
    }
    return names;
}

// A directory entry that reads as `name` in any letter case.
std::optional<std::string> FindIgnoringCase(const std::string& directory, std::u16string_view name) {
    DIR* listing = ::opendir(directory.empty() ? "/" : directory.c_str());
    if (!listing) return std::nullopt;
    std::optional<std::string> found;
    const std::u16string wanted = FoldCase(name);
    while (const dirent* entry = ::readdir(listing)) {
        const auto text = DecodeName(entry->d_name);
        if (text && FoldCase(*text) == wanted) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(listing);
    return found;
}

// Characters that no name on a drive may hold: the control codes and the
// wildcard, quoting and redirection characters of Windows file names.
bool ForbiddenInWindowsName(char16_t unit) {
    if (unit < 0x20) return true;
    switch (unit) {
    case u'*':
    case u'?':
    case u'"':
    case u'<':
    case u'>':
    case u'|':
        return true;
    default:
        return false;
    }
}

// Whether Wine takes `name` as a name to open. Under the "unix" root only "."
// and ".." and a NUL are refused; names on a drive must also be valid Windows
// names.
bool AcceptableName(std::u16string_view name, bool onDrive) {
    if (name == u"." || name == u".." || name.find(u'\0') != std::u16string_view::npos) return false;
    return !onDrive || std::none_of(name.begin(), name.end(), ForbiddenInWindowsName);
}

// The entry of the Unix directory `directory` ("" is the root) that Wine
// opens for `name`: the name as written first; on a drive, where that is
// missing or has no bytes in the locale, whichever entry matches it in any
// letter case.
std::optional<std::string> EntryOpenedFor(const std::string& directory, std::u16string_view name, bool onDrive) {
    struct stat info;
    if (const auto bytes = EncodeName(name); bytes && ::stat((directory + "/" + *bytes).c_str(), &info) == 0)
        return bytes;
    return onDrive ? FindIgnoringCase(directory, name) : std::nullopt;
}

bool IsDirectory(const std::string& path) {
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// Whether Wine opens the directory made of `names` below the Unix directory
// `directory` ("" is the root "/"); `onDrive` is true when `directory` is the
// root of a drive of the prefix, false when the path lies under Wine's "unix"
// root.
bool WineOpensDirectory(std::string directory, const std::vector<std::u16string_view>& names, bool onDrive) {
    const auto acceptable = [onDrive](std::u16string_view name) { return AcceptableName(name, onDrive); };
    if (!std::all_of(names.begin(), names.end(), acceptable)) return false;
    for (std::u16string_view name : names) {
        const std::optional<std::string> entry = EntryOpenedFor(directory, name, onDrive);
        if (!entry) return false;
        directory += "/" + *entry;
    }
    return IsDirectory(directory.empty() ? "/" : directory);
}

std::optional<std::string> WorkingDirectory() {
    std::string directory(4096, '\0');
    while (!::getcwd(directory.data(), directory.size())) {
        if (errno != ERANGE) return std::nullopt;
        directory.resize(directory.size() * 2);
    }
    directory.resize(directory.find('\0'));
    return directory;
}

} // namespace

std::optional<std::u16string> WineCurrentDirectory(const std::string& prefix) {
    const auto working = WorkingDirectory();
    const char* pwd = std::getenv("PWD");
    // The shell script that starts Wine replaces a relative $PWD.
    if (pwd && *pwd != '/') pwd = nullptr;
    std::string path;
    if (working) {
        struct stat named, actual;
        const bool same = pwd && ::stat(pwd, &named) == 0 &&
                          (::stat(working->c_str(), &actual) != 0 ||
                           (named.st_dev == actual.st_dev && named.st_ino == actual.st_ino));
        path = same ? pwd : *working;
    } else if (pwd) {
        path = pwd;
    } else {
        return kWindowsDirectory;
    }

    const Drives drives = PrefixDrives(prefix);
    const auto place = FindDrive(path, drives);
    std::string below; // the Unix path below the drive's root, or below "/"
    for (std::string_view component : place ? place->below : SplitPath(std::string_view(path), std::string_view("/")))
        below += std::string(component) + "/";
    auto text = DecodeName(below);
    if (!text) return std::nullopt;
    text->resize(std::min(text->find(u'\0'), text->size()));
    std::vector<std::u16string_view> names = CollapsePath(*text);

    // Wine loses a path of 260 characters or more with a '\' after its last
    // name ("C:\...\", or "\??\unix\...\" in full outside the drives).
    std::size_t length = place ? 3 : 9;
    for (std::u16string_view name : names) length += name.size() + 1;
    if (length >= kMaxPath) return kWindowsDirectory;
    // Opening a path on a drive takes one more trailing dot off each name
    // ("x...\" is "x..\" above and "x.\" now), and the program is given the
    // path as opened; one Wine cannot open becomes the Windows directory.
    if (place)
        for (std::u16string_view& name : names)
            if (name.back() == '.') name.remove_suffix(1);
    if (!WineOpensDirectory(place ? drives[place->letter]->root : "", names, place.has_value()))
        return kWindowsDirectory;

    // "C:\" keeps its '\'; "unix" and every other path have none at the end.
    std::u16string current = place ? std::u16string{static_cast<char16_t>('A' + place->letter), ':'} : u"unix";
    for (std::u16string_view name : names) (current += u'\\') += name;
    if (names.empty() && place) current += u'\\';
    return current;
}
