// What the native program does to a Wine prefix's user.reg: Wine reads it
// back, everything else in it stays, and each refusal leaves it as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/registry_dump.h"
#include "support/wine_prefix.h"
#include "text_encoding.h"

namespace {

namespace fs = std::filesystem;

// Removes the blocks of Software\Tavik, with the empty line before each.
std::string WithoutTavikBlocks(const std::string& userReg) {
    std::string rest;
    std::size_t pos = 0;
    while (pos < userReg.size()) {
        std::size_t end = userReg.find('\n', pos);
        end = end == std::string::npos ? userReg.size() : end + 1;
        const std::string line = userReg.substr(pos, end - pos);
        if (line.rfind("[Software\\\\Tavik\\\\", 0) == 0) {
            if (rest.size() >= 2 && rest.compare(rest.size() - 2, 2, "\n\n") == 0) rest.pop_back();
            // Skip the block: up to the next key or the end.
            std::size_t next = userReg.find("\n[", end - 1);
            pos = next == std::string::npos ? userReg.size() : next + 1;
            if (next != std::string::npos) rest += "\n";
            continue;
        }
        rest += line;
        pos = end;
    }
    return rest;
}

class NativeRegistry : public ::testing::Test {
protected:
    void SetUp() override { prefix_.WriteProfile(ReadFile(TAVIK_EXAMPLE_PROFILE)); }

    ProcessResult Run() { return RunProcess({TAVIK_NATIVE_PROGRAM}, prefix_.Options()); }

    // A refusal: exit status 2, one line on standard error that says what to
    // do, and user.reg as it was.
    void ExpectRefusal(const std::string& advice, const std::vector<std::string>& argv = {TAVIK_NATIVE_PROGRAM}) {
        const std::string before = ReadFile(prefix_.UserReg());
        const ProcessResult run = RunProcess(argv, prefix_.Options());
        EXPECT_EQ(run.exitStatus, 2);
        EXPECT_EQ(run.out, "");
        EXPECT_NE(run.err.find(advice), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find('\n'), run.err.size() - 1) << "one line: " << run.err;
        EXPECT_EQ(ReadFile(prefix_.UserReg()), before);
    }

    WinePrefix prefix_;
};

TEST_F(NativeRegistry, WineReadsTheValuesAndEverythingElseStays) {
    const std::string before = ReadFile(prefix_.UserReg());
    ASSERT_EQ(Run().exitStatus, 0);
    const std::string after = ReadFile(prefix_.UserReg());
    EXPECT_EQ(WithoutTavikBlocks(after), before);
    EXPECT_NE(after.find("\n[Software\\\\Tavik\\\\Emulator] "), std::string::npos);

    const ProcessResult query = prefix_.Wine({"reg", "query", "HKCU\\Software\\Tavik\\Emulator", "/v", "SXCycles"});
    EXPECT_EQ(query.exitStatus, 0);
    EXPECT_NE(query.out.find("REG_DWORD"), std::string::npos) << query.out;
    EXPECT_NE(query.out.find("0x5a"), std::string::npos) << query.out;
    EXPECT_EQ(prefix_.DumpRegistry().values.at("Files\\LastDocument"), Sz("C:\\Tavik\\Saves\\work.sav"));
}

TEST_F(NativeRegistry, RunThatChangesNothingLeavesTheFileAlone) {
    ASSERT_EQ(Run().exitStatus, 0);
    const std::string first = ReadFile(prefix_.UserReg());
    struct stat before;
    ASSERT_EQ(::stat(prefix_.UserReg().c_str(), &before), 0);
    ASSERT_EQ(Run().exitStatus, 0);
    struct stat after;
    ASSERT_EQ(::stat(prefix_.UserReg().c_str(), &after), 0);
    EXPECT_EQ(ReadFile(prefix_.UserReg()), first);
    EXPECT_EQ(after.st_ino, before.st_ino) << "not rewritten";
}

TEST_F(NativeRegistry, MissingUserRegIsCreatedInWinesFormat) {
    fs::remove(prefix_.UserReg());
    ASSERT_EQ(Run().exitStatus, 0);
    const std::string created = ReadFile(prefix_.UserReg());
    EXPECT_EQ(created.rfind("WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n"
                            "\n#arch=win64\n\n[Software\\\\Tavik\\\\Disassembler] ",
                            0),
              0u)
        << created.substr(0, 200);
    EXPECT_EQ(prefix_.DumpRegistry().values.at("Emulator\\SXCycles"), Dword(90));
}

TEST_F(NativeRegistry, PermissionsAndSymbolicLinkAreKept) {
    const std::string target = prefix_.Path() + "/elsewhere.reg";
    fs::rename(prefix_.UserReg(), target);
    fs::create_symlink("elsewhere.reg", prefix_.UserReg());
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(Run().exitStatus, 0);
    EXPECT_TRUE(fs::is_symlink(prefix_.UserReg()));
    EXPECT_NE(ReadFile(target).find("[Software\\\\Tavik\\\\Files]"), std::string::npos);
    struct stat info;
    ASSERT_EQ(::stat(target.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
}

// U+0130 is not a capital i to Wine's registry: a value "F\u0130leCount"
// and a key "Tav\u0130k" are names of their own, which the run neither
// overwrites nor takes for its own.
TEST_F(NativeRegistry, NamesThatWineTellsApartStayApart) {
    WriteFile(prefix_.UserReg(), ReadFile(prefix_.UserReg()) +
                                     "\n[Software\\\\Tavik\\\\MRU] 1700000000\n#time=1\n\"F\\x130leCount\"=dword:00000007\n"
                                     "\n[Software\\\\Tav\\x130k\\\\MRU] 1700000000\n#time=1\n\"FileCount\"=dword:00000009\n");
    ASSERT_EQ(Run().exitStatus, 0);
    ProcessOptions utf8 = prefix_.Options();
    utf8.environment.emplace_back("LC_ALL", "C.UTF-8"); // Wine takes the arguments as UTF-8
    const auto query = [&](const std::string& key, const std::string& name) {
        return RunProcess({TAVIK_WINE, "reg", "query", "HKCU\\Software\\" + key, "/v", name}, utf8).out;
    };
    const std::string migrated = query("Tavik\\MRU", "FileCount");
    const std::string kept = query("Tavik\\MRU", "F\xC4\xB0leCount");
    const std::string otherKey = query("Tav\xC4\xB0k\\MRU", "FileCount");
    EXPECT_NE(migrated.find("REG_DWORD    0x3\r\n"), std::string::npos) << migrated;
    EXPECT_NE(kept.find("REG_DWORD    0x7\r\n"), std::string::npos) << kept;
    EXPECT_NE(otherKey.find("REG_DWORD    0x9\r\n"), std::string::npos) << otherKey;
}

TEST_F(NativeRegistry, RefusesWhileAWineserverRuns) {
    ASSERT_EQ(RunProcess({"wineserver", "-p"}, prefix_.Options()).exitStatus, 0); // stays until killed
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

TEST_F(NativeRegistry, RefusesAFileThatIsNotAWineRegistry) {
    WriteFile(prefix_.UserReg(), "[HKEY_CURRENT_USER\\Software]\n\"a\"=\"b\"\n");
    ExpectRefusal("not a Wine registry file");
}

TEST_F(NativeRegistry, RefusesATruncatedFile) {
    const std::string full = ReadFile(prefix_.UserReg());
    const std::size_t cut = full.find("\"=\"", full.size() / 2) + 5; // inside a string value
    WriteFile(prefix_.UserReg(), full.substr(0, cut));
    ExpectRefusal("not a Wine registry file");
}

TEST_F(NativeRegistry, RefusesAFileWithBinaryBytes) {
    std::string full = ReadFile(prefix_.UserReg());
    full.insert(full.size() / 2, std::string("\0\x01\xff", 3));
    WriteFile(prefix_.UserReg(), full);
    ExpectRefusal("not a Wine registry file");
}

TEST_F(NativeRegistry, RefusesALineWineWouldMisreadAndNamesIt) {
    const std::string text = ReadFile(prefix_.UserReg());
    const auto lines = std::count(text.begin(), text.end(), '\n');
    WriteFile(prefix_.UserReg(), text + "\n[Software\\\\Other] 1700000000\n\"w\"=dword:-1\n");
    ExpectRefusal("(line " + std::to_string(lines + 3) + ": its dword is not 1 to 8 hex digits)");
}

TEST_F(NativeRegistry, RefusesToWriteBesideARegistryLink) {
    // Wine follows the link, so values beside it would never be read.
    WriteFile(prefix_.UserReg(), ReadFile(prefix_.UserReg()) +
                                     "\n[Software\\\\Tavik] 1700000000\n#link\n"
                                     "\"SymbolicLinkValue\"=hex(6):5c,00,52,00\n");
    ExpectRefusal("registry link in the prefix's user.reg (HKEY_CURRENT_USER\\Software\\Tavik\\Files)");
}

TEST_F(NativeRegistry, RefusesAReadOnlyUserReg) {
    ASSERT_EQ(::chmod(prefix_.UserReg().c_str(), 0444), 0);
    ExpectRefusal("writable");
}

TEST_F(NativeRegistry, WindowsDirectoryThatLeavesNoRoomIsRefused) {
    // 250 characters of Windows directory leave no room for "/Tavik.ini".
    ProcessOptions options = prefix_.Options();
    const std::string windows = "/drive_c/windows";
    options.environment[0].second = "/" + std::string(250 - windows.size() - 1, 'p');
    const ProcessResult run = RunProcess({TAVIK_NATIVE_PROGRAM}, options);
    EXPECT_EQ(run.exitStatus, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_NE(run.err.find("Windows directory"), std::string::npos) << run.err;

    options.environment[0].second.pop_back(); // 249 characters fit
    const ProcessResult fits = RunProcess({TAVIK_NATIVE_PROGRAM}, options);
    EXPECT_EQ(fits.exitStatus, 1);
    EXPECT_EQ(fits.out.size(), 249 + std::string("/Tavik.ini not found!\r\nTo terminate press any key...\r\n").size());
}

// Wine's registry, given every UTF-16 unit as a one-unit value name and key
// name (tests/tools/regcase.cpp), takes two units for one name exactly where
// FoldCase folds them alike, and lists the names in the order of their folds,
// the order in which Wine writes them to user.reg.
TEST(NativeRegistryNames, FoldCaseIsWinesRegistryFold) {
    WinePrefix prefix;
    const ProcessResult probe = prefix.Wine({TAVIK_REGCASE});
    ASSERT_EQ(probe.exitStatus, 0) << probe.err;
    std::map<std::string, std::size_t> units;
    std::map<std::string, long> previousFold;
    std::vector<std::string> unlike;
    std::istringstream lines(probe.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind;
        fields >> kind >> std::hex;
        std::vector<char16_t> name;
        for (unsigned unit = 0; fields >> unit;) name.push_back(static_cast<char16_t>(unit));
        if (name.empty()) {
            unlike.push_back(line);
            continue;
        }
        const char16_t fold = FoldCase(name[0]);
        bool alike = true;
        for (char16_t unit : name) alike = alike && FoldCase(unit) == fold;
        long& previous = previousFold.emplace(kind, -1).first->second;
        if (!alike || fold <= previous) unlike.push_back(line);
        previous = fold;
        units[kind] += name.size();
    }
    // Every unit but NUL, and for keys the separator too.
    EXPECT_EQ(units, (std::map<std::string, std::size_t>{{"key", 0xFFFE}, {"value", 0xFFFF}}));
    EXPECT_TRUE(unlike.empty()) << unlike.size() << " names fold unlike Wine's or out of its order, first: "
                                << unlike.front();
}

} // namespace
