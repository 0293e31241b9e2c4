#pragma once

// What the end-to-end tests share, in one header: running a program, a
// throw-away Wine prefix, the registry as Wine reads it, user.reg split for
// comparing, and both programs run alike and compared.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!(out << content)) throw std::runtime_error("cannot write " + path);
}

inline std::string MakeTempDirectory(const std::string& stem) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tavik-" + stem + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

inline void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

struct ProcessResult {
    int exitStatus = -1; // -1 when the process did not exit normally
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::vector<std::pair<std::string, std::string>> environment; // added to or replacing the inherited one
    std::string workingDirectory;                                  // empty: inherited
};

// Starts a program in a session of its own (no controlling terminal, as in
// CI), standard input /dev/null, its output to the two files; StartProcess
// discards it.
inline pid_t StartProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {},
                          const std::string& outPath = "/dev/null", const std::string& errPath = "/dev/null") {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid > 0) return pid;
    ::setsid();
    for (const auto& [name, value] : options.environment) ::setenv(name.c_str(), value.c_str(), 1);
    if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) ::_exit(127);
    const std::pair<std::string, int> streams[] = {{"/dev/null", 0}, {outPath, 1}, {errPath, 2}};
    for (const auto& [path, target] : streams) {
        const int fd = ::open(path.c_str(), target == 0 ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ::dup2(fd, target) < 0) ::_exit(127);
        if (fd != target) ::close(fd);
    }
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
}

// The exit status of a started program, -1 when a signal ended it.
inline int WaitForExit(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) continue;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Runs a program to its end, its output captured; with `seconds`, under
// timeout(1), which ends it (status 124) when it takes longer than that.
inline ProcessResult RunProcess(std::vector<std::string> argv, const ProcessOptions& options = {}, int seconds = 0) {
    if (seconds) argv.insert(argv.begin(), {"timeout", "-k", "5", std::to_string(seconds)});
    const std::string scratch = MakeTempDirectory("process");
    ProcessResult result;
    result.exitStatus = WaitForExit(StartProcess(argv, options, scratch + "/out", scratch + "/err"));
    result.out = ReadFile(scratch + "/out");
    result.err = ReadFile(scratch + "/err");
    RemoveTree(scratch);
    return result;
}

// What is wrong with the native program's own messages on standard error,
// empty when nothing is: there is at least one line, and each begins with the
// program's name and holds at most 100 characters besides the paths that it
// quotes (`paths`, wherever they stand): a path may take a line past 100.
inline std::string OwnMessageProblem(const std::string& err, const std::vector<std::string>& paths = {}) {
    if (err.empty() || err.back() != '\n') return "no complete line: \"" + err + "\"";
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("tavikmigrate: ", 0) != 0) return "not the program's name first: " + line;
        std::string measured = line;
        for (const std::string& path : paths)
            for (std::size_t at; !path.empty() && (at = measured.find(path)) != std::string::npos;)
                measured.erase(at, path.size());
        if (measured.size() > 100) return std::to_string(measured.size()) + " characters: " + line;
    }
    return "";
}

// A registry value as the Windows API reports it.
struct RegValue {
    std::uint32_t type = 0;
    std::string bytes;
    bool operator==(const RegValue& other) const { return type == other.type && bytes == other.bytes; }
};

inline std::ostream& operator<<(std::ostream& out, const RegValue& value) {
    out << "type " << value.type << " bytes";
    for (unsigned char byte : value.bytes) out << ' ' << std::hex << std::setw(2) << std::setfill('0') << int(byte);
    return out << std::dec;
}

inline RegValue Dword(std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    return {4, {char(bits & 0xFF), char(bits >> 8 & 0xFF), char(bits >> 16 & 0xFF), char(bits >> 24)}};
}

// A string value: the text with its terminating NUL.
inline RegValue Sz(const std::string& text) { return {1, text + std::string(1, '\0')}; }

// HKEY_CURRENT_USER\Software\Tavik as Wine reads it, paths below it.
struct RegistryDump {
    std::string root;                       // "\Software\Tavik" spelt as Wine shows the two keys
    std::set<std::string> keys;             // e.g. "MRU"
    std::map<std::string, RegValue> values; // e.g. "MRU\FileCount"
};

// The two programs under test, as command lines: the native one, and the
// Windows one under Wine (the 32-bit build, or the x86-64 one where Wine runs
// no 32-bit code), given arguments that it ignores, as it always has (the
// native program answers or refuses them).
inline std::vector<std::string> NativeProgram() { return {TAVIK_NATIVE_PROGRAM}; }
inline std::vector<std::string> WindowsProgram() {
    return {TAVIK_WINE, TAVIK_WINDOWS_PROGRAM, "/?", "--help", "--version", "C:\\other.ini"};
}

// A throw-away Wine prefix for one test: a copy (make_wine_prefix.sh --copy)
// of the prefix that the test run created once.
class WinePrefix {
public:
    WinePrefix() : root_(MakeTempDirectory("prefix")), path_(root_ + "/wine") {
        const ProcessResult copy = RunProcess({TAVIK_MAKE_WINE_PREFIX, "--copy", TAVIK_WINE_BASE_PREFIX, path_});
        if (copy.exitStatus != 0) throw std::runtime_error("cannot copy the Wine prefix: " + copy.err);
        std::filesystem::create_directories(WorkDirectory());
    }
    ~WinePrefix() {
        StopWineServer();
        RemoveTree(root_);
    }
    WinePrefix(const WinePrefix&) = delete;
    WinePrefix& operator=(const WinePrefix&) = delete;

    const std::string& Path() const { return path_; }
    std::string UserReg() const { return path_ + "/user.reg"; }
    std::string WindowsDirectory() const { return path_ + "/drive_c/windows"; }
    // A directory inside drive C:, the working directory of the runs.
    std::string WorkDirectory() const { return path_ + "/drive_c/work"; }

    void WriteProfile(const std::string& content) const { WriteFile(WindowsDirectory() + "/Tavik.ini", content); }

    // The environment of every run in this prefix: WINEPREFIX (`prefix` when
    // given, for a run pointed elsewhere), quiet Wine, from WorkDirectory().
    ProcessOptions Options(const std::string& prefix = "") const {
        return {{{"WINEPREFIX", prefix.empty() ? path_ : prefix}, {"WINEDEBUG", "-all"},
                 {"WINEDLLOVERRIDES", "mscoree,mshtml="}},
                WorkDirectory()};
    }

    // Runs a program in the prefix. Wine keeps its server a few seconds after
    // a program: RunNative() stops it first, as the native program refuses
    // while a server holds the registry.
    ProcessResult Run(const std::vector<std::string>& command) const { return RunProcess(command, Options()); }
    ProcessResult RunNative() const {
        StopWineServer();
        return Run(NativeProgram());
    }
    // Runs a Windows program of ours (or `reg`) under Wine.
    ProcessResult Wine(std::vector<std::string> args) const {
        args.insert(args.begin(), TAVIK_WINE);
        return Run(args);
    }

    // The regdump helper prints Software\Tavik as spelt, after a backslash,
    // then a line per key below it, its path, and one per value: path\name,
    // a tab, the type, a tab, the bytes in hex. Exit status 3: no
    // Software\Tavik.
    RegistryDump DumpRegistry() const {
        const ProcessResult run = Wine({TAVIK_REGDUMP});
        RegistryDump dump;
        if (run.exitStatus == 3) return dump;
        if (run.exitStatus != 0)
            throw std::runtime_error("regdump failed with status " + std::to_string(run.exitStatus) + ": " + run.err);
        std::istringstream lines(run.out);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const std::size_t tab = line.find('\t');
            if (!line.empty() && line.front() == '\\') {
                dump.root = line;
            } else if (tab == std::string::npos) {
                dump.keys.insert(line);
            } else {
                RegValue& value = dump.values[line.substr(0, tab)];
                value.type = static_cast<std::uint32_t>(std::stoul(line.substr(tab + 1)));
                for (std::size_t i = line.find('\t', tab + 1) + 1; i + 1 < line.size(); i += 2)
                    value.bytes.push_back(static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16)));
            }
        }
        return dump;
    }

    // Stops the prefix's wineserver, which saves the registry to user.reg.
    void StopWineServer() const {
        RunProcess({"wineserver", "-k"}, Options());
        RunProcess({"wineserver", "-w"}, Options());
    }

private:
    std::string root_;
    std::string path_;
};

// A user.reg text in two parts: the blocks below Software\Tavik without their
// time stamps and blank lines, and the rest as it stands.
struct UserRegText {
    std::string tavik;
    std::string rest;
};

inline UserRegText SplitUserReg(const std::string& text) {
    UserRegText split;
    bool tavik = false;
    std::string blank; // blank lines go with the block that follows them
    for (std::size_t pos = 0, end; pos < text.size(); pos = end) {
        end = std::min(text.find('\n', pos), text.size() - 1) + 1;
        std::string line = text.substr(pos, end - pos);
        if (line == "\n" || line == "\r\n") {
            blank += line;
            continue;
        }
        if (line[0] == '[') {
            tavik = line.rfind("[Software\\\\Tavik\\\\", 0) == 0;
            if (tavik) line = line.substr(0, line.find("] ") + 1) + "\n";
        }
        if (!tavik) split.rest += blank + line;
        else if (line.rfind("#time=", 0) != 0) split.tavik += line;
        blank.clear();
    }
    if (!tavik) split.rest += blank;
    return split;
}

// What a program's run left in a prefix of its own: the run, the registry as
// Wine reads it afterwards, and the Tavik blocks of user.reg.
struct Outcome {
    ProcessResult run;
    RegistryDump dump;
    std::string tavik;
};

using Preparation = std::function<void(WinePrefix&)>;

// Runs a program in a new prefix that `prepare` sets up (its profile,
// user.reg, drives), from C:\work, once Wine's server there has ended; then
// stops the server, which saves the registry, and reads it back.
inline Outcome RunIn(const std::vector<std::string>& program, const Preparation& prepare) {
    WinePrefix prefix;
    prepare(prefix);
    prefix.StopWineServer();
    Outcome outcome;
    outcome.run = prefix.Run(program);
    prefix.StopWineServer();
    outcome.tavik = SplitUserReg(ReadFile(prefix.UserReg())).tavik;
    outcome.dump = prefix.DumpRegistry();
    return outcome;
}

struct Outcomes {
    Outcome wine, ours;
};

// Runs the Windows program under Wine and the native program, each in a
// prefix that `prepare` sets up, and expects the same exit status and that
// Wine reads the same from either result: the same values, type and bytes,
// the keys spelt alike, and (with `sameText`) the same Tavik blocks in
// user.reg, time stamps aside.
inline Outcomes ExpectSameAsWine(const Preparation& prepare, bool sameText = true) {
    Outcomes both{RunIn(WindowsProgram(), prepare), RunIn(NativeProgram(), prepare)};
    EXPECT_EQ(both.ours.run.exitStatus, both.wine.run.exitStatus) << both.ours.run.err;
    EXPECT_EQ(both.ours.dump.root, both.wine.dump.root);
    EXPECT_EQ(both.ours.dump.keys, both.wine.dump.keys);
    EXPECT_EQ(both.ours.dump.values, both.wine.dump.values);
    if (sameText) {
        EXPECT_EQ(both.ours.tavik, both.wine.tavik);
    }
    return both;
}
