#include "reg_syntax.h"

#include <algorithm>
#include <cassert>
#include <cstdio>

#include "text_encoding.h"
#include "text_lines.h"

namespace {

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
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

// One UTF-8 sequence starting at line[pos], as the loader decodes it: a
// sequence cut short, too long for its value or above U+10FFFF yields
// nothing, and a byte that starts no sequence is dropped alone. Code points
// above U+FFFF become surrogate pairs.
std::size_t DecodeUtf8Sequence(std::string_view line, std::size_t pos, std::u16string* out) {
    const unsigned char lead = static_cast<unsigned char>(line[pos++]);
    const int more = lead >= 0xF5 ? 0 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 ? 1 : 0;
    if (more == 0) return pos;
    static const unsigned kMask[4] = {0x7F, 0x1F, 0x0F, 0x07};
    static const std::uint32_t kMinimum[4] = {0, 0x80, 0x800, 0x10000};
    std::uint32_t code = lead & kMask[more];
    for (int n = 0; n < more; ++n) {
        if (pos >= line.size()) return pos;
        const unsigned char next = static_cast<unsigned char>(line[pos]) ^ 0x80;
        if (next >= 0x40) return pos; // not a continuation byte: it is read on its own
        code = (code << 6) | next;
        ++pos;
    }
    if (code < kMinimum[more] || code > 0x10FFFF || !out) return pos;
    if (code <= 0xFFFF) {
        out->push_back(static_cast<char16_t>(code));
    } else {
        code -= 0x10000;
        out->push_back(static_cast<char16_t>(0xD800 | (code >> 10)));
        out->push_back(static_cast<char16_t>(0xDC00 | (code & 0x3FF)));
    }
    return pos;
}

// Reads quoted text from `pos` up to the character `end`, with Wine's
// escapes. Returns the position after `end`, or npos when the line ends first.
std::size_t ReadRegString(std::string_view line, std::size_t pos, char end, std::u16string* out) {
    auto put = [out](char16_t c) {
        if (out) out->push_back(c);
    };
    // Room for a unit per byte up to the first `end` (an escaped one may come
    // earlier; then the string grows as it must).
    if (out) out->reserve(out->size() + std::min(line.find(end, pos), line.size()) - std::min(pos, line.size()));
    while (pos < line.size() && line[pos] != end) {
        if (line[pos] == '\\') {
            if (++pos >= line.size()) return std::string_view::npos;
            const char e = line[pos];
            static const std::string_view kLetters = "abefnrtv";
            static const char16_t kCodes[] = {7, 8, 27, 12, 10, 13, 9, 11};
            if (const std::size_t letter = kLetters.find(e); letter != std::string_view::npos) {
                put(kCodes[letter]);
                ++pos;
                continue;
            }
            if (e == 'x') {
                char16_t value = 'x';
                if (++pos < line.size() && IsHexDigit(line[pos])) {
                    value = 0;
                    for (int n = 0; n < 4 && pos < line.size() && IsHexDigit(line[pos]); ++n, ++pos)
                        value = static_cast<char16_t>(value * 16 + HexValue(line[pos]));
                }
                put(value);
                continue;
            }
            if (e >= '0' && e <= '7') {
                char16_t value = 0;
                for (int n = 0; n < 3 && pos < line.size() && line[pos] >= '0' && line[pos] <= '7'; ++n, ++pos)
                    value = static_cast<char16_t>(value * 8 + (line[pos] - '0'));
                put(value);
                continue;
            }
            // Any other escaped character stands for itself.
        }
        if (static_cast<unsigned char>(line[pos]) >= 0x80) {
            pos = DecodeUtf8Sequence(line, pos, out);
        } else {
            put(static_cast<unsigned char>(line[pos]));
            ++pos;
        }
    }
    return pos < line.size() ? pos + 1 : std::string_view::npos;
}

// A string's data as the registry holds it: UTF-16LE with its NUL.
std::string Utf16Bytes(const std::u16string& text) {
    std::string bytes = EncodeUtf16Le(text);
    bytes.append(2, '\0');
    return bytes;
}

// The data tags that the loader knows, with the type each gives; "hex(" is
// followed by the type in hex and "):".
struct DataTag {
    std::string_view tag;
    std::uint32_t type;
    bool plain; // the tag Wine itself writes for the type
};
const DataTag kDataTags[] = {
    {"\"", kRegString, true},          {"str:\"", kRegString, false},    {"str(2):\"", kRegExpandString, true},
    {"str(7):\"", kRegMultiString, true}, {"hex:", kRegBinary, true}, {"dword:", kRegDword, true},
};

// "dword:" data: as the loader reads it with strtoul(), restricted to 1 to 8
// hex digits, optionally after blanks and before a blank or ";" and
// anything after it. Other forms (signs, "0x", more digits, other text)
// Wine reads in ways that a hand edit hardly meant, so they are refused.
bool ParseDword(std::string_view text, RegValueLine& value, std::string* why) {
    const std::size_t start = SkipBlanks(text, 0);
    std::size_t end = start;
    std::uint32_t number = 0;
    while (end < text.size() && IsHexDigit(text[end]) && end - start < 9) number = number * 16 + HexValue(text[end++]);
    const bool ends = end == text.size() || IsBlank(text[end]) || text[end] == ';';
    if (end == start || end - start > 8 || !ends) {
        if (why) *why = "dword is not 1-8 hex digits";
        return false;
    }
    for (int shift = 0; shift < 32; shift += 8) value.data.push_back(static_cast<char>(number >> shift));
    value.plain = start == 0 && end == 8 && end == text.size();
    return true;
}

// Hex data, continued on the next lines after a "\": bytes of at most two
// hex digits, separated by commas, blanks or both, as the loader reads them.
bool ParseHexData(std::string_view text, std::string_view& rest, RegValueLine& value, std::string* why) {
    std::size_t pos = 0;
    for (;;) {
        while (pos < text.size() && IsHexDigit(text[pos])) {
            const std::size_t start = pos;
            unsigned byte = 0;
            while (pos < text.size() && IsHexDigit(text[pos]) && pos - start < 3) byte = byte * 16 + HexValue(text[pos++]);
            if (pos - start > 2 || byte > 0xFF) {
                if (why) *why = "a hex byte is larger than ff";
                return false;
            }
            value.data.push_back(static_cast<char>(byte));
            pos = SkipBlanks(text, pos);
            if (pos < text.size() && text[pos] == ',') pos = SkipBlanks(text, pos + 1);
        }
        pos = SkipBlanks(text, pos);
        if (pos == text.size()) return true;
        if (text[pos] != '\\') {
            if (why) *why = "hex data holds other than hex bytes";
            return false;
        }
        if (rest.empty()) {
            if (why) *why = "hex data goes on past the end of the file";
            return false;
        }
        text = NextRegLine(rest);
        value.text += '\n';
        value.text += text;
        pos = SkipBlanks(text, 0);
    }
}

// Appends `value` in `digits` digits of base 1 << `bits`, or in as few as it
// needs when `digits` is 0.
void AppendDigits(std::string& out, unsigned value, unsigned bits, unsigned digits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    if (digits == 0)
        for (digits = 1; (value >> (bits * digits)) != 0;) ++digits;
    for (unsigned shift = bits * digits; shift > 0;) {
        shift -= bits;
        out += kDigits[(value >> shift) & ((1u << bits) - 1)];
    }
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
        AppendDigits(out, unit, 4, next < 128 && IsHexDigit(static_cast<char>(next)) ? 4 : 0);
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
        ReadRegString(text, 0, '\0', &name);
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

// ParseRegValueLine's work; without `decode`, the names and strings are
// only read through, and the text and `plain` are left empty.
bool ParseValue(std::string_view line, std::string_view& rest, RegValueLine& value, std::string* why, bool decode) {
    // Emptied field by field, so that a RegValueLine used for line after
    // line keeps the memory of its strings.
    value.name.clear();
    value.nameLength = 0;
    value.type = 0;
    value.data.clear();
    if (decode) value.text.assign(line);
    else value.text.clear();
    value.plain = false;
    std::size_t pos = 1;
    if (line[0] == '"') {
        pos = ReadRegString(line, 1, '"', decode ? &value.name : nullptr);
        if (pos == std::string_view::npos) {
            if (why) *why = "value name has no closing quote";
            return false;
        }
    }
    value.nameLength = pos;
    const std::size_t equals = SkipBlanks(line, pos);
    if (equals >= line.size() || line[equals] != '=') {
        if (why) *why = "value name is not followed by \"=\"";
        return false;
    }
    pos = SkipBlanks(line, equals + 1);
    // No blanks around the "=", as Wine writes it.
    const bool tightData = equals == value.nameLength && pos == equals + 1;
    const std::string_view data = line.substr(pos);

    const DataTag* tag = nullptr;
    for (const DataTag& known : kDataTags)
        if (data.substr(0, known.tag.size()) == known.tag) tag = &known;
    std::size_t tagLength = tag ? tag->tag.size() : 0;
    if (tag) {
        value.type = tag->type;
    } else if (data.substr(0, 4) == "hex(") {
        std::size_t end = 4;
        while (end < data.size() && IsHexDigit(data[end]) && end < 12) value.type = value.type * 16 + HexValue(data[end++]);
        if (end == 4 || data.substr(end, 2) != "):") {
            if (why) *why = "data type is not hex(<type>):";
            return false;
        }
        tagLength = end + 2;
    } else {
        if (why) *why = "data is of no type that Wine knows";
        return false;
    }
    const std::string_view body = data.substr(tagLength);

    if (tag && tag->tag.back() == '"') {
        std::u16string text;
        const std::size_t end = ReadRegString(body, 0, '"', decode ? &text : nullptr);
        if (end == std::string_view::npos) {
            if (why) *why = "string has no closing quote";
            return false;
        }
        if (!decode) return true;
        value.data = Utf16Bytes(text);
        value.plain = tightData && tag->plain && end == body.size();
        return true;
    }
    if (value.type == kRegDword && tag) {
        if (!ParseDword(body, value, why)) return false;
        value.plain = decode && value.plain && tightData;
        return true;
    }
    if (!ParseHexData(body, rest, value, why)) return false;
    value.plain = decode && tightData && value.text == FormatRegValue(value.name, value.type, value.data);
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

// A string's data in quotes, with the type before it unless it is REG_SZ;
// `unit(i)` gives code unit i of `count`, the last being the NUL.
template <typename Unit>
void AppendQuotedString(std::string& line, std::uint32_t type, std::size_t count, Unit unit) {
    line.reserve(line.size() + count + 16);
    if (type != kRegString) {
        char kind[16];
        std::snprintf(kind, sizeof kind, "str(%x):", static_cast<unsigned>(type));
        line += kind;
    }
    line += '"';
    AppendEscaped(line, count, unit, "\"\"");
    line += '"';
}

} // namespace

void AppendRegData(std::string& line, std::uint32_t type, std::string_view data) {
    if (IsRegStringType(type) && data.size() >= 2 && data.size() % 2 == 0 && data[data.size() - 2] == 0 &&
        data.back() == 0) {
        AppendQuotedString(line, type, data.size() / 2, [&](std::size_t i) {
            return static_cast<char16_t>(static_cast<unsigned char>(data[2 * i]) |
                                         (static_cast<unsigned char>(data[2 * i + 1]) << 8));
        });
        return;
    }
    char scratch[32];
    if (type == kRegDword && data.size() == 4) {
        std::uint32_t dword = 0;
        for (int i = 3; i >= 0; --i) dword = (dword << 8) | static_cast<unsigned char>(data[i]);
        std::snprintf(scratch, sizeof scratch, "dword:%08x", dword);
        line += scratch;
        return;
    }
    if (type == kRegBinary) {
        std::snprintf(scratch, sizeof scratch, "hex:");
    } else {
        std::snprintf(scratch, sizeof scratch, "hex(%x):", static_cast<unsigned>(type));
    }
    line += scratch;
    // Lines are wrapped as Wine wraps them, counting from the line's start.
    std::size_t count = line.size();
    static const char kHexDigits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < data.size(); ++i) {
        line += kHexDigits[static_cast<unsigned char>(data[i]) >> 4];
        line += kHexDigits[static_cast<unsigned char>(data[i]) & 15];
        count += 2;
        if (i + 1 < data.size()) {
            line += ',';
            if (++count > 76) {
                line += "\\\n  ";
                count = 2;
            }
        }
    }
}

void AppendRegStringFromCp1252(std::string& line, std::uint32_t type, std::string_view text) {
    assert(IsRegStringType(type) && !text.empty() && text.back() == '\0');
    AppendQuotedString(line, type, text.size(),
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
