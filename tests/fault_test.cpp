// Whatever goes wrong while the native program writes user.reg, the file is
// afterwards either exactly the old one or exactly the complete new one, and
// the exit status and standard error say which.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "registry_file.h"
#include "support/wine_prefix.h"
#include "user_reg.h"

namespace {

namespace fs = std::filesystem;

const int kLargeCount = 100000;

// SXCycles tells the count; TavikDirectory is set so that the start directory does not show.
std::string RecentFilesProfile(int count, const std::string& tag) {
    std::string profile = "[Files]\r\nTavikDirectory=C:\\Tavik\r\n[Emulator]\r\nSXCycles=" +
                          std::to_string(1000 + count) + "\r\n[MRU]\r\nFileCount=" + std::to_string(count) + "\r\n";
    for (int n = 1; n <= count; ++n)
        profile += "File" + std::to_string(n) + "=C:\\" + tag + "\\document " + std::to_string(n) + ".sav\r\n";
    return profile;
}

// Whether two files are the same but for the Tavik keys' time stamps;
// compared so, as large files are not for GoogleTest's diff.
bool SameButTimes(const std::string& actual, const std::string& expected) {
    const UserRegText a = SplitUserReg(actual), e = SplitUserReg(expected);
    return a.rest == e.rest && a.tavik == e.tavik;
}

// Where a case of EachRefusalNamesItsCause runs: a prefix of its own, with
// the example profile. The case may move user.reg onto a small file system of
// the test's, run the program as another user or under a limit, or hold the
// prefix's lock for a while.
struct Trial {
    Trial() { wine.WriteProfile(ReadFile(TAVIK_EXAMPLE_PROFILE)); }
    ~Trial() {
        if (release.joinable()) release.join();
        if (!mount.empty()) ::umount2(mount.c_str(), MNT_DETACH);
        if (!mount.empty()) RemoveTree(mount);
    }

    // Makes the prefix a tmpfs mounted with `options` that holds user.reg,
    // with drive_c linked to the prefix's. False where mounting needs root.
    bool OnTmpfs(const std::string& options) {
        mount = MakeTempDirectory("tmpfs");
        if (::mount("tmpfs", mount.c_str(), "tmpfs", 0, options.c_str()) != 0) return false;
        fs::copy_file(wine.UserReg(), mount + "/user.reg");
        fs::create_directory_symlink(wine.Path() + "/drive_c", mount + "/drive_c");
        prefix = mount;
        return true;
    }

    // Runs the program as the user nobody, on the prefix given to nobody
    // (`own`) or left to root. False when not run as root.
    bool AsNobody(bool own) {
        if (::geteuid() != 0) return false;
        fs::permissions(fs::path(prefix).parent_path(), fs::perms(0755));
        if (own && RunProcess({"chown", "-R", "65534:65534", prefix}).exitStatus != 0) return false;
        command.insert(command.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
        return true;
    }

    WinePrefix wine;
    std::string prefix = wine.Path(); // WINEPREFIX of the run
    std::vector<std::string> command = NativeProgram();
    std::string mount;
    std::thread release; // ends the lock held while the program runs
};

TEST(Faults, KilledAtRandomMomentsLeavesTheOldOrTheNewFile) {
    const std::string profile = RecentFilesProfile(kLargeCount, "killed");
    WinePrefix reference;
    reference.WriteProfile(profile);
    const std::string old = ReadFile(reference.UserReg());
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(reference.Run(NativeProgram()).exitStatus, 0);
    const auto duration = std::chrono::steady_clock::now() - started;
    const std::string complete = ReadFile(reference.UserReg());
    ASSERT_FALSE(SameButTimes(complete, old));

    std::mt19937 random(20261206);
    const auto longest = std::chrono::duration_cast<std::chrono::microseconds>(duration * 1.2).count();
    int oldKept = 0;
    // Fewer under the sanitizers, where each run is slower.
    const char* configured = std::getenv("TAVIK_KILL_TRIALS");
    const int trials = configured ? std::atoi(configured) : 40;
    for (int trial = 0; trial < trials; ++trial) {
        WinePrefix prefix;
        prefix.WriteProfile(profile);
        const int pid = StartProcess(NativeProgram(), prefix.Options());
        std::this_thread::sleep_for(std::chrono::microseconds(random() % longest));
        ::kill(pid, SIGKILL);
        WaitForExit(pid);
        const std::string after = ReadFile(prefix.UserReg());
        if (after == old) ++oldKept;
        else EXPECT_TRUE(SameButTimes(after, complete)) << "trial " << trial << " left a file neither old nor new";
        // The next run is not hindered by what the killed one left.
        EXPECT_EQ(prefix.Run(NativeProgram()).exitStatus, 0);
        EXPECT_TRUE(SameButTimes(ReadFile(prefix.UserReg()), complete)) << "trial " << trial;
    }
    std::printf("killed runs: %d of %d left the old file, the others the complete new one\n", oldKept, trials);
    EXPECT_GT(oldKept, 0) << "no kill came before the file was replaced";
}

// Every refusal names its real cause and a remedy that can work, in one
// line, and leaves user.reg as it was with no new file beside it; a run that
// waits for another says so at once. "%P" in a line is the prefix, "%H" the
// process holding its lock. Cases that need root are passed over otherwise.
TEST(Faults, EachRefusalNamesItsCause) {
    struct Case {
        const char* name;
        std::function<bool(Trial&)> prepare; // false: cannot be had here
        int exitStatus;
        std::string line;
    };
    auto setMode = [](const std::string& path, const char* mode) {
        return RunProcess({"chmod", mode, path}).exitStatus == 0;
    };
    auto linkUserReg = [](Trial& t, const std::string& target) {
        fs::remove(t.prefix + "/user.reg");
        fs::create_symlink(target, t.prefix + "/user.reg");
    };
    const Case cases[] = {
        {"a full disk",
         [](Trial& t) { return t.OnTmpfs("size=" + std::to_string(fs::file_size(t.wine.UserReg()) + 4096)); }, 2,
         "the disk is full; free some space (0 of 36 stored, error 112)"},
        {"no free inode", [](Trial& t) { return t.OnTmpfs("nr_inodes=3"); }, 2,
         "no free inodes on user.reg's disk; delete some files (0 of 36 stored, error 82)"},
        {"a read-only file system",
         [](Trial& t) {
             return t.OnTmpfs("size=64m") &&
                    ::mount(nullptr, t.prefix.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
         },
         2, "user.reg's file system is read-only; remount it read-write (0 of 36 stored, error 19)"},
        {"a file-size limit",
         [](Trial& t) {
             t.command.insert(t.command.begin(), {"/bin/sh", "-c", "ulimit -f 1 && exec \"$0\""});
             return true;
         },
         2, "file too large for the file-size limit; raise ulimit -f (0 of 36 stored, error 223)"},
        {"a read-only user.reg", [&](Trial& t) { return setMode(t.prefix + "/user.reg", "0444"); }, 2,
         "%P/user.reg is read-only; make it writable (0 of 36 stored, error 5)"},
        {"a read-only prefix directory", [&](Trial& t) { return t.AsNobody(true) && setMode(t.prefix, "0555"); }, 2,
         "%P is read-only; make it writable (0 of 36 stored, error 5)"},
        {"an unreadable user.reg",
         [&](Trial& t) { return t.AsNobody(true) && setMode(t.prefix + "/user.reg", "0200"); }, 2,
         "%P/user.reg is unreadable; make it readable (0 of 36 stored, error 30)"},
        {"user.reg left to root",
         [&](Trial& t) {
             return t.AsNobody(true) && ::chown((t.prefix + "/user.reg").c_str(), 0, 0) == 0 &&
                    setMode(t.prefix + "/user.reg", "0600");
         },
         2, "%P/user.reg is owned by root; chown it back (0 of 36 stored, error 1307)"},
        {"another user's prefix", [](Trial& t) { return t.AsNobody(false); }, 2,
         "%P is not owned by you; run as its owner (0 of 36 stored, error 1314)"},
        {"a link to a missing file",
         [&](Trial& t) {
             linkUserReg(t, t.prefix + "/gone/user.reg");
             return true;
         },
         2, "user.reg links to missing %P/gone/user.reg; restore it (0 of 36 stored, error 2)"},
        {"a link that loops",
         [&](Trial& t) {
             linkUserReg(t, "user.reg");
             return true;
         },
         2, "user.reg is a link that loops; point it at the real file (0 of 36 stored, error 1921)"},
        // Wine would write through the link in place; the run writes its new
        // file beside the target, so that the target is whole or untouched.
        {"a link into a directory the user cannot write",
         [&](Trial& t) {
             if (!t.AsNobody(true)) return false;
             fs::create_directory(t.prefix + "/shared");
             fs::rename(t.prefix + "/user.reg", t.prefix + "/shared/user.reg");
             linkUserReg(t, "shared/user.reg");
             return setMode(t.prefix + "/shared/user.reg", "0666");
         },
         2, "%P/shared is read-only; make it writable (0 of 36 stored, error 5)"},
        {"Wine running in the prefix WINEPREFIX names",
         [](Trial& t) { return t.wine.Run({"wineserver", "-p"}).exitStatus == 0; }, 2,
         "Wine is running; run 'WINEPREFIX=%P wineserver -k' first (0 of 36 stored, error 32)"},
        {"another run holding the prefix",
         [](Trial& t) {
             const int held = ::open(t.prefix.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
             if (held < 0 || ::flock(held, LOCK_EX) != 0) return false;
             t.release = std::thread([held] {
                 std::this_thread::sleep_for(std::chrono::seconds(2));
                 ::close(held);
             });
             return true;
         },
         0, "waiting for another tavikmigrate (pid %H) on this prefix..."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Trial trial;
        if (!c.prepare(trial)) {
            std::printf("passed over: %s (needs root)\n", c.name);
            continue;
        }
        const std::string old = ReadFile(trial.prefix + "/user.reg");
        const ProcessResult run = RunProcess(trial.command, trial.wine.Options(trial.prefix));
        std::string line = "tavikmigrate: " + c.line + "\n";
        for (const auto& [mark, text] : {std::pair<std::string, std::string>{"%P", trial.prefix},
                                         {"%H", std::to_string(::getpid())}})
            if (const std::size_t at = line.find(mark); at != std::string::npos) line.replace(at, mark.size(), text);
        EXPECT_EQ(run.exitStatus, c.exitStatus);
        EXPECT_EQ(run.err, line);
        EXPECT_EQ(OwnMessageProblem(run.err, {trial.prefix}), "");
        if (c.exitStatus == 0) continue;
        EXPECT_EQ(ReadFile(trial.prefix + "/user.reg"), old);
        EXPECT_FALSE(fs::exists(trial.prefix + "/.user.reg.tavik-new")) << "the new file is left";
    }
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
    ASSERT_EQ(prefix.Run({"wineserver", "-p"}).exitStatus, 0);
    EXPECT_EQ(SaveRegistryFile(file, hive), ERROR_SHARING_VIOLATION);
    ReleaseRegistryFile(file);
    EXPECT_EQ(ReadFile(prefix.UserReg()), old);
    EXPECT_FALSE(fs::exists(prefix.Path() + "/.user.reg.tavik-new"));
}

// A power cut cannot be had here; the system calls show the order that
// survives one: the new file flushed, renamed, the directory flushed.
TEST(Faults, NewFileReachesTheDiskBeforeItReplacesTheOld) {
    if (RunProcess({"strace", "-V"}).exitStatus != 0) GTEST_SKIP() << "no strace";
    WinePrefix prefix;
    prefix.WriteProfile("[Emulator]\r\nSXCycles=5\r\n");
    const std::string trace = prefix.Path() + "/trace";
    // The leak check of a sanitizer build cannot run under strace.
    ASSERT_EQ(prefix.Run({"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-o", trace, "-e",
                          "trace=fsync,fdatasync,rename,renameat,renameat2", TAVIK_NATIVE_PROGRAM}).exitStatus, 0);
    std::istringstream lines(ReadFile(trace));
    std::string calls;
    for (std::string line; std::getline(lines, line);)
        calls += line.find("sync(") != std::string::npos ? "flush " : line.find("rename") != std::string::npos ? "rename " : "";
    EXPECT_EQ(calls, "flush rename flush ");
}

// Eight prefixes whose user.reg links to one file, each with a profile of its
// own, migrated at once: the runs take turns, and Wine reads in the file the
// values of the last one, complete.
TEST(Faults, EightRunsAtOnceOnOneFileTakeTurns) {
    for (int round = 0; round < 3; ++round) {
        WinePrefix shared;
        std::vector<std::unique_ptr<WinePrefix>> prefixes;
        std::vector<int> pids;
        for (int k = 0; k < 8; ++k) {
            prefixes.push_back(std::make_unique<WinePrefix>());
            fs::remove(prefixes.back()->UserReg());
            fs::create_symlink(shared.UserReg(), prefixes.back()->UserReg());
            prefixes.back()->WriteProfile(RecentFilesProfile(2000 + 500 * k, "run" + std::to_string(k)));
        }
        for (const auto& prefix : prefixes) pids.push_back(StartProcess(NativeProgram(), prefix->Options()));
        for (int pid : pids) EXPECT_EQ(WaitForExit(pid), 0);

        RegistryDump dump = shared.DumpRegistry();
        int k = 0;
        while (k < 8 && !(dump.values["Emulator\\SXCycles"] == Dword(3000 + 500 * k))) ++k;
        ASSERT_LT(k, 8) << "round " << round << ": " << dump.values["Emulator\\SXCycles"];
        const int count = 2000 + 500 * k;
        EXPECT_EQ(dump.values["MRU\\FileCount"], Dword(count));
        int wrong = 0; // earlier runs with more files leave the files past the count
        for (int n = 1; n <= count; ++n) {
            const std::string name = "File" + std::to_string(n);
            wrong += !(dump.values["MRU\\" + name] == Sz("C:\\run" + std::to_string(k) + "\\document " + std::to_string(n) + ".sav"));
        }
        EXPECT_EQ(wrong, 0) << "round " << round << ": recent files not of run " << k;
    }
}

} // namespace

// Memory running out in any phase of a run ends it as a full disk does:
// exit status 2, one line that names the shortage, the phase and its remedy,
// user.reg byte for byte as it was and no new file beside it. The run is given a limit of address
// space (the program needs about 1.5 MB of it); each case is sized so that
// the run gets to its phase and runs short there, as strace showed while the
// sizes were chosen.
class MemoryLimit : public ::testing::Test {
protected:
    void SetUp() override {
#ifdef __SANITIZE_ADDRESS__
        GTEST_SKIP() << "the sanitizers' runtime reserves more address space than the limits allow";
#endif
    }

    ProcessResult RunWithin(int megabytes) const {
        return prefix_.Run({"/bin/sh", "-c", "ulimit -v " + std::to_string(megabytes * 1024) + " && exec \"$0\"",
                            NativeProgram().front()});
    }

    // `phase`: the words after "out of memory".
    void ExpectShortage(int megabytes, const std::string& phase) const {
        // user.reg may be too large to read here too: its size tells then.
        const bool existed = fs::exists(prefix_.UserReg());
        const auto size = existed ? fs::file_size(prefix_.UserReg()) : 0;
        const bool readable = size < (std::uintmax_t{1} << 30);
        const std::string old = existed && readable ? ReadFile(prefix_.UserReg()) : "";
        const ProcessResult run = RunWithin(megabytes);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.err.rfind("tavikmigrate: out of memory " + phase + " (0 of ", 0), 0u) << run.err;
        EXPECT_EQ(OwnMessageProblem(run.err), "");
        EXPECT_FALSE(fs::exists(prefix_.Path() + "/.user.reg.tavik-new")) << "the new file is left";
        ASSERT_EQ(fs::exists(prefix_.UserReg()), existed);
        if (!existed) return;
        EXPECT_EQ(fs::file_size(prefix_.UserReg()), size);
        EXPECT_TRUE(!readable || ReadFile(prefix_.UserReg()) == old) << "user.reg changed";
    }

    // Adds `count` blocks to user.reg, each with `valueBytes` of value.
    void AppendBlocks(int count, std::size_t valueBytes) const {
        std::string text = ReadFile(prefix_.UserReg());
        for (int k = 0; k < count; ++k) {
            text += "\n[Software\\\\Appended\\\\K" + std::to_string(k) + "] 1700000000\n";
            if (valueBytes) text += "\"v\"=\"" + std::string(valueBytes, 'v') + "\"\n";
        }
        WriteFile(prefix_.UserReg(), text);
    }

    WinePrefix prefix_;
};

// 22 MB of user.reg do not fit in 20 MB.
TEST_F(MemoryLimit, ReadingALargeUserReg) {
    prefix_.WriteProfile(ReadFile(TAVIK_EXAMPLE_PROFILE));
    AppendBlocks(22, 1 << 20);
    ExpectShortage(20, "reading user.reg; close other programs");
}

// A sparse user.reg as large as a file can be (on tmpfs) is larger than any
// string can be: its size alone says so.
TEST_F(MemoryLimit, UserRegLargerThanAnyString) {
    prefix_.WriteProfile(ReadFile(TAVIK_EXAMPLE_PROFILE));
    const std::string sparse = "/dev/shm/tavik-sparse-" + std::to_string(::getpid()) + ".reg";
    WriteFile(sparse, "");
    std::error_code error;
    fs::resize_file(sparse, std::numeric_limits<std::int64_t>::max(), error);
    if (error) {
        fs::remove(sparse);
        GTEST_SKIP() << "no tmpfs at /dev/shm for a sparse file of 8 EiB";
    }
    fs::remove(prefix_.UserReg());
    fs::create_symlink(sparse, prefix_.UserReg());
    ExpectShortage(256, "reading user.reg; close other programs");
    fs::remove(sparse);
}

// 8 MB of user.reg fit in 20 MB, their 200 000 keys do not.
TEST_F(MemoryLimit, ParsingAUserRegOfManyKeys) {
    prefix_.WriteProfile(ReadFile(TAVIK_EXAMPLE_PROFILE));
    AppendBlocks(200000, 0);
    ExpectShortage(20, "reading user.reg; close other programs");
}

// A corrupt count asks for more values than memory holds: every File<n> up
// to it is written, the absent ones empty.
TEST_F(MemoryLimit, SettingMoreValuesThanFit) {
    prefix_.WriteProfile("[MRU]\r\nFileCount=20000000\r\nFile1=C:\\kept.sav\r\n");
    ExpectShortage(256, "writing values; fix [MRU] FileCount");
}

// A million values fit in 96 MB; sorting them for the new text does not.
TEST_F(MemoryLimit, WritingTheNewText) {
    prefix_.WriteProfile("[MRU]\r\nFileCount=1000000\r\n");
    ExpectShortage(96, "writing values; fix [MRU] FileCount");
}

// A 29 MB profile does not fit in 20 MB; 8 MB of UTF-8 fit, but not once
// decoded.
TEST_F(MemoryLimit, ReadingALargeProfile) {
    for (const bool utf8 : {false, true}) {
        std::string value;
        for (int c = 0; c < (utf8 ? 60 : 280); ++c) value += utf8 ? "\xC3\xA9" : "p";
        std::string profile = std::string(utf8 ? "\xEF\xBB\xBF" : "") + "[Files]\r\nLastDocument=C:\\large.sav\r\n[Pad]\r\n";
        for (int k = 0; k < (utf8 ? 60000 : 100000); ++k) profile += "Pad" + std::to_string(k) + "=" + value + "\r\n";
        prefix_.WriteProfile(profile);
        ExpectShortage(20, "reading Tavik.ini; close programs or trim it");
    }
}

// Where user.reg is missing, system.reg is read only as far as its
// architecture line: a 30 MB one does not matter in 20 MB.
TEST_F(MemoryLimit, LargeSystemRegIsReadOnlyToItsArchitecture) {
    prefix_.WriteProfile(ReadFile(TAVIK_EXAMPLE_PROFILE));
    const std::string system = prefix_.Path() + "/system.reg";
    const std::string text = ReadFile(system);
    WriteFile(system, text + std::string(30 << 20, ';'));
    fs::remove(prefix_.UserReg());
    const ProcessResult run = RunWithin(20);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_NE(ReadFile(prefix_.UserReg()).find("\n#arch=win"), std::string::npos);
}

// Any process can list tens of thousands of locks in /proc/locks, one per
// byte of a file; the look for a wineserver reads the list line by line.
TEST_F(MemoryLimit, LongListOfLocksIsReadInLittleMemory) {
    prefix_.WriteProfile(ReadFile(TAVIK_EXAMPLE_PROFILE));
    std::vector<int> files;
    for (int f = 0; f < 100; ++f) {
        // Locks of one file are kept in a list that each new lock walks: a
        // few hundred per file keep the test quick.
        files.push_back(::open((prefix_.Path() + "/locked" + std::to_string(f)).c_str(), O_RDWR | O_CREAT, 0600));
        for (int k = 0; k < 200; ++k) {
            struct flock lock = {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            lock.l_start = 2 * k;
            lock.l_len = 1;
            ASSERT_EQ(::fcntl(files.back(), F_SETLK, &lock), 0);
        }
    }
    const ProcessResult run = RunWithin(4);
    for (int fd : files) ::close(fd);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
}
