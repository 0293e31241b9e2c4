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

// Migrates the profile, started from `start`, with `appended` added to the
// prefix's user.reg first, and every line end made CR LF when `crlf`.
Migration Migrate(const std::vector<std::string>& command, const std::string& profile, const std::string& start,
                  const std::string& appended, bool crlf) {
    WinePrefix prefix;
    prefix.WriteProfile(profile);
    std::string userReg = ReadFile(prefix.UserReg()) + appended;
    for (std::size_t at = 0; crlf && (at = userReg.find('\n', at)) != std::string::npos; at += 2) userReg.insert(at, "\r");
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
void ExpectSameAsWine(const std::string& profile, const std::string& appended = "", bool crlf = false) {
    const std::string start = MakeTempDirectory("start");
    const Migration wine = Migrate(WindowsProgram(), profile, start, appended, crlf);
    const Migration ours = Migrate(NativeProgram(), profile, start, appended, crlf);
    RemoveTree(start);
    EXPECT_EQ(wine.exitStatus, 0);
    EXPECT_EQ(ours.exitStatus, 0);
    EXPECT_EQ(ours.dump.keys, wine.dump.keys);
    EXPECT_EQ(ours.dump.values, wine.dump.values);
    if (!appended.empty()) return; // hand-edited blocks keep their place and spelling
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
    std::string blocks; // appended to the prefix's user.reg
    bool crlf;          // every line end of the file made CR LF
};

void PrintTo(const HandEdit& edit, std::ostream* out) { *out << edit.name; }

const HandEdit kHandEdits[] = {
    {"CrLfLineEnds", "\n[Software\\\\Tavik\\\\Files] 1700000000\n\"AutoSave\"=dword:00000000\n\"Kept\"=\"k\"\n", true},
    {"BlanksShortDwordsAndComments",
     "\n[Software\\\\Tavik\\\\Emulator] 1700000000\n   \n  \"SXCycles\" = dword:1\n"
     "\"GXCycles\"=dword:00000002 \n\"KeyMinDelay\"=dword:3 ; was 3\n\t\"Theme\"= \"dark\" ; kept\n\"theme\"=\"light\"\n"
     "\"Old\"=str:\"x\"\n\"WaveVolume\"=dword:7",
     false},
    // U+0130 is no capital i to Wine's registry: "F\x130leCount" and
    // "Tav\x130k" are names of their own, neither overwritten nor taken.
    {"NamesWineReadsAsOneOrApart",
     "\n[Software\\\\Tavik\\\\MRU] 1700000000\n\"File\xa0" "Count\"=dword:00000009\n\"F\\x130leCount\"=dword:7\n"
     "\"file1\"=\"old\"\n\"FILE1\"=\"older\"\n\"fILE9\"=\"nine\"\n"
     "\n[Software\\\\Tavik\\\\Macro\\\\] 1700000000\n\"RealSpeed\"=dword:00000005\n\"replaytimeout\"=dword:7\n"
     "\n[Software\\\\Tav\\x130k\\\\Files] 1700000000\n\"AutoSave\"=dword:00000009\n",
     false},
};

class HandEditedUserReg : public ::testing::TestWithParam<HandEdit> {};

TEST_P(HandEditedUserReg, NativeProgramMatchesWine) {
    ExpectSameAsWine(ReadFile(TAVIK_EXAMPLE_PROFILE), GetParam().blocks, GetParam().crlf);
}

INSTANTIATE_TEST_SUITE_P(Cases, HandEditedUserReg, ::testing::ValuesIn(kHandEdits),
                         [](const ::testing::TestParamInfo<HandEdit>& info) { return std::string(info.param.name); });

} // namespace
