#include "text_encoding.h"

#include <algorithm>
#include <optional>

#include "cp1252_best_fit.h"
#include "wine_case_table.h"

const char16_t kCp1252HighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

namespace {

char EncodeUnit(char16_t unit) {
    if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
    for (int i = 0; i < 32; ++i)
        if (kCp1252HighControls[i] == unit) return static_cast<char>(0x80 + i);
    const BestFit* end = kCp1252BestFit + kCp1252BestFitCount;
    const BestFit* fit = std::lower_bound(kCp1252BestFit, end, unit,
                                          [](const BestFit& entry, char16_t wanted) { return entry.unit < wanted; });
    return fit != end && fit->unit == unit ? static_cast<char>(fit->byte) : '?';
}

void AppendCodePoint(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

constexpr char16_t kReplacement = 0xFFFD;

// A UTF-8 lead byte: how many continuation bytes it takes (none: it is no
// lead byte), and the range that the first of them must be in. Outside it,
// and yet a continuation byte, it makes an overlong form (after E0 or F0), a
// value above U+10FFFF (after F4) or, by MultiByteToWideChar's rules, a
// surrogate (after ED), which the registry loader keeps.
struct Utf8Lead {
    std::size_t following;
    unsigned char secondLow, secondHigh;
};

Utf8Lead ReadUtf8Lead(unsigned char lead, Utf8Rules rules) {
    if (lead >= 0xC2 && lead <= 0xDF) return {1, 0x80, 0xBF};
    if (lead == 0xE0) return {2, 0xA0, 0xBF};
    if (lead == 0xED && rules == Utf8Rules::MultiByteToWideChar) return {2, 0x80, 0x9F};
    if (lead >= 0xE1 && lead <= 0xEF) return {2, 0x80, 0xBF};
    if (lead == 0xF0) return {3, 0x90, 0xBF};
    if (lead == 0xF4) return {3, 0x80, 0x8F};
    if (lead >= 0xF1 && lead <= 0xF3) return {3, 0x80, 0xBF};
    return {0, 0, 0};
}

bool IsContinuationByte(unsigned char byte) {
    return (byte & 0xC0) == 0x80;
}

// Reads the sequence whose lead byte, a byte above 127, is at `at`, and
// moves `at` past the bytes it takes: its code point, or nullopt for a piece
// that is no valid sequence.
std::optional<char32_t> ReadUtf8Sequence(std::string_view bytes, std::size_t& at, Utf8Rules rules) {
    const auto lead = static_cast<unsigned char>(bytes[at++]);
    const Utf8Lead shape = ReadUtf8Lead(lead, rules);
    const bool windows = rules == Utf8Rules::MultiByteToWideChar;
    if (shape.following == 0) return std::nullopt;
    // MultiByteToWideChar: too few bytes left for the sequence, so the piece
    // takes them all. The loader meets the end as it meets any byte that is
    // no continuation byte.
    if (windows && bytes.size() - at < shape.following) {
        at = bytes.size();
        return std::nullopt;
    }
    char32_t cp = lead & (0x3F >> shape.following);
    bool inRange = true;
    for (std::size_t taken = 0; taken < shape.following; ++taken) {
        // Not a continuation byte: the piece ends before it, and it is read
        // on its own.
        if (at == bytes.size() || !IsContinuationByte(static_cast<unsigned char>(bytes[at]))) return std::nullopt;
        const auto next = static_cast<unsigned char>(bytes[at++]);
        if (taken == 0) inRange = next >= shape.secondLow && next <= shape.secondHigh;
        // Out of range, MultiByteToWideChar ends the piece at this byte; the
        // loader takes the whole sequence, and drops it.
        if (!inRange && windows) break;
        cp = cp << 6 | (next & 0x3F);
    }
    if (!inRange) return std::nullopt;
    return cp;
}

} // namespace

std::u16string DecodeCp1252(std::string_view bytes) {
    std::u16string text;
    DecodeCp1252(bytes, text);
    return text;
}

void DecodeCp1252(std::string_view bytes, std::u16string& text) {
    text.resize(bytes.size());
    for (std::size_t i = 0; i < bytes.size(); ++i) text[i] = DecodeCp1252Byte(static_cast<unsigned char>(bytes[i]));
}

std::string EncodeCp1252(std::u16string_view text) {
    std::string bytes(text.size(), '\0');
    for (std::size_t i = 0; i < text.size(); ++i)
        bytes[i] = text[i] < 0x80 ? static_cast<char>(text[i]) : EncodeUnit(text[i]);
    return bytes;
}

std::u16string DecodeUtf8(std::string_view bytes) {
    std::u16string text;
    text.reserve(bytes.size());
    AppendDecodedUtf8(text, bytes, Utf8Rules::MultiByteToWideChar);
    return text;
}

void AppendDecodedUtf8(std::u16string& text, std::string_view bytes, Utf8Rules rules) {
    for (std::size_t at = 0; at < bytes.size();) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        if (byte < 0x80) {
            text.push_back(byte);
            ++at;
        } else if (const auto cp = ReadUtf8Sequence(bytes, at, rules)) {
            AppendCodePoint(text, *cp);
        } else if (rules == Utf8Rules::MultiByteToWideChar) {
            text.push_back(kReplacement);
        }
    }
}

std::u16string DecodeUtf16(std::string_view bytes, bool bigEndian) {
    std::u16string text;
    text.reserve(bytes.size() / 2);
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const auto first = static_cast<unsigned char>(bytes[i]);
        const auto second = static_cast<unsigned char>(bytes[i + 1]);
        text.push_back(static_cast<char16_t>(bigEndian ? (first << 8) | second : (second << 8) | first));
    }
    return text;
}

std::string EncodeUtf16Le(std::u16string_view text) {
    std::string bytes;
    bytes.reserve(2 * text.size() + 2); // room for a NUL that callers may add
    bytes.resize(2 * text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        bytes[2 * i] = static_cast<char>(text[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(text[i] >> 8);
    }
    return bytes;
}

void AppendUnitAsUtf8AboveAscii(std::string& out, char16_t unit) {
    if (unit < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
        out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
        out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
}

char16_t TakeUnitAsUtf8AboveAscii(const char*& at) {
    const auto lead = static_cast<unsigned char>(*at++);
    const auto second = static_cast<unsigned char>(*at++) & 0x3F;
    if (lead < 0xE0) return static_cast<char16_t>((lead & 0x1F) << 6 | second);
    const auto third = static_cast<unsigned char>(*at++) & 0x3F;
    return static_cast<char16_t>((lead & 0x0F) << 12 | second << 6 | third);
}

char16_t FoldCaseAboveAscii(char16_t c) {
    const CaseRow* end = kWineCaseRows + kWineCaseRowCount;
    const CaseRow* row = std::lower_bound(kWineCaseRows, end, c,
                                          [](const CaseRow& entry, char16_t unit) { return entry.last < unit; });
    if (row == end || c < row->first || (c - row->first) % row->step != 0) return c;
    return static_cast<char16_t>(c + row->delta);
}

std::u16string FoldCase(std::u16string_view text) {
    std::u16string folded(text);
    for (char16_t& c : folded) c = FoldCase(c);
    return folded;
}
