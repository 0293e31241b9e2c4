// Profiles no emulator wrote: the native program neither crashes nor hangs,
// and reads them as the reading rules say.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "support/process.h"
#include "support/registry_dump.h"
#include "support/wine_prefix.h"

namespace {

class HostileProfile : public ::testing::Test {
protected:
    // Runs the native program; the registry as Wine then reads it.
    RegistryDump Migrate() {
        prefix_.StopWineServer(); // the one that read the registry last time
        const ProcessResult run = RunProcess({TAVIK_NATIVE_PROGRAM}, prefix_.Options());
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        return prefix_.DumpRegistry();
    }
    std::string ProfilePath() const { return prefix_.WindowsDirectory() + "/Tavik.ini"; }

    WinePrefix prefix_;
};

TEST_F(HostileProfile, TenMegabyteLineIsCutToItsBuffer) {
    prefix_.WriteProfile("[Serial]\r\nWire=" + std::string(10 << 20, 'w') + "\r\n[Files]\r\nLastDocument=" +
                         std::string(10 << 20, 'd') + "\r\n[Emulator]\r\nSXCycles=5\r\n");
    const RegistryDump dump = Migrate();
    EXPECT_EQ(dump.values.at("Serial\\Wire"), Sz(std::string(15, 'w')));
    EXPECT_EQ(dump.values.at("Files\\LastDocument"), Sz(std::string(259, 'd')));
    EXPECT_EQ(dump.values.at("Emulator\\SXCycles"), Dword(5));
}

TEST_F(HostileProfile, FifoIsReadAsAnEmptyProfileWithoutBlocking) {
    ASSERT_EQ(::mkfifo(ProfilePath().c_str(), 0600), 0);
    const RegistryDump dump = Migrate();
    EXPECT_EQ(dump.values.at("Emulator\\SXCycles"), Dword(82));
    EXPECT_EQ(dump.values.at("MRU\\FileCount"), Dword(4));
}

TEST_F(HostileProfile, UnreadableFileGivesTheDefaults) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    prefix_.WriteProfile("[Emulator]\r\nSXCycles=5\r\n");
    ASSERT_EQ(::chmod(ProfilePath().c_str(), 0), 0);
    EXPECT_EQ(Migrate().values.at("Emulator\\SXCycles"), Dword(82));
}

TEST_F(HostileProfile, SmallestCountWritesTheCountAndNoEntry) {
    prefix_.WriteProfile("[MRU]\r\nFileCount=-2147483648\r\nFile1=C:\\one\r\n");
    const RegistryDump dump = Migrate();
    EXPECT_EQ(dump.values.at("MRU\\FileCount"), Dword(-2147483647 - 1));
    EXPECT_EQ(dump.values.count("MRU\\File1"), 0u);
}

TEST_F(HostileProfile, ProfileNameInAnotherLetterCaseIsFound) {
    WriteFile(prefix_.WindowsDirectory() + "/TAVIK.INI", "[Emulator]\r\nSXCycles=7\r\n");
    EXPECT_EQ(Migrate().values.at("Emulator\\SXCycles"), Dword(7));
    prefix_.WriteProfile("[Emulator]\r\nSXCycles=8\r\n"); // the exact name wins
    EXPECT_EQ(Migrate().values.at("Emulator\\SXCycles"), Dword(8));
}

} // namespace
