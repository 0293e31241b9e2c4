#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// A profile (INI) file as Wine's profile functions see it. Text is held as
// UTF-16, as Wine holds it, and names compare regardless of letter case.

struct ProfileValue {
    std::u16string_view text;
    bool present; // false for a line without "="
};

struct ProfileSection {
    // The first key of each name (folded), in the order of the file ...
    std::vector<std::pair<std::u16string_view, ProfileValue>> keys;
    // ... found by name, and after the key found last: readers mostly go
    // through the keys in the file's order.
    std::unordered_map<std::u16string_view, std::size_t> index;
    mutable std::size_t next = 0;
};

// Names and values are views into the text and the folded names held here,
// so a profile of a million keys costs few allocations; it moves, it does
// not copy.
struct Profile {
    Profile() = default;
    Profile(Profile&&) = default;
    Profile& operator=(Profile&&) = default;
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;

    std::u16string text;         // the decoded file
    std::vector<char16_t> names; // folded section and key names
    std::vector<ProfileSection> sections;
    // First section of each name (folded) -> index in sections.
    std::unordered_map<std::u16string_view, std::size_t> sectionIndex;
};

// Reads the bytes of a profile file: a UTF-8 or UTF-16 byte order mark selects
// that encoding, anything else is 8-bit text.
Profile ParseProfile(std::string_view bytes);

// The value of a key in the first section of that name; nullopt when the
// section or the key is missing or the key has no "=".
std::optional<std::u16string_view> FindProfileValue(const Profile& profile, std::u16string_view section,
                                               std::u16string_view key);

// Copies a value or default into a buffer of `capacity` code units the way
// Wine does: one pair of matching quotes around it is removed, and the result
// is cut to capacity - 1 units.
std::u16string CopyProfileEntry(std::u16string_view value, std::size_t capacity);

// The integer of a profile entry: leading blanks and control characters, a
// sign, then digits (after "0x", "0o" or "0b" in that base) up to the first
// other character; wraps modulo 2^32.
std::uint32_t ProfileStringToInteger(std::u16string_view text);
