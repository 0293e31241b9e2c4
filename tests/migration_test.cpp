// The migration end to end, by both programs: each case is migrated by the
// Windows program under Wine and by the native program, each in a copy of
// one prefix, and Wine must read the same from both results (and find the
// same text in user.reg, where it was not edited by hand). Where the
// profile's meaning is known, that is also what Wine reads.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "support/wine_prefix.h"

namespace {

namespace fs = std::filesystem;
using Values = std::map<std::string, RegValue>;

// What an empty profile migrates to, started from C:\work: the native
// program too stores the start directory as Wine names it.
const Values kDefaults = {
    {"Files\\TavikDirectory", Sz("C:\\work")}, {"Files\\AutoSave", Dword(0)}, {"Files\\AutoSaveOnExit", Dword(1)},
    {"Files\\SaveDefaultConfirm", Dword(1)}, {"Files\\StartupBackup", Dword(0)},
    {"Files\\LoadObjectWarning", Dword(1)}, {"Files\\LastDocument", Sz("")}, {"Port2\\IsShared", Dword(0)},
    {"Port2\\Filename", Sz("SHARED.BIN")}, {"KML\\AlwaysDisplayLog", Dword(1)},
    {"Disassembler\\Mnemonics", Dword(0)}, {"Disassembler\\Symbolic", Dword(0)},
    {"Emulator\\AlwaysOnTop", Dword(0)}, {"Emulator\\ActivationFollowsMouse", Dword(0)},
    {"Emulator\\RealSpeed", Dword(1)}, {"Emulator\\SXCycles", Dword(82)}, {"Emulator\\GXCycles", Dword(123)},
    {"Emulator\\KeyMinDelay", Dword(50)}, {"Emulator\\WakeupDelay", Dword(200)}, {"Emulator\\Grayscale", Dword(0)},
    {"Emulator\\WaveBeep", Dword(0)}, {"Emulator\\WaveVolume", Dword(64)}, {"LowBat\\Disable", Dword(0)},
    {"Macro\\RealSpeed", Dword(1)}, {"Macro\\ReplayTimeout", Dword(0)}, {"Serial\\Wire", Sz("disabled")},
    {"Serial\\Ir", Sz("disabled")}, {"ROM\\Writeable", Dword(1)}, {"MRU\\FileCount", Dword(4)},
    {"MRU\\File1", Sz("")}, {"MRU\\File2", Sz("")}, {"MRU\\File3", Sz("")}, {"MRU\\File4", Sz("")},
};

// The example profile; its "Emulator\Theme" and "MRU\File4" are no part of the migration.
const Values kExample = {
    {"Files\\TavikDirectory", Sz("C:\\Tavik")}, {"Files\\AutoSave", Dword(1)},
    {"Files\\AutoSaveOnExit", Dword(0)}, {"Files\\SaveDefaultConfirm", Dword(0)},
    {"Files\\StartupBackup", Dword(1)}, {"Files\\LoadObjectWarning", Dword(0)},
    {"Files\\LastDocument", Sz("C:\\Tavik\\Saves\\work.sav")}, {"Port2\\IsShared", Dword(1)},
    {"Port2\\Filename", Sz("C:\\Tavik\\port2.bin")}, {"KML\\AlwaysDisplayLog", Dword(0)},
    {"Disassembler\\Mnemonics", Dword(1)}, {"Disassembler\\Symbolic", Dword(1)},
    {"Disassembler\\Symb6", Sz("C:\\Tavik\\Symbols\\base.sym")},
    {"Disassembler\\SymbA", Sz("C:\\Tavik\\Symbols\\a.sym")},
    {"Disassembler\\SymbX", Sz("C:\\Tavik\\Symbols\\x.sym")}, {"Emulator\\AlwaysOnTop", Dword(1)},
    {"Emulator\\ActivationFollowsMouse", Dword(1)}, {"Emulator\\RealSpeed", Dword(0)},
    {"Emulator\\SXCycles", Dword(90)}, {"Emulator\\GXCycles", Dword(130)}, {"Emulator\\KeyMinDelay", Dword(40)},
    {"Emulator\\WakeupDelay", Dword(150)}, {"Emulator\\Grayscale", Dword(1)}, {"Emulator\\WaveBeep", Dword(1)},
    {"Emulator\\WaveVolume", Dword(100)}, {"LowBat\\Disable", Dword(1)}, {"Macro\\RealSpeed", Dword(0)},
    {"Macro\\ReplayTimeout", Dword(5)}, {"Serial\\Wire", Sz("COM1")}, {"Serial\\Ir", Sz("COM2")},
    {"ROM\\Writeable", Dword(0)}, {"ROM\\WP#", Dword(1)}, {"MRU\\FileCount", Dword(3)},
    {"MRU\\File1", Sz("C:\\Tavik\\Saves\\work.sav")}, {"MRU\\File2", Sz("C:\\Tavik\\Saves\\game.sav")},
    {"MRU\\File3", Sz("")},
};

// In the profile's place: a directory, a FIFO, a link to a device, nothing.
const std::string kDirectory = "<a directory>", kFifo = "<a FIFO>", kDevice = "<a device>", kNone = "<none>";
const std::string kExampleText = ReadFile(TAVIK_EXAMPLE_PROFILE);

// A case: the profile; what Wine then reads, with `whole` every value and
// key, else the values of the sections that `expected` names; Tavik blocks of
// user.reg edited by hand (`blocks` appended, or in place of all its blocks
// when `alone`, every line end made CR LF when `crlf`), which Wine loads
// without a word (the last of two alike names wins); values that an earlier
// run left, as `reg add` takes them (key below Software\Tavik, name, type,
// data); the exit status.
struct Case {
    std::string name, profile;
    Values expected = {};
    bool whole = false;
    std::string blocks = {};
    bool crlf = false, alone = false;
    std::vector<std::vector<std::string>> earlier = {};
    int exitStatus = 0;
};

// A count of 1 500 with File5 absent and File1501 past it: the gap is an
// empty string, the longest path is cut to 259 characters, and the block of
// 1 501 values is sorted (by radix, from 1 024 values on) into Wine's order.
Case RecentFiles() {
    const int count = 1500;
    Case c{"RecentFilesFollowTheCountWithGapsAsEmptyStrings",
           "[MRU]\r\nFileCount=" + std::to_string(count) + "\r\nFile" + std::to_string(count + 1) + "=C:\\past\r\n",
           {{"MRU\\FileCount", Dword(count)}, {"MRU\\File5", Sz("")}}};
    for (int n = 1; n <= count; ++n) {
        if (n == 5) continue;
        const std::string path = n == count ? std::string(400, 'p') : "C:\\d\\" + std::to_string(n);
        c.profile += "File" + std::to_string(n) + "=" + path + "\r\n";
        c.expected["MRU\\File" + std::to_string(n)] = Sz(path.substr(0, 259));
    }
    return c;
}

Values With(Values values, const Values& changed) {
    for (const auto& [path, value] : changed) values[path] = value;
    return values;
}

// Lines of megabytes are cut as the profile functions cut them, a port's to
// 15 characters and a path to 259, and the line after each is read.
Case LinesOfMegabytes() {
    Case c{"LinesOfMegabytesAreCut",
           "[Serial]\r\nWire=" + std::string(10 << 20, 'w') + "\r\nIr=COM4\r\n[Files]\r\nLastDocument=" +
               std::string(10 << 20, 'd') + "\r\nAutoSave=1\r\n",
           {{"Serial\\Wire", Sz(std::string(15, 'w'))}, {"Serial\\Ir", Sz("COM4")}}};
    for (const auto& [path, value] : kDefaults)
        if (path.rfind("Files\\", 0) == 0) c.expected[path] = value;
    c.expected["Files\\LastDocument"] = Sz(std::string(259, 'd'));
    c.expected["Files\\AutoSave"] = Dword(1);
    return c;
}

const Case kKnown[] = {
    // A directory in the profile's place reads as an empty profile.
    {"EveryDefaultIsWrittenForWhatTheProfileLacks", kDirectory, kDefaults, true},
    // Keys of other sections, or unknown, set nothing; Macro's RealSpeed is a
    // setting of its own; all 32 bits of a number are stored.
    {"OnlyTheCataloguesKeysAreCopied", "[Emulator]\r\nSpeedBoost=1\r\nRealSpeed=-2147483648\r\n[Other]\r\nAutoSave=1\r\n",
     With(kDefaults, {{"Emulator\\RealSpeed", Dword(-2147483647 - 1)}}), true},
    {"ExampleProfileIsCopiedValueForValue", kExampleText, kExample, true},
    {"NoRecentFileForACountOf0", "[MRU]\r\nFileCount=0\r\nFile1=C:\\one\r\n", {{"MRU\\FileCount", Dword(0)}}},
    RecentFiles(),
    // What the profile leaves unset stays as an earlier run left it: WP#
    // (also when -1), recent files past the count, Symb strings absent or
    // empty; a Symb string is cut as a path is.
    {"WhatTheProfileLeavesUnsetStays",
     "[ROM]\r\nWP#=-1\r\n[MRU]\r\nFileCount=2\r\n[Disassembler]\r\nSymbG=G.sym\r\nSymbS=\r\nSymbX=" +
         std::string(300, 'x') + "\r\n",
     {{"ROM\\Writeable", Dword(1)}, {"ROM\\WP#", Dword(7)}, {"MRU\\FileCount", Dword(2)}, {"MRU\\File1", Sz("")},
      {"MRU\\File2", Sz("")}, {"MRU\\File9", Sz("C:\\left\\over")}, {"Disassembler\\Mnemonics", Dword(0)},
      {"Disassembler\\Symbolic", Dword(0)}, {"Disassembler\\SymbA", Sz("kept")},
      {"Disassembler\\SymbG", Sz("G.sym")}, {"Disassembler\\SymbX", Sz(std::string(259, 'x'))}},
     false, "", false, false,
     {{"ROM", "WP#", "REG_DWORD", "7"}, {"MRU", "File9", "REG_SZ", "C:\\left\\over"},
      {"Disassembler", "SymbA", "REG_SZ", "kept"}}},
    {"WriteProtectOf0IsStored", "[ROM]\r\nWP#=0\r\n", {{"ROM\\Writeable", Dword(1)}, {"ROM\\WP#", Dword(0)}}},
    LinesOfMegabytes(),
    // Without a profile each program names it, waits for a key (none can be
    // had here, so the wait ends at once), and stores nothing.
    {"MissingProfileIsNamedAndNothingIsStored", kNone, {}, true, "", false, false, {}, 1},
    {"ProfileThatIsAFifoIsMissing", kFifo, {}, true, "", false, false, {}, 1},
    {"ProfileThatIsADeviceIsMissing", kDevice, {}, true, "", false, false, {}, 1},
};

const Case kHandEdits[] = {
    {"CrLfLineEnds", kExampleText, {}, false,
     "\n[Software\\\\Tavik\\\\Files] 1700000000\n\"AutoSave\"=dword:00000000\n\"Kept\"=\"k\"\n", true},
    {"BlanksShortDwordsAndComments", kExampleText, {}, false,
     "\n[Software\\\\Tavik\\\\Emulator] 1700000000\n   \n  \"SXCycles\" = dword:1\n"
     "\"GXCycles\"=dword:00000002 \n\"KeyMinDelay\"=dword:3 ; was 3\n\t\"Theme\"= \"dark\" ; kept\n\"theme\"=\"light\"\n"
     "\"Old\"=str:\"x\"\n\"WaveVolume\"=dword:7"},
    // U+0130 is no capital i to Wine's registry: "F\x130leCount" and
    // "Tav\x130k" are names of their own, neither overwritten nor taken.
    {"NamesWineReadsAsOneOrApart", kExampleText, {}, false,
     "\n[Software\\\\Tavik\\\\MRU] 1700000000\n\"File\xa0" "Count\"=dword:00000009\n\"F\\x130leCount\"=dword:7\n"
     "\"file1\"=\"old\"\n\"FILE1\"=\"older\"\n\"fILE9\"=\"nine\"\n"
     "\n[Software\\\\Tavik\\\\Macro\\\\] 1700000000\n\"RealSpeed\"=dword:00000005\n\"replaytimeout\"=dword:7\n"
     "\n[Software\\\\Tav\\x130k\\\\Files] 1700000000\n\"AutoSave\"=dword:00000009\n"},
    // A name with a NUL at its end is a value of its own to Wine, but Wine
    // saves it without that NUL, after the name without it (the shorter
    // first): read again, the two are one value with the data of the NUL
    // one, spelt as the other. A block the migration changes ends so, in
    // either order, whichever value the migration sets, and for a NUL name
    // alone beside a value the migration adds.
    {"NamesEndingInNul", kExampleText, {}, false,
     "\n[Software\\\\Tavik\\\\Files] 1700000000\n\"abc\\0\"=\"first\"\n\"abc\"=\"second\"\n"
     "\n[Software\\\\Tavik\\\\Emulator] 1700000000\n\"Theme\"=\"second\"\n\"THEME\\0\"=\"first\"\n"
     "\n[Software\\\\Tavik\\\\Serial] 1700000000\n\"Wire\\0\"=\"nul\"\n\"WIRE\"=\"COM9\"\n"
     "\n[Software\\\\Tavik\\\\Port2] 1700000000\n\"filename\\x0\"=\"nul\"\n"
     "\n[Software\\\\Tavik\\\\KML] 1700000000\n\"AlwaysDisplayLog\"=dword:9\n\"ALWAYSDISPLAYLOG\\000\"=dword:5\n"},
    // Lines of one name, with and without NULs at its end: the last line of
    // each name wins on loading, and a NUL more or less makes another name.
    // A byte that Wine drops makes two names one (as the fuzzer found), and
    // a name that is a NUL alone becomes the default value.
    {"ManyLinesOfOneName", kExampleText, {}, false,
     "\n[Software\\\\Tavik\\\\Macro] 1700000000\n\"Abc\\0\"=\"4\"\n\"abc\"=\"1\"\n\"abc\\0\"=\"3\"\n"
     "\"ABC\"=\"2\"\n\"aBc\\0\\0\"=\"5\"\n\"ReplayTimeout\\0\\0\"=dword:3\n\"replaytimeout\\0\"=dword:2\n"
     "\"REPLAYTIMEOUT\"=dword:1\n"
     "\n[Software\\\\Tavik\\\\Disassembler] 1700000000\n\"elTUREGIT@h\\\"\\0\"=\"\"d\n"
     "\"elTUREGIT@h\xff\\\"\"=\"\x11\"\n\"\\0\"=\"nul\"\n@=\"default\"\n"},
    // Wine shows a key as it met it first: a key added under a parent spelt
    // two ways must not come first with the later spelling.
    {"ParentSpeltTwoWays", kExampleText, {}, false,
     "\n[Software\\\\Tavik\\\\Files] 1700000000\n\"x\"=\"1\"\n"
     "\n[SOFTWARE\\\\TAVIK\\\\Disassembler\\\\Sub] 1700000000\n\"y\"=\"2\"\n"},
    {"SoftwareSpeltTwoWays", kExampleText, {}, false,
     "\n[Software\\\\x\\\\YY] 1700000000\n\"y\"=\"2\"\n\n[SoFtWarE\\\\Tavik\\\\ROM] 1700000000\n\"x\"=\"1\"\n", false,
     true},
    // A first block without values spells a key first: it stays, though Wine
    // itself writes no such block, lest the later spelling come first.
    {"EmptyBlockSpellsSoftwareFirst", kExampleText, {}, false,
     "\n[software] 1700000000\n\n[SOFTWARE\\\\a] 1700000000\n\"y\"=\"2\"\n", false, true},
    {"EmptyBlockSpellsTavikFirst", kExampleText, {}, false,
     "\n[Software\\\\tavik] 1700000000\n\n[Software\\\\TAVIK\\\\Alpha] 1700000000\n\"y\"=\"2\"\n", false, true},
};

// Every profile of tests/profiles/ (blanks, quotes, letter case, repeated
// sections and keys, CR/LF, byte order marks, bytes above 127, NUL bytes,
// long values, odd integers, lines without "="), the profiles whose meaning
// is known, and the hand edits.
std::vector<Case> Cases() {
    std::vector<Case> cases;
    for (const auto& entry : fs::directory_iterator(TAVIK_PROFILE_CORPUS))
        cases.push_back({entry.path().stem().string(), ReadFile(entry.path())});
    std::sort(cases.begin(), cases.end(), [](const Case& a, const Case& b) { return a.name < b.name; });
    cases.insert(cases.end(), std::begin(kKnown), std::end(kKnown));
    cases.insert(cases.end(), std::begin(kHandEdits), std::end(kHandEdits));
    return cases;
}

void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }

// The section of a value's path, e.g. "MRU".
std::string SectionOf(const std::string& path) { return path.substr(0, path.find('\\')); }

class BothPrograms : public ::testing::TestWithParam<Case> {};

// Both programs end alike and say the same on standard output, but for the
// profile's path: nothing when they store. Neither says anything on standard
// error: the Windows program, given arguments, ignores them there too.
TEST_P(BothPrograms, MigrateAlike) {
    const Case& c = GetParam();
    const Outcomes both = ExpectSameAsWine(
        [&](WinePrefix& prefix) {
            for (const auto& v : c.earlier)
                ASSERT_EQ(prefix.Wine({"reg", "add", "HKCU\\Software\\Tavik\\" + v[0], "/v", v[1], "/t", v[2], "/d",
                                       v[3], "/f"}).exitStatus, 0);
            const std::string profile = prefix.WindowsDirectory() + "/Tavik.ini";
            if (c.profile == kDirectory) fs::create_directory(profile);
            else if (c.profile == kFifo) ASSERT_EQ(::mkfifo(profile.c_str(), 0600), 0);
            else if (c.profile == kDevice) fs::create_symlink("/dev/zero", profile);
            else if (c.profile != kNone) prefix.WriteProfile(c.profile);
            std::string userReg = ReadFile(prefix.UserReg());
            if (c.alone) userReg.erase(userReg.find("\n[") + 1);
            userReg += c.blocks;
            for (std::size_t at = 0; c.crlf && (at = userReg.find('\n', at)) != std::string::npos; at += 2)
                userReg.insert(at, "\r");
            WriteFile(prefix.UserReg(), userReg);
        },
        c.blocks.empty() && c.earlier.empty()); // what Wine or a hand wrote keeps its place and spelling
    EXPECT_EQ(both.wine.run.exitStatus, c.exitStatus) << both.wine.run.err;
    const std::string windows = "C:\\windows\\Tavik.ini", unix = "/drive_c/windows/Tavik.ini";
    const std::size_t named = both.ours.run.out.find(unix);
    EXPECT_EQ(named == std::string::npos ? both.ours.run.out : both.ours.run.out.substr(named + unix.size()),
              both.wine.run.out.substr(both.wine.run.out.rfind(windows, 0) == 0 ? windows.size() : 0));
    EXPECT_EQ(both.wine.run.out.empty(), c.exitStatus == 0) << both.wine.run.out;
    EXPECT_EQ(both.ours.run.err, "");
    EXPECT_EQ(both.wine.run.err, "");
    if (c.expected.empty() && !c.whole) {
        EXPECT_EQ(both.wine.dump.values.count("Files\\AutoSave"), 1u) << "the run stored";
        return;
    }
    Values values = both.wine.dump.values;
    std::set<std::string> sections;
    for (const auto& [path, value] : c.expected) sections.insert(SectionOf(path));
    for (auto it = values.begin(); it != values.end();)
        it = c.whole || sections.count(SectionOf(it->first)) ? std::next(it) : values.erase(it);
    EXPECT_EQ(values, c.expected);
    if (c.whole) { EXPECT_EQ(both.wine.dump.keys, sections); }
}

INSTANTIATE_TEST_SUITE_P(Cases, BothPrograms, ::testing::ValuesIn(Cases()), [](const auto& info) {
    std::string name = info.param.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
    return name;
});

// A profile that is there but another program holds open without sharing it
// ends the Windows program's run with exit status 2 and one line naming it;
// the values stored before stay, not overwritten by defaults (the native
// program's refusal of a profile it may not read is in fault_test).
TEST(WindowsProgram, StopsAtAProfileHeldByAnotherProgram) {
    WinePrefix prefix;
    ASSERT_EQ(prefix.Wine({"reg", "add", "HKCU\\Software\\Tavik\\Emulator", "/v", "SXCycles", "/t", "REG_DWORD", "/d",
                           "77", "/f"}).exitStatus, 0);
    prefix.WriteProfile("[Emulator]\r\nSXCycles=5\r\n");
    const std::string held = prefix.WorkDirectory() + "/held";
    const std::string holder = fs::path(TAVIK_REGDUMP).parent_path().string() + "/hold_file.exe";
    const pid_t holding = StartProcess({TAVIK_WINE, holder, "C:\\windows\\Tavik.ini", "C:\\work\\held"}, prefix.Options());
    for (int tries = 0; tries < 600 && !fs::exists(held); ++tries) ::usleep(100000);
    ASSERT_TRUE(fs::exists(held)) << "the holder did not open the profile";
    const ProcessResult run = prefix.Run(WindowsProgram());
    ::kill(holding, SIGKILL);
    WaitForExit(holding);
    EXPECT_EQ(run.exitStatus, 2) << run.err;
    EXPECT_EQ(run.err.find("cannot read C:\\windows\\Tavik.ini: another program has it open"), 0u) << run.err;
    EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
    EXPECT_EQ(prefix.DumpRegistry().values.at("Emulator\\SXCycles"), Dword(77));
}

} // namespace
