// Measures which names the registry takes as one name, and prints the case
// table of the native program (platform/posix/wine/wine_case_table.cpp; an
// argument "table" is allowed): rows {first, last, delta, step}, each unit
// first, first + step, ... last folding to unit + delta.
//
// The unit a name folds to is ntdll's RtlDowncaseUnicodeChar, checked
// against the registry for value names and key names alike: every UTF-16
// unit in turn names a value, and then a subkey (keys skip U+005C, the path
// separator), of one volatile key and stores itself there, so that each name
// the registry keeps holds the last unit that named it. The fold is the
// registry's when every unit folds as that last unit does, the registry keeps
// as many names as there are folds, and lists them in the order of their
// folds.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>
#include <vector>

namespace {

const wchar_t kProbeKey[] = L"Software\\RegCaseProbe";

using Fold = std::vector<unsigned>;

// Names every unit as a value of `key`, or as its subkey with `asKeys`;
// false when the names that the registry keeps are not those of `fold`.
bool MatchesRegistry(HKEY key, bool asKeys, const Fold& fold) {
    std::set<unsigned> folds;
    std::vector<HKEY> holders(0x10000, key); // a key stays open until the program ends: a request less per unit
    for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
        if (asKeys && unit == L'\\') continue;
        const wchar_t name[2] = {static_cast<wchar_t>(unit), 0};
        const DWORD data = unit;
        if (asKeys && RegCreateKeyExW(key, name, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                      &holders[unit], nullptr) != ERROR_SUCCESS)
            return false;
        if (RegSetValueExW(holders[unit], asKeys ? nullptr : name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                           sizeof data) != ERROR_SUCCESS)
            return false;
        folds.insert(fold[unit]);
    }
    for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
        if (asKeys && unit == L'\\') continue;
        const wchar_t name[2] = {static_cast<wchar_t>(unit), 0};
        DWORD last = 0, size = sizeof last;
        if (RegQueryValueExW(holders[unit], asKeys ? nullptr : name, nullptr, nullptr, reinterpret_cast<BYTE*>(&last),
                             &size) != ERROR_SUCCESS ||
            last > 0xFFFF || fold[last] != fold[unit])
            return false;
    }
    long previous = -1;
    DWORD index = 0;
    for (wchar_t name[4];; ++index) {
        DWORD length = 4;
        if ((asKeys ? RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)
                    : RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr)) != ERROR_SUCCESS)
            break;
        if (length != 1 || static_cast<long>(fold[name[0]]) <= previous) return false;
        previous = fold[name[0]];
    }
    return index == folds.size();
}

void PrintTable(const Fold& fold, std::string& out) {
    struct Row {
        unsigned first, last;
        int delta;
        unsigned step;
    };
    std::vector<Row> rows;
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) {
        const int delta = static_cast<int>(fold[unit]) - static_cast<int>(unit);
        if (delta == 0) continue;
        if (!rows.empty()) {
            Row& row = rows.back();
            const unsigned gap = unit - row.last;
            if (row.delta == delta && (gap == row.step || (row.first == row.last && gap <= 2))) {
                row.step = gap;
                row.last = unit;
                continue;
            }
        }
        rows.push_back({unit, unit, delta, 1});
    }
    char text[48];
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::snprintf(text, sizeof text, "{0x%04X, 0x%04X, %d, %u},", rows[i].first, rows[i].last, rows[i].delta,
                      rows[i].step);
        out += (i % 4 == 0 ? "    " : " ") + std::string(text) + (i % 4 == 3 || i + 1 == rows.size() ? "\n" : "");
    }
}

} // namespace

int main() {
    using Downcase = WCHAR(WINAPI*)(WCHAR);
    const auto downcase = reinterpret_cast<Downcase>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDowncaseUnicodeChar")));
    Fold fold(0x10000);
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) fold[unit] = downcase ? downcase(static_cast<WCHAR>(unit)) : unit;
    HKEY probe = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kProbeKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &probe,
                        nullptr) != ERROR_SUCCESS ||
        !MatchesRegistry(probe, false, fold) || !MatchesRegistry(probe, true, fold)) {
        std::fprintf(stderr, "ntdll's downcase does not match the names the registry keeps\n");
        return 2;
    }
    std::string out;
    PrintTable(fold, out);
    _setmode(_fileno(stdout), _O_BINARY); // lines end in LF, as in the table's source file
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
