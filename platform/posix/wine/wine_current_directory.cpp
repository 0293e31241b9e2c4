// The start directory as Wine 8 derives it: the Unix path is matched against
// the prefix's drives, decoded, cleaned of "." and ".." and trailing dots,
// and then opened again; what Wine cannot open becomes C:\windows.
#include "wine_current_directory.h"

#include <dirent.h>
#include <langinfo.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <string_view>

#include "text_encoding.h"
#include "winapi.h"

namespace {

constexpr std::size_t kMaxPath = MAX_PATH;
const char16_t kWindowsDirectory[] = u"C:\\windows";

// The character sets whose Unix names we decode as Wine does.
enum class Charset { kUtf8, kAscii, kOther };

// Looked up once, and only when a name is not ASCII: loading the locale
// costs more than the rest of a typical run's path work.
Charset LocaleCharset() {
#ifdef __APPLE__
    return Charset::kUtf8; // Wine's choice there, whatever the locale
#else
    static const Charset charset = [] {
        // Where the locale cannot be had, Wine stays in the C locale, as we are.
        const locale_t locale = ::newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0));
        const std::string name = locale ? ::nl_langinfo_l(CODESET, locale) : ::nl_langinfo(CODESET);
        if (locale) ::freelocale(locale);
        std::string key; // "UTF-8", "utf8" and "UTF8" are one name to Wine
        for (char c : name)
            if (std::isalnum(static_cast<unsigned char>(c))) key += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
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
    const std::string devices = prefix + "/dosdevices/";
    struct stat info;
    // Wine makes c: and z: in a prefix that has no dosdevices.
    const bool defaults = ::lstat(devices.c_str(), &info) != 0 && errno == ENOENT;
    Drives drives;
    for (int letter = 0; letter < 26; ++letter) {
        std::string root = devices + static_cast<char>('a' + letter) + ":";
        if (defaults) root = letter == 'c' - 'a' ? prefix + "/drive_c" : letter == 'z' - 'a' ? "/" : "";
        if (!root.empty() && ::stat(root.c_str(), &info) == 0) drives[letter] = Drive{root, info.st_dev, info.st_ino};
    }
    return drives;
}

// The length of `path` without its last component, a ".." counting as a
// level to climb back out of.
std::size_t WithoutLastComponent(const std::string& path, std::size_t length) {
    for (int level = 0; level < 1;) {
        std::size_t start = length;
        if (start <= 1) break;
        while (start > 1 && path[start - 1] != '/') --start;
        const std::string_view name(path.data() + start, length - start);
        if (name == "..") --level;
        else if (name != ".") ++level;
        while (start > 1 && path[start - 1] == '/') --start;
        length = start;
    }
    return length;
}

// The drive whose root is the deepest directory on `path`, and how much of
// `path` that directory takes.
std::optional<std::pair<int, std::size_t>> FindDrive(const std::string& path, const Drives& drives) {
    std::size_t length = path.size();
    while (length > 1 && path[length - 1] == '/') --length;
    std::string directory = path.substr(0, length);
    for (;;) {
        struct stat info;
        if (::stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
            for (int letter = 0; letter < 26; ++letter)
                if (drives[letter] && drives[letter]->device == info.st_dev && drives[letter]->inode == info.st_ino)
                    return std::make_pair(letter, length == 1 ? 0 : length);
        }
        if (length <= 1) return std::nullopt;
        length = WithoutLastComponent(directory, length);
        directory.resize(length);
    }
}

// Wine's clean-up of an NT path ("\??\C:\..."): '/' becomes '\', doubled
// separators, "." and ".." go, and so does the last dot of a name and the
// trailing dots and blanks of the whole path.
void CollapsePath(std::u16string& path) {
    for (char16_t& c : path)
        if (c == '/') c = '\\';
    std::size_t p = 4;
    while (p < path.size() && path[p] != '\\') ++p;
    const std::size_t start = p + 1;
    std::size_t next = start;
    for (p = start; p < path.size(); ++p)
        if (path[p] != '\\' || path[next - 1] != '\\') path[next++] = path[p];
    path.resize(next);

    const auto at = [&](std::size_t i) { return i < path.size() ? path[i] : u'\0'; };
    p = start;
    while (p < path.size()) {
        if (path[p] == '.') {
            if (at(p + 1) == '\\') {
                path.erase(p, 2);
                continue;
            }
            if (at(p + 1) == '\0') {
                if (p > start) --p;
                path.resize(p);
                continue;
            }
            if (at(p + 1) == '.' && (at(p + 2) == '\\' || at(p + 2) == '\0')) {
                const bool last = at(p + 2) == '\0';
                const std::size_t after = p + 3;
                if (p > start) {
                    --p;
                    while (p > start && path[p - 1] != '\\') --p;
                    if (last && p > start) --p;
                }
                if (last) path.resize(p);
                else path.erase(p, after - p);
                continue;
            }
        }
        while (p < path.size() && path[p] != '\\') ++p;
        if (p < path.size()) {
            if (p > start && path[p - 1] == '.') path.erase(p - 1, 1);
            else ++p;
        }
    }
    while (p > start && (path[p - 1] == ' ' || path[p - 1] == '.')) --p;
    path.resize(p);
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

// Whether Wine opens the directory `names` ('\'-separated, each followed by
// one) below `directory`: on a drive each name as it is or in another letter
// case, without the characters Windows forbids; below the Unix root, only
// the exact name.
bool WineOpensDirectory(std::string directory, std::u16string_view names, bool onDrive) {
    static constexpr std::u16string_view kForbidden = u"*?<>|\"";
    while (!names.empty()) {
        const std::u16string_view name = names.substr(0, names.find(u'\\'));
        names.remove_prefix(name.size() + 1);
        if (name == u"." || name == u"..") return false;
        for (char16_t c : name)
            if (c == 0 || (onDrive && (c < 32 || kForbidden.find(c) != std::u16string_view::npos))) return false;
        struct stat info;
        const auto bytes = EncodeName(name);
        if (bytes && ::stat((directory + "/" + *bytes).c_str(), &info) == 0) {
            directory += "/" + *bytes;
            continue;
        }
        const auto other = onDrive ? FindIgnoringCase(directory, name) : std::nullopt;
        if (!other) return false;
        directory += "/" + *other;
    }
    struct stat info;
    return ::stat(directory.empty() ? "/" : directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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
    const auto drive = FindDrive(path, drives);
    std::u16string nt = u"\\??\\unix";
    std::string_view rest = path;
    if (drive) {
        rest.remove_prefix(drive->second);
        while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
        nt = u"\\??\\A:\\";
        nt[4] = static_cast<char16_t>('A' + drive->first);
    }
    const auto names = DecodeName(rest);
    if (!names) return std::nullopt;
    nt += *names;
    nt.resize(nt.find(u'\0') == std::u16string::npos ? nt.size() : nt.find(u'\0'));
    CollapsePath(nt);
    if (nt.back() != '\\') nt += u'\\';

    // The program is given "C:\...\" or "\\?\unix\...\"; a longer one than
    // its 260 characters of room is lost, and so is one Wine cannot open.
    const std::size_t rootLength = drive ? 7 : 9; // "\??\C:\", "\??\unix\"
    const std::string root = drive ? drives[drive->first]->root : "";
    if (nt.size() - 4 + (drive ? 0 : 4) >= kMaxPath ||
        !WineOpensDirectory(root, std::u16string_view(nt).substr(std::min(rootLength, nt.size())), drive.has_value()))
        return kWindowsDirectory;

    std::u16string current = nt.substr(4); // "C:\...\", "unix\...\"
    if (current.size() > 1 && current.back() == '\\' && current[current.size() - 2] != ':') current.pop_back();
    return current;
}
