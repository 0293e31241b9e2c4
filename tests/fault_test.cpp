// Whatever place the native program finds, and whatever goes wrong while it
// writes user.reg, the file is afterwards either exactly the old one or
// exactly the complete new one, and the exit status and standard error say
// which.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <sstream>
#include <thread>

#include "registry_file.h"
#include "support/wine_prefix.h"
#include "user_reg.h"

namespace {

namespace fs = std::filesystem;

#ifdef __SANITIZE_ADDRESS__
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

// Makes `path` a FIFO, a link to a device or a directory (`kind`).
bool MakeSpecial(const std::string& path, const std::string& kind) {
    fs::remove(path);
    if (kind == "a FIFO") return ::mkfifo(path.c_str(), 0600) == 0;
    if (kind == "a device") fs::create_symlink("/dev/zero", path);
    else fs::create_directory(path);
    return true;
}

// Where a case of EachPlaceEndsTheRunAsItShould runs: a prefix of its own,
// with the example profile. The case may move user.reg onto a small file
// system of the test's, run the program as another user or under a limit,
// add to its environment, hold the lock of user.reg's directory for a while,
// or hold descriptors until the run has ended.
struct Trial {
    Trial() { wine.WriteProfile(ReadFile(TAVIK_EXAMPLE_PROFILE)); }
    ~Trial() {
        if (release.joinable()) release.join();
        for (int fd : held) ::close(fd);
        if (!mount.empty()) {
            ::umount2(mount.c_str(), MNT_DETACH);
            RemoveTree(mount);
        }
        if (!outside.empty()) RemoveTree(outside);
        // What a case made in place of the recorded server directory would
        // stop Wine's tools, the end of the server below among them; a real
        // record names where a server runs, which its end needs.
        const std::string recorded = wine.Path() + "/wineserver";
        std::error_code unknown;
        if (!fs::is_regular_file(fs::symlink_status(recorded, unknown)) || fs::file_size(recorded, unknown) > 4096)
            RemoveTree(recorded);
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

    // Runs the program after the shell command `setup` (ulimit, umask).
    bool After(const std::string& setup) {
        command.insert(command.begin(), {"/bin/sh", "-c", setup + " && exec \"$0\""});
        return true;
    }

    // Runs the program with `megabytes` of address space; the program needs
    // about 1.5 MB. Not under the sanitizers, whose runtime reserves more.
    bool WithMemory(int megabytes) { return !kSanitized && After("ulimit -v " + std::to_string(megabytes * 1024)); }

    // Moves the prefix below a path so long that its Windows directory leaves
    // no room in MAX_PATH.
    bool MoveDeep() {
        std::string deep = fs::path(prefix).parent_path().string();
        while (deep.size() < 300) deep += "/" + std::string(60, 'p');
        fs::create_directories(deep);
        fs::rename(prefix, deep + "/wine");
        prefix = deep + "/wine";
        return true;
    }

    WinePrefix wine;
    std::string prefix = wine.Path(); // WINEPREFIX of the run
    std::vector<std::string> command = NativeProgram();
    std::vector<std::pair<std::string, std::string>> environment; // added to the run's
    std::string mount, outside;
    std::vector<int> held;
    std::thread release; // ends the lock held while the program runs
};

// Whatever the place a run finds, it ends as that place wants, within 60 s:
// it stores the example's values, or it says what is missing on standard
// output, or it refuses with its real cause and a remedy that can work, in
// one line of the program's own, and leaves user.reg as it was, no value
// counted as stored and no new file beside it; a run that waits for another
// says so at once. In a text, "%P" stands for the prefix, "%H" for the
// process holding its lock and "%L" for the number of the line after
// user.reg's last. Cases that cannot be had here (root, a tmpfs, no
// sanitizers) are passed over.
TEST(Faults, EachPlaceEndsTheRunAsItShould) {
    struct Case {
        std::string name;
        std::function<bool(Trial&)> prepare; // false: cannot be had here
        int exitStatus;
        std::string err;       // what begins standard error's one line, after the program's name; none: no line
        std::string out = {}; // what begins standard output; none: nothing
    };
    auto setMode = [](const std::string& path, const char* mode) {
        return RunProcess({"chmod", mode, path}).exitStatus == 0;
    };
    auto linkUserReg = [](Trial& t, const std::string& target) {
        fs::remove(t.prefix + "/user.reg");
        fs::create_symlink(target, t.prefix + "/user.reg");
        return true;
    };
    // Moves user.reg into the prefix's directory "shared", linked from its place.
    auto linkIntoShared = [&](Trial& t) {
        fs::create_directory(t.prefix + "/shared");
        fs::rename(t.prefix + "/user.reg", t.prefix + "/shared/user.reg");
        return linkUserReg(t, "shared/user.reg");
    };
    auto append = [](Trial& t, const std::string& text) {
        WriteFile(t.prefix + "/user.reg", ReadFile(t.prefix + "/user.reg") + text);
        return true;
    };
    // As nobody, on the prefix given to nobody, with the file `below` it given `mode`.
    auto nobodyWith = [&](std::string below, const char* mode) {
        return [=](Trial& t) { return t.AsNobody(true) && setMode(t.prefix + below, mode); };
    };
    // With `megabytes` of address space, then what `prepare` prepares; nothing
    // is prepared where the limit cannot be had.
    auto withMemory = [](int megabytes, std::function<bool(Trial&)> prepare) {
        return [=](Trial& t) { return t.WithMemory(megabytes) && prepare(t); };
    };
    // Writes `text` to the prefix's `file` (not through a link into the base prefix).
    auto write = [](std::string file, std::string text) {
        return [=](Trial& t) {
            fs::remove(t.prefix + "/" + file);
            WriteFile(t.prefix + "/" + file, text);
            return true;
        };
    };
    auto profile = [&](std::string text) { return write("drive_c/windows/Tavik.ini", text); };
    // A file of the prefix that a run reads made a FIFO, a device or a
    // directory; system.reg is read where a new user.reg takes its
    // architecture from it.
    auto special = [](std::string file, std::string kind) {
        return [=](Trial& t) {
            if (file == "system.reg") fs::remove(t.prefix + "/user.reg");
            return MakeSpecial(t.prefix + "/" + file, kind);
        };
    };
    // The wineserver directory that the prefix records below TMPDIR, with
    // `kind` as the server's lock there; or, without a kind, a recorded name
    // longer than any path. Either is passed over for the other places a
    // server is looked for.
    auto recorded = [&](std::string kind) {
        return [=](Trial& t) {
            struct stat info;
            if (::stat(t.prefix.c_str(), &info) != 0) return false;
            const std::string tmp = fs::path(t.prefix).parent_path().string() + "/tmp";
            std::ostringstream server;
            server << "wine-recorded/server-" << std::hex << info.st_dev << "-" << info.st_ino;
            fs::create_directories(tmp + "/" + server.str());
            t.environment.emplace_back("TMPDIR", tmp);
            fs::remove(t.prefix + "/wineserver"); // a hard link into the prefix that all tests copy
            WriteFile(t.prefix + "/wineserver", kind.empty() ? std::string(40000, 'w') : "wine-recorded");
            return kind.empty() || MakeSpecial(tmp + "/" + server.str() + "/lock", kind);
        };
    };
    // A wineserver wherever Debian's Wine puts its directory, and whatever
    // the run can see of it: /run/user/<uid> exists or not (the server and
    // the run share a private /run), the run has the server's TMPDIR (under
    // which the prefix records the directory) or not, sees /proc or not, and
    // the server has settled in its directory or is loading the registry.
    auto hidden = [](bool runUser, bool sameTmpdir, bool hideProcesses, bool settled) {
        return [=](Trial& t) {
            if (hideProcesses && kSanitized) return false; // the sanitizers' runtime reads its options from /proc
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
    // Adds `count` blocks to user.reg, each with `valueBytes` of value.
    auto appendBlocks = [&](Trial& t, int count, std::size_t valueBytes) {
        std::string text;
        for (int k = 0; k < count; ++k)
            text += "\n[Software\\\\Appended\\\\K" + std::to_string(k) + "] 1\n\"v\"=\"" + std::string(valueBytes, 'v') + "\"\n";
        return append(t, text);
    };
    // A UTF-8 profile of `count` padding lines of `repeats` two-byte characters.
    auto largeProfile = [](int count, int repeats) {
        std::string value, text = "\xEF\xBB\xBF[Pad]\r\n";
        for (int c = 0; c < repeats; ++c) value += "\xC3\xA9";
        for (int k = 0; k < count; ++k) text += "Pad" + std::to_string(k) + "=" + value + "\r\n";
        return text;
    };
    const std::string wineRunning = "Wine is running; run 'WINEPREFIX=%P wineserver -k' first";
    const std::string notFound = "%P/drive_c/windows/Tavik.ini not found!";
    const std::string readingUserReg = "out of memory reading user.reg; close other programs";
    const std::string readingProfile = "out of memory reading Tavik.ini; close programs or trim it";
    const std::string writingValues = "out of memory writing values; fix [MRU] FileCount";
    std::vector<Case> cases = {
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
        {"a file-size limit", [](Trial& t) { return t.After("ulimit -f 1"); }, 2,
         "file too large for the file-size limit; raise ulimit -f"},
        {"a read-only user.reg", [&](Trial& t) { return setMode(t.prefix + "/user.reg", "0444"); }, 2,
         "%P/user.reg is read-only; make it writable"},
        {"a read-only prefix directory", nobodyWith("", "0555"), 2, "%P is read-only; make it writable"},
        {"an unreadable user.reg", nobodyWith("/user.reg", "0200"), 2, "%P/user.reg is unreadable; make it readable"},
        {"user.reg left to root",
         [&](Trial& t) { return nobodyWith("/user.reg", "0600")(t) && ::chown((t.prefix + "/user.reg").c_str(), 0, 0) == 0; },
         2, "%P/user.reg is owned by root; chown it back"},
        {"another user's prefix", [](Trial& t) { return t.AsNobody(false); }, 2,
         "%P is not owned by you; run as its owner"},
        // A profile that is there but may not be read would give every
        // setting its default, stored over the user's values.
        {"a profile the user may not read", nobodyWith("/drive_c/windows/Tavik.ini", "0"), 2,
         "cannot read %P/drive_c/windows/Tavik.ini: permission denied; let this user read it"},
        {"a link to a missing file", [&](Trial& t) { return linkUserReg(t, t.prefix + "/gone/user.reg"); }, 2,
         "user.reg links to missing %P/gone/user.reg; restore it"},
        {"a link that loops", [&](Trial& t) { return linkUserReg(t, "user.reg"); }, 2,
         "user.reg is a link that loops; point it at the real file"},
        // Wine would write through the link in place; the run writes its new
        // file beside the target, so that the target is whole or untouched.
        {"a link into a directory the user cannot write",
         [&](Trial& t) {
             return t.AsNobody(true) && linkIntoShared(t) && setMode(t.prefix + "/shared/user.reg", "0666");
         },
         2, "%P/shared is read-only; make it writable"},
        // A line Wine would misread, named by its number; a registry link,
        // which Wine follows, so that values beside it would never be read.
        {"a line Wine would misread", [&](Trial& t) { return append(t, "\n[Software\\\\Other] 1\n\"w\"=dword:-1\n"); },
         2, "user.reg line %L: dword is not 1-8 hex digits; fix it"},
        {"a registry link",
         [&](Trial& t) { return append(t, "\n[Software\\\\Tavik] 1\n#link\n\"SymbolicLinkValue\"=hex(6):5c,00,52,00\n"); },
         2, "Software\\Tavik\\Files is behind a registry link; remove it"},
        // A profile that is a FIFO or a device is missing, as the Windows
        // program under Wine finds it (migration_test).
        {"the profile a FIFO", special("drive_c/windows/Tavik.ini", "a FIFO"), 1, "", notFound},
        {"the profile a device", special("drive_c/windows/Tavik.ini", "a device"), 1, "", notFound},
        {"a recorded server directory longer than any path", recorded(""), 0, ""},
        {"Wine running in the prefix WINEPREFIX names",
         [](Trial& t) { return t.wine.Run({"wineserver", "-p"}).exitStatus == 0; }, 2, wineRunning},
        {"Wine's server under TMPDIR, as the prefix records", hidden(false, true, true, false), 2, wineRunning},
        {"Wine's server under /run/user", hidden(true, true, true, false), 2, wineRunning},
        {"Wine's server only as a process in its directory", hidden(false, false, false, true), 2, wineRunning},
        {"Wine's server only as a process loading the registry", hidden(false, false, false, false), 2, wineRunning},
        // Runs on prefixes whose user.reg links to one file take turns: the
        // lock is the directory of the file that is replaced, and the run
        // names the process that holds it.
        {"another run holding the directory user.reg links into",
         [&](Trial& t) {
             linkIntoShared(t);
             const int locked = ::open((t.prefix + "/shared").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
             if (locked < 0 || ::flock(locked, LOCK_EX) != 0) return false;
             t.release = std::thread([locked] {
                 std::this_thread::sleep_for(std::chrono::seconds(2));
                 ::close(locked);
             });
             return true;
         },
         0, "waiting for another tavikmigrate (pid %H) on this prefix..."},
        // A prefix whose Unix Windows directory leaves no room in MAX_PATH is
        // reached as Wine reaches it, through C:\windows; without C:, where
        // Wine cannot start, the message names the drive.
        {"a long prefix path", [](Trial& t) { return t.MoveDeep(); }, 0, ""},
        {"a long prefix path without a profile",
         [](Trial& t) { return fs::remove(t.wine.WindowsDirectory() + "/Tavik.ini") && t.MoveDeep(); }, 1, "",
         "C:\\windows\\Tavik.ini not found!"},
        {"no C: drive", [](Trial& t) { return fs::remove(t.prefix + "/dosdevices/c:"); }, 1,
         "the C: drive of %P (from WINEPREFIX), %P/dosdevices/c:, is missing", "%P/dosdevices/c:/windows/Tavik.ini not found!"},
        // A profile named in another letter case is found, the exact name first.
        {"the profile named TAVIK.INI",
         [](Trial& t) {
             fs::rename(t.wine.WindowsDirectory() + "/Tavik.ini", t.wine.WindowsDirectory() + "/TAVIK.INI");
             return true;
         },
         0, ""},
        {"the profile beside a TAVIK.INI", write("drive_c/windows/TAVIK.INI", "[Emulator]\r\nSXCycles=7\r\n"), 0, ""},
        // A user.reg made anew, by root (sudo) in another user's prefix, is
        // that user's to read and write, also under a umask stricter than
        // sudo's 077.
        {"no user.reg, root in nobody's prefix, umask 0377",
         [](Trial& t) {
             return fs::remove(t.prefix + "/user.reg") && t.After("umask 0377") &&
                    (::geteuid() != 0 || ::chown(t.prefix.c_str(), 65534, 65534) == 0);
         },
         0, ""},
        // A killed run leaves its new file; the next one writes it anew, whole.
        {"the new file of a killed run left, longer than the next", write(".user.reg.tavik-new", std::string(1 << 20, 'k')),
         0, ""},
        // Memory running out in any phase ends the run as a full disk does,
        // its message naming the phase and its remedy. Each case is sized so
        // that the run gets to its phase and runs short there, as strace
        // showed while the sizes were chosen. What is read only in part needs
        // no more memory for a larger file: system.reg (where user.reg is
        // missing) up to its architecture line, and /proc/locks, which any
        // process can fill with tens of thousands of locks, a line at a time.
        {"22 MB of user.reg", withMemory(20, [&](Trial& t) { return appendBlocks(t, 22, 1 << 20); }), 2, readingUserReg},
        // As large as a file can be (on tmpfs): larger than any string.
        {"a sparse user.reg of 8 EiB", withMemory(256, [&](Trial& t) {
             std::error_code error;
             WriteFile(t.outside = "/dev/shm/tavik-sparse-" + std::to_string(::getpid()), "");
             fs::resize_file(t.outside, std::numeric_limits<std::int64_t>::max(), error);
             return !error && linkUserReg(t, t.outside);
         }), 2, readingUserReg},
        // A corrupt count: every File<n> up to it is written, the absent ones empty.
        {"20 million values to set", withMemory(256, profile("[MRU]\r\nFileCount=20000000\r\nFile1=C:\\kept.sav\r\n")), 2,
         writingValues},
        {"a million values to sort for the new text", withMemory(96, profile("[MRU]\r\nFileCount=1000000\r\n")), 2,
         writingValues},
        {"8 MB of UTF-8 decoded", withMemory(20, profile(largeProfile(60000, 60))), 2, readingProfile},
        {"a 30 MB system.reg", withMemory(20, [](Trial& t) {
             WriteFile(t.prefix + "/system.reg", ReadFile(t.prefix + "/system.reg") + std::string(30 << 20, ';'));
             return fs::remove(t.prefix + "/user.reg");
         }), 0, ""},
        // A few hundred locks per file keep the test quick: each new lock of a
        // file walks the list of its others.
        {"20 000 locks listed",
         [](Trial& t) {
             for (int f = 0; f < 100; ++f) {
                 t.held.push_back(::open((t.prefix + "/locked" + std::to_string(f)).c_str(), O_RDWR | O_CREAT, 0600));
                 for (int k = 0; k < 200; ++k) {
                     struct flock lock = {};
                     lock.l_type = F_WRLCK;
                     lock.l_start = 2 * k;
                     lock.l_len = 1;
                     if (::fcntl(t.held.back(), F_SETLK, &lock) != 0) return false;
                 }
             }
             return t.WithMemory(4);
         },
         0, ""},
    };
    // user.reg and system.reg refuse each kind; the recorded server
    // directory, and the lock in it, are passed over.
    for (const std::string kind : {"a FIFO", "a device", "a directory"}) {
        for (const std::string file : {"user.reg", "system.reg"})
            cases.push_back({file + " " + kind, special(file, kind), 2, file + " is " + kind + "; put Wine's file there"});
        cases.push_back({"the recorded server directory " + kind, special("wineserver", kind), 0, ""});
        cases.push_back({"the recorded server's lock " + kind, recorded(kind), 0, ""});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Trial trial;
        const std::string base = ReadFile(trial.wine.UserReg());
        const std::string lines = std::to_string(std::count(base.begin(), base.end(), '\n') + 3);
        if (!c.prepare(trial)) {
            std::printf("passed over: %s (cannot be had here)\n", c.name.c_str());
            continue;
        }
        // user.reg as it was, where it is a file that can be read whole.
        const std::string userReg = trial.prefix + "/user.reg";
        const fs::file_type type = fs::symlink_status(userReg).type();
        std::error_code noFile;
        const std::uintmax_t size = fs::file_size(userReg, noFile);
        const bool whole = !noFile && size < (std::uintmax_t{1} << 30);
        const std::string old = whole ? ReadFile(userReg) : "";
        ProcessOptions options = trial.wine.Options(trial.prefix);
        options.workingDirectory = trial.prefix + "/drive_c/work";
        options.environment.insert(options.environment.end(), trial.environment.begin(), trial.environment.end());
        const ProcessResult run = RunProcess(trial.command, options, 60);
        const auto expand = [&](std::string text) {
            for (const auto& [mark, value] : {std::pair<std::string, std::string>{"%P", trial.prefix},
                                              {"%H", std::to_string(::getpid())}, {"%L", lines}})
                for (std::size_t at; (at = text.find(mark)) != std::string::npos;) text.replace(at, mark.size(), value);
            return text;
        };
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.err;
        EXPECT_EQ(run.out.rfind(expand(c.out), 0), 0u) << run.out;
        EXPECT_EQ(run.out.empty(), c.out.empty()) << run.out;
        if (c.err.empty()) {
            EXPECT_EQ(run.err, "");
        } else {
            // Where values were tried, none is counted as stored: of the
            // example's 36, or of those a run short of memory had in hand.
            const bool shortOfMemory = c.err.rfind("out of memory ", 0) == 0;
            const std::string tally = shortOfMemory ? " (0 of " : " (0 of 36 stored, error ";
            const std::string said = "tavikmigrate: " + expand(c.err);
            EXPECT_EQ(run.err.find(run.err.find(" stored, ") == std::string::npos ? said : said + tally), 0u) << run.err;
            EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
            EXPECT_EQ(OwnMessageProblem(run.err, {trial.prefix + "/drive_c/windows/Tavik.ini",
                                                  trial.prefix + "/dosdevices/c:", trial.prefix}), "");
        }
        if (c.exitStatus == 0) {
            const std::string written = ReadFile(userReg);
            // The architecture of system.reg, which Wine requires of user.reg.
            const std::string system = ReadFile(trial.prefix + "/system.reg");
            const std::size_t arch = system.find("\n#arch=");
            EXPECT_NE(written.find(system.substr(arch, system.find('\n', arch + 1) - arch + 1)), std::string::npos);
            EXPECT_TRUE(ParseUserReg(written)) << "not a registry file that Wine reads whole";
            struct stat file, prefix;
            ASSERT_EQ(::stat(userReg.c_str(), &file) | ::stat(trial.prefix.c_str(), &prefix), 0);
            EXPECT_EQ(file.st_mode & 0600, 0600u);
            EXPECT_EQ(std::make_pair(file.st_uid, file.st_gid), std::make_pair(prefix.st_uid, prefix.st_gid))
                << "user.reg is not the prefix owner's";
            EXPECT_NE(SplitUserReg(written).tavik.find("\"SXCycles\"=dword:0000005a"), std::string::npos)
                << "the example's values are not stored";
            continue;
        }
        EXPECT_EQ(fs::symlink_status(userReg).type(), type);
        EXPECT_EQ(fs::file_size(userReg, noFile), size);
        if (whole) { EXPECT_EQ(ReadFile(userReg), old); }
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
// survives one: the new file flushed, renamed, the directory flushed. Other
// runs are kept out from before the read until after the rename: the lock of
// user.reg's directory is taken first and let go (closed) last.
TEST(Faults, NewFileReachesTheDiskBeforeItReplacesTheOld) {
    if (RunProcess({"strace", "-V"}).exitStatus != 0) GTEST_SKIP() << "no strace";
    WinePrefix prefix;
    prefix.WriteProfile("[Emulator]\r\nSXCycles=5\r\n");
    const std::string trace = prefix.Path() + "/trace";
    // The leak check of a sanitizer build cannot run under strace.
    ASSERT_EQ(prefix.Run({"env", "ASAN_OPTIONS=detect_leaks=0", "strace", "-y", "-o", trace, "-e",
                          "trace=flock,close,fsync,fdatasync,rename,renameat,renameat2", TAVIK_NATIVE_PROGRAM})
                  .exitStatus, 0);
    std::istringstream lines(ReadFile(trace));
    std::string calls, lockFd = "none";
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("flock(", 0) == 0) {
            const bool exclusive = line.find("LOCK_EX") != std::string::npos;
            calls += exclusive ? "lock " : "unlock ";
            lockFd = exclusive ? line.substr(6, line.find('<') - 6) : "none";
        } else if (line.rfind("close(" + lockFd + "<", 0) == 0) {
            calls += "unlock ";
            lockFd = "none";
        } else if (line.find("sync(") != std::string::npos || line.rfind("rename", 0) == 0) {
            calls += line.find("sync(") != std::string::npos ? "flush " : "rename ";
        }
    }
    EXPECT_EQ(calls, "lock flush rename flush unlock ");
}

} // namespace
