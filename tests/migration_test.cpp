// The whole migration, end to end: a profile in a Wine prefix's Windows
// directory, the program run, the registry read back with types and bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/wine_prefix.h"

namespace {

// A build of the tool, and whether it runs under Wine.
struct Tool {
    std::string name;
    std::vector<std::string> command;
    bool underWine;
};

void PrintTo(const Tool& tool, std::ostream* out) { *out << tool.name; }

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
Values Section(const Values& values, const std::string& section) {
    Values found;
    for (const auto& [path, value] : values)
        if (path.compare(0, section.size() + 1, section + "\\") == 0) found.emplace(path, value);
    return found;
}

class Migration : public ::testing::TestWithParam<Tool> {
protected:
    ProcessResult RunTool(const std::vector<std::string>& args = {}) {
        if (!GetParam().underWine) prefix_.StopWineServer();
        std::vector<std::string> argv = GetParam().command;
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

TEST_P(Migration, ProfileWithoutOurKeysWritesEveryDefault) {
    EXPECT_EQ(Migrate("[Emulator]\r\nSpeedBoost=1\r\n[Other]\r\nAutoSave=1\r\n"), kDefaults);
    const std::set<std::string> sections{"Files", "Port2", "KML", "Disassembler", "Emulator",
                                         "LowBat", "Macro", "Serial", "ROM", "MRU"};
    EXPECT_EQ(prefix_.DumpRegistry().keys, sections);
}

TEST_P(Migration, DirectoryNamedLikeTheProfileCountsAsAnEmptyProfile) {
    std::filesystem::create_directory(prefix_.WindowsDirectory() + "/Tavik.ini");
    EXPECT_EQ(RunTool().exitStatus, 0);
    EXPECT_EQ(prefix_.DumpRegistry().values, kDefaults);
}

TEST_P(Migration, MissingProfileIsReportedAndNothingIsWritten) {
    // No console input can be had here, so the wait ends at once.
    const ProcessResult run = RunTool();
    EXPECT_EQ(run.exitStatus, 1);
    const std::string path =
        GetParam().underWine ? "C:\\windows\\Tavik.ini" : prefix_.WindowsDirectory() + "/Tavik.ini";
    EXPECT_EQ(run.out, path + " not found!\r\nTo terminate press any key...\r\n");
    EXPECT_FALSE(prefix_.DumpRegistry().present);
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
    const ProcessResult withArguments = RunTool({"/?", "--help", "C:\\other.ini"});
    EXPECT_EQ(withArguments.exitStatus, 0);
    EXPECT_EQ(withArguments.out, "");
    EXPECT_EQ(prefix_.DumpRegistry().values, expected);
}

TEST_P(Migration, IntegersAndStringsAsTheirSlotsHoldThem) {
    const Values values = Migrate("[Emulator]\r\nSXCycles=-5\r\nGXCycles=2147483647\r\nRealSpeed=0\r\n"
                                  "[Macro]\r\nReplayTimeout=-2147483648\r\n"
                                  "[Serial]\r\nWire=ABCDEFGHIJKLMNOPQRST\r\nIr=123456789012345\r\n"
                                  "[Disassembler]\r\nSymbE=" + std::string(300, 's') + "\r\n");
    EXPECT_EQ(values.at("Emulator\\SXCycles"), Dword(-5));
    EXPECT_EQ(values.at("Emulator\\GXCycles"), Dword(2147483647));
    EXPECT_EQ(values.at("Macro\\ReplayTimeout"), Dword(-2147483647 - 1));
    EXPECT_EQ(values.at("Macro\\RealSpeed"), Dword(1)) << "the same key in another section is another setting";
    EXPECT_EQ(values.at("Serial\\Wire"), Sz("ABCDEFGHIJKLMNO"));
    EXPECT_EQ(values.at("Serial\\Ir"), Sz("123456789012345"));
    EXPECT_EQ(values.at("Disassembler\\SymbE"), Sz(std::string(259, 's')));
}

TEST_P(Migration, WriteProtectIsWrittenOnlyWhenSet) {
    AddValue("ROM", "WP#", "REG_DWORD", "7");
    EXPECT_EQ(Migrate("[ROM]\r\nWP#=-1\r\n").at("ROM\\WP#"), Dword(7)) << "an earlier value stays";
    EXPECT_EQ(Migrate("[ROM]\r\nWP#=0\r\n").at("ROM\\WP#"), Dword(0));
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

TEST_P(Migration, OnlyPresentSymbStringsAreWrittenAndOtherValuesSurvive) {
    AddValue("MRU", "File9", "REG_SZ", "C:\\left\\over");
    AddValue("Disassembler", "SymbA", "REG_SZ", "kept");
    const Values values = Migrate("[MRU]\r\nFileCount=2\r\n[Disassembler]\r\nSymbG=G.sym\r\nSymbS=\r\nSymbZ=Z.sym\r\n");
    EXPECT_EQ(values.at("MRU\\File9"), Sz("C:\\left\\over"));
    EXPECT_EQ(Section(values, "Disassembler"),
              (Values{{"Disassembler\\Mnemonics", Dword(0)}, {"Disassembler\\Symbolic", Dword(0)},
                      {"Disassembler\\SymbA", Sz("kept")}, {"Disassembler\\SymbG", Sz("G.sym")}}));
}

INSTANTIATE_TEST_SUITE_P(Tools, Migration,
                         ::testing::Values(Tool{"windows", WindowsProgram(), true}, Tool{"native", NativeProgram(), false}),
                         [](const ::testing::TestParamInfo<Tool>& info) { return info.param.name; });

} // namespace
