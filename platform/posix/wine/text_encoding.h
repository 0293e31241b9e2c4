#pragma once

#include <string>
#include <string_view>

// The conversions Wine applies to 8-bit text: the code page is Windows-1252,
// with its five unassigned bytes mapped to the code points of the same number
// so that every byte comes back unchanged.

std::u16string DecodeCp1252(std::string_view bytes);
// The same into `text`, whose memory is reused.
void DecodeCp1252(std::string_view bytes, std::u16string& text);
// One byte of it; inline, as the profile and registry decode byte by byte.
inline char16_t DecodeCp1252Byte(unsigned char byte) {
    // Code points of the bytes 0x80 to 0x9F; the rest of the code page is Latin-1.
    extern const char16_t kCp1252HighControls[32];
    return byte >= 0x80 && byte < 0xA0 ? kCp1252HighControls[byte - 0x80] : byte;
}
// Characters that Windows-1252 lacks become a similar one where Windows has a
// "best fit" for them, '?' otherwise.
std::string EncodeCp1252(std::u16string_view text);
// UTF-16 code units as little-endian bytes, as the registry holds text.
std::string EncodeUtf16Le(std::u16string_view text);
// The two ways Wine decodes UTF-8, which differ in what they make of bytes
// that are no valid sequence.
enum class Utf8Rules {
    MultiByteToWideChar, // as DecodeUtf8 below
    RegistryLoader,      // as the registry loader reads quoted text: see AppendDecodedUtf8
};
// UTF-8 into UTF-16 code units as Wine's MultiByteToWideChar decodes it (a
// profile with a byte order mark; Unix file names, in ntdll). What is not a
// valid sequence becomes U+FFFD, one for each of these pieces, and reading
// goes on after the piece:
// - a byte that is no lead byte (80 to C1, F5 to FF), alone;
// - a sequence cut by a byte that is no continuation byte: the bytes before
//   that byte;
// - a lead byte and a first continuation byte that it does not take (E0 80,
//   ED A0, F0 8F, F4 90: overlong, surrogate, above U+10FFFF): the two;
// - a lead byte with fewer bytes after it than its sequence needs: it and
//   them, whatever they are, to the end of the text (F0 41 at the end is one
//   U+FFFD).
std::u16string DecodeUtf8(std::string_view bytes);
// UTF-8 decoded by `rules`, appended to `text`. By the registry loader's
// rules, what is not a valid sequence gives nothing, and reading goes on
// after it:
// - a byte that is no lead byte (80 to C1, F5 to FF), alone;
// - a sequence cut by a byte that is no continuation byte, or by the end of
//   the text: the bytes before that byte;
// - a whole sequence whose value is overlong or above U+10FFFF.
// Surrogates of three bytes (ED A0 80 to ED BF BF) are kept as code units.
void AppendDecodedUtf8(std::u16string& text, std::string_view bytes, Utf8Rules rules);
// UTF-16 into code units.
std::u16string DecodeUtf16(std::string_view bytes, bool bigEndian);

// UTF-16 code units one by one, each written as UTF-8 writes a code point
// below 0x10000 (one to three bytes): any sequence of units, lone surrogates
// and NULs included, comes back unchanged, ASCII stays ASCII and no other
// unit uses a byte below 0x80.
// (The ...AboveAscii functions are the out-of-line halves of the inline ones
// beside them: call those.)
void AppendUnitAsUtf8AboveAscii(std::string& out, char16_t unit);
inline void AppendUnitAsUtf8(std::string& out, char16_t unit) {
    if (unit < 0x80) out.push_back(static_cast<char>(unit));
    else AppendUnitAsUtf8AboveAscii(out, unit);
}
// Takes the unit whose bytes start at `at`, which AppendUnitAsUtf8 wrote, and
// moves `at` past them.
char16_t TakeUnitAsUtf8AboveAscii(const char*& at);
inline char16_t TakeUnitAsUtf8(const char*& at) {
    if (static_cast<unsigned char>(*at) < 0x80) return static_cast<unsigned char>(*at++);
    return TakeUnitAsUtf8AboveAscii(at);
}

// Case folding as Wine's registry folds key and value names, unit by unit:
// two names are one when their folds are equal, and Wine sorts names by
// their folds. No unit outside A to Z folds into ASCII, so that an ASCII name
// also matches as in Wine's profile functions, which fold A to Z only.
char16_t FoldCaseAboveAscii(char16_t c);
inline char16_t FoldCase(char16_t c) {
    if (c < 0x80) return c >= 'A' && c <= 'Z' ? static_cast<char16_t>(c + 32) : c;
    return FoldCaseAboveAscii(c);
}
std::u16string FoldCase(std::u16string_view text);
