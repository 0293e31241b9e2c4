#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "large_buffer.h"

// A profile (INI) file as Wine's profile functions see it: names compare
// regardless of letter case, and the first section of a name, and in it the
// first key of a name, is the one found.
//
// The text stays in bytes and only what a read asks for is decoded, so that a
// profile of a million keys costs little more than its file. A file with a
// UTF-8 or UTF-16 byte order mark is held as its UTF-16 code units, each
// written as UTF-8 writes it (AppendUnitAsUtf8); any other file is held as
// read, in Windows-1252. Either way CR, LF, blanks, "[", "]", "=" and NUL are
// the single bytes of their codes, and no other character has such a byte.
struct Profile {
    LargeText text;
    bool unitsAsUtf8 = false; // else Windows-1252
    // Where the lines of each section start (its header line; 0 for the
    // lines before the first header), in the order of the file.
    std::vector<std::uint32_t> sectionStarts;
    // The first section of each folded name, by number.
    std::unordered_map<std::u16string, std::uint32_t> sectionIndex;
    // The keys of those sections, found by section number and folded name:
    // open addressing, at most half full, a power of two in size. Slot i
    // holds the offset of the key's line + 1 in keySlots[i] and its tag, 1
    // to 255 from the key's hash, in keyTags[i], so that probing reads
    // little more than the tags; a tag of 0 marks a free slot.
    LargeVector<std::uint32_t> keySlots;
    LargeVector<std::uint8_t> keyTags;
    std::size_t keyCount = 0;
    bool repeatedKeys = false; // some key line repeats a name that came before it

    // The section name asked for last, as asked, and its number (none for
    // a section the profile lacks): a run asks for key after key of one
    // section.
    mutable std::optional<std::string> lastSectionAsked;
    mutable std::optional<std::uint32_t> lastSection;
    // The key found last: its section and where its line ends.
    struct FoundKey {
        std::uint32_t section;
        std::size_t lineEnd;
    };
    mutable std::optional<FoundKey> lastKey;
};

// Reads the bytes of a profile file: a UTF-8 or UTF-16 byte order mark selects
// that encoding, anything else is 8-bit text. Throws std::bad_alloc when
// memory runs out, or when the text is too large for its offsets (4 GiB).
Profile ParseProfile(LargeText bytes);

// The value of a key in the first section of that name, in the profile's
// own form (see Profile); nullopt when the section or the key is missing or
// the key has no "=". Names are Windows-1252 text, as the 8-bit profile
// functions take them.
std::optional<std::string_view> FindProfileText(const Profile& profile, std::string_view section,
                                                std::string_view key);

// The same value decoded.
std::optional<std::u16string> FindProfileValue(const Profile& profile, std::string_view section,
                                               std::string_view key);

// What of a value or default a buffer of `capacity` units receives, the way
// Wine copies it: one pair of matching quotes around it is removed, and the
// result is cut to capacity - 1 units. The closing quote goes only when the
// whole value fitted; when it was exactly one unit too long, its last
// character goes instead.
template <class Char>
std::basic_string_view<Char> CopyProfileEntry(std::basic_string_view<Char> value, std::size_t capacity) {
    if (capacity == 0) return {};
    value = value.substr(0, value.find(Char(0)));
    const bool quoted =
        value.size() >= 2 && (value.front() == '"' || value.front() == '\'') && value.back() == value.front();
    if (!quoted) return value.substr(0, capacity - 1);
    const std::basic_string_view<Char> inner = value.substr(1, value.size() - 2);
    if (inner.size() + 1 < capacity) return inner;
    if (inner.size() + 1 == capacity) return inner.substr(0, inner.empty() ? 0 : inner.size() - 1);
    return value.substr(1, capacity - 1); // the closing quote lies beyond the cut
}

// The integer of a profile entry, up to a NUL: leading blanks and control
// characters, a sign, then digits (after "0x", "0o" or "0b", lowercase, in
// that base) up to the first other character; wraps modulo 2^32, and a text
// without digits reads 0.
std::uint32_t ProfileStringToInteger(std::u16string_view text);
