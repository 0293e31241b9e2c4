// Measures how Windows-1252 writes characters it has no byte for, and prints
// the best-fit table of the native program
// (platform/posix/wine/cp1252_best_fit.cpp; an argument "table" is allowed):
// a row {unit, byte} for every UTF-16 unit without a byte of its own that
// WideCharToMultiByte(1252, 0, ...) writes as a byte other than '?', the
// default character. That is the call the ANSI functions make, with no flags
// and no default character of their own. With the argument "bytes" it prints
// instead the byte written for each unit 0 to 0xFFFF, in unit order.
//
// A unit's own byte is the byte that MultiByteToWideChar(1252) reads as that
// unit. Whether the table so made says what the code page does for every
// unit is what NativeText.FoldsAndWritesEveryUnitAsWine checks,
// from the bytes.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const UINT kCodePage = 1252;
const int kNoByte = -1;

// The byte each unit is written as; kNoByte where the call does not write one.
std::vector<int> WrittenBytes() {
    std::vector<int> written(0x10000, kNoByte);
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
        const wchar_t text = static_cast<wchar_t>(unit);
        char byte = 0;
        if (WideCharToMultiByte(kCodePage, 0, &text, 1, &byte, 1, nullptr, nullptr) == 1)
            written[unit] = static_cast<unsigned char>(byte);
    }
    return written;
}

// For each unit, the byte the code page reads as it; kNoByte for most.
std::vector<int> OwnBytes() {
    std::vector<int> own(0x10000, kNoByte);
    for (int byte = 0; byte < 256; ++byte) {
        const char text = static_cast<char>(byte);
        wchar_t unit = 0;
        if (MultiByteToWideChar(kCodePage, 0, &text, 1, &unit, 1) == 1) own[unit] = byte;
    }
    return own;
}

void PrintTable(const std::vector<int>& written, const std::vector<int>& own, std::string& out) {
    char text[24];
    int column = 0;
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
        if (own[unit] != kNoByte || written[unit] == '?') continue;
        std::snprintf(text, sizeof text, "{0x%04X, 0x%02X},", unit, static_cast<unsigned>(written[unit]));
        out += (column == 0 ? "    " : " ") + std::string(text);
        if (++column == 7) {
            out += '\n';
            column = 0;
        }
    }
    if (column != 0) out += '\n';
}

} // namespace

int main(int argc, char** argv) {
    const bool bytes = argc > 1 && std::strcmp(argv[1], "bytes") == 0;
    const std::vector<int> written = WrittenBytes();
    std::string out;
    if (bytes) {
        for (int byte : written) out.push_back(static_cast<char>(byte));
    } else {
        PrintTable(written, OwnBytes(), out);
    }
    _setmode(_fileno(stdout), _O_BINARY); // bytes as they are; lines end in LF, as in the table's source file
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
