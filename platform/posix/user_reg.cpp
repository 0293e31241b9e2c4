#include "user_reg.h"

#include <algorithm>
#include <cstdio>

#include "text_encoding.h"

namespace {

const char kSignature[] = "WINE REGISTRY Version 2";
const std::uint64_t kFiletimeOf1970 = 116444736000000000ull;
const std::uint64_t kFiletimePerSecond = 10000000ull;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

int HexValue(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// Reads an escaped string up to `end`; returns the position after `end`, or
// npos when the string does not end on this line.
std::size_t ReadEscaped(std::string_view line, std::size_t pos, char end, std::u16string* out) {
    std::string rawRun; // bytes above 127 are UTF-8
    auto flush = [&] {
        if (out && !rawRun.empty()) *out += DecodeUtf8(rawRun);
        rawRun.clear();
    };
    auto put = [&](char16_t c) {
        flush();
        if (out) out->push_back(c);
    };
    while (pos < line.size() && line[pos] != end) {
        const char c = line[pos];
        if (c != '\\') {
            if (static_cast<unsigned char>(c) >= 0x80) rawRun.push_back(c);
            else put(static_cast<unsigned char>(c));
            ++pos;
            continue;
        }
        if (++pos >= line.size()) return std::string_view::npos;
        const char e = line[pos];
        static const std::string_view kLetters = "abefnrtv";
        static const char16_t kCodes[] = {7, 8, 27, 12, 10, 13, 9, 11};
        if (const std::size_t letter = kLetters.find(e); letter != std::string_view::npos) {
            put(kCodes[letter]);
            ++pos;
        } else if (e == 'x' && pos + 1 < line.size() && IsHexDigit(line[pos + 1])) {
            char16_t value = 0;
            ++pos;
            for (int n = 0; n < 4 && pos < line.size() && IsHexDigit(line[pos]); ++n, ++pos)
                value = static_cast<char16_t>(value * 16 + HexValue(line[pos]));
            put(value);
        } else if (e >= '0' && e <= '7') {
            char16_t value = 0;
            for (int n = 0; n < 3 && pos < line.size() && line[pos] >= '0' && line[pos] <= '7'; ++n, ++pos)
                value = static_cast<char16_t>(value * 8 + (line[pos] - '0'));
            put(value);
        } else {
            put(static_cast<unsigned char>(e));
            ++pos;
        }
    }
    flush();
    return pos < line.size() ? pos + 1 : std::string_view::npos;
}

std::u16string JoinFolded(const std::vector<std::u16string>& folded, std::size_t count) {
    std::u16string joined;
    for (std::size_t i = 0; i < count; ++i) {
        if (i) joined.push_back(u'\\');
        joined += folded[i];
    }
    return joined;
}

std::string JoinTexts(const std::vector<std::string>& texts) {
    std::string joined;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i) joined += "\\\\";
        joined += texts[i];
    }
    return joined;
}

// Splits the escaped path between the brackets at its "\\" separators.
std::vector<std::string> SplitPathText(std::string_view text) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) {
            if (text[i + 1] == '\\') {
                parts.emplace_back();
            } else {
                parts.back() += text.substr(i, 2);
            }
            ++i;
        } else {
            parts.back() += text[i];
        }
    }
    return parts;
}

// Parses "[path] seconds"; false when the line is not a block header.
bool ParseBlockHeader(std::string_view line, RegBlock& block) {
    std::u16string path;
    const std::size_t after = ReadEscaped(line, 1, ']', &path);
    if (after == std::string_view::npos) return false;
    for (char c : line.substr(after))
        if (c != ' ' && c != '\t' && !(c >= '0' && c <= '9')) return false;
    block.componentTexts = SplitPathText(line.substr(1, after - 2));
    std::u16string component;
    for (char16_t c : path) {
        if (c == u'\\') {
            block.foldedPath.push_back(FoldCase(component));
            component.clear();
        } else {
            component.push_back(c);
        }
    }
    block.foldedPath.push_back(FoldCase(component));
    return block.foldedPath.size() == block.componentTexts.size();
}

bool IsHexList(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return IsHexDigit(c) || c == ',' || c == ' ' || c == '\t' || c == '\\'; });
}

// Checks the data of a value line (after the "=") and tells whether it goes
// on on the next line.
bool ParseValueData(std::string_view data, bool* continues) {
    *continues = false;
    auto quotedToEnd = [](std::string_view text) {
        if (text.empty() || text[0] != '"') return false;
        const std::size_t end = ReadEscaped(text, 1, '"', nullptr);
        return end != std::string_view::npos && text.substr(end).find_first_not_of(" \t") == std::string_view::npos;
    };
    if (data.rfind("dword:", 0) == 0)
        return data.size() == 14 && std::all_of(data.begin() + 6, data.end(), IsHexDigit);
    if (data.rfind("str(", 0) == 0) {
        const std::size_t close = data.find("):");
        return close != std::string_view::npos && quotedToEnd(data.substr(close + 2));
    }
    if (data.rfind("hex", 0) == 0) {
        const std::size_t colon = data.find(':');
        if (colon == std::string_view::npos) return false;
        const std::string_view kind = data.substr(3, colon - 3);
        if (!kind.empty() && (kind.size() < 3 || kind.front() != '(' || kind.back() != ')')) return false;
        const std::string_view bytes = data.substr(colon + 1);
        *continues = !bytes.empty() && bytes.back() == '\\';
        return IsHexList(bytes);
    }
    return quotedToEnd(data);
}

// Splits a value line into name and data; false when it is not one.
bool ParseValueLine(std::string_view line, ValueLine& value, std::u16string& name, bool* continues) {
    std::size_t equals;
    if (line.rfind("@=", 0) == 0) {
        equals = 1;
        name.clear();
    } else {
        name.clear();
        const std::size_t after = ReadEscaped(line, 1, '"', &name);
        if (after == std::string_view::npos || after >= line.size() || line[after] != '=') return false;
        equals = after;
    }
    value.text = std::string(line);
    value.nameLength = equals;
    return ParseValueData(line.substr(equals + 1), continues);
}

std::string BlockHeaderText(const RegBlock& block) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "] %llu\n#time=%x%08x\n",
                  static_cast<unsigned long long>((block.modified - kFiletimeOf1970) / kFiletimePerSecond),
                  static_cast<unsigned>(block.modified >> 32), static_cast<unsigned>(block.modified & 0xFFFFFFFFu));
    return "[" + JoinTexts(block.componentTexts) + stamp;
}

void PutValue(RegBlock& block, std::string folded, ValueLine value) {
    const auto [index, added] = block.valueIndex.Insert(std::move(folded));
    if (added)
        block.values.push_back(std::move(value));
    else
        block.values[index] = std::move(value);
}

// The values in the order Wine keeps them: by folded name. The first sixteen
// bytes of the key, packed into two numbers, decide most comparisons without
// following a pointer.
std::vector<const ValueLine*> SortedValues(const RegBlock& block) {
    struct SortKey {
        std::uint64_t high, low;
        const std::string* name;
        const ValueLine* value;
    };
    std::vector<SortKey> order;
    order.reserve(block.valueIndex.size());
    for (std::size_t index = 0; index < block.valueIndex.size(); ++index) {
        const std::string& key = block.valueIndex.keys[index];
        std::uint64_t packed[2] = {0, 0};
        for (std::size_t i = 0; i < 16; ++i)
            packed[i / 8] = (packed[i / 8] << 8) | (i < key.size() ? static_cast<unsigned char>(key[i]) : 0);
        order.push_back({packed[0], packed[1], &key, &block.values[index]});
    }
    std::sort(order.begin(), order.end(), [](const SortKey& a, const SortKey& b) {
        if (a.high != b.high) return a.high < b.high;
        if (a.low != b.low) return a.low < b.low;
        return *a.name < *b.name;
    });
    std::vector<const ValueLine*> sorted;
    sorted.reserve(order.size());
    for (const SortKey& entry : order) sorted.push_back(entry.value);
    return sorted;
}

// Takes the first line off `rest`, without its line end.
std::string_view NextLine(std::string_view& rest) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return line;
}

// Turns an unchanged block into one whose values can be edited.
void OpenBlockForChange(RegBlock& block) {
    if (block.changed) return;
    block.changed = true;
    std::string_view rest(block.raw);
    NextLine(rest); // the header line
    while (!rest.empty()) {
        const std::string_view line = NextLine(rest);
        if (line.rfind("#time=", 0) == 0) continue; // written anew with the change
        if (line.rfind("#", 0) == 0) {
            block.metaLines.emplace_back(line);
            continue;
        }
        ValueLine value;
        std::u16string name;
        bool continues = false;
        if ((line.rfind("\"", 0) == 0 || line.rfind("@=", 0) == 0) && ParseValueLine(line, value, name, &continues)) {
            while (continues && !rest.empty()) {
                const std::string_view more = NextLine(rest);
                value.text += "\n";
                value.text += more;
                continues = !more.empty() && more.back() == '\\';
            }
            // A name given twice: the later line wins, as when Wine loads it.
            PutValue(block, ValueKey(name), std::move(value));
            continue;
        }
        block.tail += std::string(line) + "\n";
    }
}

void IndexBlock(UserReg& hive, std::size_t index) {
    const RegBlock& block = hive.blocks[index];
    hive.blockIndex[JoinFolded(block.foldedPath, block.foldedPath.size())] = index;
    for (std::size_t depth = 1; depth <= block.foldedPath.size(); ++depth) {
        hive.keys.emplace(JoinFolded(block.foldedPath, depth),
                          std::vector<std::string>(block.componentTexts.begin(), block.componentTexts.begin() + depth));
    }
}

void Reindex(UserReg& hive) {
    hive.blockIndex.clear();
    for (std::size_t i = 0; i < hive.blocks.size(); ++i)
        hive.blockIndex[JoinFolded(hive.blocks[i].foldedPath, hive.blocks[i].foldedPath.size())] = i;
}

bool HoldsValuesOrMeta(const RegBlock& block) {
    if (block.changed) return !block.values.empty() || !block.metaLines.empty();
    std::string_view rest(block.raw);
    NextLine(rest); // the header line
    while (!rest.empty()) {
        const std::string_view line = NextLine(rest);
        if (!line.empty() && (line[0] == '"' || line[0] == '@' || (line[0] == '#' && line.rfind("#time=", 0) != 0)))
            return true;
    }
    return false;
}

// Wine writes no block for a key without values that has subkeys: when a new
// subkey makes a parent so, its empty block goes.
void DropEmptyParentBlocks(UserReg& hive, const std::vector<std::u16string>& folded) {
    for (std::size_t depth = 1; depth < folded.size(); ++depth) {
        const auto found = hive.blockIndex.find(JoinFolded(folded, depth));
        if (found == hive.blockIndex.end()) continue;
        if (!HoldsValuesOrMeta(hive.blocks[found->second])) {
            hive.blocks.erase(hive.blocks.begin() + static_cast<std::ptrdiff_t>(found->second));
            Reindex(hive);
        }
    }
}

} // namespace

namespace {

// Appends the escaped text; `unit(i)` gives code unit i of `count`.
template <typename Unit>
void AppendEscaped(std::string& out, std::size_t count, Unit unit, const char* escaped) {
    static const char kEscapes[33] = ".......abtnvfr.............e....";
    char scratch[16];
    for (std::size_t i = 0; i < count; ++i) {
        const char16_t c = unit(i);
        const bool more = i + 1 < count;
        if (c > 127) {
            const char16_t next = more ? unit(i + 1) : 0;
            const bool hexFollows = more && next < 128 && IsHexDigit(static_cast<char>(next));
            std::snprintf(scratch, sizeof scratch, hexFollows ? "\\x%04x" : "\\x%x", static_cast<unsigned>(c));
            out += scratch;
        } else if (c < 32) {
            if (c == 0 && !more) continue; // the terminating NUL is not written
            if (kEscapes[c] != '.') {
                out += '\\';
                out += kEscapes[c];
            } else {
                const char16_t next = more ? unit(i + 1) : 0;
                const bool octalFollows = more && next >= u'0' && next <= u'7';
                std::snprintf(scratch, sizeof scratch, octalFollows ? "\\%03o" : "\\%o", static_cast<unsigned>(c));
                out += scratch;
            }
        } else {
            if (c == u'\\' || c == escaped[0] || c == escaped[1]) out += '\\';
            out += static_cast<char>(c);
        }
    }
}

} // namespace

std::string EscapeRegString(std::u16string_view text, const char* escaped) {
    std::string out;
    out.reserve(text.size() + 8);
    AppendEscaped(out, text.size(), [&](std::size_t i) { return text[i]; }, escaped);
    return out;
}

std::string FormatRegData(std::uint32_t type, const std::string& data, std::size_t column) {
    const bool isString = type == 1 || type == 2 || type == 7;
    if (isString && data.size() >= 2 && data.size() % 2 == 0 && data[data.size() - 2] == 0 && data.back() == 0) {
        std::string out;
        out.reserve(data.size() / 2 + 16);
        if (type != 1) {
            char kind[16];
            std::snprintf(kind, sizeof kind, "str(%x):", type);
            out = kind;
        }
        out += '"';
        AppendEscaped(out, data.size() / 2, [&](std::size_t i) {
            return static_cast<char16_t>(static_cast<unsigned char>(data[2 * i]) |
                                         (static_cast<unsigned char>(data[2 * i + 1]) << 8));
        }, "\"\"");
        out += '"';
        return out;
    }
    char scratch[32];
    if (type == 4 && data.size() == 4) {
        std::uint32_t dword = 0;
        for (int i = 3; i >= 0; --i) dword = (dword << 8) | static_cast<unsigned char>(data[i]);
        std::snprintf(scratch, sizeof scratch, "dword:%08x", dword);
        return scratch;
    }
    if (type == 3) {
        std::snprintf(scratch, sizeof scratch, "hex:");
    } else {
        std::snprintf(scratch, sizeof scratch, "hex(%x):", type);
    }
    std::string out = scratch;
    // Lines are wrapped as Wine wraps them, counting from the line's start.
    std::size_t count = column + out.size();
    for (std::size_t i = 0; i < data.size(); ++i) {
        std::snprintf(scratch, sizeof scratch, "%02x", static_cast<unsigned char>(data[i]));
        out += scratch;
        count += 2;
        if (i + 1 < data.size()) {
            out += ',';
            if (++count > 76) {
                out += "\\\n  ";
                count = 2;
            }
        }
    }
    return out;
}

std::optional<UserReg> ParseUserReg(std::string_view text, std::string* reason) {
    auto fail = [&](const std::string& why) -> std::optional<UserReg> {
        if (reason) *reason = why;
        return std::nullopt;
    };
    if (text.find('\0') != std::string_view::npos) return fail("it holds NUL bytes");
    if (text.substr(0, sizeof kSignature - 1) != kSignature ||
        (text.size() > sizeof kSignature - 1 && text[sizeof kSignature - 1] != '\n' &&
         text[sizeof kSignature - 1] != '\r'))
        return fail("it does not start with \"WINE REGISTRY Version 2\"");
    if (text.back() != '\n') return fail("its last line is incomplete");

    UserReg hive;
    std::size_t pos = 0;
    std::size_t blockStart = std::string_view::npos;
    bool continues = false;
    std::size_t lineNumber = 0;
    auto closeBlock = [&](std::size_t end) {
        if (blockStart == std::string_view::npos) {
            hive.header = std::string(text.substr(0, end));
        } else {
            hive.blocks.back().raw = std::string(text.substr(blockStart, end - blockStart));
        }
    };
    while (pos < text.size()) {
        const std::size_t end = text.find('\n', pos);
        std::string_view line = text.substr(pos, end - pos);
        ++lineNumber;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        const std::size_t lineStart = pos;
        pos = end + 1;
        if (continues) {
            continues = !line.empty() && line.back() == '\\';
            if (!IsHexList(line)) return fail("line " + std::to_string(lineNumber) + " is not a continued value");
            continue;
        }
        if (lineNumber == 1 || line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            closeBlock(lineStart);
            blockStart = lineStart;
            hive.blocks.emplace_back();
            if (!ParseBlockHeader(line, hive.blocks.back()))
                return fail("line " + std::to_string(lineNumber) + " is not a key");
            continue;
        }
        ValueLine value;
        std::u16string name;
        if (blockStart == std::string_view::npos || (line[0] != '"' && line[0] != '@') ||
            !ParseValueLine(line, value, name, &continues))
            return fail("line " + std::to_string(lineNumber) + " is not a value");
    }
    if (continues) return fail("its last value is cut off");
    closeBlock(text.size());
    for (std::size_t i = 0; i < hive.blocks.size(); ++i) IndexBlock(hive, i);
    return hive;
}

UserReg NewUserReg(const std::string& arch) {
    UserReg hive;
    hive.header = std::string(kSignature) + "\n;; All keys relative to REGISTRY\\\\User\\\\S-1-5-21-0-0-0-1000\n";
    if (!arch.empty()) hive.header += "\n#arch=" + arch + "\n";
    hive.changed = true;
    return hive;
}

namespace {

// Adds the block of a key; the components that exist keep their spelling.
std::size_t InsertBlock(UserReg& hive, const RegKeyRef& key, std::uint64_t now) {
    RegBlock block;
    block.foldedPath = key.folded;
    for (std::size_t depth = key.path.size(); depth > 0; --depth) {
        const auto known = hive.keys.find(JoinFolded(key.folded, depth));
        if (known != hive.keys.end()) {
            block.componentTexts = known->second;
            break;
        }
    }
    for (std::size_t i = block.componentTexts.size(); i < key.path.size(); ++i)
        block.componentTexts.push_back(EscapeRegString(key.path[i], "[]"));
    block.changed = true;
    block.modified = now;

    DropEmptyParentBlocks(hive, key.folded);
    // Blocks stand in the order of a walk through the tree with sorted subkeys.
    const auto at = std::upper_bound(hive.blocks.begin(), hive.blocks.end(), key.folded,
                                     [](const std::vector<std::u16string>& path, const RegBlock& other) {
                                         return path < other.foldedPath;
                                     });
    const std::size_t index = static_cast<std::size_t>(at - hive.blocks.begin());
    hive.blocks.insert(at, std::move(block));
    Reindex(hive);
    IndexBlock(hive, index);
    hive.changed = true;
    return index;
}

} // namespace

RegKeyRef MakeRegKeyRef(const KeyPath& path) {
    RegKeyRef key{path, {}, {}};
    for (const std::u16string& component : path) key.folded.push_back(FoldCase(component));
    key.joined = JoinFolded(key.folded, key.folded.size());
    return key;
}

bool CreateRegKey(UserReg& hive, const RegKeyRef& key, std::uint64_t now) {
    if (hive.keys.count(key.joined)) return false;
    InsertBlock(hive, key, now);
    return true;
}

void SetRegValue(UserReg& hive, const RegKeyRef& key, const std::u16string& name, std::uint32_t type,
                 const std::string& data, std::uint64_t now) {
    const auto found = hive.blockIndex.find(key.joined);
    // A key that had subkeys only, and so no block, gets one now.
    RegBlock& block = hive.blocks[found != hive.blockIndex.end() ? found->second : InsertBlock(hive, key, now)];
    OpenBlockForChange(block);
    const auto [index, added] = block.valueIndex.Insert(ValueKey(name));
    if (added) block.values.emplace_back();
    ValueLine* old = added ? nullptr : &block.values[index];
    ValueLine line;
    line.text = old ? std::string(old->Name()) : name.empty() ? "@" : "\"" + EscapeRegString(name, "\"\"") + "\"";
    line.nameLength = line.text.size();
    line.text += '=';
    line.text += FormatRegData(type, data, line.text.size());
    if (old && old->text == line.text) return;
    block.values[index] = std::move(line);
    block.modified = now;
    hive.changed = true;
}

std::pair<std::size_t, bool> ValueIndex::Insert(std::string key) {
    const std::size_t hash = std::hash<std::string>{}(key);
    if (2 * (keys.size() + 1) > slots.size()) {
        // Kept at most half full, a power of two in size; rebuilt from the
        // stored hashes.
        std::size_t size = 16;
        while (size < 4 * (keys.size() + 1)) size *= 2;
        slots.assign(size, 0);
        for (std::size_t i = 0; i < hashes.size(); ++i) {
            std::size_t at = hashes[i] & (slots.size() - 1);
            while (slots[at]) at = (at + 1) & (slots.size() - 1);
            slots[at] = static_cast<std::uint32_t>(i + 1);
        }
    }
    std::size_t at = hash & (slots.size() - 1);
    for (; slots[at]; at = (at + 1) & (slots.size() - 1)) {
        const std::size_t index = slots[at] - 1;
        if (hashes[index] == hash && keys[index] == key) return {index, false};
    }
    slots[at] = static_cast<std::uint32_t>(keys.size() + 1);
    keys.push_back(std::move(key));
    hashes.push_back(hash);
    return {keys.size() - 1, true};
}

std::string ValueKey(std::u16string_view name) {
    std::string key;
    key.reserve(name.size());
    for (char16_t unit : name) {
        const char16_t c = FoldCase(unit);
        if (c < 0x80) {
            key.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            key.push_back(static_cast<char>(0xC0 | (c >> 6)));
            key.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            key.push_back(static_cast<char>(0xE0 | (c >> 12)));
            key.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            key.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return key;
}

std::map<std::u16string, std::map<std::string, std::string>> AllRegValues(const UserReg& hive) {
    std::map<std::u16string, std::map<std::string, std::string>> all;
    for (const RegBlock& block : hive.blocks) {
        RegBlock copy = block;
        OpenBlockForChange(copy);
        auto& values = all[JoinFolded(block.foldedPath, block.foldedPath.size())];
        for (std::size_t index = 0; index < copy.valueIndex.size(); ++index)
            values[copy.valueIndex.keys[index]] = std::string(copy.values[index].Data());
    }
    return all;
}

std::string SerializeUserReg(const UserReg& hive) {
    // Sized first: a hive of a million values is tens of megabytes.
    std::size_t size = hive.header.size();
    for (const RegBlock& block : hive.blocks) {
        size += block.raw.size() + block.tail.size() + 128;
        for (const std::string& meta : block.metaLines) size += meta.size() + 1;
        for (const ValueLine& value : block.values) size += value.text.size() + 1;
    }
    std::string out;
    out.reserve(size);
    out = hive.header;
    bool previousRewritten = false;
    for (const RegBlock& block : hive.blocks) {
        // A block opened for a change that came to nothing stays as it was.
        const bool rewritten = block.modified != 0;
        if (rewritten || previousRewritten) {
            // Every block follows an empty line.
            if (out.empty() || out.back() != '\n') out += '\n';
            if (out.size() < 2 || out[out.size() - 2] != '\n') out += '\n';
        }
        previousRewritten = rewritten;
        if (!rewritten) {
            out += block.raw;
            continue;
        }
        out += BlockHeaderText(block);
        for (const std::string& meta : block.metaLines) out += meta + "\n";
        for (const ValueLine* value : SortedValues(block)) {
            out += value->text;
            out += '\n';
        }
        out += block.tail;
    }
    return out;
}
