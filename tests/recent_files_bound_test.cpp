// The recent-files loop at the top of its range, on stores that only record
// what they are asked: it must end after File2147483647.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "profile_store.h"
#include "recent_files.h"
#include "registry_store.h"

namespace {
std::vector<std::string> gWritten;
std::int32_t gProfileCount = 0;
} // namespace

// Stand-ins for the two stores.
std::int32_t ReadProfileInt(const char*, const char*, std::int32_t) { return gProfileCount; }
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

std::vector<std::string> Entries(std::int32_t first, std::int32_t last) {
    gWritten.clear();
    char path[260];
    char key[32];
    CopyRecentFileEntries(first, last, path, key);
    return gWritten;
}

TEST(RecentFilesLoop, EndsAtTheLargestCount) {
    EXPECT_EQ(Entries(INT_MAX - 2, INT_MAX),
              (std::vector<std::string>{"MRU\\File2147483645=C:\\File2147483645", "MRU\\File2147483646=C:\\File2147483646",
                                        "MRU\\File2147483647=C:\\File2147483647"}));
    EXPECT_EQ(Entries(INT_MAX, INT_MAX).size(), 1u);
}

TEST(RecentFilesLoop, CountsOfZeroAndBelowCopyNoEntry) {
    EXPECT_TRUE(Entries(1, 0).empty());
    EXPECT_TRUE(Entries(1, -1).empty());
    EXPECT_TRUE(Entries(1, INT_MIN).empty());
    gProfileCount = INT_MIN;
    gWritten.clear();
    char path[260];
    char key[32];
    CopyRecentFiles(path, key);
    EXPECT_EQ(gWritten, std::vector<std::string>{"MRU\\FileCount=-2147483648"});
}

} // namespace
