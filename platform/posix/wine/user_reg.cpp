#include "user_reg.h"

#include <algorithm>
#include <cassert>
#include <cstdio>

#include "filetime.h"
#include "reg_syntax.h"
#include "text_encoding.h"

namespace {


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

// Reads "[path] seconds" into the block's path.
bool ParseBlockHeader(std::string_view line, RegBlock& block, std::string* why) {
    RegKeyLine key;
    if (!ParseRegKeyLine(line, key, why)) return false;
    block.componentTexts = std::move(key.texts);
    for (const std::u16string& name : key.names) block.foldedPath.push_back(FoldCase(name));
    return true;
}

std::string BlockHeaderText(const RegBlock& block) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "] %llu\n#time=%x%08x\n",
                  static_cast<unsigned long long>(FileTimeToUnixSeconds(block.modified)),
                  static_cast<unsigned>(block.modified >> 32), static_cast<unsigned>(block.modified & 0xFFFFFFFFu));
    return "[" + JoinTexts(block.componentTexts) + stamp;
}

// Adds a value read from the file. A name given twice in other letter cases
// keeps its first spelling and takes the later data, as Wine loads it.
void PutValue(RegBlock& block, const RegValueLine& read) {
    assert(block.opened);
    ValueLine value;
    if (read.plain) {
        value.text = read.text;
        value.nameLength = read.nameLength;
    } else {
        value.text = FormatRegName(read.name);
        value.nameLength = value.text.size();
        value.text += '=';
        value.text += FormatRegData(read.type, read.data, value.text.size());
    }
    const auto [index, added] = block.valueIndex.Insert(ValueKey(read.name));
    if (added) {
        block.values.push_back(std::move(value));
        assert(block.values.size() == block.valueIndex.size());
        return;
    }
    ValueLine& first = block.values[index];
    first.text = std::string(first.Name()) + "=" + std::string(value.Data());
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

// Turns a closed block into an opened one, whose values can be edited. The
// block was read by ParseUserReg, so every line of it parses.
void OpenBlockForChange(RegBlock& block) {
    if (block.opened) return;
    block.opened = true;
    std::string_view rest(block.raw);
    NextRegLine(rest); // the header line
    while (!rest.empty()) {
        std::string_view line = NextRegLine(rest);
        const RegLineKind kind = ClassifyRegLine(line);
        if (kind == RegLineKind::Option) {
            if (line.rfind("#time=", 0) != 0) block.metaLines.emplace_back(line); // #time is written anew
        } else if (kind == RegLineKind::Value) {
            RegValueLine value;
            if (ParseRegValueLine(line, rest, value, nullptr)) PutValue(block, value);
        } else {
            block.tail += std::string(line) + "\n";
        }
    }
}

void IndexBlock(UserReg& hive, std::size_t index) {
    const RegBlock& block = hive.blocks[index];
    hive.blockIndex[JoinFolded(block.foldedPath, block.foldedPath.size())] = index;
    if (block.isLink) hive.links.insert(JoinFolded(block.foldedPath, block.foldedPath.size()));
    // A block "[]" holds values of the hive's root key, which exists too.
    for (std::size_t depth = block.foldedPath.empty() ? 0 : 1; depth <= block.foldedPath.size(); ++depth) {
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
    if (block.opened) return !block.values.empty() || !block.metaLines.empty();
    std::string_view rest(block.raw);
    NextRegLine(rest); // the header line
    while (!rest.empty()) {
        std::string_view line = NextRegLine(rest);
        const RegLineKind kind = ClassifyRegLine(line);
        if (kind == RegLineKind::Value || (kind == RegLineKind::Option && line.rfind("#time=", 0) != 0)) return true;
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
    block.opened = true;
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

std::optional<UserReg> ParseUserReg(std::string_view text, std::string* reason) {
    std::size_t lineNumber = 1;
    auto fail = [&](const std::string& why) -> std::optional<UserReg> {
        if (reason) *reason = "line " + std::to_string(lineNumber) + ": " + why;
        return std::nullopt;
    };
    // The loader reads lines as C strings: a NUL would cut one in two.
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
        lineNumber = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n'));
        return fail("it holds a NUL byte");
    }
    std::string_view rest = text;
    if (NextRegLine(rest) != kRegSignature) return fail("it does not start with \"WINE REGISTRY Version 2\"");

    UserReg hive;
    std::size_t blockStart = std::string_view::npos;
    auto closeBlock = [&](std::size_t end) {
        if (blockStart == std::string_view::npos)
            hive.header = std::string(text.substr(0, end));
        else
            hive.blocks.back().raw = std::string(text.substr(blockStart, end - blockStart));
    };
    std::string why;
    while (!rest.empty()) {
        const std::size_t lineStart = text.size() - rest.size();
        ++lineNumber;
        std::string_view line = NextRegLine(rest);
        switch (ClassifyRegLine(line)) {
        case RegLineKind::Blank:
        case RegLineKind::Comment:
            break;
        case RegLineKind::Option:
            if (blockStart == std::string_view::npos) {
                if (const auto arch = RegArchOption(line); arch && !IsKnownRegArch(*arch))
                    return fail("its architecture is neither win32 nor win64");
            } else if (line.rfind("#link", 0) == 0) {
                hive.blocks.back().isLink = true;
            }
            break;
        case RegLineKind::Key:
            closeBlock(lineStart);
            blockStart = lineStart;
            hive.blocks.emplace_back();
            if (!ParseBlockHeader(line, hive.blocks.back(), &why)) return fail(why);
            break;
        case RegLineKind::Value: {
            if (blockStart == std::string_view::npos) return fail("a value stands before the first key");
            RegValueLine value;
            const std::string_view before = rest;
            if (!ParseRegValueLine(line, rest, value, &why)) return fail(why);
            // Continuation lines of hex data were taken too.
            lineNumber += static_cast<std::size_t>(
                std::count(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(before.size() - rest.size()), '\n'));
            break;
        }
        case RegLineKind::Unknown:
            return fail("it is neither a key, a value, an option nor a comment");
        }
    }
    closeBlock(text.size());
    for (std::size_t i = 0; i < hive.blocks.size(); ++i) IndexBlock(hive, i);
    return hive;
}

UserReg NewUserReg(const std::string& arch) {
    UserReg hive;
    hive.header = UserRegHeader(arch);
    hive.changed = true;
    return hive;
}

RegKeyRef MakeRegKeyRef(const KeyPath& path) {
    RegKeyRef key{path, {}, {}};
    for (const std::u16string& component : path) key.folded.push_back(FoldCase(component));
    key.joined = JoinFolded(key.folded, key.folded.size());
    return key;
}

bool CrossesRegLink(const UserReg& hive, const RegKeyRef& key) {
    if (hive.links.empty()) return false;
    for (std::size_t depth = 1; depth <= key.folded.size(); ++depth)
        if (hive.links.count(JoinFolded(key.folded, depth))) return true;
    return false;
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
    assert(block.values.size() == block.valueIndex.size());
    ValueLine* old = added ? nullptr : &block.values[index];
    ValueLine line;
    line.text = old ? std::string(old->Name()) : FormatRegName(name);
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
    assert(keys.size() == hashes.size());
    return {keys.size() - 1, true};
}

std::string ValueKey(std::u16string_view name) {
    std::string key;
    key.reserve(name.size());
    for (char16_t unit : name) AppendUnitAsUtf8(key, FoldCase(unit));
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
        const bool rewritten = block.Rewritten();
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
