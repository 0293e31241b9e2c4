#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "large_buffer.h"
#include "reg_syntax.h"

// A registry hive file in Wine's text format ("WINE REGISTRY Version 2"), kept
// as text so that every block that no change touches is written back byte
// for byte. Keys and values are matched regardless of letter case and kept in
// the order in which Wine keeps and saves them.

using KeyPath = std::vector<std::u16string>; // components below the hive's root

// Text that lives as long as its hive, in chunks that never move, so that a
// hive of a million values holds one small record per value and no string
// of its own for each.
class TextArena {
public:
    // A copy of `text` that stays valid as long as the arena.
    std::string_view Store(std::string_view text);

private:
    struct FreeChunk {
        std::size_t size;
        void operator()(char* chunk) const { LargeBufferAllocator<char>().deallocate(chunk, size); }
    };
    std::vector<std::unique_ptr<char[], FreeChunk>> chunks_;
    std::size_t used_ = 0; // of the last chunk
    std::size_t size_ = 0; // of the last chunk
};

// One value as in the file: the name ("\"Name\"" or "@"), "=", the data
// with its continuation lines, without the final line end; held in the
// hive's arena.
struct ValueLine {
    const char* text = nullptr;
    std::uint32_t length = 0;
    std::uint32_t nameLength = 0;
    std::string_view Text() const { return std::string_view(text, length); }
    std::string_view Name() const { return Text().substr(0, nameLength); }
    std::string_view Data() const { return Text().substr(nameLength + 1); }
};

// Finds a block's values by the ValueKey of their names with no string per
// value: open addressing, at most three quarters full, a power of two in
// size. A slot holds the key's 32-bit hash above the value's index + 1, so
// that probing reads nothing else; 0 is free. A value whose hash matches is
// compared by the key of its name.
struct ValueIndex {
    LargeVector<std::uint64_t> slots;
    std::size_t count = 0;
};

// One key's block of the file: its header line "[path] seconds" and what
// follows up to the next block. A block is in one of two states:
// - closed (opened == false): only `raw` holds its lines, written back byte
//   for byte; metaLines, values, valueIndex and tail are empty;
// - opened (opened == true), by a change to its values: `raw` is kept but the
//   lines are held parsed in metaLines, values and tail, and the block is
//   written anew from them once Rewritten().
// Only an opened block is edited. In it, valueIndex holds each of values by
// its index: it counts as many as there are values. Values set last may wait
// in `pending`, not yet among `values`, until SettleRegValues.
// The views point into the hive's source, arena or key index, which outlive
// the block.
struct RegBlock {
    std::string_view pathText;  // the path as escaped in the file, components joined by two backslashes
    std::u16string_view folded; // the path folded, components joined by one backslash: its key in UserReg::keys
    std::string_view raw;       // the block's text as read, up to the next block; empty for a new block
    bool isLink = false; // holds "#link": the key is a symbolic link to another key
    bool opened = false;
    // Filled once the block is opened:
    std::uint64_t modified = 0;         // FILETIME of the last change that took effect, 0 for none
    std::vector<std::string> metaLines; // "#class=...", "#link" and others, "#time" aside
    LargeVector<ValueLine> values;      // in the order read or added
    ValueIndex valueIndex;              // by ValueKey(name)
    std::string tail;                   // what followed the values
    // Values set and not yet put among `values`, in the order set: each
    // line as set (in the hive's arena), when, and the hash of its key.
    struct PendingValue {
        ValueLine line;
        std::uint64_t now;
        std::uint32_t hash;
    };
    std::vector<PendingValue> pending;

    // True when the block is written from its parts, with a new time stamp;
    // a block opened for a change that came to nothing stays as read.
    bool Rewritten() const { return modified != 0; }
};

// A key that exists: one with a block, or one on the path of a block.
struct RegKeyEntry {
    static constexpr std::size_t kNoBlock = static_cast<std::size_t>(-1);
    std::string_view pathText;   // as escaped in the block where it was met first (or as created); its
                                 // last component is the key's name as Wine shows it
    std::size_t block = kNoBlock; // its block (the last one, for a key written twice), if any
};

// A hive refers to the text it was read from instead of copying it: the
// header and every closed block are views of `source`, and so is what is
// written for them. A hive moves without its views moving.
struct UserReg {
    std::unique_ptr<const LargeText> source; // the file as read; none for a new hive
    TextArena arena;        // text made here: opened blocks' values, new paths, a new header
    std::string_view header; // up to the first block, as read
    std::vector<RegBlock> blocks; // in the order Wine writes them
    // Every key that exists, by folded joined path.
    std::unordered_map<std::u16string, RegKeyEntry> keys;
    std::unordered_set<std::u16string> links; // folded joined paths of the keys that are links
    bool changed = false; // differs from the file read: worth saving
    // The block that a value was set in last, by its folded joined path: a
    // run sets value after value of one key. Forgotten whenever blocks move.
    std::optional<std::pair<std::u16string, std::size_t>> lastBlock;
    std::string lineBeingFormed; // a value's line, kept to reuse its memory
};

// Reads a hive file, which the hive keeps. nullopt, with the reason
// ("line N: ..."), when it is not in Wine's format or holds a line that Wine
// would drop or misread. Every block of a hive it returns parses again when
// opened.
std::optional<UserReg> ParseUserReg(LargeText&& text, std::string* reason = nullptr);
// The same for a copy of `text`.
std::optional<UserReg> ParseUserReg(std::string_view text, std::string* reason = nullptr);

// An empty hive with Wine's header; `arch` is "win32", "win64" or empty.
UserReg NewUserReg(const std::string& arch);

// A key's path with its folded forms, worked out once for many values.
struct RegKeyRef {
    KeyPath path;
    std::vector<std::u16string> folded;
    std::u16string joined; // folded components joined by '\'
};
// Folds and joins the components of a path.
RegKeyRef MakeRegKeyRef(const KeyPath& path);

// Opens or creates a key, stamped `now` (a FILETIME) when created. True when
// it was created.
bool CreateRegKey(UserReg& hive, const RegKeyRef& key, std::uint64_t now);

// Sets a value of an existing key (created first when missing). The name
// does not end in NUL (the Win32 A functions pass C strings). Data is as
// the registry holds it: strings in UTF-16 little-endian. Setting a value to
// what it already holds changes nothing, as in Wine. The value waits among
// its block's pending values, a few hundred at a time, so that their lookups
// overlap in memory; SettleRegValues puts it in place.
void SetRegValue(UserReg& hive, const RegKeyRef& key, std::u16string_view name, std::uint32_t type,
                 const std::string& data, std::uint64_t now);

// SetRegValue for a string type's data given as Windows-1252 text with its
// terminating NUL, without converting it to UTF-16 first. False, with
// nothing changed, for any other data.
bool SetRegValueFromCp1252(UserReg& hive, const RegKeyRef& key, std::u16string_view name, std::uint32_t type,
                           std::string_view text, std::uint64_t now);

// Puts every pending value in place, in the order set. Needed before the
// hive's values or `changed` are read: WriteUserReg, SerializeUserReg and
// AllRegValues assert it.
void SettleRegValues(UserReg& hive);

// Writes the hive's text through `write`, in pieces: closed blocks byte for
// byte as read, rewritten ones as Wine writes them (values sorted by folded
// name, a name that ends in NUL without it) a megabyte at a time. False as
// soon as `write` fails.
bool WriteUserReg(const UserReg& hive, const std::function<bool(std::string_view)>& write);

// The hive's text as one string, as WriteUserReg writes it.
std::string SerializeUserReg(const UserReg& hive);

// A value's name as the key it is found and sorted by: folded, each UTF-16
// code unit written as in UTF-8, so that byte order is Wine's order and most
// names fit a string without an allocation.
std::string ValueKey(std::u16string_view name);

// A value's type and data as the registry holds them: strings in UTF-16LE.
using RegData = std::pair<std::uint32_t, std::string>;

// A block's values by ValueKey, as held (in memory, or read from its text).
// For the tests and the fuzzer: the program never lists values.
std::map<std::string, RegData> RegBlockValues(const RegBlock& block);

// Every key with a block and its values, by folded path and ValueKey; a key
// written twice is merged, the later value winning. For the tests and the
// fuzzer.
std::map<std::u16string, std::map<std::string, RegData>> AllRegValues(const UserReg& hive);

// True when the key, or a key on its path, is a symbolic link: Wine follows
// it, so values written under the key's own block would not be seen.
bool CrossesRegLink(const UserReg& hive, const RegKeyRef& key);
