// The whole migration, end to end, by each program: a profile in a Wine
// prefix's Windows directory, the program run, the registry read back with
// types and bytes.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "support/wine_prefix.h"

namespace {

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

// The values of one section below Software\Tavik, e.g. "MRU".
Values Section(Values values, const std::string& section) {
    for (auto it = values.begin(); it != values.end();)
        it = it->first.rfind(section + "\\", 0) == 0 ? std::next(it) : values.erase(it);
    return values;
}

// Run by each program, named by its parameter: "windows" or "native".
class Migration : public ::testing::TestWithParam<std::string> {
protected:
    bool UnderWine() const { return GetParam() == "windows"; }

    ProcessResult RunTool(const std::vector<std::string>& args = {}) {
        if (!UnderWine()) prefix_.StopWineServer();
        std::vector<std::string> argv = UnderWine() ? WindowsProgram() : NativeProgram();
        argv.insert(argv.end(), args.begin(), args.end());
        return prefix_.Run(argv);
    }

    // Runs with the given profile and expects a silent, successful run.
    Values Migrate(const std::string& profile) {
        prefix_.WriteProfile(profile);
        const ProcessResult run = RunTool();
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.out + run.err, "");
        return prefix_.DumpRegistry().values;
    }

    // Adds a value before a run, as an earlier run would have left it.
    void AddValue(const std::string& section, const std::string& name, const std::string& type, const std::string& data) {
        const std::string key = "HKCU\\Software\\Tavik\\" + section;
        ASSERT_EQ(prefix_.Wine({"reg", "add", key, "/v", name, "/t", type, "/d", data, "/f"}).exitStatus, 0);
    }

    WinePrefix prefix_;
};

// A directory in the profile's place reads as an empty profile.
TEST_P(Migration, EveryDefaultIsWrittenForWhatTheProfileLacks) {
    const std::string path = prefix_.WindowsDirectory() + "/Tavik.ini";
    std::filesystem::create_directory(path);
    EXPECT_EQ(RunTool().exitStatus, 0);
    EXPECT_EQ(prefix_.DumpRegistry().values, kDefaults);
    std::filesystem::remove(path);
    // Keys of other sections, or unknown, set nothing; Macro's RealSpeed is a setting of its own.
    Values expected = kDefaults;
    expected["Emulator\\RealSpeed"] = Dword(-2147483647 - 1); // all 32 bits stored
    EXPECT_EQ(Migrate("[Emulator]\r\nSpeedBoost=1\r\nRealSpeed=-2147483648\r\n[Other]\r\nAutoSave=1\r\n"), expected);
    const std::set<std::string> sections{"Files", "Port2", "KML", "Disassembler", "Emulator",
                                         "LowBat", "Macro", "Serial", "ROM", "MRU"};
    EXPECT_EQ(prefix_.DumpRegistry().keys, sections);
}

TEST_P(Migration, MissingProfileIsReportedAndNothingIsWritten) {
    // No console input can be had here, so the wait ends at once.
    const ProcessResult run = RunTool();
    EXPECT_EQ(run.exitStatus, 1);
    const std::string path =
        UnderWine() ? "C:\\windows\\Tavik.ini" : prefix_.WindowsDirectory() + "/Tavik.ini";
    EXPECT_EQ(run.out, path + " not found!\r\nTo terminate press any key...\r\n");
    EXPECT_FALSE(prefix_.DumpRegistry().present);
}

// A profile that is there but cannot be opened for reading ends the run with
// exit status 2 and one line naming it; the values stored before stay, not
// overwritten by defaults. Under Wine another program holds it open without
// sharing it; natively it has no read permission for the (unprivileged) user.
TEST_P(Migration, UnreadableProfileEndsTheRunAndKeepsTheValues) {
    AddValue("Emulator", "SXCycles", "REG_DWORD", "77");
    prefix_.WriteProfile("[Emulator]\r\nSXCycles=5\r\n");
    const std::string profile = prefix_.WindowsDirectory() + "/Tavik.ini";
    ProcessResult run;
    if (UnderWine()) {
        const std::string held = prefix_.WorkDirectory() + "/held";
        const std::string holder = std::filesystem::path(TAVIK_REGDUMP).parent_path().string() + "/hold_file.exe";
        const pid_t holding = StartProcess({TAVIK_WINE, holder, "C:\\windows\\Tavik.ini", "C:\\work\\held"},
                                           prefix_.Options());
        for (int tries = 0; tries < 600 && !std::filesystem::exists(held); ++tries) ::usleep(100000);
        ASSERT_TRUE(std::filesystem::exists(held)) << "the holder did not open the profile";
        run = RunTool();
        ::kill(holding, SIGKILL);
        WaitForExit(holding);
        EXPECT_EQ(run.err, "cannot read C:\\windows\\Tavik.ini: another program has it open; close that program "
                           "(error 32)\r\n");
    } else {
        ASSERT_EQ(::chmod(profile.c_str(), 0), 0);
        // Root reads it anyway: then the run is nobody's, in a prefix of nobody's.
        const bool root = ::geteuid() == 0;
        const std::string mine[] = {std::filesystem::path(prefix_.Path()).parent_path(), prefix_.Path(),
                                    prefix_.UserReg()};
        const auto own = [&](uid_t user) {
            for (const std::string& path : mine) ASSERT_EQ(::chown(path.c_str(), user, user), 0) << path;
        };
        std::vector<std::string> argv = NativeProgram();
        if (root) {
            own(65534);
            argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        }
        prefix_.StopWineServer();
        run = prefix_.Run(argv);
        if (root) own(0);
        EXPECT_EQ(run.err, "tavikmigrate: cannot read " + profile + ": permission denied; let this user read it (error 5)\n");
    }
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(prefix_.DumpRegistry().values.at("Emulator\\SXCycles"), Dword(77));
}

TEST_P(Migration, ExampleProfileIsCopiedValueForValueAndASecondRunChangesNothing) {
    const Values expected = {
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
    // "Emulator\Theme" and "MRU\File4" of the example are no part of the migration.
    const std::string profile = ReadFile(TAVIK_EXAMPLE_PROFILE);
    EXPECT_EQ(Migrate(profile), expected);
    EXPECT_EQ(Migrate(profile), expected);
}

TEST_P(Migration, RecentFilesFollowTheCountWithGapsAsEmptyStrings) {
    EXPECT_EQ(Section(Migrate("[MRU]\r\nFileCount=0\r\nFile1=C:\\one\r\n"), "MRU"),
              (Values{{"MRU\\FileCount", Dword(0)}}));
    std::string profile = "[MRU]\r\nFileCount=12\r\nFile13=C:\\past\r\n";
    Values expected{{"MRU\\FileCount", Dword(12)}, {"MRU\\File5", Sz("")}};
    for (int n = 1; n <= 12; ++n) {
        if (n == 5) continue;
        profile += "File" + std::to_string(n) + "=" + std::string(n == 12 ? 400 : 1, 'a' + n) + "\r\n";
        expected["MRU\\File" + std::to_string(n)] = Sz(std::string(n == 12 ? 259 : 1, 'a' + n));
    }
    EXPECT_EQ(Section(Migrate(profile), "MRU"), expected);
}

// What the profile leaves unset stays as an earlier run left it: WP# (also
// when -1), recent files past the count, Symb strings absent or empty.
TEST_P(Migration, WhatTheProfileLeavesUnsetStays) {
    AddValue("ROM", "WP#", "REG_DWORD", "7");
    AddValue("MRU", "File9", "REG_SZ", "C:\\left\\over");
    AddValue("Disassembler", "SymbA", "REG_SZ", "kept");
    const Values values = Migrate("[ROM]\r\nWP#=-1\r\n[MRU]\r\nFileCount=2\r\n[Disassembler]\r\nSymbG=G.sym\r\n"
                                  "SymbS=\r\nSymbX=" + std::string(300, 'x') + "\r\n");
    EXPECT_EQ(values.at("ROM\\WP#"), Dword(7));
    EXPECT_EQ(values.at("MRU\\File9"), Sz("C:\\left\\over"));
    EXPECT_EQ(Section(values, "Disassembler"),
              (Values{{"Disassembler\\Mnemonics", Dword(0)}, {"Disassembler\\Symbolic", Dword(0)},
                      {"Disassembler\\SymbA", Sz("kept")}, {"Disassembler\\SymbG", Sz("G.sym")},
                      {"Disassembler\\SymbX", Sz(std::string(259, 'x'))}}));
    EXPECT_EQ(Migrate("[ROM]\r\nWP#=0\r\n").at("ROM\\WP#"), Dword(0));
}

// The Windows program ignores its arguments, as it always has; the native
// program answers or refuses them (native_registry_test).
TEST(WindowsProgram, IgnoresItsArguments) {
    WinePrefix prefix;
    prefix.WriteProfile("[Emulator]\r\nSXCycles=5\r\n");
    std::vector<std::string> argv = WindowsProgram();
    argv.insert(argv.end(), {"/?", "--help", "--version", "C:\\other.ini"});
    const ProcessResult run = prefix.Run(argv);
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out + run.err, "");
    EXPECT_EQ(prefix.DumpRegistry().values.at("Emulator\\SXCycles"), Dword(5));
}

INSTANTIATE_TEST_SUITE_P(Tools, Migration, ::testing::Values("windows", "native"),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

} // namespace
