#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Wine's registry text format ("WINE REGISTRY Version 2"), one line at a
// time: read as Wine's loader reads it, written as Wine's saver writes it.
//
// The loader's rules that matter here:
// - a line ends at "\n"; one "\r" before it is dropped; the last line may
//   lack its "\n";
// - blanks before the first character are skipped, and that character gives
//   the line's kind: "[" a key, "\"" or "@" a value, "#" an option, ";" a
//   comment, nothing a blank line;
// - in quoted text, bytes above 127 are UTF-8, and a byte that fits no UTF-8
//   sequence is dropped (so "File\xa0Count" names the value FileCount);
// - empty elements of a key path are skipped ("[A\\\\B\\\\]" is A\B).
// Where the loader would complain and then drop or misread a line, the
// parsers here refuse it, with the reason: a file is only rewritten when
// Wine would read from it what we read.

// The value types that the format writes in their own way; any other number
// is written as "hex(<type>):". The same numbers as Win32's REG_* constants.
enum RegValueType : std::uint32_t {
    kRegString = 1,       // "text"
    kRegExpandString = 2, // str(2):"text"
    kRegBinary = 3,       // hex:bytes
    kRegDword = 4,        // dword:8 hex digits
    kRegMultiString = 7,  // str(7):"text"
};

// True for the three types held as UTF-16 text with a terminating NUL.
bool IsRegStringType(std::uint32_t type);

// The first line of every registry file.
inline constexpr char kRegSignature[] = "WINE REGISTRY Version 2";

// The head of a user's registry file as Wine starts one: the signature, the
// root comment and, where `arch` is not empty, the "#arch=" option.
std::string UserRegHeader(const std::string& arch);

// The architecture named by an "#arch=" option line (as NextRegLine gives
// it), or nullopt for any other line.
std::optional<std::string_view> RegArchOption(std::string_view line);

// True for the architectures Wine writes: "win32" and "win64".
bool IsKnownRegArch(std::string_view arch);

enum class RegLineKind { Blank, Comment, Option, Key, Value, Unknown };

// Takes the next line off `rest`, without its "\n" and one "\r" before it.
std::string_view NextRegLine(std::string_view& rest);

// The kind of a line; `line` loses its leading blanks.
RegLineKind ClassifyRegLine(std::string_view& line);

// A key line's path: the non-empty elements, as escaped in the file and
// decoded.
struct RegKeyLine {
    std::vector<std::string> texts;
    std::vector<std::u16string> names;
};

// Parses "[path] seconds" (the seconds, or whatever follows "]", are not
// used). False, with the reason, when Wine would not load it as a key.
bool ParseRegKeyLine(std::string_view line, RegKeyLine& key, std::string* why);

// One value with its meaning.
struct RegValueLine {
    std::u16string name;         // decoded; empty for the default value "@"
    std::size_t nameLength = 0;  // of the name's text: "\"...\"" or "@"
    std::uint32_t type = 0;
    std::string data;  // as the registry holds it: strings in UTF-16LE, with their NUL
    std::string text;  // the value's lines as read, joined by "\n"
    bool plain = false; // text is already in the shape Wine writes
};

// Parses a value line and, for hex data that goes on, its continuation
// lines, which it takes off `rest`. False, with the reason, when Wine would
// drop the value or read it otherwise than it reads.
bool ParseRegValueLine(std::string_view line, std::string_view& rest, RegValueLine& value, std::string* why);
// The same check, and the same lines taken, without decoding the name and
// strings (`scratch` holds what the check needs): for reading a whole file,
// whose values are decoded only when their block is changed.
bool CheckRegValueLine(std::string_view line, std::string_view& rest, RegValueLine& scratch, std::string* why);

// The text that Wine writes for a string: backslash escapes, code units above
// 127 as \x with hex digits; `escaped` are two further characters to escape.
std::string EscapeRegString(std::u16string_view text, const char* escaped);

// Appends a value's data as Wine writes it after the "=" to `line`, the
// value's line so far (long hex data is wrapped counting from its start).
void AppendRegData(std::string& line, std::uint32_t type, std::string_view data);
// The same for a string type's data given as Windows-1252 text that ends in
// its NUL, written as the same text in UTF-16 would be.
void AppendRegStringFromCp1252(std::string& line, std::uint32_t type, std::string_view text);

// Appends a value's name as Wine writes it: quoted and escaped, or "@" for
// the default value (whose name is empty).
void AppendRegName(std::string& line, std::u16string_view name);

// A value's whole line as Wine writes it: name, "=", data.
std::string FormatRegValue(std::u16string_view name, std::uint32_t type, std::string_view data);

// The name that a value's name text ("\"...\"" or "@", as RegValueLine's
// text starts) stands for, as Wine's loader reads it.
std::u16string RegValueName(std::string_view nameText);

