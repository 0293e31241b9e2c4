#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "registry_dump.h"

// The two programs under test, as command lines: the native one, and the
// Windows one under Wine (the 32-bit build, or the x86-64 one where Wine runs
// no 32-bit code).
std::vector<std::string> NativeProgram();
std::vector<std::string> WindowsProgram();

// A throw-away Wine prefix for one test: a copy of the prefix that the test
// run created once, with its registry files copied and the rest hard-linked.
class WinePrefix {
public:
    WinePrefix();
    ~WinePrefix();
    WinePrefix(const WinePrefix&) = delete;
    WinePrefix& operator=(const WinePrefix&) = delete;

    const std::string& Path() const { return path_; }
    std::string UserReg() const { return path_ + "/user.reg"; }
    std::string WindowsDirectory() const { return path_ + "/drive_c/windows"; }
    // A directory inside drive C:, the working directory of the runs.
    std::string WorkDirectory() const { return path_ + "/drive_c/work"; }

    void WriteProfile(const std::string& content) const;

    // The environment of every run in this prefix: WINEPREFIX (`prefix` when
    // given, for a run pointed elsewhere), quiet Wine, from WorkDirectory().
    ProcessOptions Options(const std::string& prefix = "") const;

    // The one way the tests run a program in the prefix. Wine keeps its
    // server a few seconds after a program: StopWineServer() before running
    // the native program, which refuses while a server holds the registry.
    ProcessResult Run(const std::vector<std::string>& command) const { return RunProcess(command, Options()); }
    // Runs a Windows program of ours (or `reg`) under Wine.
    ProcessResult Wine(const std::vector<std::string>& args) const;

    // Adds a value before a run, as an earlier run would have left it.
    void AddValue(const std::string& section, const std::string& name, const std::string& type,
                  const std::string& data) const;

    RegistryDump DumpRegistry() const;

    // Stops the prefix's wineserver, which saves the registry to user.reg.
    void StopWineServer() const;

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
UserRegText SplitUserReg(const std::string& text);
