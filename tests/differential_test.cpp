// The native program must read profiles as Wine's own profile functions do:
// each profile of the corpus is migrated by the Windows program under Wine and
// by the native program, into copies of one prefix, and the results compared
// value for value, type and bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
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

RegistryDump Migrate(const std::vector<std::string>& command, const std::string& profile, int* exitStatus) {
    WinePrefix prefix;
    prefix.WriteProfile(profile);
    *exitStatus = RunProcess(command, prefix.Options()).exitStatus;
    RegistryDump dump = prefix.DumpRegistry();
    // The directory the tool was started from differs by platform.
    dump.values.erase("Files\\TavikDirectory");
    return dump;
}

class ProfileReading : public ::testing::TestWithParam<std::string> {};

TEST_P(ProfileReading, NativeProgramMatchesWine) {
    const std::string profile = ReadFile(std::string(TAVIK_PROFILE_CORPUS) + "/" + GetParam());
    int wineStatus = -1;
    int nativeStatus = -1;
    const RegistryDump underWine = Migrate({"wine", TAVIK_WINDOWS_PROGRAM}, profile, &wineStatus);
    const RegistryDump native = Migrate({TAVIK_NATIVE_PROGRAM}, profile, &nativeStatus);
    EXPECT_EQ(wineStatus, 0);
    EXPECT_EQ(nativeStatus, 0);
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

INSTANTIATE_TEST_SUITE_P(Corpus, ProfileReading, ::testing::ValuesIn(CorpusFiles()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name = info.param.substr(0, info.param.rfind('.'));
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }, '_');
                             return name;
                         });

} // namespace
