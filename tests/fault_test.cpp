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
// line of the program's own, within 60 s, and leaves user.reg as it was, no
// value counted as stored (where values were tried) and no new file beside
// it; a run that waits for another says so at once. In a text, "%P" stands
// for the prefix, "%H" for the process holding its lock and "%L" for the
// number of the line after user.reg's last. Cases that need root are
// passed over otherwise.
TEST(Faults, EachRefusalNamesItsCause) {
    struct Case {
        const char* name;
        std::function<bool(Trial&)> prepare; // false: cannot be had here
        int exitStatus;
        std::string text;
    };
    auto setMode = [](const std::string& path, const char* mode) {
        return RunProcess({"chmod", mode, path}).exitStatus == 0;
    };
    auto linkUserReg = [](Trial& t, const std::string& target) {
        fs::remove(t.prefix + "/user.reg");
        fs::create_symlink(target, t.prefix + "/user.reg");
        return true;
    };
    auto append = [](Trial& t, const std::string& text) {
        WriteFile(t.prefix + "/user.reg", ReadFile(t.prefix + "/user.reg") + text);
        return true;
    };
    // Each file of the prefix that a run reads may be a FIFO, a device or a
    // directory; system.reg is read where a new user.reg takes its
    // architecture from it.
    auto special = [](const char* file, const char* kind) {
        return [file, kind](Trial& t) {
            const std::string path = t.prefix + "/" + file;
            if (std::string(file) == "system.reg") fs::remove(t.prefix + "/user.reg");
            fs::remove(path);
            if (std::string(kind) == "a FIFO") return ::mkfifo(path.c_str(), 0600) == 0;
            if (std::string(kind) == "a device") fs::create_symlink("/dev/zero", path);
            else fs::create_directory(path);
            return true;
        };
    };
    // A wineserver wherever Debian's Wine puts its directory, and whatever
    // the run can see of it: /run/user/<uid> exists or not (the server and
    // the run share a private /run), the run has the server's TMPDIR (under
    // which the prefix records the directory) or not, sees /proc or not, and
    // the server has settled in its directory or is loading the registry.
    auto hidden = [](bool runUser, bool sameTmpdir, bool hideProcesses, bool settled) {
        return [=](Trial& t) {
#ifdef __SANITIZE_ADDRESS__
            if (hideProcesses) return false; // the sanitizers' runtime reads its options from /proc
#endif
            const std::string root = fs::path(t.prefix).parent_path();
            const std::string serverTmp = root + "/tmp", runTmp = sameTmpdir ? serverTmp : root + "/other";
            fs::create_directories(serverTmp);
            fs::create_directories(runTmp);
            const char* script = R"(run_user=$1 server_tmp=$2 run_tmp=$3 hide=$4 settle=$5 program=$6
mount -t tmpfs tmpfs /run && mkdir /run/user && { [ $run_user = 0 ] || mkdir -m 700 /run/user/$(id -u); } &&
TMPDIR=$server_tmp wineserver -p || exit 99
[ $settle = 0 ] || until ls -l /proc/*/cwd 2>/dev/null | grep -q " $server_tmp/wine-.*/server-"; do sleep 0.1; done
TMPDIR=$run_tmp unshare -m sh -c '{ [ $0 = 0 ] || mount -t tmpfs tmpfs /proc; } && exec "$1"' $hide "$program"
status=$?; TMPDIR=$server_tmp wineserver -k; TMPDIR=$server_tmp wineserver -w; exit $status)";
            auto flag = [](bool on) { return on ? "1" : "0"; };
            t.command = {"unshare", "-m", "sh", "-c", script, "sh", flag(runUser), serverTmp, runTmp,
                         flag(hideProcesses), flag(settled), TAVIK_NATIVE_PROGRAM};
            return ::geteuid() == 0;
        };
    };
    const Case cases[] = {
        {"a full disk",
         [](Trial& t) { return t.OnTmpfs("size=" + std::to_string(fs::file_size(t.wine.UserReg()) + 4096)); }, 2,
         "the disk is full; free some space"},
        {"no free inode", [](Trial& t) { return t.OnTmpfs("nr_inodes=3"); }, 2,
         "no free inodes on user.reg's disk; delete some files"},
        {"a read-only file system",
         [](Trial& t) {
             return t.OnTmpfs("size=64m") &&
                    ::mount(nullptr, t.prefix.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
         },
         2, "user.reg's file system is read-only; remount it read-write"},
        {"a file-size limit",
         [](Trial& t) {
             t.command.insert(t.command.begin(), {"/bin/sh", "-c", "ulimit -f 1 && exec \"$0\""});
             return true;
         },
         2, "file too large for the file-size limit; raise ulimit -f"},
        {"a read-only user.reg", [&](Trial& t) { return setMode(t.prefix + "/user.reg", "0444"); }, 2,
         "%P/user.reg is read-only; make it writable"},
        {"a read-only prefix directory", [&](Trial& t) { return t.AsNobody(true) && setMode(t.prefix, "0555"); }, 2,
         "%P is read-only; make it writable"},
        {"an unreadable user.reg",
         [&](Trial& t) { return t.AsNobody(true) && setMode(t.prefix + "/user.reg", "0200"); }, 2,
         "%P/user.reg is unreadable; make it readable"},
        {"user.reg left to root",
         [&](Trial& t) {
             return t.AsNobody(true) && ::chown((t.prefix + "/user.reg").c_str(), 0, 0) == 0 &&
                    setMode(t.prefix + "/user.reg", "0600");
         },
         2, "%P/user.reg is owned by root; chown it back"},
        {"another user's prefix", [](Trial& t) { return t.AsNobody(false); }, 2,
         "%P is not owned by you; run as its owner"},
        // A profile that is there but may not be read would give every
        // setting its default, stored over the user's values.
        {"a profile the user may not read",
         [&](Trial& t) { return t.AsNobody(true) && setMode(t.prefix + "/drive_c/windows/Tavik.ini", "0"); }, 2,
         "cannot read %P/drive_c/windows/Tavik.ini: permission denied; let this user read it"},
        {"a link to a missing file", [&](Trial& t) { return linkUserReg(t, t.prefix + "/gone/user.reg"); }, 2,
         "user.reg links to missing %P/gone/user.reg; restore it"},
        {"a link that loops", [&](Trial& t) { return linkUserReg(t, "user.reg"); }, 2,
         "user.reg is a link that loops; point it at the real file"},
        // Wine would write through the link in place; the run writes its new
        // file beside the target, so that the target is whole or untouched.
        {"a link into a directory the user cannot write",
         [&](Trial& t) {
             if (!t.AsNobody(true)) return false;
             fs::create_directory(t.prefix + "/shared");
             fs::rename(t.prefix + "/user.reg", t.prefix + "/shared/user.reg");
             return linkUserReg(t, "shared/user.reg") && setMode(t.prefix + "/shared/user.reg", "0666");
         },
         2, "%P/shared is read-only; make it writable"},
        // A line Wine would misread, named by its number; a registry link,
        // which Wine follows, so that values beside it would never be read.
        {"a line Wine would misread", [&](Trial& t) { return append(t, "\n[Software\\\\Other] 1\n\"w\"=dword:-1\n"); },
         2, "user.reg line %L: dword is not 1-8 hex digits; fix it"},
        {"a registry link",
         [&](Trial& t) { return append(t, "\n[Software\\\\Tavik] 1\n#link\n\"SymbolicLinkValue\"=hex(6):5c,00,52,00\n"); },
         2, "Software\\Tavik\\Files is behind a registry link; remove it"},
        {"user.reg a FIFO", special("user.reg", "a FIFO"), 2, "user.reg is a FIFO; put Wine's file there"},
        {"user.reg a device", special("user.reg", "a device"), 2, "user.reg is a device; put Wine's file there"},
        {"user.reg a directory", special("user.reg", "a directory"), 2, "user.reg is a directory; put Wine's file there"},
        {"system.reg a FIFO", special("system.reg", "a FIFO"), 2, "system.reg is a FIFO; put Wine's file there"},
        {"system.reg a device", special("system.reg", "a device"), 2, "system.reg is a device; put Wine's file there"},
        {"system.reg a directory", special("system.reg", "a directory"), 2,
         "system.reg is a directory; put Wine's file there"},
        {"Wine running in the prefix WINEPREFIX names",
         [](Trial& t) { return t.wine.Run({"wineserver", "-p"}).exitStatus == 0; }, 2,
         "Wine is running; run 'WINEPREFIX=%P wineserver -k' first"},
        {"Wine's server under TMPDIR, as the prefix records", hidden(false, true, true, false), 2,
         "Wine is running; run 'WINEPREFIX=%P wineserver -k' first"},
        {"Wine's server under /run/user", hidden(true, true, true, false), 2,
         "Wine is running; run 'WINEPREFIX=%P wineserver -k' first"},
        {"Wine's server only as a process in its directory", hidden(false, false, false, true), 2,
         "Wine is running; run 'WINEPREFIX=%P wineserver -k' first"},
        {"Wine's server only as a process loading the registry", hidden(false, false, false, false), 2,
         "Wine is running; run 'WINEPREFIX=%P wineserver -k' first"},
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
        const std::string base = ReadFile(trial.wine.UserReg());
        const std::string lines = std::to_string(std::count(base.begin(), base.end(), '\n') + 3);
        if (!c.prepare(trial)) {
            std::printf("passed over: %s (needs root)\n", c.name);
            continue;
        }
        const std::string userReg = trial.prefix + "/user.reg";
        const fs::file_type type = fs::symlink_status(userReg).type();
        const std::string old = type == fs::file_type::regular ? ReadFile(userReg) : "";
        const ProcessResult run = RunProcess(trial.command, trial.wine.Options(trial.prefix), 60);
        std::string text = c.text;
        for (const auto& [mark, value] : {std::pair<std::string, std::string>{"%P", trial.prefix},
                                          {"%H", std::to_string(::getpid())}, {"%L", lines}})
            if (const std::size_t at = text.find(mark); at != std::string::npos) text.replace(at, mark.size(), value);
        EXPECT_FALSE(run.timedOut);
        EXPECT_EQ(run.exitStatus, c.exitStatus);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err.find("tavikmigrate: " + text), 0u) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        EXPECT_EQ(OwnMessageProblem(run.err, {trial.prefix + "/drive_c/windows/Tavik.ini", trial.prefix}), "");
        if (c.exitStatus == 0) continue;
        if (run.err.find(" stored, ") != std::string::npos) {
            EXPECT_NE(run.err.find("(0 of 36 stored, error "), std::string::npos) << run.err;
        }
        EXPECT_EQ(fs::symlink_status(userReg).type(), type);
        if (type == fs::file_type::regular) { EXPECT_EQ(ReadFile(userReg), old); }
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

// Memory running out in any phase of a run ends it as a full disk does:
// exit status 2, one line that names the shortage, the phase and its remedy,
// user.reg byte for byte as it was and no new file beside it. The run is
// given a limit of address space (the program needs about 1.5 MB of it);
// each case is sized so that the run gets to its phase and runs short there,
// as strace showed while the sizes were chosen. What is read only in part
// needs no more memory for a larger file: system.reg (where user.reg is
// missing) up to its architecture line, and /proc/locks, which any process
// can fill with tens of thousands of locks, a line at a time.
TEST(MemoryLimit, EachPhaseOfARunEndsItAsAFullDiskDoes) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizers' runtime reserves more address space than the limits allow";
#endif
    // Adds `count` blocks to user.reg, each with `valueBytes` of value.
    const auto append = [](const WinePrefix& prefix, int count, std::size_t valueBytes) {
        std::string text = ReadFile(prefix.UserReg());
        for (int k = 0; k < count; ++k) {
            text += "\n[Software\\\\Appended\\\\K" + std::to_string(k) + "] 1700000000\n";
            if (valueBytes) text += "\"v\"=\"" + std::string(valueBytes, 'v') + "\"\n";
        }
        WriteFile(prefix.UserReg(), text);
    };
    // A profile of `count` padding lines of `repeats` characters, UTF-8 after
    // a byte order mark when `utf8`.
    const auto large = [](bool utf8, int count, int repeats) {
        std::string value, profile = utf8 ? "\xEF\xBB\xBF" : "";
        profile += "[Files]\r\nLastDocument=C:\\l.sav\r\n[Pad]\r\n";
        for (int c = 0; c < repeats; ++c) value += utf8 ? "\xC3\xA9" : "p";
        for (int k = 0; k < count; ++k) profile += "Pad" + std::to_string(k) + "=" + value + "\r\n";
        return profile;
    };
    const std::string sparse = "/dev/shm/tavik-sparse-" + std::to_string(::getpid()) + ".reg";
    std::vector<int> locked;
    std::string skipped; // why a case cannot be had here
    const std::string readingUserReg = "reading user.reg; close other programs";
    const std::string writing = "writing values; fix [MRU] FileCount";
    const struct {
        const char* what;
        int megabytes;
        std::string phase; // the words after "out of memory"; none: the run stores
        std::function<void(WinePrefix&)> prepare;
    } cases[] = {
        {"22 MB of user.reg", 20, readingUserReg, [&](WinePrefix& p) { append(p, 22, 1 << 20); }},
        {"200 000 keys in 8 MB of user.reg", 20, readingUserReg, [&](WinePrefix& p) { append(p, 200000, 0); }},
        // As large as a file can be (on tmpfs): larger than any string.
        {"a sparse user.reg of 8 EiB", 256, readingUserReg, [&](WinePrefix& p) {
             WriteFile(sparse, "");
             std::error_code error;
             fs::resize_file(sparse, std::numeric_limits<std::int64_t>::max(), error);
             if (error) skipped = "no tmpfs at /dev/shm for a sparse file of 8 EiB";
             fs::remove(p.UserReg());
             fs::create_symlink(sparse, p.UserReg());
         }},
        // A corrupt count: every File<n> up to it is written, the absent ones empty.
        {"20 million values to set", 256, writing,
         [](WinePrefix& p) { p.WriteProfile("[MRU]\r\nFileCount=20000000\r\nFile1=C:\\kept.sav\r\n"); }},
        {"a million values to sort for the new text", 96, writing,
         [](WinePrefix& p) { p.WriteProfile("[MRU]\r\nFileCount=1000000\r\n"); }},
        {"a 29 MB profile", 20, "reading Tavik.ini; close programs or trim it",
         [&](WinePrefix& p) { p.WriteProfile(large(false, 100000, 280)); }},
        {"8 MB of UTF-8 decoded", 20, "reading Tavik.ini; close programs or trim it",
         [&](WinePrefix& p) { p.WriteProfile(large(true, 60000, 60)); }},
        {"a 30 MB system.reg", 20, "", [](WinePrefix& p) {
             WriteFile(p.Path() + "/system.reg", ReadFile(p.Path() + "/system.reg") + std::string(30 << 20, ';'));
             fs::remove(p.UserReg());
         }},
        // A few hundred locks per file keep the test quick: each new lock of a
        // file walks the list of its others.
        {"20 000 locks listed", 4, "", [&](WinePrefix& p) {
             for (int f = 0; f < 100; ++f) {
                 locked.push_back(::open((p.Path() + "/locked" + std::to_string(f)).c_str(), O_RDWR | O_CREAT, 0600));
                 for (int k = 0; k < 200; ++k) {
                     struct flock lock = {};
                     lock.l_type = F_WRLCK;
                     lock.l_whence = SEEK_SET;
                     lock.l_start = 2 * k;
                     lock.l_len = 1;
                     ASSERT_EQ(::fcntl(locked.back(), F_SETLK, &lock), 0);
                 }
             }
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WinePrefix prefix;
        prefix.WriteProfile(ReadFile(TAVIK_EXAMPLE_PROFILE));
        c.prepare(prefix);
        if (!skipped.empty()) {
            std::printf("passed over: %s\n", std::exchange(skipped, "").c_str());
            continue;
        }
        // user.reg may be too large to read here too: its size tells then.
        const bool existed = fs::exists(prefix.UserReg());
        const auto size = existed ? fs::file_size(prefix.UserReg()) : 0;
        const bool readable = size < (std::uintmax_t{1} << 30);
        const std::string old = existed && readable ? ReadFile(prefix.UserReg()) : "";
        const ProcessResult run = prefix.Run({"/bin/sh", "-c", "ulimit -v " + std::to_string(c.megabytes * 1024) +
                                              " && exec \"$0\"", NativeProgram().front()});
        for (int fd : std::exchange(locked, {})) ::close(fd);
        if (c.phase.empty()) {
            EXPECT_EQ(run.exitStatus, 0) << run.err;
            const std::string written = ReadFile(prefix.UserReg());
            EXPECT_NE(written.find("\n#arch=win"), std::string::npos);
            EXPECT_NE(written.find("[Software\\\\Tavik\\\\Files]"), std::string::npos);
            continue;
        }
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.err.rfind("tavikmigrate: out of memory " + c.phase + " (0 of ", 0), 0u) << run.err;
        EXPECT_EQ(OwnMessageProblem(run.err), "");
        EXPECT_FALSE(fs::exists(prefix.Path() + "/.user.reg.tavik-new")) << "the new file is left";
        EXPECT_EQ(fs::exists(prefix.UserReg()), existed);
        if (existed) { EXPECT_EQ(fs::file_size(prefix.UserReg()), size); }
        EXPECT_TRUE(!existed || !readable || ReadFile(prefix.UserReg()) == old) << "user.reg changed";
    }
    fs::remove(sparse);
}

} // namespace
