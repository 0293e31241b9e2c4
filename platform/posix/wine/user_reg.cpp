#include "user_reg.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

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

// Path components as escaped in the file are joined by an escaped backslash.
constexpr std::string_view kPathSeparator = "\\\\";

// Reads "[path] seconds": the block's path text (a view of the line where
// the path holds no empty component, else stored in the arena) and its
// folded joined path, returned.
bool ParseBlockHeader(TextArena& arena, std::string_view line, RegBlock& block, std::u16string& folded,
                      std::string* why) {
    RegKeyLine key;
    if (!ParseRegKeyLine(line, key, why)) return false;
    std::string joined;
    folded.clear();
    for (std::size_t i = 0; i < key.texts.size(); ++i) {
        if (i) {
            joined += kPathSeparator;
            folded += u'\\';
        }
        joined += key.texts[i];
        folded += FoldCase(key.names[i]);
    }
    const std::string_view path = line.substr(1, line.find(']') - 1);
    block.pathText = path == joined ? path : arena.Store(joined);
    return true;
}

std::string BlockHeaderText(const RegBlock& block) {
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "] %llu\n#time=%llx\n",
                  static_cast<unsigned long long>(FileTimeToUnixSeconds(block.modified)),
                  static_cast<unsigned long long>(block.modified));
    return "[" + std::string(block.pathText) + stamp;
}

// The order of blocks, that of a walk through the tree with sorted subkeys:
// folded joined paths compared component by component, so the separator
// sorts before every character (no component holds one).
bool PathLess(std::u16string_view a, std::u16string_view b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char16_t x, char16_t y) {
        return (x == u'\\' ? -1 : int{x}) < (y == u'\\' ? -1 : int{y});
    });
}

// Where the component that starts at `from` ends in a path text: at the
// next separator, or at the end. A backslash and the character after it are
// an escape within the component, as ParseRegKeyLine reads them.
std::size_t ComponentEnd(std::string_view pathText, std::size_t from) {
    for (std::size_t i = from; i < pathText.size(); ++i) {
        if (pathText[i] != '\\') continue;
        if (pathText.substr(i, 2) == kPathSeparator) return i;
        ++i;
    }
    return pathText.size();
}

// The last component of a path text: the key's own name, as escaped there.
std::string_view LastComponent(std::string_view pathText) {
    std::size_t start = 0;
    for (std::size_t end; (end = ComponentEnd(pathText, start)) < pathText.size();) start = end + kPathSeparator.size();
    return pathText.substr(start);
}

ValueLine StoreLine(TextArena& arena, std::string_view text, std::size_t nameLength) {
    // Lengths are 32 bits; no value of the registry comes near.
    if (text.size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    const std::string_view stored = arena.Store(text);
    return ValueLine{stored.data(), static_cast<std::uint32_t>(stored.size()), static_cast<std::uint32_t>(nameLength)};
}

// Most names are ASCII without escapes: their key is the text between the
// quotes with A to Z folded, and needs no decoding. That text, or nullopt for
// another name.
std::optional<std::string_view> PlainName(const ValueLine& value) {
    const std::string_view name = value.Name();
    if (name.size() < 2 || name.front() != '"') return std::nullopt;
    const std::string_view inner = name.substr(1, name.size() - 2);
    if (!std::all_of(inner.begin(), inner.end(), [](char c) { return c != '\\' && c > 0; })) return std::nullopt;
    return inner;
}

char FoldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// The key that a value is found and sorted by, from its name's text.
std::string LineKey(const ValueLine& value) {
    if (const auto plain = PlainName(value)) {
        std::string key(*plain);
        for (char& c : key) c = FoldAscii(c);
        return key;
    }
    return ValueKey(RegValueName(value.Name()));
}

// The hash that a value is found by, of its key (a ValueKey).
std::uint32_t ValueHash(std::string_view key) {
    return static_cast<std::uint32_t>(std::hash<std::string_view>{}(key));
}

// The index of the value whose name has `key` (a ValueKey, whose ValueHash is
// `hash`) and false; or, when there is none, the index of a new empty value
// added for it and true.
std::pair<std::size_t, bool> FindOrAddValue(RegBlock& block, std::string_view key, std::uint32_t hash) {
    assert(block.opened);
    ValueIndex& index = block.valueIndex;
    if (4 * (index.count + 1) > 3 * index.slots.size()) {
        LargeVector<std::uint64_t> old(std::max<std::size_t>(16, 2 * index.slots.size()), 0);
        old.swap(index.slots);
        for (const std::uint64_t slot : old) {
            if (!slot) continue;
            std::size_t at = (slot >> 32) & (index.slots.size() - 1);
            while (index.slots[at]) at = (at + 1) & (index.slots.size() - 1);
            index.slots[at] = slot;
        }
    }
    const std::size_t mask = index.slots.size() - 1;
    std::size_t at = hash & mask;
    for (; index.slots[at]; at = (at + 1) & mask) {
        const std::uint64_t slot = index.slots[at];
        const std::size_t found = static_cast<std::uint32_t>(slot) - 1;
        if (slot >> 32 == hash && LineKey(block.values[found]) == key) return {found, false};
    }
    // Indexes are 32 bits; no block comes near four billion values.
    if (block.values.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    index.slots[at] = std::uint64_t{hash} << 32 | (block.values.size() + 1);
    ++index.count;
    // From a few thousand values to a few million the block grows eightfold:
    // each growth copies the values into memory never touched, which costs
    // more than room reserved and not used (untouched, it takes no memory).
    // Beyond, it doubles, so as not to reserve gigabytes a count cannot use.
    if (block.values.size() == block.values.capacity() && block.values.size() >= (1 << 12) &&
        block.values.size() < (1 << 20))
        block.values.reserve(8 * block.values.size());
    block.values.emplace_back();
    assert(block.values.size() == index.count);
    return {block.values.size() - 1, true};
}

// Decodes a value's line (with its continuation lines) as formed here or
// read by ParseUserReg, which both check it.
void ReadStoredLine(std::string_view text, RegValueLine& read) {
    std::string_view rest = text;
    const std::string_view first = NextRegLine(rest);
    const bool parsed = ParseRegValueLine(first, rest, read, nullptr);
    assert(parsed && "a value line formed here or read by ParseUserReg");
    (void)parsed;
}

// Forms in `line` the value's line with the data of `other`, a line of the
// same name (spelled perhaps otherwise) whose name text is
// `otherNameLength` long: the value keeps the spelling of its name, as in
// Wine. Hex data is wrapped counting from the line's start, so where the two
// names' texts differ in length ("\x178" and "\xff" fold alike) the data is
// formatted anew after the kept name.
void LineWithDataOf(const ValueLine& value, std::string_view other, std::size_t otherNameLength, std::string& line) {
    line.assign(value.Name());
    line += '=';
    if (otherNameLength == value.nameLength) {
        line += other.substr(otherNameLength + 1);
        return;
    }
    RegValueLine read;
    ReadStoredLine(other, read);
    AppendRegData(line, read.type, read.data);
}

// Adds a value read from the file. A name given twice in other letter cases
// keeps its first spelling and takes the later data, as Wine loads it. The
// name keeps its text as read, and data not in Wine's shape is formed anew
// after it: the name as Wine writes it would lose a NUL at its end, and so
// be another value's name.
void PutValue(TextArena& arena, RegBlock& block, const RegValueLine& read) {
    std::string formatted;
    std::string_view text = read.text;
    const std::size_t nameLength = read.nameLength;
    if (!read.plain) {
        formatted.assign(read.text, 0, nameLength);
        formatted += '=';
        AppendRegData(formatted, read.type, read.data);
        text = formatted;
    }
    const std::string key = ValueKey(read.name);
    const auto [index, added] = FindOrAddValue(block, key, ValueHash(key));
    ValueLine& value = block.values[index];
    if (added) {
        value = StoreLine(arena, text, nameLength);
        return;
    }
    std::string line;
    LineWithDataOf(value, text, nameLength, line);
    value = StoreLine(arena, line, value.nameLength);
}

// A value's place in the order Wine keeps them: the first twelve bytes of
// its key packed into a number and the next four, beside its index.
struct SortKey {
    std::uint64_t high;
    std::uint32_t low;
    std::uint32_t index;
    unsigned Byte(std::size_t at) const {
        return at < 8 ? (high >> (56 - 8 * at)) & 0xFF : (low >> (24 - 8 * (at - 8))) & 0xFF;
    }
    bool SamePrefix(const SortKey& other) const { return high == other.high && low == other.low; }
    bool PrefixLess(const SortKey& other) const { return high != other.high ? high < other.high : low < other.low; }
};
constexpr std::size_t kSortPrefix = 12;

// The values in the order Wine keeps them: by folded name. The packed
// prefixes decide most comparisons; in a large block they are sorted by
// radix, a counting pass per byte that differs among the keys. Only keys
// that share those bytes are compared in full. Plain names need no key of
// their own (a block may hold ten million values).
LargeVector<SortKey> SortedValues(const RegBlock& block) {
    const std::size_t count = block.values.size();
    const bool byRadix = count >= 1024;
    LargeVector<SortKey> order(count);
    std::vector<std::array<std::size_t, 256>> counts(byRadix ? kSortPrefix : 0);
    for (std::size_t index = 0; index < count; ++index) {
        const auto plain = PlainName(block.values[index]);
        const std::string key = plain ? std::string() : LineKey(block.values[index]);
        const std::string_view name = plain ? *plain : std::string_view(key);
        std::uint64_t packed[2] = {0, 0};
        for (std::size_t i = 0; i < kSortPrefix; ++i) {
            const unsigned byte = i < name.size() ? static_cast<unsigned char>(FoldAscii(name[i])) : 0;
            packed[i / 8] = (packed[i / 8] << 8) | byte;
            if (byRadix) ++counts[i][byte];
        }
        order[index] = {packed[0], static_cast<std::uint32_t>(packed[1]), static_cast<std::uint32_t>(index)};
    }
    auto fullKeyLess = [&](const SortKey& a, const SortKey& b) {
        const ValueLine &first = block.values[a.index], &second = block.values[b.index];
        const auto plainA = PlainName(first), plainB = PlainName(second);
        if (!plainA || !plainB) return LineKey(first) < LineKey(second);
        return std::lexicographical_compare(plainA->begin(), plainA->end(), plainB->begin(), plainB->end(),
                                            [](char x, char y) {
                                                return static_cast<unsigned char>(FoldAscii(x)) <
                                                       static_cast<unsigned char>(FoldAscii(y));
                                            });
    };
    if (!byRadix) {
        std::sort(order.begin(), order.end(), [&](const SortKey& a, const SortKey& b) {
            return a.SamePrefix(b) ? fullKeyLess(a, b) : a.PrefixLess(b);
        });
        return order;
    }
    // Least significant byte first; each pass keeps the order of the last.
    LargeVector<SortKey> spare(count);
    for (std::size_t at = kSortPrefix; at-- > 0;) {
        if (counts[at][order[0].Byte(at)] == count) continue; // all keys share this byte
        std::size_t next = 0;
        for (std::size_t& slot : counts[at]) next += std::exchange(slot, next);
        for (const SortKey& entry : order) spare[counts[at][entry.Byte(at)]++] = entry;
        order.swap(spare);
    }
    for (auto run = order.begin(); run != order.end();) {
        const auto end = std::find_if(run, order.end(), [&](const SortKey& entry) { return !entry.SamePrefix(*run); });
        if (end - run > 1) std::sort(run, end, fullKeyLess);
        run = end;
    }
    return order;
}

// Turns a closed block into an opened one, whose values can be edited. The
// block was read by ParseUserReg, so every line of it parses.
void OpenBlockForChange(TextArena& arena, RegBlock& block) {
    if (block.opened) return;
    block.opened = true;
    std::string_view rest(block.raw);
    NextRegLine(rest); // the header line
    RegValueLine value; // one for all lines, which reuse its memory
    while (!rest.empty()) {
        std::string_view line = NextRegLine(rest);
        const RegLineKind kind = ClassifyRegLine(line);
        if (kind == RegLineKind::Option) {
            if (line.rfind("#time=", 0) != 0) block.metaLines.emplace_back(line); // #time is written anew
        } else if (kind == RegLineKind::Value) {
            if (ParseRegValueLine(line, rest, value, nullptr)) PutValue(arena, block, value);
        } else {
            block.tail += std::string(line) + "\n";
        }
    }
}

// Makes the block at `index`, whose folded joined path is `folded`, the
// block of its key, and every key on its path known. A key met before keeps
// the spelling it was met with first.
void IndexBlock(UserReg& hive, std::size_t index, const std::u16string& folded) {
    RegBlock& block = hive.blocks[index];
    // A block "[]" holds values of the hive's root key, which exists too.
    for (std::size_t textEnd = 0, foldedEnd = 0; !folded.empty(); textEnd += kPathSeparator.size(), ++foldedEnd) {
        textEnd = ComponentEnd(block.pathText, textEnd);
        foldedEnd = std::min(folded.find(u'\\', foldedEnd), folded.size());
        if (foldedEnd == folded.size()) break;
        hive.keys.try_emplace(folded.substr(0, foldedEnd), RegKeyEntry{block.pathText.substr(0, textEnd)});
    }
    const auto entry = hive.keys.try_emplace(folded, RegKeyEntry{block.pathText}).first;
    entry->second.block = index;
    block.folded = entry->first;
    if (block.isLink) hive.links.insert(folded);
}

// Moves the indexes of the blocks from `from` on by `by` (+1 after an
// insertion there, -1 after a removal).
void ShiftBlockIndex(UserReg& hive, std::size_t from, std::ptrdiff_t by) {
    hive.lastBlock.reset();
    for (auto& [path, entry] : hive.keys)
        if (entry.block != RegKeyEntry::kNoBlock && entry.block >= from)
            entry.block = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(entry.block) + by);
}

bool HoldsValuesOrMeta(const RegBlock& block) {
    if (block.opened) return !block.values.empty() || !block.pending.empty() || !block.metaLines.empty();
    std::string_view rest(block.raw);
    NextRegLine(rest); // the header line
    while (!rest.empty()) {
        std::string_view line = NextRegLine(rest);
        const RegLineKind kind = ClassifyRegLine(line);
        if (kind == RegLineKind::Value || (kind == RegLineKind::Option && line.rfind("#time=", 0) != 0)) return true;
    }
    return false;
}

// The names of a block's path as Wine shows them: decoded, letter case kept.
std::vector<std::u16string> PathNames(const RegBlock& block) {
    RegKeyLine key;
    ParseRegKeyLine("[" + std::string(block.pathText) + "]", key, nullptr);
    return std::move(key.names);
}

// True when `path` is the folded key `key` or one below it.
bool FoldedPathStartsWith(std::u16string_view path, std::u16string_view key) {
    return path.substr(0, key.size()) == key && (path.size() == key.size() || path[key.size()] == u'\\');
}

// Whether the block at `index` is the first to name a key on its path that
// the next block naming that key spells otherwise: Wine, reading the file,
// spells a key as it meets it first, so without this block the later
// spelling would win.
bool SpellsAKeyFirst(const UserReg& hive, std::size_t index) {
    const RegBlock& block = hive.blocks[index];
    const std::vector<std::u16string> names = PathNames(block);
    const auto before = hive.blocks.begin() + static_cast<std::ptrdiff_t>(index);
    std::size_t depth = 0;
    for (std::size_t end = 0; end != std::u16string_view::npos && depth < names.size(); ++end) {
        end = block.folded.find(u'\\', end);
        const std::u16string_view key = block.folded.substr(0, end);
        ++depth;
        const auto namesKey = [key](const RegBlock& other) { return FoldedPathStartsWith(other.folded, key); };
        if (std::any_of(hive.blocks.begin(), before, namesKey)) continue; // not the first to name it
        const auto next = std::find_if(before + 1, hive.blocks.end(), namesKey);
        if (next == hive.blocks.end()) continue;
        const std::vector<std::u16string> spelt = PathNames(*next);
        if (spelt.size() < depth || !std::equal(names.begin(), names.begin() + static_cast<std::ptrdiff_t>(depth), spelt.begin()))
            return true;
    }
    return false;
}

// Wine writes no block for a key without values that has subkeys: when a new
// subkey makes a parent so, its empty block goes, unless Wine would then
// read the key, or one on its path, in another spelling.
void DropEmptyParentBlocks(UserReg& hive, const std::vector<std::u16string>& folded) {
    for (std::size_t depth = 1; depth < folded.size(); ++depth) {
        const auto found = hive.keys.find(JoinFolded(folded, depth));
        if (found == hive.keys.end() || found->second.block == RegKeyEntry::kNoBlock) continue;
        if (!HoldsValuesOrMeta(hive.blocks[found->second.block]) && !SpellsAKeyFirst(hive, found->second.block)) {
            const std::size_t removed = std::exchange(found->second.block, RegKeyEntry::kNoBlock);
            hive.blocks.erase(hive.blocks.begin() + static_cast<std::ptrdiff_t>(removed));
            ShiftBlockIndex(hive, removed, -1);
            // A hand-edited file may hold the key's block twice: the last
            // one left is the one found.
            for (std::size_t i = hive.blocks.size(); i-- > 0;) {
                if (hive.blocks[i].folded == found->first) {
                    found->second.block = i;
                    break;
                }
            }
        }
    }
}

// Adds the block of a key. Each component that names a key already there is
// spelled as that key was met first, component by component: Wine shows a
// key as it met it first, and the new block may come first in the file.
std::size_t InsertBlock(UserReg& hive, const RegKeyRef& key, std::uint64_t now) {
    std::string pathText;
    for (std::size_t depth = 0; depth < key.path.size(); ++depth) {
        if (depth > 0) pathText += kPathSeparator; // also after a component that escapes to nothing
        const auto known = hive.keys.find(JoinFolded(key.folded, depth + 1));
        if (known != hive.keys.end()) pathText += LastComponent(known->second.pathText);
        else pathText += EscapeRegString(key.path[depth], "[]");
    }
    RegBlock block;
    block.pathText = hive.arena.Store(pathText);
    block.opened = true;
    block.modified = now;

    DropEmptyParentBlocks(hive, key.folded);
    const auto at = std::upper_bound(hive.blocks.begin(), hive.blocks.end(), key.joined,
                                     [](const std::u16string& path, const RegBlock& other) {
                                         return PathLess(path, other.folded);
                                     });
    const std::size_t index = static_cast<std::size_t>(at - hive.blocks.begin());
    hive.blocks.insert(at, std::move(block));
    ShiftBlockIndex(hive, index, +1);
    IndexBlock(hive, index, key.joined);
    hive.changed = true;
    return index;
}

} // namespace

std::optional<UserReg> ParseUserReg(std::string_view text, std::string* reason) {
    return ParseUserReg(LargeText(text), reason);
}

std::optional<UserReg> ParseUserReg(LargeText&& read, std::string* reason) {
    UserReg hive;
    hive.source = std::make_unique<const LargeText>(std::move(read));
    const std::string_view text = *hive.source;
    std::size_t lineNumber = 1;
    auto fail = [&](const std::string& why) -> std::optional<UserReg> {
        if (reason) *reason = "line " + std::to_string(lineNumber) + ": " + why;
        return std::nullopt;
    };
    // The loader reads lines as C strings: a NUL would cut one in two.
    if (const std::size_t nul = text.find('\0'); nul != std::string_view::npos) {
        lineNumber = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(nul), '\n'));
        return fail("holds a NUL byte");
    }
    std::string_view rest = text;
    if (NextRegLine(rest) != kRegSignature) return fail("does not start with \"WINE REGISTRY Version 2\"");

    // A block per key line, and room for the few keys a run adds: moving
    // every block to grow by one touches as much new memory as the file.
    std::size_t keyLines = 0;
    for (std::size_t at = text.find("\n["); at != std::string_view::npos; at = text.find("\n[", at + 2)) ++keyLines;
    hive.blocks.reserve(keyLines + 16);
    std::size_t blockStart = std::string_view::npos;
    std::u16string folded; // the folded path of the block being read
    RegValueLine value; // one for all lines, which reuse its memory
    auto closeBlock = [&](std::size_t end) {
        if (blockStart == std::string_view::npos) {
            hive.header = text.substr(0, end);
            return;
        }
        hive.blocks.back().raw = text.substr(blockStart, end - blockStart);
        // Indexed once read to its end: a "#link" line in it makes it a link.
        IndexBlock(hive, hive.blocks.size() - 1, folded);
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
                    return fail("architecture is neither win32 nor win64");
            } else if (line.rfind("#link", 0) == 0) {
                hive.blocks.back().isLink = true;
            }
            break;
        case RegLineKind::Key:
            closeBlock(lineStart);
            blockStart = lineStart;
            hive.blocks.emplace_back();
            if (!ParseBlockHeader(hive.arena, line, hive.blocks.back(), folded, &why)) return fail(why);
            break;
        case RegLineKind::Value: {
            if (blockStart == std::string_view::npos) return fail("a value stands before the first key");
            const std::string_view before = rest;
            if (!CheckRegValueLine(line, rest, value, &why)) return fail(why);
            // Continuation lines of hex data were taken too.
            lineNumber += static_cast<std::size_t>(
                std::count(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(before.size() - rest.size()), '\n'));
            break;
        }
        case RegLineKind::Unknown:
            return fail("neither a key, a value, an option nor a comment");
        }
    }
    closeBlock(text.size());
    return hive;
}

UserReg NewUserReg(const std::string& arch) {
    UserReg hive;
    hive.header = hive.arena.Store(UserRegHeader(arch));
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

namespace {

// How many values wait in a block before they are put in place.
constexpr std::size_t kPendingValues = 256;

// Puts a block's pending values in place, in the order set: a new name is
// added; a name there already keeps its first spelling and takes the data,
// unless it holds that data already. Each value's slot in the index is
// fetched from memory some values ahead: in a large block every lookup is a
// cache miss.
void SettleBlock(UserReg& hive, RegBlock& block) {
    constexpr std::size_t kAhead = 8;
    const auto& pending = block.pending;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        const auto& slots = block.valueIndex.slots;
        if (i + kAhead < pending.size() && !slots.empty())
            __builtin_prefetch(&slots[pending[i + kAhead].hash & (slots.size() - 1)]);
        const RegBlock::PendingValue& set = pending[i];
        const auto [index, added] = FindOrAddValue(block, LineKey(set.line), set.hash);
        ValueLine& value = block.values[index];
        if (added) {
            value = set.line;
        } else {
            std::string& line = hive.lineBeingFormed;
            LineWithDataOf(value, set.line.Text(), set.line.nameLength, line);
            if (line == value.Text()) continue;
            value = StoreLine(hive.arena, line, value.nameLength);
        }
        block.modified = set.now;
        hive.changed = true;
    }
    block.pending.clear();
}

// Sets a value whose data `appendData` appends to the value's line so far;
// SetRegValue's work.
template <typename AppendData>
void SetValueLine(UserReg& hive, const RegKeyRef& key, std::u16string_view name, std::uint64_t now,
                  AppendData appendData) {
    assert((name.empty() || name.back() != u'\0') && "a name that ends in NUL");
    // Compared as bytes: char16_t's character traits compare unit by unit.
    const std::u16string& path = key.joined;
    const bool sameBlock = hive.lastBlock && hive.lastBlock->first.size() == path.size() &&
                           std::memcmp(hive.lastBlock->first.data(), path.data(), 2 * path.size()) == 0;
    if (!sameBlock) {
        const auto found = hive.keys.find(key.joined);
        // A key that had subkeys only, and so no block, gets one now.
        const std::size_t index = found != hive.keys.end() && found->second.block != RegKeyEntry::kNoBlock
                                      ? found->second.block
                                      : InsertBlock(hive, key, now);
        hive.lastBlock.emplace(key.joined, index);
    }
    RegBlock& block = hive.blocks[hive.lastBlock->second];
    OpenBlockForChange(hive.arena, block);
    std::string& text = hive.lineBeingFormed;
    text.clear();
    AppendRegName(text, name);
    const std::size_t nameLength = text.size();
    text += '=';
    appendData(text);
    const ValueLine line = StoreLine(hive.arena, text, nameLength);
    block.pending.push_back({line, now, ValueHash(LineKey(line))});
    if (block.pending.size() >= kPendingValues) SettleBlock(hive, block);
}

} // namespace

void SetRegValue(UserReg& hive, const RegKeyRef& key, std::u16string_view name, std::uint32_t type,
                 const std::string& data, std::uint64_t now) {
    SetValueLine(hive, key, name, now, [&](std::string& line) { AppendRegData(line, type, data); });
}

bool SetRegValueFromCp1252(UserReg& hive, const RegKeyRef& key, std::u16string_view name, std::uint32_t type,
                           std::string_view text, std::uint64_t now) {
    if (!IsRegStringType(type) || text.empty() || text.back() != '\0') return false;
    SetValueLine(hive, key, name, now, [&](std::string& line) { AppendRegStringFromCp1252(line, type, text); });
    return true;
}

std::string_view TextArena::Store(std::string_view text) {
    if (text.empty()) return {}; // there may be no chunk yet
    if (size_ - used_ < text.size()) {
        // Chunks grow from 64 KB to 8 MB: a small hive stays small, a large
        // one is held in whole huge pages.
        size_ = std::max<std::size_t>(text.size(), std::clamp<std::size_t>(2 * size_, 1 << 16, 1 << 23));
        chunks_.reserve(chunks_.size() + 1);
        // Not zeroed: only stored text is read.
        chunks_.emplace_back(LargeBufferAllocator<char>().allocate(size_), FreeChunk{size_});
        used_ = 0;
    }
    char* const stored = chunks_.back().get() + used_;
    std::copy(text.begin(), text.end(), stored);
    used_ += text.size();
    return std::string_view(stored, text.size());
}

std::string ValueKey(std::u16string_view name) {
    // ASCII, the usual case, is one byte per unit.
    std::string key(name.size(), '\0');
    std::size_t i = 0;
    for (; i < name.size() && name[i] < 0x80; ++i) key[i] = static_cast<char>(FoldCase(name[i]));
    key.resize(i);
    for (; i < name.size(); ++i) AppendUnitAsUtf8(key, FoldCase(name[i]));
    return key;
}

std::map<std::string, RegData> RegBlockValues(const RegBlock& block) {
    assert(block.pending.empty() && "pending values not settled");
    TextArena arena;
    RegBlock copy = block;
    OpenBlockForChange(arena, copy);
    std::map<std::string, RegData> values;
    RegValueLine read;
    for (const ValueLine& value : copy.values) {
        ReadStoredLine(value.Text(), read);
        values[LineKey(value)] = {read.type, read.data};
    }
    return values;
}

std::map<std::u16string, std::map<std::string, RegData>> AllRegValues(const UserReg& hive) {
    std::map<std::u16string, std::map<std::string, RegData>> all;
    for (const RegBlock& block : hive.blocks) {
        auto& values = all[std::u16string(block.folded)];
        for (auto& [key, value] : RegBlockValues(block)) values[key] = std::move(value);
    }
    return all;
}

namespace {

// Hands the hive's text on in pieces, keeping its last two characters for
// the empty lines between blocks. Text made for the output is collected in a
// buffer and handed on a megabyte at a time; text of the hive itself
// (PutLasting) goes as it is, neighbours in the file joined into one piece:
// a hive that changes in one place is written in three pieces and copied
// nowhere. At most one of the buffer and the lasting piece holds text, so
// that pieces go out in the order put.
class ChunkWriter {
public:
    explicit ChunkWriter(const std::function<bool(std::string_view)>& write) : write_(write) {}

    void Put(std::string_view text) {
        Track(text);
        WriteLasting();
        if (buffer_.size() + text.size() > kChunk) Flush();
        // A large block goes as it is, not through the buffer.
        if (text.size() >= kChunk) {
            ok_ = ok_ && write_(text);
            return;
        }
        buffer_ += text;
    }

    // Puts text that stays valid until the writer is done.
    void PutLasting(std::string_view text) {
        if (text.empty()) return;
        Track(text);
        if (!buffer_.empty()) Flush();
        if (lasting_.data() + lasting_.size() == text.data())
            lasting_ = std::string_view(lasting_.data(), lasting_.size() + text.size());
        else {
            WriteLasting();
            lasting_ = text;
        }
    }

    // Makes what was written so far end with an empty line, as Wine puts one
    // before every block.
    void EndWithEmptyLine() {
        if (total_ == 0 || last_[1] != '\n') Put("\n");
        if (total_ < 2 || last_[0] != '\n') Put("\n");
    }

    bool Flush() {
        assert((buffer_.empty() || lasting_.empty()) && "pieces put in another order than written");
        WriteLasting();
        ok_ = ok_ && (buffer_.empty() || write_(buffer_));
        buffer_.clear();
        return ok_;
    }

private:
    void Track(std::string_view text) {
        for (char c : text.substr(text.size() < 2 ? 0 : text.size() - 2)) {
            last_[0] = last_[1];
            last_[1] = c;
        }
        total_ += text.size();
    }

    void WriteLasting() {
        ok_ = ok_ && (lasting_.empty() || write_(lasting_));
        lasting_ = {};
    }

    static constexpr std::size_t kChunk = 1 << 20;
    const std::function<bool(std::string_view)>& write_;
    std::string buffer_;
    std::string_view lasting_; // put, not yet written
    char last_[2] = {0, 0};
    std::size_t total_ = 0;
    bool ok_ = true;
};

// A value's line as a rewritten block is written. Its data is in Wine's shape.
// A name with an escape is written anew as Wine writes it, its data after
// it: without a NUL at its end, which Wine does not write, so that such a
// name is read back as the name without it, as from Wine's own save, and
// (sorted after that name) replaces its value. Any other name reads as
// Wine's spelling of it reads.
std::string_view WrittenLine(const ValueLine& value, RegValueLine& scratch, std::string& line) {
    if (value.Name().find('\\') == std::string_view::npos) return value.Text();
    ReadStoredLine(value.Text(), scratch);
    line = FormatRegValue(scratch.name, scratch.type, scratch.data);
    return line;
}

} // namespace

void SettleRegValues(UserReg& hive) {
    for (RegBlock& block : hive.blocks)
        if (!block.pending.empty()) SettleBlock(hive, block);
}

bool WriteUserReg(const UserReg& hive, const std::function<bool(std::string_view)>& write) {
    ChunkWriter out(write);
    RegValueLine scratch;
    std::string line;
    out.PutLasting(hive.header);
    bool previousRewritten = false;
    for (const RegBlock& block : hive.blocks) {
        assert(block.pending.empty() && "pending values not settled");
        const bool rewritten = block.Rewritten();
        if (rewritten || previousRewritten) out.EndWithEmptyLine();
        previousRewritten = rewritten;
        if (!rewritten) {
            out.PutLasting(block.raw);
            continue;
        }
        out.Put(BlockHeaderText(block));
        for (const std::string& meta : block.metaLines) {
            out.Put(meta);
            out.Put("\n");
        }
        for (const SortKey& entry : SortedValues(block)) {
            out.Put(WrittenLine(block.values[entry.index], scratch, line));
            out.Put("\n");
        }
        out.Put(block.tail);
    }
    return out.Flush();
}

std::string SerializeUserReg(const UserReg& hive) {
    std::string text;
    WriteUserReg(hive, [&](std::string_view chunk) {
        text += chunk;
        return true;
    });
    return text;
}
