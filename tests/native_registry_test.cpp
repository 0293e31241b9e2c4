// What the native program does to a Wine prefix: Wine reads back what it
// wrote, everything else in user.reg stays, and its messages say why and
// what to do. How it ends in each unusual place, and its faults, are in
// fault_test.
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

#include "support/wine_prefix.h"
#include "text_encoding.h"

namespace {

namespace fs = std::filesystem;

class NativeRegistry : public ::testing::Test {
protected:
    void SetUp() override { prefix_.WriteProfile(ReadFile(TAVIK_EXAMPLE_PROFILE)); }

    WinePrefix prefix_;
};

// The rest of user.reg stays byte for byte, and so do blocks that the run
// does not change, even where Wine's own save would join two values (Wine
// saves a name without the NUL at its end, so that "abc" with a NUL reads
// back as "abc"): a key the run never opens, and one whose value it sets to
// what that value holds. A run that changes nothing leaves the file itself;
// user.reg stays a link, and its target keeps its permissions.
TEST_F(NativeRegistry, WhatTheRunDoesNotChangeStays) {
    const std::string before = ReadFile(prefix_.UserReg()), target = prefix_.Path() + "/elsewhere.reg";
    fs::rename(prefix_.UserReg(), target);
    fs::create_symlink("elsewhere.reg", prefix_.UserReg());
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    const std::string unchanged[] = {
        "[Software\\\\Tavik\\\\LowBat] 1700000000\n\"Disable\"=dword:00000001\n\"Disable\\0\"=dword:00000007\n",
        "[Software\\\\Tavik\\\\Other] 1700000000\n\"abc\\0\"=\"first\"\n\"abc\"=\"second\"\n",
    };
    WriteFile(prefix_.UserReg(), before + "\n" + unchanged[0] + "\n" + unchanged[1]);
    struct stat written, again;
    ASSERT_EQ(prefix_.RunNative().exitStatus, 0);
    const std::string first = ReadFile(prefix_.UserReg());
    ASSERT_EQ(::stat(prefix_.UserReg().c_str(), &written), 0);
    ASSERT_EQ(prefix_.RunNative().exitStatus, 0);
    ASSERT_EQ(::stat(prefix_.UserReg().c_str(), &again), 0);
    EXPECT_EQ(ReadFile(prefix_.UserReg()), first);
    EXPECT_EQ(SplitUserReg(first).rest, before);
    for (const std::string& block : unchanged) EXPECT_NE(first.find(block), std::string::npos) << block;
    const std::map<std::string, RegValue> kept = {{"LowBat\\Disable", Dword(1)}, {"LowBat\\Disable\\x00", Dword(7)},
                                                  {"Other\\abc", Sz("second")}, {"Other\\abc\\x00", Sz("first")}};
    const RegistryDump dump = prefix_.DumpRegistry();
    for (const auto& [path, value] : kept) EXPECT_EQ(dump.values.at(path), value) << path;
    EXPECT_EQ(again.st_ino, written.st_ino) << "rewritten";
    EXPECT_TRUE(fs::is_symlink(prefix_.UserReg()));
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
}

// Each file and directory below `root`, with its size and modification time.
std::set<std::string> Snapshot(const std::string& root) {
    std::set<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat info;
        if (::lstat(entry.path().c_str(), &info) == 0)
            entries.insert(entry.path().string() + " " + std::to_string(info.st_size) + " " +
                           std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec));
    }
    return entries;
}

// What the native program says to an environment and arguments of a row's,
// started beside the prefix: its exit status, a text that begins its
// standard output, and texts that its standard error holds, in one line of
// the program's own; none, and standard error is empty. For "{d}" stands the
// prefix's directory, for "{f}" a file there. With `wine`, Wine itself,
// asked first, refuses the same WINEPREFIX for the reason of the first text.
struct Said {
    std::vector<std::string> env; // as env(1) takes it
    std::vector<std::string> args;
    int exitStatus;
    std::string out;
    std::vector<std::string> err = {};
    bool wine = false;
};

const std::string kLong(600, 'r'); // a path too long to quote in a message

const Said kSaid[] = {
    // -h, --help and --version answer, and the first argument that decides
    // ends the command line; anything else is refused, naming it.
    {{}, {"--version", "--bad"}, 0, "tavikmigrate "},
    {{}, {"-h", "--bad"}, 0, "Usage: tavikmigrate "},
    {{}, {"--help"}, 0, "Usage: tavikmigrate "},
    {{}, {"foo"}, 2, "", {"'foo'", "'tavikmigrate --help'"}},
    {{}, {"--bad", "--help"}, 2, "", {"'--bad'"}},
    {{}, {"-"}, 2, "", {"'-'"}},
    {{}, {"--", "--version"}, 2, "", {"'--version'"}},
    {{}, {"--helpx"}, 2, "", {"'--helpx'"}},
    {{}, {"-hV"}, 2, "", {"'-hV'"}},
    // A prefix that does not exist, or holds no Windows directory, leaves
    // the profile missing; a line on standard error first says which prefix
    // was looked at.
    {{"WINEPREFIX={d}/absent/"}, {}, 1, "{d}/absent/drive_c/windows/Tavik.ini not found!",
     {"no Wine prefix at {d}/absent (from WINEPREFIX)"}},
    {{"WINEPREFIX={d}"}, {}, 1, "{d}/drive_c/windows/Tavik.ini not found!", {"{d} (from WINEPREFIX) has no drive_c/windows"}},
    {{"-u", "WINEPREFIX", "HOME={d}/home"}, {}, 1, "{d}/home/.wine/drive_c/windows/Tavik.ini not found!",
     {"no Wine prefix at {d}/home/.wine (WINEPREFIX is not set)"}},
    // WINEPREFIX, or HOME without it, as Wine takes it: empty, relative
    // (here a relative path that names the prefix) or a file, or below a
    // file, is refused with Wine's reason; without the path where that is
    // too long to quote.
    {{"WINEPREFIX=wine"}, {}, 2, "", {"not an absolute path"}, true},
    {{"WINEPREFIX="}, {}, 2, "", {"not an absolute path"}, true},
    {{"-u", "WINEPREFIX", "HOME=home"}, {}, 2, "", {"not an absolute path"}, true},
    {{"WINEPREFIX={f}"}, {}, 2, "", {"not a directory"}, true},
    {{"WINEPREFIX={f}/"}, {}, 2, "", {"not a directory"}, true},
    {{"WINEPREFIX={f}/below"}, {}, 2, "", {"not a directory"}, true},
    {{"WINEPREFIX=" + kLong}, {}, 2, "", {"path is not absolute; use a full path"}},
    {{"WINEPREFIX=/dev/null/" + kLong}, {}, 2, "", {"is not a directory; fix WINEPREFIX"}},
};

// Nothing said touches the prefix or its directory: the command line is
// answered before the prefix is looked at.
TEST_F(NativeRegistry, SaysWhyAndWhatToDo) {
    const std::string parent = fs::path(prefix_.Path()).parent_path();
    WriteFile(parent + "/file", "not a prefix");
    const auto expand = [&](std::string text) {
        for (const auto& [from, to] : {std::pair{"{d}", parent}, std::pair{"{f}", parent + "/file"}})
            for (std::size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, 3, to);
        return text;
    };
    const auto lower = [](std::string text) {
        for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    };
    ProcessOptions fromParent = prefix_.Options();
    fromParent.workingDirectory = parent;
    const std::set<std::string> before = Snapshot(parent);
    for (const Said& said : kSaid) {
        std::vector<std::string> argv = {"env"};
        for (const std::string& variable : said.env) argv.push_back(expand(variable));
        const std::string what = argv.back() + (said.args.empty() ? "" : " " + said.args[0]);
        if (said.wine) {
            std::vector<std::string> wine = argv;
            wine.insert(wine.end(), {TAVIK_WINE, "cmd", "/c", "exit"});
            const ProcessResult byWine = RunProcess(wine, fromParent);
            EXPECT_NE(byWine.exitStatus, 0) << what;
            EXPECT_NE(lower(byWine.err).find(said.err[0]), std::string::npos) << what << ": " << byWine.err;
        }
        argv.push_back(TAVIK_NATIVE_PROGRAM);
        argv.insert(argv.end(), said.args.begin(), said.args.end());
        const ProcessResult run = RunProcess(argv, fromParent);
        EXPECT_EQ(run.exitStatus, said.exitStatus) << what;
        EXPECT_EQ(run.out.rfind(expand(said.out), 0), 0u) << what << ": " << run.out;
        EXPECT_EQ(run.out.empty(), said.out.empty()) << what << ": " << run.out;
        for (const std::string& text : said.err) EXPECT_NE(run.err.find(expand(text)), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), said.err.empty() ? 0 : 1) << what << ": " << run.err;
        if (!said.err.empty()) { EXPECT_EQ(OwnMessageProblem(run.err, {parent}), "") << what; }
        std::istringstream lines(said.exitStatus == 0 ? run.out : "");
        for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 80u) << what << ": " << line;
    }
    EXPECT_EQ(Snapshot(parent), before);
    // "--" alone is no argument, and trailing slashes name the same prefix.
    const ProcessResult run = RunProcess({TAVIK_NATIVE_PROGRAM, "--"}, prefix_.Options(prefix_.Path() + "//"));
    EXPECT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(prefix_.DumpRegistry().values.at("Emulator\\SXCycles"), Dword(90));
}

// C:\windows is below whatever dosdevices/c: points to, as Wine finds it: a
// C: moved elsewhere (an absolute link, as winecfg's Drives tab makes one) or
// beside (a relative link), with a stale drive_c left behind. (Without C::
// fault_test.)
TEST(CDrive, IsWhereDosdevicesPointsAsWineFindsIt) {
    for (const bool absolute : {true, false}) {
        const Outcomes both = ExpectSameAsWine([&](WinePrefix& prefix) {
            const std::string moved = absolute ? fs::path(prefix.Path()).parent_path().string() + "/moved-c"
                                               : prefix.Path() + "/elsewhere";
            fs::rename(prefix.Path() + "/drive_c", moved);
            fs::remove(prefix.Path() + "/dosdevices/c:");
            fs::create_directory_symlink(absolute ? moved : "../elsewhere", prefix.Path() + "/dosdevices/c:");
            WriteFile(moved + "/windows/Tavik.ini", "[Files]\r\nTavikDirectory=D:\\\r\n[Emulator]\r\nSXCycles=90\r\n");
            fs::create_directories(prefix.WindowsDirectory());
            fs::create_directories(prefix.WorkDirectory());
            prefix.WriteProfile("[Emulator]\r\nSXCycles=77\r\n"); // the stale copy
        });
        EXPECT_EQ(both.wine.run.exitStatus, 0) << both.wine.run.err;
        EXPECT_EQ(both.wine.dump.values.at("Emulator\\SXCycles"), Dword(90));
    }
}

// Every UTF-16 unit, as Wine takes it and as the native program does: the
// names Wine's registry takes as one, and orders, as the fold measured by
// tests/tools/regcase.cpp says, so that FoldCase must fold every unit alike;
// and the byte Wine's WideCharToMultiByte(1252) writes, as
// tests/tools/cp1252_best_fit.cpp measures it (the code page's own byte
// where it has one, else the best fit, else '?'), which EncodeCp1252 must
// write.
TEST(NativeText, FoldsAndWritesEveryUnitAsWine) {
    WinePrefix prefix;
    const ProcessResult folds = prefix.Wine({TAVIK_REGCASE}), bytes = prefix.Wine({TAVIK_CP1252_BEST_FIT, "bytes"});
    ASSERT_EQ(folds.exitStatus | bytes.exitStatus, 0) << folds.err << bytes.err;
    ASSERT_EQ(bytes.out.size(), 0x10000u);
    std::vector<long> fold(0x10000);
    for (long unit = 0; unit < 0x10000; ++unit) fold[unit] = unit;
    for (std::size_t at = 0; (at = folds.out.find('{', at)) != std::string::npos; ++at) {
        unsigned first, last, step;
        int delta;
        ASSERT_EQ(std::sscanf(folds.out.c_str() + at, "{0x%X, 0x%X, %d, %u}", &first, &last, &delta, &step), 4);
        for (unsigned unit = first; unit <= last; unit += step) fold[unit] = unit + delta;
    }
    EXPECT_NE(fold['A'], 'A') << "the table was read";
    std::vector<long> unfolded, miswritten;
    for (long unit = 0; unit < 0x10000; ++unit) {
        if (FoldCase(static_cast<char16_t>(unit)) != fold[unit]) unfolded.push_back(unit);
        if (EncodeCp1252(std::u16string(1, char16_t(unit)))[0] != bytes.out[unit]) miswritten.push_back(unit);
    }
    EXPECT_TRUE(unfolded.empty()) << unfolded.size() << " units fold unlike Wine's, first U+" << std::hex
                                  << unfolded.front();
    EXPECT_TRUE(miswritten.empty()) << miswritten.size() << " units written unlike Wine writes them, first U+"
                                    << std::hex << miswritten.front();
}

} // namespace
