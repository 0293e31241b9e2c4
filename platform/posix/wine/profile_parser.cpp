#include "profile_parser.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <type_traits>

#include "text_encoding.h"

namespace {

// The blanks trimmed around names and values: space, tab, LF, VT, FF, CR, and
// Ctrl+Z, the end-of-file mark that some editors leave at the end of a text.
template <class Char>
bool IsProfileSpace(Char c) {
    switch (static_cast<std::make_unsigned_t<Char>>(c)) {
    case ' ':
    case '\t':
    case '\n':
    case '\v':
    case '\f':
    case '\r':
    case 0x1A: // Ctrl+Z
        return true;
    default:
        return false;
    }
}

template <class Char>
std::basic_string_view<Char> TrimProfileSpace(std::basic_string_view<Char> text) {
    while (!text.empty() && IsProfileSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsProfileSpace(text.back())) text.remove_suffix(1);
    return text;
}

// Names and values end at a NUL, as C strings do.
template <class Char>
std::basic_string_view<Char> UpToNul(std::basic_string_view<Char> text) {
    return text.substr(0, text.find(Char(0)));
}

// The file's bytes in the profile's form (see Profile).
LargeText ProfileText(LargeText bytes, bool& unitsAsUtf8) {
    const std::string_view view(bytes);
    std::u16string units;
    unitsAsUtf8 = true;
    if (view.substr(0, 3) == "\xEF\xBB\xBF") units = DecodeUtf8(view.substr(3));
    else if (view.substr(0, 2) == "\xFF\xFE") units = DecodeUtf16(view.substr(2), false);
    else if (view.substr(0, 2) == "\xFE\xFF") units = DecodeUtf16(view.substr(2), true);
    else unitsAsUtf8 = false;
    if (!unitsAsUtf8) return bytes;
    bytes = LargeText();
    std::string text;
    text.reserve(units.size());
    for (char16_t unit : units) AppendUnitAsUtf8(text, unit);
    return LargeText(text.data(), text.size());
}

// The unit at `at` of the profile's text, moving past it.
char16_t TakeUnit(const Profile& profile, const char*& at) {
    if (profile.unitsAsUtf8) return TakeUnitAsUtf8(at);
    return DecodeCp1252Byte(static_cast<unsigned char>(*at++));
}

std::u16string Decode(const Profile& profile, std::string_view bytes) {
    std::u16string text(bytes.size(), u'\0');
    std::size_t length = 0;
    for (const char* at = bytes.data(); at != bytes.data() + bytes.size();) text[length++] = TakeUnit(profile, at);
    text.resize(length);
    return text;
}

// A line ends at CR or at LF, whichever comes first. Looked at eight bytes
// at a time while none of them is either.
std::size_t LineEnd(std::string_view text, std::size_t start) {
    const std::uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    for (; text.size() - start >= 8; start += 8) {
        std::uint64_t word;
        std::memcpy(&word, text.data() + start, 8);
        const std::uint64_t cr = word ^ (ones * '\r'), lf = word ^ (ones * '\n');
        if ((((cr - ones) & ~cr) | ((lf - ones) & ~lf)) & highs) break; // a zero byte in either
    }
    while (start < text.size() && text[start] != '\r' && text[start] != '\n') ++start;
    return start;
}

// A key's line, trimmed: its name, up to a NUL, and its value, absent without
// "=".
struct KeyLine {
    std::string_view name;
    std::optional<std::string_view> value;
    std::size_t lineEnd = 0; // where the line ends in the text (KeyLineAt)
};

// The name of a key's trimmed line whose first "=" is at `equals` (npos for
// none).
std::string_view NameBefore(std::string_view line, std::size_t equals) {
    return UpToNul(equals == std::string_view::npos ? line : TrimProfileSpace(line.substr(0, equals)));
}

KeyLine ReadKeyLine(std::string_view line) {
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) return {NameBefore(line, equals), std::nullopt};
    return {NameBefore(line, equals), UpToNul(TrimProfileSpace(line.substr(equals + 1)))};
}

// ReadKeyLine's name alone.
std::string_view KeyName(std::string_view line) {
    return NameBefore(line, line.find('='));
}

KeyLine KeyLineAt(const Profile& profile, std::uint32_t offset) {
    const std::string_view text(profile.text);
    const std::size_t end = LineEnd(text, offset);
    KeyLine line = ReadKeyLine(TrimProfileSpace(text.substr(offset, end - offset)));
    line.lineEnd = end;
    return line;
}

// The name of a section header line ("[name]", anything may follow the
// last "]"), or nullopt for any other trimmed line.
std::optional<std::string_view> HeaderName(std::string_view line) {
    if (line.front() != '[') return std::nullopt;
    const std::size_t close = line.rfind(']');
    if (close == std::string_view::npos || close == 0) return std::nullopt;
    return UpToNul(TrimProfileSpace(line.substr(1, close - 1)));
}

// A line of the text that is not blank: trimmed, and where it ends.
struct TextLine {
    std::string_view line;
    std::size_t end;
};

// The first line from `from` on that is not blank, or nullopt at the end of
// the text.
std::optional<TextLine> NextLine(std::string_view text, std::size_t from) {
    while (from < text.size()) {
        const std::size_t end = LineEnd(text, from);
        const std::string_view line = TrimProfileSpace(text.substr(from, end - from));
        if (!line.empty()) return TextLine{line, end};
        from = end + 1;
    }
    return std::nullopt;
}

// The first key line from `from` on, or nullopt when a section header or
// the end of the text comes first.
std::optional<KeyLine> NextKeyLine(const Profile& profile, std::size_t from) {
    const auto next = NextLine(profile.text, from);
    if (!next || HeaderName(next->line)) return std::nullopt;
    KeyLine key = ReadKeyLine(next->line);
    key.lineEnd = next->end;
    return key;
}

// The number of the section that the line at `offset` belongs to.
std::uint32_t SectionOf(const Profile& profile, std::uint32_t offset) {
    const auto after = std::upper_bound(profile.sectionStarts.begin(), profile.sectionStarts.end(), offset);
    return static_cast<std::uint32_t>(after - profile.sectionStarts.begin() - 1);
}

// FNV-1a over the section number and the folded units of a name.
std::uint64_t StartHash(std::uint32_t section) {
    return (0xcbf29ce484222325ull ^ section) * 0x100000001b3ull;
}
void MixUnit(std::uint64_t& hash, char16_t folded) {
    hash = (hash ^ folded) * 0x100000001b3ull;
}

// The folded unit of a Windows-1252 byte.
char16_t FoldedCp1252(char byte) {
    return FoldCase(DecodeCp1252Byte(static_cast<unsigned char>(byte)));
}

// The hash of a key named in Windows-1252 (a name asked for, or one of an
// 8-bit profile's text).
std::uint64_t Cp1252KeyHash(std::uint32_t section, std::string_view name) {
    std::uint64_t hash = StartHash(section);
    for (char byte : name) MixUnit(hash, FoldedCp1252(byte));
    return hash;
}

// The hash of a key named in the profile's text.
std::uint64_t KeyHash(const Profile& profile, std::uint32_t section, std::string_view name) {
    if (!profile.unitsAsUtf8) return Cp1252KeyHash(section, name);
    std::uint64_t hash = StartHash(section);
    for (const char* at = name.data(); at != name.data() + name.size();) MixUnit(hash, FoldCase(TakeUnitAsUtf8(at)));
    return hash;
}

// Whether two Windows-1252 names are one, regardless of letter case: a byte
// each, and equal bytes fold alike.
bool SameCp1252Name(std::string_view name, std::string_view other) {
    if (name.size() != other.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (name[i] != other[i] && FoldedCp1252(name[i]) != FoldedCp1252(other[i])) return false;
    return true;
}

// Whether a name of the text is the name asked for (Windows-1252),
// regardless of letter case.
bool IsAskedName(const Profile& profile, std::string_view name, std::string_view cp1252) {
    if (!profile.unitsAsUtf8) return SameCp1252Name(name, cp1252);
    const char* at = name.data();
    const char* const end = at + name.size();
    for (char byte : cp1252)
        if (at == end || FoldCase(TakeUnitAsUtf8(at)) != FoldedCp1252(byte)) return false;
    return at == end;
}

// Whether two names of the text are one, regardless of letter case.
bool SameName(const Profile& profile, std::string_view name, std::string_view other) {
    if (!profile.unitsAsUtf8) return SameCp1252Name(name, other);
    const char* at = name.data();
    const char* theirs = other.data();
    while (at != name.data() + name.size() && theirs != other.data() + other.size())
        if (FoldCase(TakeUnitAsUtf8(at)) != FoldCase(TakeUnitAsUtf8(theirs))) return false;
    return at == name.data() + name.size() && theirs == other.data() + other.size();
}

// The tag of a key's slot: 1 to 255, from the hash's top bits.
std::uint8_t KeyTag(std::uint64_t hash) {
    return static_cast<std::uint8_t>(1 + (hash >> 56) % 255);
}

// The slot that holds the key for which `matches` says yes, or else the free
// slot where it would go. Keys of another tag are passed over without
// reading their slots or lines.
template <class Matches>
std::size_t ProbeKeySlots(const Profile& profile, std::uint64_t hash, Matches matches) {
    const std::size_t mask = profile.keySlots.size() - 1;
    const std::uint8_t tag = KeyTag(hash);
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
        const std::uint8_t held = profile.keyTags[at];
        if (held == 0 || (held == tag && matches(profile.keySlots[at] - 1))) return at;
    }
}

// Fills a free slot.
void PutKey(Profile& profile, std::size_t at, std::uint64_t hash, std::uint32_t offset) {
    profile.keyTags[at] = KeyTag(hash);
    profile.keySlots[at] = offset + 1;
}

// Sizes the table for `count` keys and puts every key in again.
void SizeKeySlots(Profile& profile, std::size_t count) {
    std::size_t size = 16;
    while (size < 2 * count) size *= 2;
    LargeVector<std::uint32_t> old(size, 0);
    old.swap(profile.keySlots);
    profile.keyTags.assign(size, 0);
    for (const std::uint32_t slot : old) {
        if (slot == 0) continue;
        const std::uint64_t hash = KeyHash(profile, SectionOf(profile, slot - 1), KeyLineAt(profile, slot - 1).name);
        PutKey(profile, ProbeKeySlots(profile, hash, [](std::uint32_t) { return false; }), hash, slot - 1);
    }
}

// A key line to be indexed, with its section's number and its KeyHash.
struct NewKey {
    std::uint32_t offset;
    std::string_view name;
    std::uint32_t section;
    std::uint64_t hash;
};

// Indexes a key, unless a key of its name came first in its section.
void AddKey(Profile& profile, const NewKey& key) {
    if (2 * (profile.keyCount + 1) > profile.keySlots.size()) SizeKeySlots(profile, 2 * (profile.keyCount + 1));
    const std::size_t at = ProbeKeySlots(profile, key.hash, [&](std::uint32_t other) {
        return SectionOf(profile, other) == key.section && SameName(profile, KeyLineAt(profile, other).name, key.name);
    });
    if (profile.keyTags[at] != 0) {
        profile.repeatedKeys = true;
        return;
    }
    PutKey(profile, at, key.hash, key.offset);
    ++profile.keyCount;
}

} // namespace

Profile ParseProfile(LargeText bytes) {
    Profile profile;
    profile.text = ProfileText(std::move(bytes), profile.unitsAsUtf8);
    // Offsets are 32 bits, and a slot holds an offset + 1.
    if (profile.text.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    const std::string_view all(profile.text);
    // Lines before the first section header belong to a section without a name.
    profile.sectionStarts.push_back(0);
    profile.sectionIndex.emplace(u"", 0);
    // Room for a key per line, so that the table is not rebuilt as it grows.
    const auto lines = static_cast<std::size_t>(
        std::max(std::count(all.begin(), all.end(), '\n'), std::count(all.begin(), all.end(), '\r')));
    SizeKeySlots(profile, lines + 1);
    // Keys of a section that is not the first of its name are never found.
    bool firstOfItsName = true;
    // A key goes into the table one key line late, its slot fetched from
    // memory meanwhile: in a large table nearly every slot is a cache miss.
    std::optional<NewKey> pending;

    for (auto next = NextLine(all, 0); next; next = NextLine(all, next->end + 1)) {
        const std::string_view line = next->line;
        const auto offset = static_cast<std::uint32_t>(line.data() - all.data());

        if (const auto name = HeaderName(line)) {
            const auto number = static_cast<std::uint32_t>(profile.sectionStarts.size());
            profile.sectionStarts.push_back(offset);
            firstOfItsName = profile.sectionIndex.emplace(FoldCase(Decode(profile, *name)), number).second;
            continue;
        }
        if (!firstOfItsName) continue;
        const std::string_view name = KeyName(line);
        const auto section = static_cast<std::uint32_t>(profile.sectionStarts.size() - 1);
        const std::uint64_t hash = KeyHash(profile, section, name);
        __builtin_prefetch(&profile.keyTags[hash & (profile.keyTags.size() - 1)]);
        if (pending) AddKey(profile, *pending);
        pending = NewKey{offset, name, section, hash};
    }
    if (pending) AddKey(profile, *pending);
    return profile;
}

std::optional<std::string_view> FindProfileText(const Profile& profile, std::string_view section,
                                                std::string_view key) {
    if (profile.lastSectionAsked != section) {
        const auto found =
            profile.sectionIndex.find(FoldCase(DecodeCp1252(UpToNul(TrimProfileSpace(section)))));
        profile.lastSection = found == profile.sectionIndex.end() ? std::nullopt : std::optional(found->second);
        profile.lastSectionAsked = std::string(section);
    }
    if (!profile.lastSection) return std::nullopt;
    const std::uint32_t number = *profile.lastSection;
    const std::string_view name = UpToNul(TrimProfileSpace(key));
    // Keys are mostly asked for in the order of the file: the key line after
    // the one found last is looked at first. While no key repeats a name
    // before it, every key line of a section found by name is the first of
    // its name, so a match there is the key that the table would give.
    if (!profile.repeatedKeys && profile.lastKey && profile.lastKey->section == number) {
        const auto next = NextKeyLine(profile, profile.lastKey->lineEnd + 1);
        if (next && IsAskedName(profile, next->name, name)) {
            profile.lastKey = Profile::FoundKey{number, next->lineEnd};
            return next->value;
        }
    }
    KeyLine line;
    const std::size_t at = ProbeKeySlots(profile, Cp1252KeyHash(number, name), [&](std::uint32_t offset) {
        if (SectionOf(profile, offset) != number) return false;
        line = KeyLineAt(profile, offset);
        return IsAskedName(profile, line.name, name);
    });
    if (profile.keyTags[at] == 0) return std::nullopt;
    profile.lastKey = Profile::FoundKey{number, line.lineEnd};
    return line.value;
}

std::optional<std::u16string> FindProfileValue(const Profile& profile, std::string_view section,
                                               std::string_view key) {
    const auto text = FindProfileText(profile, section, key);
    if (!text) return std::nullopt;
    return Decode(profile, *text);
}

namespace {

// What DigitValue gives for a unit that is no digit in any base.
constexpr std::uint32_t kNotADigit = 36;

// A unit's value as a digit: '0'-'9' are 0-9, and letters of either case
// 10-35 ("z" is a digit only in base 36).
std::uint32_t DigitValue(char16_t unit) {
    if (unit >= u'0' && unit <= u'9') return unit - u'0';
    if (unit >= u'a' && unit <= u'z') return unit - u'a' + 10;
    if (unit >= u'A' && unit <= u'Z') return unit - u'A' + 10;
    return kNotADigit;
}

// Whether the number is negative, moving past its sign if it has one.
bool TakeSign(std::u16string_view& text) {
    if (text.empty() || (text.front() != u'-' && text.front() != u'+')) return false;
    const bool negative = text.front() == u'-';
    text.remove_prefix(1);
    return negative;
}

// The base that a letter after a leading "0" names, or 0 for none. Only the
// lowercase letters do: "0X1F" reads as the decimal 0 followed by "X".
std::uint32_t BaseOfPrefixLetter(char16_t letter) {
    switch (letter) {
    case u'x': return 16;
    case u'o': return 8;
    case u'b': return 2;
    default: return 0;
    }
}

// The number's base, moving past the prefix that names it.
std::uint32_t TakeBase(std::u16string_view& text) {
    const std::uint32_t named = text.size() >= 2 && text[0] == u'0' ? BaseOfPrefixLetter(text[1]) : 0;
    if (named == 0) return 10; // a leading "0" is then a digit of the number
    text.remove_prefix(2);
    return named;
}

// The digits at the start of the text in `base`, up to the first unit that
// is not one; wraps modulo 2^32 as it goes.
std::uint32_t ReadDigits(std::u16string_view text, std::uint32_t base) {
    std::uint32_t value = 0;
    for (const char16_t unit : text) {
        const std::uint32_t digit = DigitValue(unit);
        if (digit >= base) break;
        value = value * base + digit;
    }
    return value;
}

} // namespace

std::uint32_t ProfileStringToInteger(std::u16string_view text) {
    text = UpToNul(text);
    // Every unit up to the space is skipped, not only the blanks that trimming knows.
    const auto start = std::find_if(text.begin(), text.end(), [](char16_t unit) { return unit > u' '; });
    text.remove_prefix(static_cast<std::size_t>(start - text.begin()));
    const bool negative = TakeSign(text);
    const std::uint32_t base = TakeBase(text);
    const std::uint32_t magnitude = ReadDigits(text, base);
    return negative ? 0u - magnitude : magnitude;
}
