// Whatever goes wrong while the native program writes user.reg, the file is
// afterwards either exactly the old one or exactly the complete new one, and
// the exit status and standard error say which.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/process.h"
#include "registry_file.h"
#include "support/wine_prefix.h"
#include "user_reg.h"

namespace {

namespace fs = std::filesystem;

const int kLargeCount = 100000;

std::string RecentFilesProfile(int count, const std::string& tag) {
    // TavikDirectory is set so that the start directory does not show.
    std::string profile = "[Files]\r\nTavikDirectory=C:\\Tavik\r\n[Emulator]\r\nSXCycles=" + std::to_string(1000 + count) + "\r\n[MRU]\r\nFileCount=" +
                          std::to_string(count) + "\r\n";
    for (int n = 1; n <= count; ++n)
        profile += "File" + std::to_string(n) + "=C:\\" + tag + "\\document " + std::to_string(n) + ".sav\r\n";
    return profile;
}

// The file without the time stamps of the Tavik keys, which differ per run.
std::string WithoutTavikTimes(const std::string& userReg) {
    std::string out;
    std::size_t pos = 0;
    bool inTavik = false;
    while (pos < userReg.size()) {
        std::size_t end = userReg.find('\n', pos);
        end = end == std::string::npos ? userReg.size() : end + 1;
        std::string line = userReg.substr(pos, end - pos);
        pos = end;
        if (!line.empty() && line[0] == '[') {
            inTavik = line.rfind("[Software\\\\Tavik\\\\", 0) == 0;
            if (inTavik) line = line.substr(0, line.find("] ") + 1) + "\n";
        }
        if (inTavik && line.rfind("#time=", 0) == 0) continue;
        out += line;
    }
    return out;
}

// "" when equal, else the first line where the two differ: large files are
// not for GoogleTest's diff.
std::string FirstDifference(const std::string& actual, const std::string& expected) {
    if (actual == expected) return "";
    std::size_t at = 0;
    while (at < actual.size() && at < expected.size() && actual[at] == expected[at]) ++at;
    const std::size_t line = actual.rfind('\n', at == 0 ? 0 : at - 1);
    const std::size_t from = line == std::string::npos ? 0 : line + 1;
    return "differs at byte " + std::to_string(at) + ": got \"" + actual.substr(from, 80) + "\", expected \"" +
           expected.substr(from, 80) + "\"";
}

bool Mount(const std::string& where, const std::string& options) {
    fs::create_directories(where);
    return ::mount("tmpfs", where.c_str(), "tmpfs", 0, options.c_str()) == 0;
}

// A prefix of its own on a small file system of the test's: user.reg there,
// the profile outside it.
class PrefixOnTmpfs {
public:
    explicit PrefixOnTmpfs(std::size_t bytes) : root_(MakeTempDirectory("tmpfs")) {
        mounted_ = Mount(root_ + "/mnt", "size=" + std::to_string(bytes));
        if (!mounted_) return;
        fs::create_directories(Prefix());
        fs::copy_file(base_.UserReg(), Prefix() + "/user.reg");
        fs::create_directory_symlink(base_.Path() + "/drive_c", Prefix() + "/drive_c");
    }
    ~PrefixOnTmpfs() {
        if (mounted_) ::umount2((root_ + "/mnt").c_str(), MNT_DETACH);
        RemoveTree(root_);
    }
    bool Mounted() const { return mounted_; }
    std::string Prefix() const { return root_ + "/mnt/wine"; }
    const WinePrefix& Base() const { return base_; }
    ProcessResult Run() const {
        ProcessOptions options = base_.Options();
        options.environment[0].second = Prefix();
        return RunProcess({TAVIK_NATIVE_PROGRAM}, options);
    }
    bool MakeReadOnly() const {
        return ::mount(nullptr, (root_ + "/mnt").c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    WinePrefix base_;
    std::string root_;
    bool mounted_ = false;
};

TEST(Faults, KilledAtRandomMomentsLeavesTheOldOrTheNewFile) {
    const std::string profile = RecentFilesProfile(kLargeCount, "killed");
    WinePrefix reference;
    reference.WriteProfile(profile);
    const std::string old = ReadFile(reference.UserReg());
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(RunProcess({TAVIK_NATIVE_PROGRAM}, reference.Options()).exitStatus, 0);
    const auto duration = std::chrono::steady_clock::now() - started;
    const std::string complete = WithoutTavikTimes(ReadFile(reference.UserReg()));
    ASSERT_NE(complete, WithoutTavikTimes(old));

    std::mt19937 random(20261206);
    const auto longest = std::chrono::duration_cast<std::chrono::microseconds>(duration * 1.2).count();
    int oldKept = 0;
    int newWritten = 0;
    // Fewer under the sanitizers, where each run is slower.
    const char* configured = std::getenv("TAVIK_KILL_TRIALS");
    const int trials = configured ? std::atoi(configured) : 40;
    for (int trial = 0; trial < trials; ++trial) {
        WinePrefix prefix;
        prefix.WriteProfile(profile);
        const int pid = StartProcess({TAVIK_NATIVE_PROGRAM}, prefix.Options());
        std::this_thread::sleep_for(std::chrono::microseconds(random() % longest));
        ::kill(pid, SIGKILL);
        WaitForExit(pid);
        const std::string after = ReadFile(prefix.UserReg());
        if (after == old) {
            ++oldKept;
        } else {
            EXPECT_EQ(FirstDifference(WithoutTavikTimes(after), complete), "") << "trial " << trial;
            ++newWritten;
        }
        // The next run is not hindered by what the killed one left.
        EXPECT_EQ(RunProcess({TAVIK_NATIVE_PROGRAM}, prefix.Options()).exitStatus, 0);
        EXPECT_EQ(FirstDifference(WithoutTavikTimes(ReadFile(prefix.UserReg())), complete), "");
    }
    std::printf("killed runs: %d of %d left the old file, %d the complete new one\n", oldKept, trials, newWritten);
    EXPECT_GT(oldKept, 0) << "no kill came before the file was replaced";
}

TEST(Faults, FullDiskLeavesTheOldFile) {
    PrefixOnTmpfs disk(fs::file_size(WinePrefix().UserReg()) + 256 * 1024);
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
    disk.Base().WriteProfile(RecentFilesProfile(kLargeCount, "full"));
    const std::string old = ReadFile(disk.Prefix() + "/user.reg");
    const ProcessResult run = disk.Run();
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find("The disk is full"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("100029 of 100029 values were not stored"), std::string::npos) << run.err;
    EXPECT_EQ(FirstDifference(ReadFile(disk.Prefix() + "/user.reg"), old), "");
    EXPECT_FALSE(fs::exists(disk.Prefix() + "/.user.reg.tavik-new")) << "the partial file is removed";
}

TEST(Faults, ReadOnlyPrefixLeavesTheOldFile) {
    PrefixOnTmpfs disk(64 * 1024 * 1024);
    if (!disk.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
    disk.Base().WriteProfile(RecentFilesProfile(10, "readonly"));
    const std::string old = ReadFile(disk.Prefix() + "/user.reg");
    ASSERT_TRUE(disk.MakeReadOnly());
    const ProcessResult run = disk.Run();
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_NE(run.err.find("writable"), std::string::npos) << run.err;
    EXPECT_EQ(FirstDifference(ReadFile(disk.Prefix() + "/user.reg"), old), "");
}

// A wineserver started after the run read user.reg holds the old registry:
// the last look before the rename refuses, and the new file goes.
TEST(Faults, WineserverStartedAfterTheReadLeavesTheOldFile) {
    WinePrefix prefix;
    ::setenv("WINEPREFIX", prefix.Path().c_str(), 1);
    RegistryFile file;
    UserReg hive;
    ASSERT_EQ(LoadRegistryFile(file, hive), ERROR_SUCCESS);
    ::unsetenv("WINEPREFIX");
    const std::string old = ReadFile(prefix.UserReg());
    ASSERT_EQ(RunProcess({"wineserver", "-p"}, prefix.Options()).exitStatus, 0);
    EXPECT_EQ(SaveRegistryFile(file, hive), ERROR_SHARING_VIOLATION);
    ReleaseRegistryFile(file);
    EXPECT_EQ(FirstDifference(ReadFile(prefix.UserReg()), old), "");
    EXPECT_FALSE(fs::exists(prefix.Path() + "/.user.reg.tavik-new"));
}

// Eight prefixes whose user.reg links to one file, each with a profile of its
// own, migrated at once: the runs take turns, and the file holds the values of
// the last one complete.
TEST(Faults, EightRunsAtOnceOnOneFileTakeTurns) {
    const int runs = 8;
    for (int round = 0; round < 3; ++round) {
        WinePrefix shared;
        std::vector<std::unique_ptr<WinePrefix>> prefixes;
        for (int k = 0; k < runs; ++k) {
            prefixes.push_back(std::make_unique<WinePrefix>());
            fs::remove(prefixes.back()->UserReg());
            fs::create_symlink(shared.UserReg(), prefixes.back()->UserReg());
            prefixes.back()->WriteProfile(RecentFilesProfile(2000 + 500 * k, "run" + std::to_string(k)));
        }
        std::vector<int> pids;
        for (const auto& prefix : prefixes) pids.push_back(StartProcess({TAVIK_NATIVE_PROGRAM}, prefix->Options()));
        for (int pid : pids) EXPECT_EQ(WaitForExit(pid), 0);

        const auto hive = ParseUserReg(ReadFile(shared.UserReg()));
        ASSERT_TRUE(hive) << "round " << round;
        auto values = AllRegValues(*hive);
        const auto& mru = values[u"software\\tavik\\mru"];
        const std::string sx = values[u"software\\tavik\\emulator"]["sxcycles"];
        const int count = static_cast<int>(std::stoul(sx.substr(6), nullptr, 16)) - 1000;
        const int k = (count - 2000) / 500;
        ASSERT_TRUE(k >= 0 && k < runs) << sx;
        char expected[32];
        std::snprintf(expected, sizeof expected, "dword:%08x", count);
        EXPECT_EQ(mru.at("filecount"), expected);
        for (int n = 1; n <= count; ++n) {
            const std::string name = "file" + std::to_string(n);
            const auto found = mru.find(name);
            ASSERT_NE(found, mru.end()) << name;
            EXPECT_EQ(found->second, "\"C:\\\\run" + std::to_string(k) + "\\\\document " + std::to_string(n) + ".sav\"");
        }
    }
}

} // namespace
