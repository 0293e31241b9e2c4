// The recent-files loop at the ends of its range, on stores that only record
// what they are asked: it ends after File2147483647, and copies no entry for a
// count of zero or below.
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

std::vector<std::string> Copied(std::int32_t count) {
    gWritten.clear();
    gProfileCount = count;
    char path[260];
    char key[32];
    CopyRecentFiles(path, key);
    return gWritten;
}

TEST(RecentFilesLoop, EndsAtTheLargestCount) {
    gWritten.clear();
    char path[260];
    char key[32];
    CopyRecentFileEntries(INT_MAX - 1, INT_MAX, path, key);
    EXPECT_EQ(gWritten, (std::vector<std::string>{"MRU\\File2147483646=C:\\File2147483646",
                                                  "MRU\\File2147483647=C:\\File2147483647"}));
}

TEST(RecentFilesLoop, CountsOfZeroAndBelowCopyNoEntry) {
    EXPECT_EQ(Copied(INT_MIN), std::vector<std::string>{"MRU\\FileCount=-2147483648"});
    EXPECT_EQ(Copied(2), (std::vector<std::string>{"MRU\\FileCount=2", "MRU\\File1=C:\\File1", "MRU\\File2=C:\\File2"}));
}

} // namespace
