// The native program must read profiles as Wine's own profile functions do:
// each profile of the corpus is migrated by the Windows program under Wine and
// by the native program, into copies of one prefix, and the results compared
// value for value, type and bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/registry_dump.h"
#include "support/wine_prefix.h"

namespace {

std::vector<std::string> CorpusFiles() {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(TAVIK_PROFILE_CORPUS))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// The blocks of Software\Tavik in a user.reg, without their time stamps.
std::string TavikBlocks(const std::string& userReg) {
    std::istringstream lines(userReg);
    std::string line, blocks;
    bool inside = false;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] == '[') {
            inside = line.rfind("[Software\\\\Tavik\\\\", 0) == 0;
            if (inside) line = line.substr(0, line.find("] ") + 1);
        }
        if (inside && line.rfind("#time=", 0) != 0 && !line.empty()) blocks += line + "\n";
    }
    return blocks;
}

struct Migration {
    RegistryDump dump;
    std::string blocks; // as saved in user.reg
    int exitStatus = -1;
};

// Migrates the profile, started from `start`; `userReg`, when given,
// replaces the text of the prefix's user.reg first.
Migration Migrate(const std::vector<std::string>& command, const std::string& profile, const std::string& start,
                  const std::function<std::string(const std::string&)>& userReg = nullptr) {
    WinePrefix prefix;
    prefix.WriteProfile(profile);
    if (userReg) WriteFile(prefix.UserReg(), userReg(ReadFile(prefix.UserReg())));
    ProcessOptions options = prefix.Options();
    options.workingDirectory = start;
    Migration result;
    result.exitStatus = RunProcess(command, options).exitStatus;
    prefix.StopWineServer(); // Wine saves the registry as its server stops
    result.blocks = TavikBlocks(ReadFile(prefix.UserReg()));
    result.dump = prefix.DumpRegistry();
    return result;
}

// Migrates with both programs, started from one directory outside the
// prefixes, which Wine reaches through Z:.
std::pair<Migration, Migration> MigrateWithBoth(const std::string& profile,
                                                const std::function<std::string(const std::string&)>& userReg = nullptr) {
    const std::string start = MakeTempDirectory("start");
    std::pair<Migration, Migration> both{Migrate(WindowsProgramUnderWine(), profile, start, userReg),
                                         Migrate({TAVIK_NATIVE_PROGRAM}, profile, start, userReg)};
    RemoveTree(start);
    return both;
}

// The registry as Wine reports it after each program's run: the same keys,
// and each value with the same name, type and bytes.
void ExpectSameRegistry(const Migration& wine, const Migration& ours) {
    EXPECT_EQ(wine.exitStatus, 0);
    EXPECT_EQ(ours.exitStatus, 0);
    const RegistryDump& underWine = wine.dump;
    const RegistryDump& native = ours.dump;
    EXPECT_EQ(native.keys, underWine.keys);
    for (const auto& [name, value] : underWine.values) {
        const auto found = native.values.find(name);
        if (found == native.values.end())
            ADD_FAILURE() << name << " is missing; Wine wrote " << value;
        else
            EXPECT_EQ(found->second, value) << name;
    }
    for (const auto& [name, value] : native.values)
        if (!underWine.values.count(name)) ADD_FAILURE() << name << " is extra: " << value;
}

class ProfileReading : public ::testing::TestWithParam<std::string> {};

TEST_P(ProfileReading, NativeProgramMatchesWine) {
    const auto [wine, ours] = MigrateWithBoth(ReadFile(std::string(TAVIK_PROFILE_CORPUS) + "/" + GetParam()));
    ExpectSameRegistry(wine, ours);
    // Written in user.reg as Wine writes it.
    EXPECT_NE(wine.blocks.find("[Software\\\\Tavik\\\\Files]"), std::string::npos) << wine.blocks;
    EXPECT_EQ(ours.blocks, wine.blocks);
}

INSTANTIATE_TEST_SUITE_P(Corpus, ProfileReading, ::testing::ValuesIn(CorpusFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param.substr(0, info.param.rfind('.'));
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return name;
                         });

} // namespace

namespace {

// A user.reg edited by hand, already holding values of the migration: Wine
// loads each without a word, and after the run it must read the same values
// whichever program migrated.
struct HandEdit {
    const char* name;
    std::string blocks; // appended to the prefix's user.reg
    bool crlf;          // every line end of the file made CR LF
};

std::ostream& operator<<(std::ostream& out, const HandEdit& edit) {
    return out << edit.name;
}

const HandEdit kHandEdits[] = {
    {"CrLfLineEnds", "\n[Software\\\\Tavik\\\\Files] 1700000000\n\"AutoSave\"=dword:00000000\n\"Kept\"=\"k\"\n", true},
    {"BlanksShortDwordsAndComments",
     "\n[Software\\\\Tavik\\\\Emulator] 1700000000\n   \n  \"SXCycles\" = dword:1\n"
     "\"GXCycles\"=dword:00000002 \n\"KeyMinDelay\"=dword:3 ; was 3\n\t\"Theme\"= \"dark\" ; kept\n"
     "\"Old\"=str:\"x\"\n\"WaveVolume\"=dword:7",
     false},
    {"NamesWineReadsAsOne",
     "\n[Software\\\\Tavik\\\\MRU] 1700000000\n\"File\xa0" "Count\"=dword:00000009\n"
     "\"file1\"=\"old\"\n\"FILE1\"=\"older\"\n\"fILE9\"=\"nine\"\n"
     "\n[Software\\\\Tavik\\\\Macro\\\\] 1700000000\n\"RealSpeed\"=dword:00000005\n\"replaytimeout\"=dword:7\n",
     false},
};

class HandEditedUserReg : public ::testing::TestWithParam<HandEdit> {};

TEST_P(HandEditedUserReg, NativeProgramMatchesWine) {
    const HandEdit& edit = GetParam();
    const auto edited = [&edit](const std::string& userReg) {
        std::string text = userReg + edit.blocks;
        if (!edit.crlf) return text;
        std::string crlf;
        for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return crlf;
    };
    const auto [wine, ours] = MigrateWithBoth(ReadFile(TAVIK_EXAMPLE_PROFILE), edited);
    ExpectSameRegistry(wine, ours);
}

INSTANTIATE_TEST_SUITE_P(Cases, HandEditedUserReg, ::testing::ValuesIn(kHandEdits),
                         [](const ::testing::TestParamInfo<HandEdit>& info) { return std::string(info.param.name); });

} // namespace
