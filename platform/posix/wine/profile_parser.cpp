#include "profile_parser.h"

#include "text_encoding.h"

#include <algorithm>

namespace {

// Names and values end at a NUL byte, as C strings do.
std::u16string_view UpToNul(std::u16string_view text) {
    const std::size_t nul = text.find(u'\0');
    return nul == std::u16string_view::npos ? text : text.substr(0, nul);
}

std::u16string DecodeProfileBytes(std::string_view bytes) {
    if (bytes.substr(0, 3) == "\xEF\xBB\xBF") return DecodeUtf8(bytes.substr(3));
    if (bytes.substr(0, 2) == "\xFF\xFE") return DecodeUtf16(bytes.substr(2), false);
    if (bytes.substr(0, 2) == "\xFE\xFF") return DecodeUtf16(bytes.substr(2), true);
    return DecodeCp1252(bytes);
}

// Blanks as the profile reader trims them.
bool IsProfileSpace(char16_t c) {
    // ^Z, the old end-of-file mark, counts as a blank too.
    return (c >= 0x09 && c <= 0x0D) || c == 0x1A || c == 0x20;
}

std::u16string_view TrimProfileSpace(std::u16string_view text) {
    while (!text.empty() && IsProfileSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsProfileSpace(text.back())) text.remove_suffix(1);
    return text;
}

// Appends the folded name to the profile's names; the view stays valid as
// the names were given room for the whole text at the start.
std::u16string_view FoldedName(Profile& profile, std::u16string_view name) {
    const std::size_t start = profile.names.size();
    for (char16_t c : UpToNul(name)) profile.names.push_back(FoldCase(c));
    return std::u16string_view(profile.names.data() + start, profile.names.size() - start);
}

} // namespace

Profile ParseProfile(std::string_view bytes) {
    Profile profile;
    profile.text = DecodeProfileBytes(bytes);
    // Views point into the text: keep it out of the string's inline buffer,
    // which would move with the profile.
    profile.text.reserve(16);
    profile.names.reserve(profile.text.size() + 1);
    // Room for a key per line in a large section, so that its table is not
    // rebuilt again and again as it grows.
    const std::size_t lines = static_cast<std::size_t>(std::count(profile.text.begin(), profile.text.end(), u'\n'));
    const std::u16string_view all(profile.text.data(), profile.text.size());
    // Lines before the first section header belong to a section without a name.
    profile.sections.emplace_back();
    profile.sectionIndex.emplace(FoldedName(profile, u""), 0);
    std::size_t current = 0;

    std::size_t next = 0;
    while (next < all.size()) {
        const std::size_t start = next;
        // A line ends at CR or at LF, whichever comes first.
        const std::size_t end = all.find_first_of(u"\r\n", start);
        next = end == std::u16string_view::npos ? all.size() : end + 1;
        const std::u16string_view line = TrimProfileSpace(all.substr(start, next - start));
        if (line.empty()) continue;

        if (line.front() == u'[') {
            const std::size_t close = line.rfind(u']');
            if (close != std::u16string_view::npos && close > 0) {
                profile.sections.emplace_back();
                current = profile.sections.size() - 1;
                profile.sectionIndex.emplace(FoldedName(profile, TrimProfileSpace(line.substr(1, close - 1))), current);
                continue;
            }
        }

        ProfileSection& section = profile.sections[current];
        if (section.index.size() == 1024) section.index.reserve(lines); // a large section: grown once
        const std::size_t equals = line.find(u'=');
        const std::u16string_view name = equals == std::u16string_view::npos ? line
                                                                            : TrimProfileSpace(line.substr(0, equals));
        const ProfileValue value = equals == std::u16string_view::npos
                                       ? ProfileValue{{}, false}
                                       : ProfileValue{UpToNul(TrimProfileSpace(line.substr(equals + 1))), true};
        const std::u16string_view folded = FoldedName(profile, name);
        if (section.index.emplace(folded, section.keys.size()).second) section.keys.emplace_back(folded, value);
    }
    return profile;
}

std::optional<std::u16string_view> FindProfileValue(const Profile& profile, std::u16string_view section,
                                                    std::u16string_view key) {
    const auto found = profile.sectionIndex.find(FoldCase(UpToNul(TrimProfileSpace(section))));
    if (found == profile.sectionIndex.end()) return std::nullopt;
    const ProfileSection& keys = profile.sections[found->second];
    const std::u16string folded = FoldCase(UpToNul(TrimProfileSpace(key)));
    std::size_t at = keys.next;
    if (at >= keys.keys.size() || keys.keys[at].first != folded) {
        const auto entry = keys.index.find(folded);
        if (entry == keys.index.end()) return std::nullopt;
        at = entry->second;
    }
    keys.next = at + 1;
    const ProfileValue& value = keys.keys[at].second;
    if (!value.present) return std::nullopt;
    return value.text;
}

std::u16string CopyProfileEntry(std::u16string_view value, std::size_t capacity) {
    if (capacity == 0) return u"";
    value = UpToNul(value);
    bool quoted = false;
    if (value.size() >= 2 && (value.front() == u'"' || value.front() == u'\'') && value.back() == value.front()) {
        quoted = true;
        value.remove_prefix(1);
    }
    std::u16string copy(value.substr(0, capacity - 1));
    // The closing quote goes only when the whole value fitted; when it was
    // exactly one unit too long this takes its last character instead.
    if (quoted && capacity >= value.size() && !copy.empty()) copy.pop_back();
    return copy;
}

std::uint32_t ProfileStringToInteger(std::u16string_view text) {
    text = UpToNul(text);
    while (!text.empty() && text.front() <= u' ') text.remove_prefix(1);
    bool negative = false;
    if (!text.empty() && (text.front() == u'+' || text.front() == u'-')) {
        negative = text.front() == u'-';
        text.remove_prefix(1);
    }
    std::uint32_t base = 10;
    if (text.size() >= 2 && text[0] == u'0') {
        if (text[1] == u'x') base = 16;
        else if (text[1] == u'o') base = 8;
        else if (text[1] == u'b') base = 2;
        if (base != 10) text.remove_prefix(2);
    }
    std::uint32_t total = 0;
    for (char16_t c : text) {
        std::uint32_t digit;
        if (c >= u'0' && c <= u'9') digit = c - u'0';
        else if (c >= u'A' && c <= u'Z') digit = c - u'A' + 10;
        else if (c >= u'a' && c <= u'z') digit = c - u'a' + 10;
        else break;
        if (digit >= base) break;
        total = total * base + digit;
    }
    return negative ? 0u - total : total;
}
