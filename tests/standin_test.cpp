// The native stand-in's own pieces: the user.reg model, the profile rules
// that the differential test cannot reach through the catalogue, and the
// start directory beside what Wine itself gives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>

#include "profile_parser.h"
#include "support/process.h"
#include "support/wine_prefix.h"
#include "user_reg.h"
#include "winapi.h"

namespace {

const std::uint64_t kTime = 0x1dd85b6fa237ae0ull; // a FILETIME in 2026

std::string Utf16(const std::u16string& text) {
    std::string bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return bytes + std::string(2, '\0');
}

TEST(UserReg, FilesThatWineWroteComeBackByteForByte) {
    for (const char* hive : {"user.reg", "system.reg", "userdef.reg"}) {
        const std::string text = ReadFile(std::string(TAVIK_WINE_BASE_PREFIX) + "/" + hive);
        ASSERT_GT(text.size(), 1000u) << hive;
        const auto parsed = ParseUserReg(text);
        ASSERT_TRUE(parsed) << hive;
        EXPECT_EQ(SerializeUserReg(*parsed), text) << hive;
    }
}

TEST(UserReg, KeysAndValuesTakeWinesOrderAndSpelling) {
    const std::string text = "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1\n\n"
                             "[Alpha] 1700000000\n#time=1\n\"Keep\"=\"x\"\n\n"
                             "[software\\\\Tavik] 1700000000\n#time=2\n\n"
                             "[Zeta] 1700000000\n#time=3\n\"Z\"=dword:00000001\n";
    auto hive = ParseUserReg(text);
    ASSERT_TRUE(hive);
    EXPECT_FALSE(CreateRegKey(*hive, MakeRegKeyRef({u"SOFTWARE"}), kTime)) << "exists as a parent";
    EXPECT_TRUE(CreateRegKey(*hive, MakeRegKeyRef({u"Software", u"Tavik", u"Files"}), kTime));
    SetRegValue(*hive, MakeRegKeyRef({u"Software", u"Tavik", u"Files"}), u"b", 1, Utf16(u"\u00e9\"q\\1"), kTime);
    SetRegValue(*hive, MakeRegKeyRef({u"Software", u"Tavik", u"Files"}), u"A", 4, std::string("\xFB\xFF\xFF\xFF", 4), kTime);
    SetRegValue(*hive, MakeRegKeyRef({u"ZETA"}), u"z", 4, std::string("\x01\0\0\0", 4), kTime + 1);
    EXPECT_EQ(SerializeUserReg(*hive),
              "WINE REGISTRY Version 2\n;; All keys relative to REGISTRY\\\\User\\\\S-1\n\n"
              "[Alpha] 1700000000\n#time=1\n\"Keep\"=\"x\"\n\n"
              "[software\\\\Tavik\\\\Files] 1796584881\n#time=1dd85b6fa237ae0\n"
              "\"A\"=dword:fffffffb\n\"b\"=\"\\xe9\\\"q\\\\1\"\n\n"
              "[Zeta] 1700000000\n#time=3\n\"Z\"=dword:00000001\n")
        << "the empty parent block goes, an unchanged value touches nothing";
}

TEST(UserReg, EscapesAndLongBinaryDataAsWineWritesThem) {
    EXPECT_EQ(EscapeRegString(u"\u00e9a\u00e9g\t\x01" u"7\x01" u"x\x1b", "\"\""),
              "\\x00e9a\\xe9g\\t\\0017\\1x\\e");
    std::string data(40, '\xab');
    const std::string text = FormatRegData(3, data, 6); // after "\"Bin\"="
    EXPECT_EQ(text.substr(0, 12), "hex:ab,ab,ab");
    EXPECT_NE(text.find(",\\\n  ab"), std::string::npos);
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LE(end - start + (start ? 0 : 6), 80u);
}

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

TEST(UserReg, ValuesOfAChangedBlockAreWrittenInWinesShape) {
    auto hive = ParseUserReg("WINE REGISTRY Version 2\r\n\r\n[A] 1\r\n  \"n\" = dword:1 ; c\r\n\"S\"=str:\"x\"\r\n"
                             "\"s\"=\"y\"\r\n\"K\"=\"k\"\r\n");
    ASSERT_TRUE(hive);
    SetRegValue(*hive, MakeRegKeyRef({u"a"}), u"new", 4, std::string(4, '\0'), kTime);
    const std::string text = SerializeUserReg(*hive);
    EXPECT_NE(text.find("\n\"K\"=\"k\"\n\"n\"=dword:00000001\n\"new\"=dword:00000000\n\"S\"=\"y\"\n"), std::string::npos)
        << "the first spelling, the last data, no CR left: " << text;
}

TEST(ProfileRules, IntegersReadAsWineReadsThem) {
    const std::pair<std::u16string, std::uint32_t> cases[] = {
        {u"42", 42},          {u"  -5", 0xFFFFFFFBu},  {u"0x1f", 31},   {u"0X1F", 0},     {u"0b101", 5},
        {u"0o17", 15},        {u"12abc", 12},          {u"abc", 0},     {u"+7", 7},       {u"--1", 0},
        {u"4294967297", 1},   {u"-0x2", 0xFFFFFFFEu}, {u"\x01" u"9", 9}, {std::u16string(u"1\0" u"2", 3), 1},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(ProfileStringToInteger(text), value) << std::string(text.begin(), text.end());
}

TEST(ProfileRules, QuotesAroundAValue) {
    EXPECT_EQ(CopyProfileEntry(u"\"a b\"", 260), u"a b");
    EXPECT_EQ(CopyProfileEntry(u"'x'", 260), u"x");
    EXPECT_EQ(CopyProfileEntry(u"\"open", 260), u"\"open");
    EXPECT_EQ(CopyProfileEntry(u"'mixed\"", 260), u"'mixed\"");
    EXPECT_EQ(CopyProfileEntry(u"\"", 260), u"\"");
    EXPECT_EQ(CopyProfileEntry(u"\"12345\"", 6), u"1234") << "closing quote one past the buffer";
    EXPECT_EQ(CopyProfileEntry(u"\"12345\"", 4), u"123");
}

TEST(ProfileRules, FirstSectionAndFirstKeyOfANameWin) {
    const Profile profile = ParseProfile("[A]\nk=1\nK=2\n[a]\nj=3\n[B]\nnovalue\n");
    EXPECT_EQ(FindProfileValue(profile, u"a", u"K"), std::optional<std::u16string_view>(u"1"));
    EXPECT_EQ(FindProfileValue(profile, u"A", u"j"), std::nullopt);
    EXPECT_EQ(FindProfileValue(profile, u"B", u"novalue"), std::nullopt);
    EXPECT_EQ(FindProfileValue(profile, u"C", u"k"), std::nullopt);
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
