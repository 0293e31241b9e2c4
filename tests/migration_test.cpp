// The whole migration, end to end: a profile in a Wine prefix's Windows
// directory, the program run, the registry read back with types and bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/registry_dump.h"
#include "support/wine_prefix.h"

namespace {

// A build of the tool, and whether it runs under Wine.
struct Tool {
    std::string name;
    std::vector<std::string> command;
    bool underWine;
};

std::ostream& operator<<(std::ostream& out, const Tool& tool) {
    return out << tool.name;
}

std::vector<Tool> Tools() {
    return {{"windows", WindowsProgramUnderWine(), true}, {"native", {TAVIK_NATIVE_PROGRAM}, false}};
}

using Values = std::map<std::string, RegValue>;

// What an empty profile migrates to, started from C:\work: the native
// program too stores the start directory as Wine names it.
Values DefaultValues() {
    return {
        {"Files\\TavikDirectory", Sz("C:\\work")},
        {"Files\\AutoSave", Dword(0)},
        {"Files\\AutoSaveOnExit", Dword(1)},
        {"Files\\SaveDefaultConfirm", Dword(1)},
        {"Files\\StartupBackup", Dword(0)},
        {"Files\\LoadObjectWarning", Dword(1)},
        {"Files\\LastDocument", Sz("")},
        {"Port2\\IsShared", Dword(0)},
        {"Port2\\Filename", Sz("SHARED.BIN")},
        {"KML\\AlwaysDisplayLog", Dword(1)},
        {"Disassembler\\Mnemonics", Dword(0)},
        {"Disassembler\\Symbolic", Dword(0)},
        {"Emulator\\AlwaysOnTop", Dword(0)},
        {"Emulator\\ActivationFollowsMouse", Dword(0)},
        {"Emulator\\RealSpeed", Dword(1)},
        {"Emulator\\SXCycles", Dword(82)},
        {"Emulator\\GXCycles", Dword(123)},
        {"Emulator\\KeyMinDelay", Dword(50)},
        {"Emulator\\WakeupDelay", Dword(200)},
        {"Emulator\\Grayscale", Dword(0)},
        {"Emulator\\WaveBeep", Dword(0)},
        {"Emulator\\WaveVolume", Dword(64)},
        {"LowBat\\Disable", Dword(0)},
        {"Macro\\RealSpeed", Dword(1)},
        {"Macro\\ReplayTimeout", Dword(0)},
        {"Serial\\Wire", Sz("disabled")},
        {"Serial\\Ir", Sz("disabled")},
        {"ROM\\Writeable", Dword(1)},
        {"MRU\\FileCount", Dword(4)},
        {"MRU\\File1", Sz("")},
        {"MRU\\File2", Sz("")},
        {"MRU\\File3", Sz("")},
        {"MRU\\File4", Sz("")},
    };
}

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
        // The native program refuses to write while a wineserver holds the registry.
        if (!GetParam().underWine) prefix_.StopWineServer();
        std::vector<std::string> argv = GetParam().command;
        argv.insert(argv.end(), args.begin(), args.end());
        return RunProcess(argv, prefix_.Options());
    }

    // Runs with the given profile and expects a silent, successful run.
    Values Migrate(const std::string& profile) {
        prefix_.WriteProfile(profile);
        const ProcessResult run = RunTool();
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        return prefix_.DumpRegistry().values;
    }

    WinePrefix prefix_;
};

TEST_P(Migration, EmptyProfileWritesEveryDefault) {
    prefix_.WriteProfile("");
    const ProcessResult run = RunTool();
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.out, "");
    const RegistryDump dump = prefix_.DumpRegistry();
    EXPECT_EQ(dump.values, DefaultValues());
    const std::set<std::string> sections{"Files", "Port2", "KML", "Disassembler", "Emulator",
                                         "LowBat", "Macro", "Serial", "ROM", "MRU"};
    EXPECT_EQ(dump.keys, sections);
}

TEST_P(Migration, DirectoryNamedLikeTheProfileCountsAsAnEmptyProfile) {
    std::filesystem::create_directory(prefix_.WindowsDirectory() + "/Tavik.ini");
    const ProcessResult run = RunTool();
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(prefix_.DumpRegistry().values, DefaultValues());
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

TEST_P(Migration, ExampleProfileIsCopiedValueForValue) {
    const Values values = Migrate(ReadFile(TAVIK_EXAMPLE_PROFILE));
    Values expected = {
        {"Files\\TavikDirectory", Sz("C:\\Tavik")},
        {"Files\\AutoSave", Dword(1)},
        {"Files\\AutoSaveOnExit", Dword(0)},
        {"Files\\SaveDefaultConfirm", Dword(0)},
        {"Files\\StartupBackup", Dword(1)},
        {"Files\\LoadObjectWarning", Dword(0)},
        {"Files\\LastDocument", Sz("C:\\Tavik\\Saves\\work.sav")},
        {"Port2\\IsShared", Dword(1)},
        {"Port2\\Filename", Sz("C:\\Tavik\\port2.bin")},
        {"KML\\AlwaysDisplayLog", Dword(0)},
        {"Disassembler\\Mnemonics", Dword(1)},
        {"Disassembler\\Symbolic", Dword(1)},
        {"Disassembler\\Symb6", Sz("C:\\Tavik\\Symbols\\base.sym")},
        {"Disassembler\\SymbA", Sz("C:\\Tavik\\Symbols\\a.sym")},
        {"Disassembler\\SymbX", Sz("C:\\Tavik\\Symbols\\x.sym")},
        {"Emulator\\AlwaysOnTop", Dword(1)},
        {"Emulator\\ActivationFollowsMouse", Dword(1)},
        {"Emulator\\RealSpeed", Dword(0)},
        {"Emulator\\SXCycles", Dword(90)},
        {"Emulator\\GXCycles", Dword(130)},
        {"Emulator\\KeyMinDelay", Dword(40)},
        {"Emulator\\WakeupDelay", Dword(150)},
        {"Emulator\\Grayscale", Dword(1)},
        {"Emulator\\WaveBeep", Dword(1)},
        {"Emulator\\WaveVolume", Dword(100)},
        {"LowBat\\Disable", Dword(1)},
        {"Macro\\RealSpeed", Dword(0)},
        {"Macro\\ReplayTimeout", Dword(5)},
        {"Serial\\Wire", Sz("COM1")},
        {"Serial\\Ir", Sz("COM2")},
        {"ROM\\Writeable", Dword(0)},
        {"ROM\\WP#", Dword(1)},
        {"MRU\\FileCount", Dword(3)},
        {"MRU\\File1", Sz("C:\\Tavik\\Saves\\work.sav")},
        {"MRU\\File2", Sz("C:\\Tavik\\Saves\\game.sav")},
        {"MRU\\File3", Sz("")},
    };
    // "Emulator\Theme" and "MRU\File4" of the example are no part of the migration.
    EXPECT_EQ(values, expected);
}

TEST_P(Migration, IntegersKeepTheirExactBytes) {
    const Values values = Migrate("[Emulator]\r\nSXCycles=-5\r\nGXCycles=2147483647\r\n"
                                  "[Macro]\r\nReplayTimeout=-2147483648\r\n");
    EXPECT_EQ(values.at("Emulator\\SXCycles"), (RegValue{4, std::string("\xFB\xFF\xFF\xFF", 4)}));
    EXPECT_EQ(values.at("Emulator\\GXCycles"), Dword(2147483647));
    EXPECT_EQ(values.at("Macro\\ReplayTimeout"), (RegValue{4, std::string("\0\0\0\x80", 4)}));
}

TEST_P(Migration, SameKeyInTwoSectionsStaysTwoSettings) {
    const Values values = Migrate("[Emulator]\r\nRealSpeed=0\r\n");
    EXPECT_EQ(values.at("Emulator\\RealSpeed"), Dword(0));
    EXPECT_EQ(values.at("Macro\\RealSpeed"), Dword(1));
}

TEST_P(Migration, StringsAreCutToTheirCapacity) {
    const std::string symb(300, 's');
    const Values values = Migrate("[Serial]\r\nWire=ABCDEFGHIJKLMNOPQRST\r\nIr=123456789012345\r\n"
                                  "[Disassembler]\r\nSymbE=" + symb + "\r\n[MRU]\r\nFileCount=1\r\nFile1=" +
                                  std::string(400, 'f') + "\r\n");
    EXPECT_EQ(values.at("Serial\\Wire"), Sz("ABCDEFGHIJKLMNO"));
    EXPECT_EQ(values.at("Serial\\Ir"), Sz("123456789012345"));
    EXPECT_EQ(values.at("Disassembler\\SymbE"), Sz(std::string(259, 's')));
    EXPECT_EQ(values.at("MRU\\File1"), Sz(std::string(259, 'f')));
}

TEST_P(Migration, WriteProtectIsWrittenOnlyWhenSet) {
    prefix_.AddDwordValue("ROM", "WP#", 7);
    EXPECT_EQ(Migrate("[ROM]\r\nWP#=-1\r\n").at("ROM\\WP#"), Dword(7)) << "an earlier value stays";
    EXPECT_EQ(Migrate("[ROM]\r\nWP#=0\r\n").at("ROM\\WP#"), Dword(0));
}

TEST_P(Migration, RecentFilesFollowTheCount) {
    Values values = Migrate("[MRU]\r\nFileCount=0\r\nFile1=C:\\one\r\n");
    EXPECT_EQ(Section(values, "MRU"), (Values{{"MRU\\FileCount", Dword(0)}}));

    values = Migrate("[MRU]\r\nFileCount=-3\r\nFile1=C:\\one\r\n");
    EXPECT_EQ(values.at("MRU\\FileCount"), Dword(-3));
    EXPECT_EQ(values.count("MRU\\File1"), 0u);
}

TEST_P(Migration, RecentFileGapsBecomeEmptyStrings) {
    const Values values = Migrate("[MRU]\r\nFileCount=2\r\nFile1=C:\\one\r\nFile3=C:\\three\r\n");
    EXPECT_EQ(Section(values, "MRU"),
              (Values{{"MRU\\FileCount", Dword(2)}, {"MRU\\File1", Sz("C:\\one")}, {"MRU\\File2", Sz("")}}));
}

TEST_P(Migration, TwelveRecentFilesTakeTwoDigitNames) {
    std::string profile = "[MRU]\r\nFileCount=12\r\n";
    Values expected{{"MRU\\FileCount", Dword(12)}};
    for (int n = 1; n <= 12; ++n) {
        profile += "File" + std::to_string(n) + "=D:\\doc" + std::to_string(n) + "\r\n";
        expected["MRU\\File" + std::to_string(n)] = Sz("D:\\doc" + std::to_string(n));
    }
    EXPECT_EQ(Section(Migrate(profile), "MRU"), expected);
}

TEST_P(Migration, ValuesOutsideTheMigrationSurvive) {
    prefix_.AddStringValue("MRU", "File9", "C:\\left\\over");
    prefix_.AddStringValue("Disassembler", "SymbA", "kept");
    const Values values = Migrate("[MRU]\r\nFileCount=2\r\n[Disassembler]\r\nSymbG=G.sym\r\n");
    EXPECT_EQ(values.at("MRU\\File9"), Sz("C:\\left\\over"));
    EXPECT_EQ(values.at("Disassembler\\SymbA"), Sz("kept")) << "an empty Symb string writes nothing";
    EXPECT_EQ(values.at("Disassembler\\SymbG"), Sz("G.sym"));
}

TEST_P(Migration, OnlyThePresentSymbStringsAreWritten) {
    const Values values = Migrate("[Disassembler]\r\nSymbG=G.sym\r\nSymbS=\r\nSymbZ=Z.sym\r\n");
    EXPECT_EQ(Section(values, "Disassembler"), (Values{{"Disassembler\\Mnemonics", Dword(0)},
                                                       {"Disassembler\\Symbolic", Dword(0)},
                                                       {"Disassembler\\SymbG", Sz("G.sym")}}));
}

TEST_P(Migration, KeysOutsideTheCatalogueAreNotCopied) {
    const Values values = Migrate("[Emulator]\r\nSpeedBoost=1\r\n[Other]\r\nAutoSave=1\r\n");
    EXPECT_EQ(values, DefaultValues());
}

TEST_P(Migration, SecondRunAndArgumentsChangeNothing) {
    const std::string profile = ReadFile(TAVIK_EXAMPLE_PROFILE);
    const Values first = Migrate(profile);
    EXPECT_EQ(Migrate(profile), first);
    const ProcessResult withArguments = RunTool({"/?", "--help", "C:\\other.ini"});
    EXPECT_EQ(withArguments.exitStatus, 0);
    EXPECT_EQ(withArguments.out, "");
    EXPECT_EQ(prefix_.DumpRegistry().values, first);
}

INSTANTIATE_TEST_SUITE_P(Tools, Migration, ::testing::ValuesIn(Tools()),
                         [](const ::testing::TestParamInfo<Tool>& info) { return info.param.name; });

} // namespace
