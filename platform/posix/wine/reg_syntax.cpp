#include "reg_syntax.h"

#include <algorithm>
#include <cassert>
#include <limits>

#include "text_encoding.h"
#include "text_lines.h"

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool IsHexDigitUnit(char16_t unit) {
    return unit <= u'f' && IsHexDigit(static_cast<char>(unit));
}

int HexValue(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// The loader's isspace().
bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::size_t SkipBlanks(std::string_view text, std::size_t pos) {
    while (pos < text.size() && IsBlank(text[pos])) ++pos;
    return pos;
}

// The letter of the escape for a control unit that has one, 0 for the others.
char ControlLetter(char16_t unit) {
    switch (unit) {
    case 7: return 'a';
    case 8: return 'b';
    case 9: return 't';
    case 10: return 'n';
    case 11: return 'v';
    case 12: return 'f';
    case 13: return 'r';
    case 27: return 'e';
    default: return 0;
    }
}

// The control unit whose escape letter is `letter`, 0 for any other
// character.
char16_t ControlUnit(char letter) {
    if (letter == 0) return 0; // what ControlLetter gives the units without a letter
    for (char16_t unit = 1; unit < 32; ++unit)
        if (ControlLetter(unit) == letter) return unit;
    return 0;
}

// True for a digit of base 1 << `bits`: octal (3) or hex (4).
bool IsDigitOfBase(char c, unsigned bits) {
    return bits == 3 ? c >= '0' && c <= '7' : IsHexDigit(c);
}

// Reads the digits of a numeric escape from `pos`, at most `maxDigits` of
// base 1 << `bits`, and appends the code unit they give; returns the position
// after them.
std::size_t ReadEscapeDigits(std::string_view text, std::size_t pos, unsigned bits, std::size_t maxDigits,
                             std::u16string& out) {
    const std::size_t end = std::min(text.size(), pos + maxDigits);
    unsigned unit = 0;
    for (; pos < end && IsDigitOfBase(text[pos], bits); ++pos)
        unit = unit << bits | static_cast<unsigned>(HexValue(text[pos]));
    out.push_back(static_cast<char16_t>(unit));
    return pos;
}

// Reads the escape whose backslash stands just before `pos`, appends the
// unit it gives and returns the position after it. One to three octal
// digits, or "x" and one to four hex digits, give the unit of their number;
// a letter of ControlLetter gives its control; any other character stands
// for itself ("x" with no hex digit too), and a byte above 127 starts the
// UTF-8 sequence read after the escape. A backslash that ends the text gives
// nothing.
std::size_t ReadEscape(std::string_view text, std::size_t pos, std::u16string& out) {
    if (pos == text.size()) return pos;
    const char c = text[pos];
    if (IsDigitOfBase(c, 3)) return ReadEscapeDigits(text, pos, 3, 3, out);
    if (c == 'x' && pos + 1 < text.size() && IsHexDigit(text[pos + 1]))
        return ReadEscapeDigits(text, pos + 1, 4, 4, out);
    if (const char16_t control = ControlUnit(c)) {
        out.push_back(control);
        return pos + 1;
    }
    if (static_cast<unsigned char>(c) >= 0x80) return pos;
    out.push_back(static_cast<char16_t>(c));
    return pos + 1;
}

// Appends the code units that quoted text stands for, `text` being what lies
// between its delimiters: escapes, and between them UTF-8 as the loader
// reads it. A sequence cut by a backslash gives nothing, as one cut by any
// other byte that is no continuation byte.
void DecodeRegString(std::string_view text, std::u16string& out) {
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t escape = std::min(text.find('\\', pos), text.size());
        AppendDecodedUtf8(out, text.substr(pos, escape - pos), Utf8Rules::RegistryLoader);
        pos = escape == text.size() ? escape : ReadEscape(text, escape + 1, out);
    }
}

// The position of the first `end` from `pos` that no backslash escapes, or
// npos when the line ends first (a backslash at its end included). Neither
// the digits of an escape nor a UTF-8 sequence can take a delimiter, so only
// the character after each backslash needs skipping.
std::size_t FindUnescaped(std::string_view line, std::size_t pos, char end) {
    for (; pos < line.size(); ++pos) {
        if (line[pos] == end) return pos;
        if (line[pos] == '\\') ++pos;
    }
    return std::string_view::npos;
}

// Reads quoted text from `pos` up to the unescaped `end` and appends what it
// stands for to `out`, unless null (a check only). Returns the position after
// `end`, or npos when the line ends first.
std::size_t ReadRegString(std::string_view line, std::size_t pos, char end, std::u16string* out) {
    const std::size_t close = FindUnescaped(line, pos, end);
    if (close == std::string_view::npos) return close;
    if (out) DecodeRegString(line.substr(pos, close - pos), *out);
    return close + 1;
}

// A string's data as the registry holds it: UTF-16LE with its NUL.
std::string Utf16Bytes(const std::u16string& text) {
    std::string bytes = EncodeUtf16Le(text);
    bytes.append(2, '\0');
    return bytes;
}

// Sets the reason of a refusal; returns false.
bool Refuse(std::string* why, const char* reason) {
    if (why) *why = reason;
    return false;
}

bool StartsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// How many hex digits stand in `text` from `pos` on.
std::size_t CountHexDigits(std::string_view text, std::size_t pos) {
    std::size_t end = pos;
    while (end < text.size() && IsHexDigit(text[end])) ++end;
    return end - pos;
}

// The number of at most eight hex digits.
std::uint32_t HexNumber(std::string_view digits) {
    std::uint32_t number = 0;
    for (const char c : digits) number = number << 4 | static_cast<std::uint32_t>(HexValue(c));
    return number;
}

// How a value's data is written after its tag.
enum class DataForm { String, Dword, Hex };

// What a value's data starts with: its type, the form of what follows, the
// tag's length in the line (a string's opening quote included), and whether
// our writer gives that tag.
struct DataTag {
    std::uint32_t type;
    DataForm form;
    std::size_t length;
    bool asWritten;
};

// The tags of string data, before its opening quote, with the type each
// gives: a string without a tag is REG_SZ, and so is one after "str:",
// which our writer never gives.
struct StringTag {
    std::string_view text;
    std::uint32_t type;
};
constexpr StringTag kStringTags[] = {
    {"", kRegString}, {"str:", kRegString}, {"str(2):", kRegExpandString}, {"str(7):", kRegMultiString}};
constexpr std::string_view kUntypedStringTag = "str:";

constexpr std::string_view kDwordTag = "dword:";
constexpr std::string_view kBinaryTag = "hex:";
constexpr std::string_view kTypedHexTag = "hex(";

// Reads the tag at the start of `data`. The type in "hex(<type>):" must be 1
// to 8 hex digits: Wine reads more forms of number there (blanks, a sign,
// "0x", more digits), which a hand edit hardly meant.
bool ReadDataTag(std::string_view data, DataTag& tag, std::string* why) {
    for (const StringTag& known : kStringTags) {
        if (StartsWith(data, known.text) && data.substr(known.text.size(), 1) == "\"") {
            tag = {known.type, DataForm::String, known.text.size() + 1, known.text != kUntypedStringTag};
            return true;
        }
    }
    if (StartsWith(data, kDwordTag)) {
        tag = {kRegDword, DataForm::Dword, kDwordTag.size(), true};
        return true;
    }
    if (StartsWith(data, kBinaryTag)) {
        tag = {kRegBinary, DataForm::Hex, kBinaryTag.size(), true};
        return true;
    }
    if (!StartsWith(data, kTypedHexTag)) return Refuse(why, "data is of no type that Wine knows");
    const std::size_t digits = CountHexDigits(data, kTypedHexTag.size());
    const std::size_t close = kTypedHexTag.size() + digits;
    if (digits == 0 || digits > 8 || data.substr(close, 2) != "):") return Refuse(why, "data type is not hex(<type>):");
    tag = {HexNumber(data.substr(kTypedHexTag.size(), digits)), DataForm::Hex, close + 2, true};
    return true;
}

// String data, `data` starting after its opening quote; held, when
// decoding, as the registry holds it. `shaped`: nothing follows the closing
// quote.
bool ReadStringData(std::string_view data, RegValueLine& value, bool decode, bool& shaped, std::string* why) {
    std::u16string text;
    const std::size_t after = ReadRegString(data, 0, '"', decode ? &text : nullptr);
    if (after == std::string_view::npos) return Refuse(why, "string has no closing quote");
    if (decode) value.data = Utf16Bytes(text);
    shaped = after == data.size();
    return true;
}

// Dword data: 1 to 8 hex digits, perhaps after blanks, that end the line or
// are followed by a blank or ";". Wine reads more (a sign, "0x", more digits,
// other text right after them) in ways a hand edit hardly meant, and those
// are refused. `shaped`: exactly 8 digits and nothing else.
bool ReadDwordData(std::string_view data, RegValueLine& value, bool& shaped, std::string* why) {
    const std::size_t start = SkipBlanks(data, 0);
    const std::size_t digits = CountHexDigits(data, start);
    const std::size_t end = start + digits;
    if (digits == 0 || digits > 8 || (end < data.size() && !IsBlank(data[end]) && data[end] != ';'))
        return Refuse(why, "dword is not 1-8 hex digits");
    const std::uint32_t number = HexNumber(data.substr(start, digits));
    for (unsigned shift = 0; shift < 32; shift += 8) value.data += static_cast<char>((number >> shift) & 0xFF);
    shaped = start == 0 && digits == 8 && end == data.size();
    return true;
}

// Reads the byte of hex data whose digits start at `pos`, and the blanks, a
// comma and blanks after it; moves `pos` past them. Leading zeros are taken,
// as Wine takes them.
bool ReadHexByte(std::string_view data, std::size_t& pos, std::string& bytes, std::string* why) {
    const std::string_view digits = data.substr(pos, CountHexDigits(data, pos));
    const std::string_view significant = digits.substr(std::min(digits.find_first_not_of('0'), digits.size()));
    if (significant.size() > 2) return Refuse(why, "a hex byte is larger than ff");
    bytes += static_cast<char>(HexNumber(significant));
    pos = SkipBlanks(data, pos + digits.size());
    if (pos < data.size() && data[pos] == ',') pos = SkipBlanks(data, pos + 1);
    return true;
}

// Hex data, `data` starting after its tag: bytes, until the line ends. A
// backslash goes on at the next line, taken off `rest` (and added to the
// value's text when decoding), past its leading blanks; the rest of the line
// after the backslash is not read. `shaped`: the text is what our writer
// writes for the value.
bool ReadHexData(std::string_view data, std::string_view& rest, RegValueLine& value, bool decode, bool& shaped,
                 std::string* why) {
    for (std::size_t pos = 0;;) {
        if (pos < data.size() && IsHexDigit(data[pos])) {
            if (!ReadHexByte(data, pos, value.data, why)) return false;
            continue;
        }
        pos = SkipBlanks(data, pos);
        if (pos == data.size()) break;
        if (data[pos] != '\\') return Refuse(why, "hex data holds other than hex bytes");
        if (rest.empty()) return Refuse(why, "hex data goes on past the end of the file");
        data = NextRegLine(rest);
        if (decode) {
            value.text += '\n';
            value.text += data;
        }
        pos = SkipBlanks(data, 0);
    }
    shaped = decode && value.text == FormatRegValue(value.name, value.type, value.data);
    return true;
}

// Reads the data after its tag, in the tag's form.
bool ReadData(DataForm form, std::string_view data, std::string_view& rest, RegValueLine& value, bool decode,
              bool& shaped, std::string* why) {
    if (form == DataForm::String) return ReadStringData(data, value, decode, shaped, why);
    if (form == DataForm::Dword) return ReadDwordData(data, value, shaped, why);
    return ReadHexData(data, rest, value, decode, shaped, why);
}

// Appends `value` in `digits` digits of base 1 << `bits`, or in as few as it
// needs when `digits` is 0.
void AppendDigits(std::string& out, unsigned value, unsigned bits, unsigned digits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    constexpr unsigned kValueBits = std::numeric_limits<unsigned>::digits;
    // A shift by all of value's bits would be undefined (eight hex digits).
    if (digits == 0)
        for (digits = 1; bits * digits < kValueBits && (value >> (bits * digits)) != 0;) ++digits;
    for (unsigned shift = bits * digits; shift > 0;) {
        shift -= bits;
        out += kDigits[(value >> shift) & ((1u << bits) - 1)];
    }
}

// Appends the text of one code unit. Numeric escapes take as few digits as
// they need, unless `next`, the unit written after this one, would read as
// one more of their digits: then they take all of them (three octal, four
// hex), so that the escape ends where it should.
void AppendEscapedUnit(std::string& out, char16_t unit, char16_t next, const char* delimiters) {
    if (unit >= 32 && unit <= 127) {
        if (unit == '\\' || unit == delimiters[0] || unit == delimiters[1]) out += '\\';
        out += static_cast<char>(unit);
        return;
    }
    out += '\\';
    if (unit > 127) {
        out += 'x';
        AppendDigits(out, unit, 4, IsHexDigitUnit(next) ? 4 : 0);
    } else if (const char letter = ControlLetter(unit)) {
        out += letter;
    } else {
        AppendDigits(out, unit, 3, next >= '0' && next <= '7' ? 3 : 0);
    }
}

// Appends the escaped text of `count` code units, `unit(i)` giving unit i,
// with a backslash also before the two characters of `delimiters`. The last
// unit, when a NUL, is the terminator of the data and is not written.
template <typename Unit>
void AppendEscaped(std::string& out, std::size_t count, Unit unit, const char* delimiters) {
    if (count == 0) return;
    char16_t current = unit(0);
    for (std::size_t i = 1; i <= count; ++i) {
        const char16_t next = i < count ? unit(i) : 0;
        if (i < count || current != 0) AppendEscapedUnit(out, current, next, delimiters);
        current = next;
    }
}

} // namespace

bool IsRegStringType(std::uint32_t type) {
    return type == kRegString || type == kRegExpandString || type == kRegMultiString;
}

std::string UserRegHeader(const std::string& arch) {
    std::string header = std::string(kRegSignature) + "\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n";
    if (!arch.empty()) header += "\n#arch=" + arch + "\n";
    return header;
}

std::optional<std::string_view> RegArchOption(std::string_view line) {
    constexpr std::string_view kOption = "#arch=";
    if (line.substr(0, kOption.size()) != kOption) return std::nullopt;
    return line.substr(kOption.size());
}

bool IsKnownRegArch(std::string_view arch) {
    return arch == "win32" || arch == "win64";
}

std::string_view NextRegLine(std::string_view& rest) {
    std::string_view line = TakeLine(rest);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

RegLineKind ClassifyRegLine(std::string_view& line) {
    line.remove_prefix(SkipBlanks(line, 0));
    if (line.empty()) return RegLineKind::Blank;
    switch (line[0]) {
    case '[': return RegLineKind::Key;
    case '"':
    case '@': return RegLineKind::Value;
    case '#': return RegLineKind::Option;
    case ';': return RegLineKind::Comment;
    default: return RegLineKind::Unknown;
    }
}

bool ParseRegKeyLine(std::string_view line, RegKeyLine& key, std::string* why) {
    const std::size_t after = ReadRegString(line, 1, ']', nullptr);
    if (after == std::string_view::npos) {
        if (why) *why = "key name has no closing \"]\"";
        return false;
    }
    // Elements are separated by an escaped backslash, "\\" in the file.
    key = {};
    const std::string_view path = line.substr(1, after - 2);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= path.size(); ++i) {
        const bool separator = i + 1 < path.size() && path[i] == '\\' && path[i + 1] == '\\';
        if (i < path.size() && !separator) {
            if (path[i] == '\\') ++i; // an escape: its character is not a separator
            continue;
        }
        const std::string_view text = path.substr(start, i - start);
        std::u16string name;
        DecodeRegString(text, name);
        if (name.find(u'\\') != std::u16string::npos) {
            if (why) *why = "key name holds an escaped backslash";
            return false;
        }
        if (!name.empty()) {
            key.texts.emplace_back(text);
            key.names.push_back(std::move(name));
        }
        start = i + 2;
        ++i;
    }
    return true;
}

namespace {

// Empties a value read before, keeping the memory of its strings.
void ClearValueLine(RegValueLine& value) {
    value.name.clear();
    value.data.clear();
    value.text.clear();
    value.nameLength = 0;
    value.type = 0;
    value.plain = false;
}

// The length of the name's text at the start of a value line: "@", or the
// quoted name with its quotes, decoded into `name` unless null; npos when
// the closing quote is missing.
std::size_t ReadValueName(std::string_view line, std::u16string* name) {
    if (StartsWith(line, "@")) return 1;
    return ReadRegString(line, 1, '"', name);
}

// ParseRegValueLine's work; without `decode`, the name and strings are only
// read through, and the text and `plain` are left empty.
bool ParseValue(std::string_view line, std::string_view& rest, RegValueLine& value, std::string* why, bool decode) {
    ClearValueLine(value);
    value.nameLength = ReadValueName(line, decode ? &value.name : nullptr);
    if (value.nameLength == std::string_view::npos) return Refuse(why, "value name has no closing quote");
    const std::size_t equals = SkipBlanks(line, value.nameLength);
    if (equals == line.size() || line[equals] != '=') return Refuse(why, "value name is not followed by \"=\"");
    const std::size_t dataStart = SkipBlanks(line, equals + 1);
    DataTag tag;
    if (!ReadDataTag(line.substr(dataStart), tag, why)) return false;
    value.type = tag.type;
    if (decode) value.text.assign(line);
    bool shaped = false;
    if (!ReadData(tag.form, line.substr(dataStart + tag.length), rest, value, decode, shaped, why)) return false;
    const bool tight = equals == value.nameLength && dataStart == equals + 1;
    value.plain = decode && tight && tag.asWritten && shaped;
    return true;
}

} // namespace

bool ParseRegValueLine(std::string_view line, std::string_view& rest, RegValueLine& value, std::string* why) {
    return ParseValue(line, rest, value, why, true);
}

bool CheckRegValueLine(std::string_view line, std::string_view& rest, RegValueLine& scratch, std::string* why) {
    return ParseValue(line, rest, scratch, why, false);
}

std::string EscapeRegString(std::u16string_view text, const char* escaped) {
    std::string out;
    out.reserve(text.size() + 8);
    AppendEscaped(out, text.size(), [&](std::size_t i) { return text[i]; }, escaped);
    return out;
}

namespace {

// Appends "<form>(<type>):", a tag that names its type, in lowercase hex.
void AppendTypedTag(std::string& line, std::string_view form, std::uint32_t type) {
    line += form;
    line += '(';
    AppendDigits(line, type, 4, 0);
    line += "):";
}

// Appends string data of `count` code units, `unit(i)` giving unit i, the
// last of them its NUL: the tag, and the text in quotes without that NUL.
template <typename UnitAt>
void AppendStringData(std::string& out, std::uint32_t type, std::size_t length, UnitAt unitAt) {
    if (type != kRegString) AppendTypedTag(out, "str", type);
    out.push_back('"');
    AppendEscaped(out, length, unitAt, "\"\"");
    out.push_back('"');
}

// True for data that can be written as a string: UTF-16 units, the last of
// them a NUL.
bool IsNulEndedUtf16(std::string_view data) {
    constexpr std::string_view kNulUnit("\0\0", 2);
    return data.size() % 2 == 0 && data.size() >= kNulUnit.size() && data.substr(data.size() - 2) == kNulUnit;
}

char16_t Utf16LeUnit(std::string_view data, std::size_t index) {
    return static_cast<char16_t>(static_cast<unsigned char>(data[2 * index]) |
                                 static_cast<unsigned char>(data[2 * index + 1]) << 8);
}

// Appends "dword:" and the four bytes of `data`, little-endian, as eight digits.
void AppendDwordData(std::string& line, std::string_view data) {
    std::uint32_t number = 0;
    for (std::size_t i = 4; i-- > 0;) number = number << 8 | static_cast<unsigned char>(data[i]);
    line += "dword:";
    AppendDigits(line, number, 4, 8);
}

// Hex data goes on at the next line once a line reaches past this column.
constexpr std::size_t kHexWrapColumn = 76;

// The characters of `text` after its last line end.
std::size_t LastLineLength(std::string_view text) {
    const std::size_t lineEnd = text.rfind('\n');
    return lineEnd == std::string_view::npos ? text.size() : text.size() - lineEnd - 1;
}

// Appends "hex:" or "hex(<type>):" and the bytes, two digits each, commas
// between them. Where a comma takes the line past kHexWrapColumn, it goes
// on after a backslash at the next line, two blanks in; `line` is the
// value's text so far, so its first line counts from the value's name.
void AppendHexData(std::string& line, std::uint32_t type, std::string_view data) {
    if (type == kRegBinary) line += "hex:";
    else AppendTypedTag(line, "hex", type);
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i > 0) {
            line += ',';
            if (LastLineLength(line) > kHexWrapColumn) line += "\\\n  ";
        }
        AppendDigits(line, static_cast<unsigned char>(data[i]), 4, 2);
    }
}

} // namespace

void AppendRegData(std::string& line, std::uint32_t type, std::string_view data) {
    if (type == kRegDword && data.size() == 4)
        AppendDwordData(line, data);
    else if (IsRegStringType(type) && IsNulEndedUtf16(data))
        AppendStringData(line, type, data.size() / 2, [&](std::size_t i) { return Utf16LeUnit(data, i); });
    else
        AppendHexData(line, type, data);
}

void AppendRegStringFromCp1252(std::string& line, std::uint32_t type, std::string_view text) {
    assert(IsRegStringType(type) && !text.empty() && text.back() == '\0');
    AppendStringData(line, type, text.size(),
                     [&](std::size_t i) { return DecodeCp1252Byte(static_cast<unsigned char>(text[i])); });
}

void AppendRegName(std::string& line, std::u16string_view name) {
    if (name.empty()) {
        line += '@';
        return;
    }
    line += '"';
    AppendEscaped(line, name.size(), [&](std::size_t i) { return name[i]; }, "\"\"");
    line += '"';
}

std::u16string RegValueName(std::string_view nameText) {
    std::u16string name;
    if (!nameText.empty() && nameText.front() == '"') ReadRegString(nameText, 1, '"', &name);
    return name;
}

std::string FormatRegValue(std::u16string_view name, std::uint32_t type, std::string_view data) {
    std::string line;
    AppendRegName(line, name);
    line += '=';
    AppendRegData(line, type, data);
    return line;
}
