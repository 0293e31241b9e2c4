#include "text_encoding.h"

#include <algorithm>

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
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        int length = lead < 0x80 ? 1 : lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                                   : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
        char32_t cp = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = length > 0 && i + length <= bytes.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            valid = (next & 0xC0) == 0x80;
            cp = (cp << 6) | (next & 0x3F);
        }
        valid = valid && !(length == 3 && (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000))) &&
                !(length == 4 && (cp < 0x10000 || cp > 0x10FFFF));
        if (!valid) {
            text.push_back(0xFFFD);
            ++i;
            continue;
        }
        AppendCodePoint(text, cp);
        i += length;
    }
    return text;
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
