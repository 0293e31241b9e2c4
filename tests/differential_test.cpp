// The native program must read profiles as Wine's own profile functions do:
// each profile of the corpus is migrated by the Windows program under Wine and
// by the native program, into copies of one prefix, and the results compared
// value for value, type and bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
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

Migration Migrate(const std::vector<std::string>& command, const std::string& profile) {
    WinePrefix prefix;
    prefix.WriteProfile(profile);
    Migration result;
    result.exitStatus = RunProcess(command, prefix.Options()).exitStatus;
    prefix.StopWineServer(); // Wine saves the registry as its server stops
    result.blocks = TavikBlocks(ReadFile(prefix.UserReg()));
    RegistryDump& dump = result.dump = prefix.DumpRegistry();
    // The directory the tool was started from differs by platform.
    dump.values.erase("Files\\TavikDirectory");
    return result;
}

class ProfileReading : public ::testing::TestWithParam<std::string> {};

TEST_P(ProfileReading, NativeProgramMatchesWine) {
    const std::string profile = ReadFile(std::string(TAVIK_PROFILE_CORPUS) + "/" + GetParam());
    const Migration wine = Migrate(WindowsProgramUnderWine(), profile);
    const Migration ours = Migrate({TAVIK_NATIVE_PROGRAM}, profile);
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
    // Written in user.reg as Wine writes it, apart from the start directory.
    const auto withoutStart = [](std::string blocks) {
        const std::size_t at = blocks.find("\"TavikDirectory\"=");
        return at == std::string::npos ? blocks : blocks.erase(at, blocks.find('\n', at) - at);
    };
    EXPECT_NE(wine.blocks.find("[Software\\\\Tavik\\\\Files]"), std::string::npos) << wine.blocks;
    EXPECT_EQ(withoutStart(ours.blocks), withoutStart(wine.blocks));
}

INSTANTIATE_TEST_SUITE_P(Corpus, ProfileReading, ::testing::ValuesIn(CorpusFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param.substr(0, info.param.rfind('.'));
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return name;
                         });

} // namespace
