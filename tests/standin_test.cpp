// The native stand-in's own pieces: what the user.reg reader refuses, and the
// start directory beside what Wine itself gives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>

#include "support/wine_prefix.h"
#include "user_reg.h"
#include "winapi.h"

namespace {

TEST(UserReg, RefusesWhatWineWouldDropOrMisreadAndSaysWhere) {
    const std::string good = "WINE REGISTRY Version 2\n\n[A] 1\n\"v\"=hex:01,\\\n  02\n";
    EXPECT_TRUE(ParseUserReg(good));
    EXPECT_TRUE(ParseUserReg(good + "  \"w\" = dword:1 ; hand edit\n\"x\"=\"y\" z\n[B] junk")) << "as Wine loads it";
    const std::pair<std::string, std::string> bad[] = {
        {"REGEDIT4\n", "line 1"},
        {good.substr(0, good.size() - 6), "line 4: its hex data goes on past the end"},
        {good + "\"w\"=\"open\n", "line 6: its string has no closing quote"},
        {good + "\"w\"=dword:123456789\n", "line 6: its dword"},
        {good + "\"w\"=dword:-1\n", "line 6: its dword"},
        {good + "\"w\"=hex:01,,02\n", "line 6: its hex data"},
        {good + "\"w\"=hex:102\n", "line 6: a byte"},
        {good + "\"w\"=str(3):\"x\"\n", "line 6: its data"},
        {good + "[B\n", "line 6: its key name"},
        {good + "junk\n", "line 6: it is neither"},
        {"WINE REGISTRY Version 2\n\"v\"=\"x\"\n", "line 2: a value stands before the first key"},
        {good + std::string("\"w\"=\"a\0b\"\n", 11), "line 6: it holds a NUL byte"},
    };
    for (const auto& [text, reason] : bad) {
        std::string why;
        EXPECT_FALSE(ParseUserReg(text, &why)) << text;
        EXPECT_EQ(why.rfind(reason, 0), 0u) << why;
    }
}

// Where a program starts: the working directory, $PWD and $LC_ALL.
struct Start {
    std::string directory;
    std::string pwd;
    std::string locale = "C.UTF-8";
};

// GetCurrentDirectoryA's result and, when it fits, its text, bytes above
// 127 in hex.
std::string Reported(const Start& start, DWORD length, const char* text) {
    std::string line = std::to_string(length) + " ";
    for (DWORD i = 0; i < length && length < 260; ++i) {
        char hex[5];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(text[i]));
        line += static_cast<unsigned char>(text[i]) < 0x80 ? std::string(1, text[i]) : hex;
    }
    return line + "   (from " + start.directory + ", PWD " + start.pwd + ", " + start.locale + ")";
}

std::string UnderWine(const WinePrefix& prefix, const Start& start) {
    ProcessOptions options = prefix.Options();
    options.workingDirectory = start.directory;
    options.environment.insert(options.environment.end(), {{"PWD", start.pwd}, {"LC_ALL", start.locale}});
    const std::string out = RunProcess({TAVIK_WINE, TAVIK_CURRENT_DIRECTORY}, options).out;
    const std::size_t blank = out.find(' ');
    std::string text;
    for (std::size_t i = blank + 1; blank != std::string::npos && i + 1 < out.size() && std::isxdigit(out[i]); i += 2)
        text += static_cast<char>(std::stoi(out.substr(i, 2), nullptr, 16));
    return Reported(start, blank == std::string::npos ? 9999 : std::stoul(out), text.c_str());
}

std::string Native(const WinePrefix& prefix, const Start& start) {
    const auto saved = std::filesystem::current_path();
    std::filesystem::current_path(start.directory);
    ::setenv("WINEPREFIX", prefix.Path().c_str(), 1);
    ::setenv("PWD", start.pwd.c_str(), 1);
    ::setenv("LC_ALL", start.locale.c_str(), 1);
    char directory[260];
    const DWORD length = GetCurrentDirectoryA(sizeof directory, directory);
    std::filesystem::current_path(saved);
    return Reported(start, length, directory);
}

void ExpectSameAsWine(const WinePrefix& prefix, const std::vector<Start>& starts) {
    for (const Start& start : starts) {
        const std::string native = Native(prefix, start); // first: Wine may add what a prefix lacks
        EXPECT_EQ(native, UnderWine(prefix, start));
    }
}

TEST(Standin, StartDirectoryIsWhatWineGivesTheWindowsProgram) {
    WinePrefix prefix;
    const int holder = StartProcess({TAVIK_WINE, TAVIK_CURRENT_DIRECTORY, "hold"}, prefix.Options());
    const std::string base = MakeTempDirectory("start"), devices = prefix.Path() + "/dosdevices/";
    const auto at = [&](const std::string& name) {
        std::filesystem::create_directories(base + "/" + name);
        return Start{base + "/" + name, base + "/" + name};
    };
    // A directory whose path on Z: is `length` characters long.
    const auto longPath = [&](std::size_t length) {
        std::string name = "long";
        for (std::size_t left = length - 2 - base.size() - 5, chunk; left > 0; left -= chunk) {
            chunk = left > 129 ? 128 : left;
            name += "/" + std::string(chunk - 1, 'x');
        }
        return at(name);
    };
    for (const char* drive : {"d:", "y:"}) std::filesystem::create_directory_symlink(at("drives").directory, devices + drive);
    std::filesystem::create_directory_symlink(at("drives/sub").directory, devices + "m:");
    std::filesystem::create_directory_symlink(prefix.WorkDirectory(), base + "/link");
    const Start plain = at("plain"), questionMark = at("q?m");
    ExpectSameAsWine(prefix, {
        at("drives"),                                  // two letters: the first
        at("drives/sub/deeper"),                       // the deepest root wins
        {base + "/link", base + "/link"},              // the link as typed, on Z:
        {base + "/link", "/nowhere"},                  // the link followed, on C:
        at("d\xC3\xA9\xE2\x82\xAC\xCF\x80\xE6\x97\xA5"), // best fit, and '?'
        at("bad\xFF"),                                 // not UTF-8
        {at("d\xC3\xA9").directory, at("d\xC3\xA9").pwd, "C"}, // ASCII: the high bit goes
        at("dot."), questionMark,                      // names Wine cannot open again
        longPath(258), longPath(259),
    });
    std::filesystem::remove(devices + "z:");
    ExpectSameAsWine(prefix, {plain, questionMark}); // "unix\..."
    std::filesystem::remove_all(devices);
    ExpectSameAsWine(prefix, {plain, {prefix.WorkDirectory(), prefix.WorkDirectory()}}); // Wine's c: and z:
    prefix.StopWineServer();
    WaitForExit(holder);
    RemoveTree(base);
}

} // namespace
