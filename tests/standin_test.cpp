// The native stand-in's own pieces: what the user.reg reader refuses, how
// values and keys are written back, the escapes of its text, the prefix
// without WINEPREFIX, the Windows directory when memory runs out, and the
// start directory beside what Wine itself gives.
#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/wine_prefix.h"
#include "reg_syntax.h"
#include "user_reg.h"
#include "winapi.h"
#include "wine_paths.h"

namespace {

namespace fs = std::filesystem;

TEST(UserReg, RefusesWhatWineWouldDropOrMisreadAndSaysWhere) {
    const std::string good = "WINE REGISTRY Version 2\n\n[A] 1\n\"v\"=hex:01,\\\n  02\n";
    EXPECT_TRUE(ParseUserReg(good));
    EXPECT_TRUE(ParseUserReg(good + "  \"w\" = dword:1 ; hand edit\n\"x\"=\"y\" z\n[B] junk")) << "as Wine loads it";
    const std::pair<std::string, std::string> bad[] = {
        {"REGEDIT4\n", "line 1"},
        {good.substr(0, good.size() - 6), "line 4: hex data goes on past the end"},
        {good + "\"w\"=\"open\n", "line 6: string has no closing quote"},
        {good + "\"w\"=dword:123456789\n", "line 6: dword"},
        {good + "\"w\"=hex:01,,02\n", "line 6: hex data"},
        {good + "\"w\"=hex:102\n", "line 6: a hex byte"},
        {good + "\"w\"=str(3):\"x\"\n", "line 6: data"},
        {good + "[B\n", "line 6: key name"},
        {good + "junk\n", "line 6: neither"},
        {"WINE REGISTRY Version 2\n\"v\"=\"x\"\n", "line 2: a value stands before the first key"},
        {good + std::string("\"w\"=\"a\0b\"\n", 11), "line 6: holds a NUL byte"},
    };
    for (const auto& [text, reason] : bad) {
        std::string why;
        EXPECT_FALSE(ParseUserReg(text, &why)) << text;
        EXPECT_EQ(why.rfind(reason, 0), 0u) << why;
    }
}

// What is written back reads as the keys and names written to: "\x178zz"
// and "\xffzz" fold alike, and their texts differ in length, so a value
// keeps the spelling its name had first, and its hex data is wrapped
// counting from the line's start, after that spelling (when set under the
// other spelling, and when the file holds both); a path whose first
// component is empty keeps its separators.
TEST(UserReg, WrittenBackAsWrittenTo) {
    const std::string data(40, '\x7f');
    const std::string kept = "\n" + FormatRegValue(u"\u0178zz", 3, data) + "\n";
    auto hive = ParseUserReg("WINE REGISTRY Version 2\n\n[A] 1\n\"\\x178zz\"=hex:00\n\n[B] 1\n\"\\x178zz\"=hex:00\n" +
                             FormatRegValue(u"\u00ffzz", 3, data) + "\n");
    ASSERT_TRUE(hive);
    SetRegValue(*hive, MakeRegKeyRef({u"A"}), u"\u00ffzz", 3, data, 1);
    SetRegValue(*hive, MakeRegKeyRef({u"B"}), u"z", 4, std::string(4, '\0'), 1); // B is written anew
    SetRegValue(*hive, MakeRegKeyRef({u"", u"C", u"D"}), u"x", 4, std::string(4, '\1'), 1);
    SetRegValue(*hive, MakeRegKeyRef({u"", u"C", u"E"}), u"y", 4, std::string(4, '\2'), 1);
    SettleRegValues(*hive);
    const std::string written = SerializeUserReg(*hive);
    const std::size_t first = written.find(kept);
    EXPECT_NE(first, std::string::npos) << written;
    EXPECT_NE(written.find(kept, first + 1), std::string::npos) << written;
    const auto again = ParseUserReg(written);
    ASSERT_TRUE(again);
    const auto values = AllRegValues(*again);
    EXPECT_EQ(values.count(u"c\\d") + values.count(u"c\\e"), 2u);
    EXPECT_EQ(values.count(u"c\\d\\e"), 0u);
}

// The escapes of user.reg text: letters for the usual controls, octal for
// the other units below 32, hex above 127, with all their digits only where
// the next unit would read as one more digit; the last unit, when a NUL, is
// not written. A type takes all eight of its hex digits, written and read.
TEST(RegSyntax, EscapesEachClassOfUnitAndWritesTypesWhole) {
    using namespace std::string_literals;
    const std::pair<std::u16string, std::string> cases[] = {
        {u" ~\x7f\\\"[]"s, " ~\x7f\\\\\"\\[\\]"},
        {u"\a\b\t\n\v\f\r\x1b"s, "\\a\\b\\t\\n\\v\\f\\r\\e"},
        {u"\x01" u"8\x1f" u"7\x1f" u"x"s, "\\18\\0377\\37x"},
        {u"\u00e9g\u00e9G\u00e9" u"0\u00e9" u"f\u00e9" u"F\u20ac" u"a\uffff"s,
         "\\xe9g\\xe9G\\x00e90\\x00e9f\\x00e9F\\x20aca\\xffff"},
        {u"a\0" u"1\0" u"b\0\0"s, "a\\0001\\0b\\0"},
        {u"\x06\0"s, "\\6"},
        {u"\0"s, ""},
    };
    for (const auto& [text, escaped] : cases) EXPECT_EQ(EscapeRegString(text, "[]"), escaped);
    EXPECT_EQ(EscapeRegString(u"\"[", "\"\""), "\\\"[");
    const std::string line = FormatRegValue(u"t", 0xfedcba98, "\x01");
    EXPECT_EQ(line, "\"t\"=hex(fedcba98):01");
    std::string_view rest;
    RegValueLine value;
    ASSERT_TRUE(ParseRegValueLine(line, rest, value, nullptr));
    EXPECT_EQ(value.type, 0xfedcba98u);
    EXPECT_TRUE(value.plain);
}

// Where a program starts: the working directory, $PWD, $LC_ALL, and the
// prefix's path when it is reached by another one.
struct Start {
    std::string directory;
    std::string pwd;
    std::string locale = "C.UTF-8";
    std::string prefix = {};
};

// What GetCurrentDirectoryA gives into 260 bytes, as the helper prints it
// (tests/tools/current_directory.cpp), built for Windows or natively.
std::string CurrentDirectory(const std::vector<std::string>& helper, const WinePrefix& prefix, const Start& start) {
    ProcessOptions options = prefix.Options(start.prefix);
    options.workingDirectory = start.directory;
    options.environment.insert(options.environment.end(), {{"PWD", start.pwd}, {"LC_ALL", start.locale}});
    const std::string out = RunProcess(helper, options).out;
    return out.substr(0, out.find_first_of("\r\n"));
}

void ExpectSameAsWine(const WinePrefix& prefix, const std::vector<Start>& starts) {
    for (const Start& start : starts) {
        // The native helper first: Wine may add what a prefix lacks.
        const std::string native = CurrentDirectory({TAVIK_NATIVE_CURRENT_DIRECTORY}, prefix, start);
        EXPECT_EQ(native, CurrentDirectory({TAVIK_WINE, TAVIK_CURRENT_DIRECTORY}, prefix, start))
            << "from " << start.directory << ", PWD " << start.pwd << ", " << start.locale;
    }
}

TEST(Standin, StartDirectoryIsWhatWineGivesTheWindowsProgram) {
    WinePrefix prefix;
    const int holder = StartProcess({TAVIK_WINE, TAVIK_CURRENT_DIRECTORY, "hold"}, prefix.Options());
    const std::string base = MakeTempDirectory("start"), devices = prefix.Path() + "/dosdevices/";
    const auto at = [&](const std::string& name) {
        fs::create_directories(base + "/" + name);
        return Start{base + "/" + name, base + "/" + name};
    };
    // A directory whose path on Z: is `length` characters long.
    const auto longPath = [&](std::size_t length) {
        std::string name = "long";
        for (std::size_t left = length - 2 - base.size() - 5, chunk; left > 0; left -= chunk) {
            chunk = left > 129 ? 128 : left;
            name += "/" + std::string(chunk - 1, 'x');
        }
        return at(name);
    };
    for (const char* drive : {"d:", "y:"}) fs::create_directory_symlink(at("drives").directory, devices + drive);
    fs::create_directory_symlink(at("drives/sub").directory, devices + "m:");
    fs::create_directory_symlink(prefix.WorkDirectory(), base + "/link");
    const std::string accented = base + "/caf\xC3\xA9"; // the prefix by a path that is not ASCII
    fs::create_directory_symlink(prefix.Path(), accented);
    const Start plain = at("plain"), questionMark = at("q?m");
    fs::create_directories(base + "/x./sub"); // where Wine opens "x...\sub"
    ExpectSameAsWine(prefix, {
        at("drives"),                                  // two letters: the first
        at("drives/sub/deeper"),                       // the deepest root wins
        {base + "/link", base + "/link"},              // the link as typed, on Z:
        {base + "/link", "/nowhere"},                  // the link followed, on C:
        at("d\xC3\xA9\xE2\x82\xAC\xCF\x80\xE6\x97\xA5"), // best fit, and '?'
        at("bad\xFF"),                                 // not UTF-8
        {at("d\xC3\xA9").directory, at("d\xC3\xA9").pwd, "C"}, // ASCII: the high bit goes
        {at("d\xC3\xA9").directory, at("d\xC3\xA9").pwd, "tt_XX.UTF-8"}, // no such locale: "C"
        {accented + "/drive_c/work", accented + "/drive_c/work", "C.UTF-8", accented},
        {accented + "/drive_c/work/d\xC3\xA9", accented + "/drive_c/work/d\xC3\xA9", "C", accented},
        {accented, accented, "C.UTF-8", accented}, {accented, accented, "C", accented},
        at("dot."), questionMark,                      // names Wine cannot open again
        longPath(258), longPath(259),
        at("x.../sub"),                                // opened with one dot less
        at("..."),                                     // dots at the end go
        {plain.directory, "/.." + plain.pwd},          // ".." above Z:'s root
        {plain.directory, base + "/drives/../plain"},  // D: passed by "..": not a match
        {fs::path(prefix.WorkDirectory()).parent_path(), base + "/link/.."}, // C:\ through the link
    });
    fs::remove(devices + "z:");
    ExpectSameAsWine(prefix, {plain, questionMark, {"/", "/"}}); // "unix\...", "unix"
    fs::remove_all(devices);
    ExpectSameAsWine(prefix, {plain, {prefix.WorkDirectory(), prefix.WorkDirectory()}}); // Wine's c: and z:
    prefix.StopWineServer();
    WaitForExit(holder);
    RemoveTree(base);
}

// Without WINEPREFIX or HOME, the prefix is .wine in the home of the user
// database's entry for this user, however the program reads it (the
// statically linked one reads /etc/passwd itself). (WINEPREFIX and HOME as
// the program takes them: native_registry_test.)
TEST(Standin, PrefixWithoutWineprefixOrHomeIsInTheUsersHome) {
    const passwd* user = ::getpwuid(::getuid());
    ASSERT_NE(user, nullptr);
    const std::string expected = std::string(user->pw_dir) + "/.wine";
    EXPECT_EXIT((::unsetenv("WINEPREFIX"), ::unsetenv("HOME"), std::exit(WinePrefixDirectory() == expected ? 0 : 1)),
                ::testing::ExitedWithCode(0), "");
}

// Asks for the Windows directory of the prefix `prefix` with the address
// space limited to what the process uses and a megabyte more, and exits with
// the last error (100 or more: the limit could not be set, or the call
// succeeded).
[[noreturn]] void ExitWithWindowsDirectoryErrorWhenShortOfMemory(const std::string& prefix) {
    ::setenv("WINEPREFIX", prefix.c_str(), 1);
    std::size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t bound = pages * static_cast<rlim_t>(::sysconf(_SC_PAGESIZE)) + (1 << 20);
    const rlimit limit = {bound, bound};
    if (pages == 0 || ::setrlimit(RLIMIT_AS, &limit) != 0) std::_Exit(100);
    char directory[MAX_PATH];
    if (GetWindowsDirectoryA(directory, sizeof directory) != 0) std::_Exit(101);
    std::_Exit(static_cast<int>(GetLastError() & 0x7F));
}

// Where memory runs out while the Windows directory is found, the last error
// says so: the run reports a shortage, not a missing prefix. A prefix's name
// of 8 MB cannot be copied within the limit.
TEST(Standin, WindowsDirectoryShortOfMemorySaysSo) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' runtime reserves more address space than the limit allows";
#endif
    EXPECT_EXIT(ExitWithWindowsDirectoryErrorWhenShortOfMemory("/" + std::string(8 << 20, 'p')),
                ::testing::ExitedWithCode(static_cast<int>(ERROR_NOT_ENOUGH_MEMORY)), "");
}

} // namespace
