#include "wine_prefix.h"

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace fs = std::filesystem;

std::vector<std::string> NativeProgram() {
    return {TAVIK_NATIVE_PROGRAM};
}

std::vector<std::string> WindowsProgram() {
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

ProcessOptions WinePrefix::Options(const std::string& prefix) const {
    ProcessOptions options;
    options.environment = {{"WINEPREFIX", prefix.empty() ? path_ : prefix},
                           {"WINEDEBUG", "-all"},
                           {"WINEDLLOVERRIDES", "mscoree,mshtml="}};
    options.workingDirectory = WorkDirectory();
    return options;
}

ProcessResult WinePrefix::Wine(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{TAVIK_WINE};
    argv.insert(argv.end(), args.begin(), args.end());
    return Run(argv);
}

void WinePrefix::AddValue(const std::string& section, const std::string& name, const std::string& type,
                          const std::string& data) const {
    const ProcessResult added =
        Wine({"reg", "add", "HKCU\\Software\\Tavik\\" + section, "/v", name, "/t", type, "/d", data, "/f"});
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

UserRegText SplitUserReg(const std::string& text) {
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
