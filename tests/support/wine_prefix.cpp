#include "wine_prefix.h"

#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

std::vector<std::string> WindowsProgramUnderWine() {
    return {TAVIK_WINE, TAVIK_WINDOWS_PROGRAM};
}

WinePrefix::WinePrefix() : root_(MakeTempDirectory("prefix")), path_(root_ + "/wine") {
    const ProcessResult copy = RunProcess({"cp", "-al", TAVIK_WINE_BASE_PREFIX, path_});
    if (copy.exitStatus != 0) throw std::runtime_error("cannot copy the Wine prefix: " + copy.err);
    // Wine replaces its registry files on save, but copy them all the same so
    // that nothing a test does can reach the shared prefix.
    for (const char* hive : {"system.reg", "user.reg", "userdef.reg"}) {
        fs::remove(path_ + "/" + hive);
        fs::copy_file(std::string(TAVIK_WINE_BASE_PREFIX) + "/" + hive, path_ + "/" + hive);
    }
    fs::create_directories(WorkDirectory());
}

WinePrefix::~WinePrefix() {
    StopWineServer();
    RemoveTree(root_);
}

void WinePrefix::WriteProfile(const std::string& content) const {
    WriteFile(WindowsDirectory() + "/Tavik.ini", content);
}

ProcessOptions WinePrefix::Options() const {
    ProcessOptions options;
    options.environment = {{"WINEPREFIX", path_}, {"WINEDEBUG", "-all"}, {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
    options.workingDirectory = WorkDirectory();
    return options;
}

ProcessResult WinePrefix::Wine(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{TAVIK_WINE};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProcess(argv, Options());
}

void WinePrefix::AddStringValue(const std::string& section, const std::string& name, const std::string& data) const {
    const ProcessResult added =
        Wine({"reg", "add", "HKCU\\Software\\Tavik\\" + section, "/v", name, "/t", "REG_SZ", "/d", data, "/f"});
    if (added.exitStatus != 0) throw std::runtime_error("reg add failed: " + added.out + added.err);
}

void WinePrefix::AddDwordValue(const std::string& section, const std::string& name, unsigned data) const {
    const ProcessResult added = Wine({"reg", "add", "HKCU\\Software\\Tavik\\" + section, "/v", name, "/t",
                                      "REG_DWORD", "/d", std::to_string(data), "/f"});
    if (added.exitStatus != 0) throw std::runtime_error("reg add failed: " + added.out + added.err);
}

RegistryDump WinePrefix::DumpRegistry() const {
    const ProcessResult dump = Wine({TAVIK_REGDUMP});
    return ParseRegistryDump(dump.out, dump.exitStatus);
}

void WinePrefix::StopWineServer() const {
    RunProcess({"wineserver", "-k"}, Options());
    RunProcess({"wineserver", "-w"}, Options());
}
