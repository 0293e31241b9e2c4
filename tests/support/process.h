#pragma once

#include <string>
#include <utility>
#include <vector>

// Runs a program to its end, as the tests need it: chosen environment
// additions, working directory and standard input; output captured.
struct ProcessResult {
    int exitStatus = -1; // -1 when the process did not exit normally
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::vector<std::pair<std::string, std::string>> environment; // added to or replacing the inherited one
    std::string workingDirectory;                                  // empty: inherited
    std::string standardInput = "/dev/null";
    bool newSession = true; // no controlling terminal, as in CI
};

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});

// Starts a program without waiting, its output discarded; WaitForExit gives
// its exit status, -1 when a signal ended it.
int StartProcess(const std::vector<std::string>& argv, const ProcessOptions& options = {});
int WaitForExit(int pid);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
std::string MakeTempDirectory(const std::string& stem);
void RemoveTree(const std::string& path);
