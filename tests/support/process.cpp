#include "process.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

void RedirectOrDie(const std::string& path, int flags, int target) {
    const int fd = ::open(path.c_str(), flags, 0600);
    if (fd < 0 || ::dup2(fd, target) < 0) ::_exit(127);
    ::close(fd);
}

pid_t Spawn(const std::vector<std::string>& argv, const ProcessOptions& options, const std::string& outPath,
            const std::string& errPath) {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (options.newSession) ::setsid();
        for (const auto& [name, value] : options.environment) ::setenv(name.c_str(), value.c_str(), 1);
        if (!options.workingDirectory.empty() && ::chdir(options.workingDirectory.c_str()) != 0) ::_exit(127);
        RedirectOrDie(options.standardInput, O_RDONLY, 0);
        RedirectOrDie(outPath, O_WRONLY | O_CREAT | O_TRUNC, 1);
        RedirectOrDie(errPath, O_WRONLY | O_CREAT | O_TRUNC, 2);
        std::vector<char*> args;
        for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    return pid;
}

} // namespace

int StartProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    return Spawn(argv, options, "/dev/null", "/dev/null");
}

int WaitForExit(int pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options) {
    const std::string scratch = MakeTempDirectory("process");
    const std::string outPath = scratch + "/out";
    const std::string errPath = scratch + "/err";
    const pid_t pid = Spawn(argv, options, outPath, errPath);
    ProcessResult result;
    result.exitStatus = WaitForExit(pid);
    result.out = ReadFile(outPath);
    result.err = ReadFile(errPath);
    RemoveTree(scratch);
    return result;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::string MakeTempDirectory(const std::string& stem) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tavik-" + stem + "-XXXXXX";
    if (!::mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}
