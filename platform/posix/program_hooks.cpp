// What the native program says for itself: its command line, as small POSIX
// tools take theirs, and which Wine prefix it looked in when the profile is
// missing.
//
// Command line: arguments are taken from left to right, and the first that
// decides ends it: -h or --help prints the usage, --version the version,
// each on standard output with exit status 0. "--" ends the options; the
// program takes no operands, so anything else, "-" (standard input for
// other tools; this one reads none) and whatever follows "--" included, is
// a usage error: one line on standard error, exit status 2. No argument, or
// "--" alone, runs the migration.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform.h"
#include "wine_paths.h"

namespace {

const int kExitAnswered = 0;
const int kExitUsage = 2;

const char kUsage[] =
    "Usage: tavikmigrate [--help | --version]\n"
    "\n"
    "Moves the settings of the Tavik emulator from Tavik.ini in a Wine prefix's\n"
    "Windows directory (drive_c/windows) into the prefix's registry (user.reg),\n"
    "where the emulator run under Wine finds them. The prefix is $WINEPREFIX, or\n"
    "~/.wine. Stop Wine in that prefix first: WINEPREFIX=... wineserver -k\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit\n"
    "      --version  print the version and exit\n"
    "\n"
    "Exit status: 0 every value stored; 1 Tavik.ini not found (after a key press);\n"
    "2 nothing stored, or a usage error: a line on standard error says why.\n"
    "\n"
    "See what landed: WINEPREFIX=... wine reg query 'HKCU\\Software\\Tavik' /s\n"
#ifdef TAVIK_STATIC_PROGRAM
    // The TGZ's program: its page is in the archive, not installed.
    "Full documentation: man -l share/man/man1/tavikmigrate.1.gz (in the archive)\n";
#else
    "Full documentation: man tavikmigrate\n";
#endif

// Prints an answer on standard output; a failed write (a closed pipe, a full
// disk) is reported, not taken for success.
int Answer(const char* text) {
    if (std::fputs(text, stdout) >= 0 && std::fflush(stdout) == 0) return kExitAnswered;
    std::fprintf(stderr, "%scannot write to standard output: %s\n", kMessagePrefix, std::strerror(errno));
    return kExitUsage;
}

} // namespace

bool AnswerCommandLine(int argc, char** argv, int* exitStatus) {
    bool optionsEnded = false;
    for (int n = 1; n < argc; ++n) {
        const char* argument = argv[n];
        if (!optionsEnded && std::strcmp(argument, "--") == 0) {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && (std::strcmp(argument, "-h") == 0 || std::strcmp(argument, "--help") == 0)) {
            *exitStatus = Answer(kUsage);
        } else if (!optionsEnded && std::strcmp(argument, "--version") == 0) {
            *exitStatus = Answer("tavikmigrate " TAVIK_VERSION "\n");
        } else {
            std::fprintf(stderr, "%sunknown option '%s'; see 'tavikmigrate --help'\n", kMessagePrefix, argument);
            *exitStatus = kExitUsage;
        }
        return true;
    }
    return false;
}

// The not-found message names the profile's path; when the prefix itself is
// missing, or holds no Windows directory where Wine looks (C:\\windows, on
// the drive that dosdevices/c: points to), this line says so first, and
// where the prefix was taken from.
void ExplainMissingProfile() {
    // Each looks at the prefix anew: one that changed since may be refused now.
    const auto prefix = WinePrefixDirectory();
    const auto windows = WindowsDirectory();
    if (!prefix || !windows) return;
    const char* source = std::getenv("WINEPREFIX") ? "from WINEPREFIX" : "WINEPREFIX is not set";
    const std::string drive = DriveRoot(*prefix, 'c');
    struct stat info;
    if (::stat(windows->c_str(), &info) == 0) return; // only the profile is missing
    if (errno != ENOENT && errno != ENOTDIR) {
        std::fprintf(stderr, "%scannot reach %s (%s): %s\n", kMessagePrefix, windows->c_str(), source,
                     std::strerror(errno));
    } else if (::stat(prefix->c_str(), &info) != 0) {
        std::fprintf(stderr, "%sno Wine prefix at %s (%s); set WINEPREFIX to the prefix\n", kMessagePrefix,
                     prefix->c_str(), source);
    } else if (drive == *prefix + "/drive_c" && ::stat(drive.c_str(), &info) != 0) {
        std::fprintf(stderr, "%s%s (%s) has no drive_c/windows; set WINEPREFIX to a Wine prefix\n", kMessagePrefix,
                     prefix->c_str(), source);
    } else if (::stat(drive.c_str(), &info) != 0) {
        std::fprintf(stderr, "%sthe C: drive of %s (%s), %s, is missing; map C: again with winecfg\n",
                     kMessagePrefix, prefix->c_str(), source, drive.c_str());
    } else {
        std::fprintf(stderr, "%sthe C: drive of %s (%s), %s, has no windows directory; set WINEPREFIX to a Wine prefix\n",
                     kMessagePrefix, prefix->c_str(), source, drive.c_str());
    }
}
