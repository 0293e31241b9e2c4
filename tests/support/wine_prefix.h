#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "registry_dump.h"

// The Windows program under test, as the command line that runs it under
// Wine: the 32-bit build, or the x86-64 one where Wine runs no 32-bit code.
std::vector<std::string> WindowsProgramUnderWine();

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

    // Environment that points Wine, and the native program, at this prefix.
    ProcessOptions Options() const;

    // Runs a Windows program of ours (or `reg`) under Wine in this prefix.
    ProcessResult Wine(const std::vector<std::string>& args) const;

    // Adds a value before a run, as an earlier run would have left it.
    void AddStringValue(const std::string& section, const std::string& name, const std::string& data) const;
    void AddDwordValue(const std::string& section, const std::string& name, unsigned data) const;

    RegistryDump DumpRegistry() const;

    // Stops the prefix's wineserver, which saves the registry to user.reg.
    void StopWineServer() const;

private:
    std::string root_;
    std::string path_;
};
