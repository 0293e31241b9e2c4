// The recent-files loop at the ends of the count's range, on stores that only
// record what they are asked: it ends after File2147483647, and copies no
// entry for the lowest count.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>
#include <vector>

#include "profile_store.h"
#include "recent_files.h"
#include "registry_store.h"

namespace {
std::vector<std::string> gWritten;
} // namespace

// Stand-ins for the two stores: the profile's count is INT_MIN, a file's path is its key.
std::int32_t ReadProfileInt(const char*, const char*, std::int32_t) { return INT_MIN; }
void ReadProfileString(const char*, const char* key, const char*, char* buffer, std::uint32_t) {
    std::snprintf(buffer, 260, "C:\\%s", key);
}
void WriteRegistryString(const char* section, const char* name, const char* text) {
    gWritten.push_back(std::string(section) + "\\" + name + "=" + text);
}
void WriteRegistryDword(const char* section, const char* name, std::int32_t value) {
    gWritten.push_back(std::string(section) + "\\" + name + "=" + std::to_string(value));
}

namespace {

TEST(RecentFilesLoop, EndsAtTheLargestCountAndCopiesNothingForTheLowest) {
    char path[260], key[32];
    CopyRecentFileEntries(INT_MAX - 1, INT_MAX, path, key);
    EXPECT_EQ(gWritten, (std::vector<std::string>{"MRU\\File2147483646=C:\\File2147483646",
                                                  "MRU\\File2147483647=C:\\File2147483647"}));
    gWritten.clear();
    CopyRecentFiles(path, key);
    EXPECT_EQ(gWritten, std::vector<std::string>{"MRU\\FileCount=-2147483648"});
}

} // namespace
