// The native program must read profiles, and user.reg, as Wine does: each
// case is migrated by the Windows program under Wine and by the native
// program, into copies of one prefix, and the results compared value for
// value (type and bytes) and as written in user.reg.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "support/wine_prefix.h"

namespace {

struct Migration {
    RegistryDump dump;
    std::string blocks; // the Tavik blocks of user.reg
    int exitStatus = -1;
};

// How user.reg is edited by hand before a run: `blocks` appended to it, or
// in place of all its blocks when `alone`, and every line end made CR LF
// when `crlf`.
struct UserRegEdit {
    std::string blocks;
    bool crlf = false;
    bool alone = false;
};

// Migrates the profile, started from `start`, in a prefix whose user.reg is
// edited so first.
Migration Migrate(const std::vector<std::string>& command, const std::string& profile, const std::string& start,
                  const UserRegEdit& edit) {
    WinePrefix prefix;
    prefix.WriteProfile(profile);
    std::string userReg = ReadFile(prefix.UserReg());
    if (edit.alone) userReg.erase(userReg.find("\n[") + 1);
    userReg += edit.blocks;
    for (std::size_t at = 0; edit.crlf && (at = userReg.find('\n', at)) != std::string::npos; at += 2) userReg.insert(at, "\r");
    WriteFile(prefix.UserReg(), userReg);
    ProcessOptions options = prefix.Options();
    options.workingDirectory = start;
    Migration result;
    result.exitStatus = RunProcess(command, options).exitStatus;
    prefix.StopWineServer(); // Wine saves the registry as its server stops
    result.blocks = SplitUserReg(ReadFile(prefix.UserReg())).tavik;
    result.dump = prefix.DumpRegistry();
    return result;
}

// Migrates with both programs, started from one directory outside the
// prefixes, which Wine reaches through Z:, and compares.
void ExpectSameAsWine(const std::string& profile, const UserRegEdit& edit = {}) {
    const std::string start = MakeTempDirectory("start");
    const Migration wine = Migrate(WindowsProgram(), profile, start, edit);
    const Migration ours = Migrate(NativeProgram(), profile, start, edit);
    RemoveTree(start);
    EXPECT_EQ(wine.exitStatus, 0);
    EXPECT_EQ(ours.exitStatus, 0);
    EXPECT_EQ(ours.dump.root, wine.dump.root);
    EXPECT_EQ(ours.dump.keys, wine.dump.keys);
    EXPECT_EQ(ours.dump.values, wine.dump.values);
    if (!edit.blocks.empty()) return; // hand-edited blocks keep their place and spelling
    EXPECT_NE(wine.blocks.find("[Software\\\\Tavik\\\\Files]"), std::string::npos) << wine.blocks;
    EXPECT_EQ(ours.blocks, wine.blocks);
}

std::vector<std::string> CorpusFiles() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(TAVIK_PROFILE_CORPUS))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class ProfileReading : public ::testing::TestWithParam<std::string> {};

TEST_P(ProfileReading, NativeProgramMatchesWine) {
    ExpectSameAsWine(ReadFile(std::string(TAVIK_PROFILE_CORPUS) + "/" + GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Corpus, ProfileReading, ::testing::ValuesIn(CorpusFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param.substr(0, info.param.rfind('.'));
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return name;
                         });

// A user.reg edited by hand, already holding values of the migration: Wine
// loads each without a word (the last of two alike names wins), and reads
// the same values after either program's run.
struct HandEdit {
    const char* name;
    UserRegEdit edit;
};

void PrintTo(const HandEdit& edit, std::ostream* out) { *out << edit.name; }

const HandEdit kHandEdits[] = {
    {"CrLfLineEnds", {"\n[Software\\\\Tavik\\\\Files] 1700000000\n\"AutoSave\"=dword:00000000\n\"Kept\"=\"k\"\n", true}},
    {"BlanksShortDwordsAndComments",
     {"\n[Software\\\\Tavik\\\\Emulator] 1700000000\n   \n  \"SXCycles\" = dword:1\n"
      "\"GXCycles\"=dword:00000002 \n\"KeyMinDelay\"=dword:3 ; was 3\n\t\"Theme\"= \"dark\" ; kept\n\"theme\"=\"light\"\n"
      "\"Old\"=str:\"x\"\n\"WaveVolume\"=dword:7"}},
    // U+0130 is no capital i to Wine's registry: "F\x130leCount" and
    // "Tav\x130k" are names of their own, neither overwritten nor taken.
    {"NamesWineReadsAsOneOrApart",
     {"\n[Software\\\\Tavik\\\\MRU] 1700000000\n\"File\xa0" "Count\"=dword:00000009\n\"F\\x130leCount\"=dword:7\n"
      "\"file1\"=\"old\"\n\"FILE1\"=\"older\"\n\"fILE9\"=\"nine\"\n"
      "\n[Software\\\\Tavik\\\\Macro\\\\] 1700000000\n\"RealSpeed\"=dword:00000005\n\"replaytimeout\"=dword:7\n"
      "\n[Software\\\\Tav\\x130k\\\\Files] 1700000000\n\"AutoSave\"=dword:00000009\n"}},
    // A name with a NUL at its end is a value of its own to Wine, but Wine
    // saves it without that NUL, after the name without it (the shorter
    // first): read again, the two are one value with the data of the NUL
    // one, spelt as the other. A block the migration changes ends so, in
    // either order, whichever value the migration sets, and for a NUL name
    // alone beside a value the migration adds.
    {"NamesEndingInNul",
     {"\n[Software\\\\Tavik\\\\Files] 1700000000\n\"abc\\0\"=\"first\"\n\"abc\"=\"second\"\n"
      "\n[Software\\\\Tavik\\\\Emulator] 1700000000\n\"Theme\"=\"second\"\n\"THEME\\0\"=\"first\"\n"
      "\n[Software\\\\Tavik\\\\Serial] 1700000000\n\"Wire\\0\"=\"nul\"\n\"WIRE\"=\"COM9\"\n"
      "\n[Software\\\\Tavik\\\\Port2] 1700000000\n\"filename\\x0\"=\"nul\"\n"
      "\n[Software\\\\Tavik\\\\KML] 1700000000\n\"AlwaysDisplayLog\"=dword:9\n\"ALWAYSDISPLAYLOG\\000\"=dword:5\n"}},
    // Lines of one name, with and without NULs at its end: the last line of
    // each name wins on loading, and a NUL more or less makes another name.
    // A byte that Wine drops makes two names one (as the fuzzer found), and
    // a name that is a NUL alone becomes the default value.
    {"ManyLinesOfOneName",
     {"\n[Software\\\\Tavik\\\\Macro] 1700000000\n\"Abc\\0\"=\"4\"\n\"abc\"=\"1\"\n\"abc\\0\"=\"3\"\n"
      "\"ABC\"=\"2\"\n\"aBc\\0\\0\"=\"5\"\n\"ReplayTimeout\\0\\0\"=dword:3\n\"replaytimeout\\0\"=dword:2\n"
      "\"REPLAYTIMEOUT\"=dword:1\n"
      "\n[Software\\\\Tavik\\\\Disassembler] 1700000000\n\"elTUREGIT@h\\\"\\0\"=\"\"d\n"
      "\"elTUREGIT@h\xff\\\"\"=\"\x11\"\n\"\\0\"=\"nul\"\n@=\"default\"\n"}},
    // Wine shows a key as it met it first: a key added under a parent spelt
    // two ways must not come first with the later spelling.
    {"ParentSpeltTwoWays",
     {"\n[Software\\\\Tavik\\\\Files] 1700000000\n\"x\"=\"1\"\n"
      "\n[SOFTWARE\\\\TAVIK\\\\Disassembler\\\\Sub] 1700000000\n\"y\"=\"2\"\n"}},
    {"SoftwareSpeltTwoWays",
     {"\n[Software\\\\x\\\\YY] 1700000000\n\"y\"=\"2\"\n\n[SoFtWarE\\\\Tavik\\\\ROM] 1700000000\n\"x\"=\"1\"\n",
      false, true}},
    // A first block without values spells a key first: it stays, though Wine
    // itself writes no such block, lest the later spelling come first.
    {"EmptyBlockSpellsSoftwareFirst",
     {"\n[software] 1700000000\n\n[SOFTWARE\\\\a] 1700000000\n\"y\"=\"2\"\n", false, true}},
    {"EmptyBlockSpellsTavikFirst",
     {"\n[Software\\\\tavik] 1700000000\n\n[Software\\\\TAVIK\\\\Alpha] 1700000000\n\"y\"=\"2\"\n", false, true}},
};

class HandEditedUserReg : public ::testing::TestWithParam<HandEdit> {};

TEST_P(HandEditedUserReg, NativeProgramMatchesWine) {
    ExpectSameAsWine(ReadFile(TAVIK_EXAMPLE_PROFILE), GetParam().edit);
}

INSTANTIATE_TEST_SUITE_P(Cases, HandEditedUserReg, ::testing::ValuesIn(kHandEdits),
                         [](const ::testing::TestParamInfo<HandEdit>& info) { return std::string(info.param.name); });

} // namespace
