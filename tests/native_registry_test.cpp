// What the native program does to a Wine prefix: Wine reads back what it
// wrote, everything else in user.reg stays, each refusal leaves the file as
// it was, and profiles no emulator wrote neither crash nor block it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "cp1252_best_fit.h"
#include "support/wine_prefix.h"
#include "text_encoding.h"

namespace {

namespace fs = std::filesystem;

class NativeRegistry : public ::testing::Test {
protected:
    void SetUp() override { prefix_.WriteProfile(ReadFile(TAVIK_EXAMPLE_PROFILE)); }

    // A successful run; the registry as Wine then reads it.
    RegistryDump Migrate() {
        const ProcessResult run = prefix_.RunNative();
        EXPECT_EQ(run.exitStatus, 0) << run.err;
        return prefix_.DumpRegistry();
    }

    // A refusal: exit status 2, one line on standard error that says what to
    // do, and user.reg as it was.
    void ExpectRefusal(const std::string& advice, const std::vector<std::string>& argv = NativeProgram()) {
        const std::string before = ReadFile(prefix_.UserReg());
        const ProcessResult run = prefix_.Run(argv);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(advice), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        EXPECT_EQ(OwnMessageProblem(run.err, {prefix_.Path()}), "");
        EXPECT_EQ(ReadFile(prefix_.UserReg()), before);
    }

    WinePrefix prefix_;
};

TEST_F(NativeRegistry, EverythingElseStaysAndARunThatChangesNothingLeavesTheFile) {
    const std::string before = ReadFile(prefix_.UserReg());
    ASSERT_EQ(prefix_.RunNative().exitStatus, 0);
    const std::string first = ReadFile(prefix_.UserReg());
    EXPECT_EQ(SplitUserReg(first).rest, before);
    struct stat written, again;
    ASSERT_EQ(::stat(prefix_.UserReg().c_str(), &written), 0);
    ASSERT_EQ(prefix_.RunNative().exitStatus, 0);
    ASSERT_EQ(::stat(prefix_.UserReg().c_str(), &again), 0);
    EXPECT_EQ(ReadFile(prefix_.UserReg()), first);
    EXPECT_EQ(again.st_ino, written.st_ino) << "not rewritten";
}

// Wine saves a value name without the NUL at its end, so that "abc" with a
// NUL is read back as "abc" once Wine has saved the file. Blocks that the
// run does not change stay as they are all the same, even where Wine's own
// save would join two values: a key the run never opens, and one whose
// value it sets to what that value holds.
TEST_F(NativeRegistry, BlocksLeftUnchangedKeepNamesEndingInNul) {
    const std::string unchanged[] = {
        "[Software\\\\Tavik\\\\LowBat] 1700000000\n\"Disable\"=dword:00000001\n\"Disable\\0\"=dword:00000007\n",
        "[Software\\\\Tavik\\\\Other] 1700000000\n\"abc\\0\"=\"first\"\n\"abc\"=\"second\"\n",
    };
    WriteFile(prefix_.UserReg(), ReadFile(prefix_.UserReg()) + "\n" + unchanged[0] + "\n" + unchanged[1]);
    const RegistryDump dump = Migrate();
    const std::string written = ReadFile(prefix_.UserReg());
    for (const std::string& block : unchanged) EXPECT_NE(written.find(block), std::string::npos) << block;
    EXPECT_EQ(dump.values.at("LowBat\\Disable"), Dword(1));
    EXPECT_EQ(dump.values.at("LowBat\\Disable\\x00"), Dword(7));
    EXPECT_EQ(dump.values.at("Other\\abc"), Sz("second"));
    EXPECT_EQ(dump.values.at("Other\\abc\\x00"), Sz("first"));
}

// A user.reg made anew is in Wine's format and its prefix owner's: made by
// root (sudo) under umask 077 in another user's prefix, that user owns it and
// can read and write it.
TEST_F(NativeRegistry, MissingUserRegIsCreatedInWinesFormatForThePrefixOwner) {
    fs::remove(prefix_.UserReg());
    const bool root = ::geteuid() == 0;
    const uid_t owner = root ? 65534 : ::geteuid();
    const gid_t group = root ? 65534 : ::getegid();
    ASSERT_EQ(::chown(prefix_.Path().c_str(), owner, group), 0);
    prefix_.StopWineServer();
    const ProcessResult run = prefix_.Run({"sh", "-c", "umask 077 && exec \"$0\"", TAVIK_NATIVE_PROGRAM});
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    struct stat info;
    ASSERT_EQ(::stat(prefix_.UserReg().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0600, 0600u);
    EXPECT_EQ(info.st_uid, owner);
    EXPECT_EQ(info.st_gid, group);
    ASSERT_EQ(::chown(prefix_.Path().c_str(), ::geteuid(), ::getegid()), 0); // Wine wants its own prefix
    EXPECT_EQ(prefix_.DumpRegistry().values.at("Emulator\\SXCycles"), Dword(90));
    const std::string created = ReadFile(prefix_.UserReg());
    EXPECT_EQ(created.rfind("WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n"
                            "\n#arch=win64\n\n[Software\\\\Tavik\\\\Disassembler] ", 0), 0u)
        << created.substr(0, 200);
}

TEST_F(NativeRegistry, PermissionsAndSymbolicLinkAreKept) {
    const std::string target = prefix_.Path() + "/elsewhere.reg";
    fs::rename(prefix_.UserReg(), target);
    fs::create_symlink("elsewhere.reg", prefix_.UserReg());
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(prefix_.RunNative().exitStatus, 0);
    EXPECT_TRUE(fs::is_symlink(prefix_.UserReg()));
    EXPECT_NE(ReadFile(target).find("[Software\\\\Tavik\\\\Files]"), std::string::npos);
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
}

TEST_F(NativeRegistry, RefusesWhileAWineserverRuns) {
    ASSERT_EQ(prefix_.Run({"wineserver", "-p"}).exitStatus, 0); // stays until killed
    ExpectRefusal("wineserver -k");
}

// Where Debian's Wine puts the server's directory, and what the run can see of it.
struct ServerPlace {
    const char* name;
    bool runUserDirectory; // /run/user/<uid> exists: the server's directory goes under it
    bool sameTmpdir;       // the run has the server's TMPDIR, under which the prefix records the directory
    bool hideProcesses;    // the run sees no /proc
    bool settled;          // the server has loaded the registry and is back in its directory
};

void PrintTo(const ServerPlace& place, std::ostream* out) { *out << place.name; }

class HiddenWineserver : public NativeRegistry, public ::testing::WithParamInterface<ServerPlace> {};

// The server and the run share a private /run, so that /run/user/<uid> exists
// only where the case says; the script stops the server it started.
TEST_P(HiddenWineserver, IsFoundAndTheRunRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "private mount namespaces need root";
    const ServerPlace& place = GetParam();
#ifdef __SANITIZE_ADDRESS__
    // The sanitizers' runtime reads its environment and options from /proc.
    if (place.hideProcesses) GTEST_SKIP() << "a sanitizer build cannot run without /proc";
#endif
    const std::string root = fs::path(prefix_.Path()).parent_path();
    const std::string serverTmp = root + "/tmp", runTmp = place.sameTmpdir ? serverTmp : root + "/other";
    fs::create_directories(serverTmp);
    fs::create_directories(runTmp);
    const char* script = R"(run_user=$1 server_tmp=$2 run_tmp=$3 hide=$4 settle=$5 program=$6
mount -t tmpfs tmpfs /run && mkdir /run/user && { [ $run_user = 0 ] || mkdir -m 700 /run/user/$(id -u); } &&
TMPDIR=$server_tmp wineserver -p || exit 99
[ $settle = 0 ] || until ls -l /proc/*/cwd 2>/dev/null | grep -q " $server_tmp/wine-.*/server-"; do sleep 0.1; done
TMPDIR=$run_tmp unshare -m sh -c '{ [ $0 = 0 ] || mount -t tmpfs tmpfs /proc; } && exec "$1"' $hide "$program"
status=$?; TMPDIR=$server_tmp wineserver -k; TMPDIR=$server_tmp wineserver -w; exit $status)";
    auto flag = [](bool on) { return on ? "1" : "0"; };
    ExpectRefusal("wineserver -k", {"unshare", "-m", "sh", "-c", script, "sh", flag(place.runUserDirectory), serverTmp,
                                    runTmp, flag(place.hideProcesses), flag(place.settled), TAVIK_NATIVE_PROGRAM});
}

INSTANTIATE_TEST_SUITE_P(
    NativeRegistry, HiddenWineserver,
    ::testing::Values(ServerPlace{"UnderTmpdirAsThePrefixRecords", false, true, true, false},
                      ServerPlace{"UnderRunUser", true, true, true, false},
                      ServerPlace{"OnlyAsAProcessInItsDirectory", false, false, false, true},
                      ServerPlace{"OnlyAsAProcessLoadingTheRegistry", false, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// A line Wine would misread, named by its number; a registry link, which
// Wine follows, so that values beside it would never be read.
TEST_F(NativeRegistry, RefusesAUserRegItCannotRewriteSafely) {
    const std::string text = ReadFile(prefix_.UserReg());
    const std::string line = std::to_string(std::count(text.begin(), text.end(), '\n') + 3);
    WriteFile(prefix_.UserReg(), text + "\n[Software\\\\Other] 1700000000\n\"w\"=dword:-1\n");
    ExpectRefusal("tavikmigrate: user.reg line " + line + ": dword is not 1-8 hex digits; fix it (0 of 36 stored, error 1009)\n");
    WriteFile(prefix_.UserReg(), text + "\n[Software\\\\Tavik] 1700000000\n#link\n\"SymbolicLinkValue\"=hex(6):5c,00,52,00\n");
    ExpectRefusal("Software\\Tavik\\Files is behind a registry link; remove it (0 of 36 stored, error 50)");
}

// A prefix whose Unix Windows directory leaves no room in MAX_PATH is reached
// as Wine reaches it, through C:\windows: the run stores, and a missing
// profile is named as the Windows program names it.
TEST_F(NativeRegistry, LongPrefixPathIsUsedAsWineUsesIt) {
    std::string deep = fs::path(prefix_.Path()).parent_path().string();
    while (deep.size() < 300) deep += "/" + std::string(60, 'p');
    fs::create_directories(deep);
    const std::string moved = deep + "/wine";
    fs::rename(prefix_.Path(), moved);
    ProcessOptions options = prefix_.Options(moved);
    options.workingDirectory = "/";
    const ProcessResult run = RunProcess(NativeProgram(), options);
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    fs::remove(moved + "/drive_c/windows/Tavik.ini");
    const ProcessResult missing = RunProcess(NativeProgram(), options);
    EXPECT_EQ(missing.exitStatus, 1) << missing.err;
    EXPECT_EQ(missing.out, "C:\\windows\\Tavik.ini not found!\r\nTo terminate press any key...\r\n");
    fs::rename(moved, prefix_.Path());
    EXPECT_EQ(prefix_.DumpRegistry().values.count("Emulator\\SXCycles"), 1u);
}

// Each file and directory below `root`, with its size and modification time.
std::set<std::string> Snapshot(const std::string& root) {
    std::set<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat info;
        if (::lstat(entry.path().c_str(), &info) != 0) continue;
        entries.insert(entry.path().string() + " " + std::to_string(info.st_size) + " " +
                       std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec));
    }
    return entries;
}

// -h, --help and --version are answered, anything else refused in one line,
// and neither looks at the prefix: with a profile nothing is migrated,
// without one there is no not-found message. "--" alone is no argument.
TEST_F(NativeRegistry, CommandLineIsAnsweredWithoutTouchingThePrefix) {
    const std::string version = "tavikmigrate " TAVIK_VERSION "\n";
    const std::string hint = "; see 'tavikmigrate --help'\n";
    struct Case {
        std::vector<std::string> args;
        int exitStatus;
        std::string out, err;
    };
    const Case cases[] = {
        {{"--version"}, 0, version, ""},
        {{"--version", "--bad"}, 0, version, ""},
        {{"foo"}, 2, "", "tavikmigrate: unknown option 'foo'" + hint},
        {{"--bad", "--help"}, 2, "", "tavikmigrate: unknown option '--bad'" + hint},
        {{"-"}, 2, "", "tavikmigrate: unknown option '-'" + hint},
        {{"--", "--version"}, 2, "", "tavikmigrate: unknown option '--version'" + hint},
        {{"--helpx"}, 2, "", "tavikmigrate: unknown option '--helpx'" + hint},
        {{"-hV"}, 2, "", "tavikmigrate: unknown option '-hV'" + hint},
    };
    std::string help;
    for (const bool withProfile : {true, false}) {
        if (!withProfile) fs::remove(prefix_.WindowsDirectory() + "/Tavik.ini");
        const std::set<std::string> before = Snapshot(prefix_.Path());
        for (const Case& c : cases) {
            std::vector<std::string> argv = NativeProgram();
            argv.insert(argv.end(), c.args.begin(), c.args.end());
            const ProcessResult run = prefix_.Run(argv);
            EXPECT_EQ(run.exitStatus, c.exitStatus) << c.args[0];
            EXPECT_EQ(run.out, c.out) << c.args[0];
            EXPECT_EQ(run.err, c.err) << c.args[0];
            if (c.exitStatus != 0) {
                EXPECT_EQ(OwnMessageProblem(run.err), "");
            }
        }
        for (const char* option : {"--help", "-h"}) {
            const ProcessResult run = prefix_.Run({TAVIK_NATIVE_PROGRAM, option, "--bad"});
            EXPECT_EQ(run.exitStatus, 0);
            EXPECT_EQ(run.err, "");
            EXPECT_EQ(run.out.rfind("Usage: tavikmigrate [--help | --version]\n", 0), 0u) << run.out;
            EXPECT_NE(run.out.find("Full documentation: man "), std::string::npos) << run.out;
            if (help.empty()) help = run.out;
            EXPECT_EQ(run.out, help) << option;
        }
        EXPECT_EQ(Snapshot(prefix_.Path()), before) << (withProfile ? "with" : "without") << " a profile";
    }
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << line;
    prefix_.WriteProfile("[Emulator]\r\nSXCycles=5\r\n");
    ASSERT_EQ(prefix_.Run({TAVIK_NATIVE_PROGRAM, "--"}).exitStatus, 0);
    EXPECT_EQ(prefix_.DumpRegistry().values.at("Emulator\\SXCycles"), Dword(5));
}

// WINEPREFIX, or HOME without it, as Wine takes it: Wine itself, asked
// first, refuses one that is empty, relative (here a relative path that
// names the prefix) or a file, or lies below a file, and so does the
// native program, with Wine's reason, exit status 2 and nothing written. A
// trailing slash names the same prefix.
TEST_F(NativeRegistry, WinePrefixIsTakenAsWineTakesIt) {
    const std::string parent = fs::path(prefix_.Path()).parent_path();
    const std::string file = parent + "/file";
    WriteFile(file, "not a prefix");
    struct Case {
        std::vector<std::string> environment; // as env(1) takes it
        std::string reason;                   // Wine's words, in any letter case
    };
    const Case cases[] = {
        {{"WINEPREFIX=wine"}, "not an absolute path"},
        {{"WINEPREFIX="}, "not an absolute path"},
        {{"-u", "WINEPREFIX", "HOME=home"}, "not an absolute path"},
        {{"WINEPREFIX=" + file}, "not a directory"},
        {{"WINEPREFIX=" + file + "/"}, "not a directory"},
        {{"WINEPREFIX=" + file + "/below"}, "not a directory"},
    };
    auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    ProcessOptions fromParent = prefix_.Options();
    fromParent.workingDirectory = parent;
    const std::set<std::string> before = Snapshot(parent);
    for (const Case& c : cases) {
        std::vector<std::string> env = {"env"};
        env.insert(env.end(), c.environment.begin(), c.environment.end());
        std::vector<std::string> wine = env, native = env;
        wine.insert(wine.end(), {TAVIK_WINE, "cmd", "/c", "exit"});
        native.push_back(TAVIK_NATIVE_PROGRAM);
        const ProcessResult byWine = RunProcess(wine, fromParent);
        EXPECT_NE(byWine.exitStatus, 0) << c.environment.back();
        EXPECT_NE(lower(byWine.err).find(c.reason), std::string::npos) << byWine.err;
        const ProcessResult run = RunProcess(native, fromParent);
        EXPECT_EQ(run.exitStatus, 2) << c.environment.back();
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(c.reason), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        std::string quoted = c.environment.back().substr(c.environment.back().find('=') + 1);
        while (quoted.size() > 1 && quoted.back() == '/') quoted.pop_back();
        EXPECT_EQ(OwnMessageProblem(run.err, {quoted}), "");
    }
    EXPECT_EQ(Snapshot(parent), before);
    const ProcessResult slash = RunProcess(NativeProgram(), prefix_.Options(prefix_.Path() + "//"));
    EXPECT_EQ(slash.exitStatus, 0) << slash.err;
    EXPECT_EQ(prefix_.DumpRegistry().values.at("Emulator\\SXCycles"), Dword(90));
}

// A refusal whose detail, a long path, does not fit the message's buffer
// still says why and what to do, without the path: not "the run failed".
TEST(NativeMessages, RefusalWithAPathTooLongToQuoteStillSaysWhy) {
    const std::string name(600, 'r');
    const std::pair<std::string, std::string> cases[] = {
        {name, "tavikmigrate: the Wine prefix's path is not absolute; use a full path (error 161)\n"},
        {"/dev/null/" + name, "tavikmigrate: the Wine prefix is not a directory; fix WINEPREFIX (error 267)\n"},
    };
    for (const auto& [prefix, message] : cases) {
        ProcessOptions options;
        options.environment = {{"WINEPREFIX", prefix}};
        const ProcessResult run = RunProcess(NativeProgram(), options);
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, message);
    }
}

// A prefix that does not exist, or holds no Windows directory, leaves the
// profile missing as before; a line on standard error first says which
// prefix was looked at, and nothing is created.
TEST_F(NativeRegistry, MissingPrefixIsNamedBeforeTheNotFoundMessage) {
    const std::string parent = fs::path(prefix_.Path()).parent_path();
    const std::string absent = parent + "/absent";
    const std::string notFound = "/drive_c/windows/Tavik.ini not found!\r\nTo terminate press any key...\r\n";
    const ProcessResult missing = RunProcess(NativeProgram(), prefix_.Options(absent + "/"));
    EXPECT_EQ(missing.exitStatus, 1);
    EXPECT_EQ(missing.out, absent + notFound);
    EXPECT_EQ(missing.err, "tavikmigrate: no Wine prefix at " + absent + " (from WINEPREFIX); set WINEPREFIX to the prefix\n");
    EXPECT_FALSE(fs::exists(absent));
    const ProcessResult notAPrefix = RunProcess(NativeProgram(), prefix_.Options(parent));
    EXPECT_EQ(notAPrefix.exitStatus, 1);
    EXPECT_EQ(notAPrefix.out, parent + notFound);
    EXPECT_EQ(notAPrefix.err,
              "tavikmigrate: " + parent + " (from WINEPREFIX) has no drive_c/windows; set WINEPREFIX to a Wine prefix\n");
    EXPECT_FALSE(fs::exists(parent + "/user.reg"));
}

// C:\windows is below whatever dosdevices/c: points to, as Wine finds it: a
// C: moved elsewhere (an absolute link, as winecfg's Drives tab makes one) or
// beside (a relative link), with a stale drive_c left behind; no C: at all,
// where Wine cannot start, is a missing profile that names the drive.
TEST(CDrive, IsWhereDosdevicesPointsAsWineFindsIt) {
    enum Kind { kMoved, kRelative, kMissing };
    for (const Kind kind : {kMoved, kRelative, kMissing}) {
        SCOPED_TRACE(kind);
        std::map<std::string, ProcessResult> runs;
        std::map<std::string, RegistryDump> dumps;
        for (const auto& [name, program] : {std::pair{"Wine", WindowsProgram()}, std::pair{"ours", NativeProgram()}}) {
            if (kind == kMissing && std::string(name) == "Wine") continue;
            WinePrefix prefix;
            const std::string moved = kind == kMoved ? fs::path(prefix.Path()).parent_path().string() + "/moved-c"
                                                     : prefix.Path() + "/elsewhere";
            fs::rename(prefix.Path() + "/drive_c", moved);
            fs::remove(prefix.Path() + "/dosdevices/c:");
            if (kind != kMissing) fs::create_directory_symlink(kind == kMoved ? moved : "../elsewhere", prefix.Path() + "/dosdevices/c:");
            WriteFile(moved + "/windows/Tavik.ini", "[Emulator]\r\nSXCycles=90\r\n");
            fs::create_directories(prefix.WindowsDirectory());
            fs::create_directories(prefix.WorkDirectory());
            prefix.WriteProfile("[Emulator]\r\nSXCycles=77\r\n"); // the stale copy
            ProcessOptions options = prefix.Options();
            options.workingDirectory = "/"; // one start directory for both
            runs[name] = RunProcess(program, options);
            if (kind == kMissing) {
                const std::string drive = prefix.Path() + "/dosdevices/c:";
                EXPECT_EQ(runs[name].exitStatus, 1);
                EXPECT_EQ(runs[name].out, drive + "/windows/Tavik.ini not found!\r\nTo terminate press any key...\r\n");
                EXPECT_EQ(runs[name].err, "tavikmigrate: the C: drive of " + prefix.Path() + " (from WINEPREFIX), " +
                                              drive + ", is missing; map C: again with winecfg\n");
                continue;
            }
            prefix.StopWineServer();
            dumps[name] = prefix.DumpRegistry();
            EXPECT_EQ(runs[name].exitStatus, 0) << name << ": " << runs[name].err;
        }
        if (kind != kMissing) {
            EXPECT_EQ(dumps["ours"].values.at("Emulator\\SXCycles"), Dword(90));
            EXPECT_EQ(dumps["ours"].values, dumps["Wine"].values);
        }
    }
}

TEST_F(NativeRegistry, HostileProfilesAreReadWithoutBlocking) {
    prefix_.WriteProfile("[Serial]\r\nWire=" + std::string(10 << 20, 'w') + "\r\n[Files]\r\nLastDocument=" +
                         std::string(10 << 20, 'd') + "\r\n[Emulator]\r\nSXCycles=5\r\n");
    RegistryDump dump = Migrate();
    EXPECT_EQ(dump.values.at("Serial\\Wire"), Sz(std::string(15, 'w')));
    EXPECT_EQ(dump.values.at("Files\\LastDocument"), Sz(std::string(259, 'd')));
    EXPECT_EQ(dump.values.at("Emulator\\SXCycles"), Dword(5));
}

// Each file of the prefix that a run reads, made a FIFO, a link to a device
// or a directory: the run ends promptly (killed after 20 s), and as the place
// wants. A profile that is a FIFO or a device is missing, as the Windows
// program under Wine finds it, and a directory reads as empty; a user.reg or
// system.reg is refused and named, user.reg left as it was; the recorded
// wineserver directory is passed over for the other places a server is
// looked for.
struct SpecialFilePlace {
    const char* name;
    const char* file; // in the prefix
    bool userRegMissing;
    bool refused;      // else the run stores its values
    int sxCycles;      // the value stored
    bool isProfile = false;
};

void PrintTo(const SpecialFilePlace& place, std::ostream* out) { *out << place.name; }

class SpecialFile : public NativeRegistry, public ::testing::WithParamInterface<SpecialFilePlace> {};

TEST_P(SpecialFile, EndsPromptlyAsThePlaceWants) {
    const SpecialFilePlace& place = GetParam();
    const std::string path = prefix_.Path() + "/" + place.file;
    const struct {
        const char* kind;
        std::function<void()> make;
    } kinds[] = {
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }},
        {"a device", [&] { fs::create_symlink("/dev/zero", path); }},
        {"a directory", [&] { fs::create_directory(path); }},
    };
    for (const auto& kind : kinds) {
        SCOPED_TRACE(kind.kind);
        prefix_.StopWineServer(); // before the file is there: Wine reads it too
        if (place.userRegMissing) fs::remove(prefix_.UserReg());
        fs::remove_all(path);
        kind.make();
        // user.reg may be the special file itself, which is not to be read.
        const fs::file_type userReg = fs::symlink_status(prefix_.UserReg()).type();
        const std::string before = userReg == fs::file_type::regular ? ReadFile(prefix_.UserReg()) : "";
        const ProcessResult run = RunProcess(NativeProgram(), prefix_.Options(), 60);
        if (run.timedOut) {
            ADD_FAILURE() << "the run was still going after 60 s";
            fs::remove_all(path);
            continue;
        }
        if (place.isProfile && std::string(kind.kind) != "a directory") {
            // What the Windows program under Wine makes of it, with no server
            // left running to hold the file.
            EXPECT_EQ(run.exitStatus, 1) << run.err;
            EXPECT_NE(run.out.find("Tavik.ini not found!"), std::string::npos) << run.out;
            EXPECT_EQ(ReadFile(prefix_.UserReg()), before);
            const ProcessResult wine = RunProcess(WindowsProgram(), prefix_.Options(), 120);
            prefix_.StopWineServer();
            EXPECT_EQ(wine.exitStatus, 1) << wine.out;
            fs::remove_all(path);
            continue;
        }
        EXPECT_EQ(run.exitStatus, place.refused ? 2 : 0) << run.err;
        if (place.refused) {
            const std::string named = std::string(place.file) + " is " + kind.kind + "; put Wine's file there";
            EXPECT_NE(run.err.find(named), std::string::npos) << run.err;
            EXPECT_EQ(OwnMessageProblem(run.err), "");
            EXPECT_EQ(fs::symlink_status(prefix_.UserReg()).type(), userReg);
            EXPECT_TRUE(userReg != fs::file_type::regular || ReadFile(prefix_.UserReg()) == before);
        }
        // Wine itself cannot start in a prefix with such a file.
        fs::remove_all(path);
        if (!place.refused) {
            EXPECT_EQ(prefix_.DumpRegistry().values.at("Emulator\\SXCycles"), Dword(place.sxCycles));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    NativeRegistry, SpecialFile,
    ::testing::Values(SpecialFilePlace{"Profile", "drive_c/windows/Tavik.ini", false, false, 82, true},
                      SpecialFilePlace{"UserReg", "user.reg", false, true, 0},
                      SpecialFilePlace{"SystemRegOfANewUserReg", "system.reg", true, true, 0},
                      SpecialFilePlace{"RecordedWineserverDirectory", "wineserver", false, false, 90}),
    [](const auto& info) { return std::string(info.param.name); });

// A FIFO where the recorded server directory's lock would be is no server,
// and does not hold the run.
TEST_F(NativeRegistry, FifoForAServerLockIsPassedOver) {
    struct stat info;
    ASSERT_EQ(::stat(prefix_.Path().c_str(), &info), 0);
    char name[64];
    std::snprintf(name, sizeof name, "server-%llx-%llx", static_cast<unsigned long long>(info.st_dev),
                  static_cast<unsigned long long>(info.st_ino));
    const std::string tmp = fs::path(prefix_.Path()).parent_path().string() + "/tmp";
    const std::string server = tmp + "/wine-recorded/" + name;
    fs::create_directories(server);
    ASSERT_EQ(::mkfifo((server + "/lock").c_str(), 0600), 0);
    prefix_.StopWineServer();
    fs::remove(prefix_.Path() + "/wineserver");
    WriteFile(prefix_.Path() + "/wineserver", "wine-recorded");
    ProcessOptions options = prefix_.Options();
    options.environment.emplace_back("TMPDIR", tmp);
    const ProcessResult run = RunProcess(NativeProgram(), options, 60);
    ASSERT_FALSE(run.timedOut) << "the run was still going after 60 s";
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    fs::remove(prefix_.Path() + "/wineserver");
}

TEST_F(NativeRegistry, ProfileNameInAnotherLetterCaseIsFound) {
    fs::remove(prefix_.WindowsDirectory() + "/Tavik.ini");
    WriteFile(prefix_.WindowsDirectory() + "/TAVIK.INI", "[Emulator]\r\nSXCycles=7\r\n");
    EXPECT_EQ(Migrate().values.at("Emulator\\SXCycles"), Dword(7));
    prefix_.WriteProfile("[Emulator]\r\nSXCycles=8\r\n"); // the exact name wins
    EXPECT_EQ(Migrate().values.at("Emulator\\SXCycles"), Dword(8));
}

// Wine's registry, given every UTF-16 unit as a one-unit value name and key
// name, takes two units for one name, and orders names, as the fold measured
// by tests/tools/regcase.cpp says: FoldCase must fold every unit alike.
TEST(NativeRegistryNames, FoldCaseIsWinesRegistryFold) {
    WinePrefix prefix;
    const ProcessResult probe = prefix.Wine({TAVIK_REGCASE});
    ASSERT_EQ(probe.exitStatus, 0) << probe.err;
    std::vector<long> fold(0x10000);
    for (long unit = 0; unit < 0x10000; ++unit) fold[unit] = unit;
    for (std::size_t at = 0; (at = probe.out.find('{', at)) != std::string::npos; ++at) {
        unsigned first, last, step;
        int delta;
        ASSERT_EQ(std::sscanf(probe.out.c_str() + at, "{0x%X, 0x%X, %d, %u}", &first, &last, &delta, &step), 4);
        for (unsigned unit = first; unit <= last; unit += step) fold[unit] = unit + delta;
    }
    std::vector<long> unlike;
    for (long unit = 0; unit < 0x10000; ++unit)
        if (FoldCase(static_cast<char16_t>(unit)) != fold[unit]) unlike.push_back(unit);
    EXPECT_NE(fold['A'], 'A') << "the table was read";
    EXPECT_TRUE(unlike.empty()) << unlike.size() << " units fold unlike Wine's, first U+" << std::hex << unlike.front();
}

std::string Difference(const char* format, unsigned unit, unsigned first, unsigned second = 0) {
    char line[128];
    std::snprintf(line, sizeof line, format, unit, first, second);
    return line;
}

// The rows that tests/tools/cp1252_best_fit.cpp measures from Wine's
// WideCharToMultiByte(1252) are our best-fit table, row for row.
TEST(NativeCodePage, BestFitTableIsWines) {
    WinePrefix prefix;
    const ProcessResult probe = prefix.Wine({TAVIK_CP1252_BEST_FIT});
    ASSERT_EQ(probe.exitStatus, 0) << probe.err;
    std::map<unsigned, unsigned> wine, ours;
    for (std::size_t at = 0; (at = probe.out.find('{', at)) != std::string::npos; ++at) {
        unsigned unit, byte;
        ASSERT_EQ(std::sscanf(probe.out.c_str() + at, "{0x%X, 0x%X}", &unit, &byte), 2);
        wine[unit] = byte;
    }
    for (std::size_t i = 0; i < kCp1252BestFitCount; ++i) ours[kCp1252BestFit[i].unit] = kCp1252BestFit[i].byte;
    EXPECT_EQ(std::adjacent_find(kCp1252BestFit, kCp1252BestFit + kCp1252BestFitCount,
                                 [](const BestFit& a, const BestFit& b) { return a.unit >= b.unit; }),
              kCp1252BestFit + kCp1252BestFitCount)
        << "EncodeCp1252 needs the table sorted by unit, each unit once";
    std::string differences;
    for (const auto& [unit, byte] : wine) {
        const auto row = ours.find(unit);
        if (row == ours.end()) differences += Difference("U+%04X: Wine writes 0x%02X, our table has no row\n", unit, byte);
        else if (row->second != byte)
            differences += Difference("U+%04X: Wine writes 0x%02X, our table 0x%02X\n", unit, byte, row->second);
    }
    for (const auto& [unit, byte] : ours)
        if (!wine.count(unit))
            differences += Difference("U+%04X: our table writes 0x%02X, Wine '?' or the unit's own byte\n", unit, byte);
    EXPECT_GT(wine.size(), 0u) << "the table was read";
    EXPECT_EQ(differences, "");
}

// EncodeCp1252 writes every UTF-16 unit as Wine does: the code page's own
// byte where it has one, else the best fit, else '?'.
TEST(NativeCodePage, EncodeCp1252WritesEveryUnitAsWine) {
    WinePrefix prefix;
    const ProcessResult probe = prefix.Wine({TAVIK_CP1252_BEST_FIT, "bytes"});
    ASSERT_EQ(probe.exitStatus, 0) << probe.err;
    ASSERT_EQ(probe.out.size(), 0x10000u);
    std::string differences;
    int count = 0;
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
        const unsigned wine = static_cast<unsigned char>(probe.out[unit]);
        const unsigned ours = static_cast<unsigned char>(EncodeCp1252(std::u16string(1, char16_t(unit)))[0]);
        if (ours != wine && ++count <= 20)
            differences += Difference("U+%04X: Wine writes 0x%02X, we write 0x%02X\n", unit, wine, ours);
    }
    EXPECT_EQ(count, 0) << differences;
}

} // namespace
