// Measures which names the registry takes as one name: every UTF-16 code unit
// in turn names a value and a subkey of one volatile key (keys skip U+005C,
// the path separator), and the names that the registry keeps, and their
// order, are read back.
//
// Prints the case table of the native program
// (platform/posix/wine/wine_case_table.cpp; an argument "table" is allowed): rows
// {first, last, delta, step}, each unit first, first + step, ... last folding
// to unit + delta. The registry shows only which units make one name and how
// names sort, not the unit a name folds to: that is taken from ntdll, checked
// against both.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t kProbeKey[] = L"Software\\RegCaseProbe";

// The distinct names of one kind in enumeration order, each as the units
// that name it in ascending order; empty on any failure. Every request
// counts: the registry serves them one at a time, some 260,000 here.
using Names = std::vector<std::vector<unsigned>>;

// Each unit in turn sets a value to itself: a name keeps the unit that added
// it and holds the last unit that set it. Only units that are neither (the
// middle of a name of three or more units) are read back one by one.
Names MeasureValues(HKEY key) {
    for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
        const wchar_t name[2] = {static_cast<wchar_t>(unit), 0};
        const DWORD data = unit;
        if (RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data), sizeof data) !=
            ERROR_SUCCESS)
            return {};
    }
    Names names;
    std::vector<std::size_t> nameOf(0x10000, SIZE_MAX);
    for (DWORD index = 0;; ++index) {
        wchar_t name[4];
        DWORD length = 4;
        DWORD last = 0;
        DWORD size = sizeof last;
        if (RegEnumValueW(key, index, name, &length, nullptr, nullptr, reinterpret_cast<BYTE*>(&last), &size) !=
            ERROR_SUCCESS)
            break;
        if (length != 1 || last < name[0] || last > 0xFFFF) return {};
        names.push_back({name[0]});
        if (last != name[0]) names.back().push_back(last);
        nameOf[name[0]] = nameOf[last] = names.size() - 1;
    }
    for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
        if (nameOf[unit] != SIZE_MAX) continue;
        const wchar_t name[2] = {static_cast<wchar_t>(unit), 0};
        DWORD last = 0;
        DWORD size = sizeof last;
        if (RegQueryValueExW(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&last), &size) != ERROR_SUCCESS ||
            last > 0xFFFF || nameOf[last] == SIZE_MAX)
            return {};
        std::vector<unsigned>& units = names[nameOf[last]];
        units.insert(units.end() - 1, unit);
    }
    return names;
}

// Each unit in turn creates a key, or opens the one that an earlier unit
// created; the opened key's name tells which. Handles stay open until the
// program ends: a request less for each unit.
Names MeasureKeys(HKEY key) {
    using QueryKey = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    const auto queryKey = reinterpret_cast<QueryKey>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryKey")));
    if (!queryKey) return {};
    Names byFirst(0x10000);
    for (unsigned unit = 1; unit <= 0xFFFF; ++unit) {
        if (unit == L'\\') continue;
        const wchar_t name[2] = {static_cast<wchar_t>(unit), 0};
        HKEY subkey = nullptr;
        DWORD disposition = 0;
        if (RegCreateKeyExW(key, name, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &subkey,
                            &disposition) != ERROR_SUCCESS)
            return {};
        unsigned first = unit;
        if (disposition != REG_CREATED_NEW_KEY) {
            struct {
                ULONG length; // KEY_NAME_INFORMATION: the full path, in bytes
                wchar_t path[256];
            } info;
            ULONG size = 0;
            if (queryKey(subkey, 3 /* KeyNameInformation */, &info, sizeof info, &size) != 0 || info.length < 2)
                return {};
            first = info.path[info.length / 2 - 1];
        }
        if (first > unit) return {};
        byFirst[first].push_back(unit);
    }
    Names names;
    for (DWORD index = 0;; ++index) {
        wchar_t name[4];
        DWORD length = 4;
        if (RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        if (length != 1 || byFirst[name[0]].empty()) return {};
        names.push_back(byFirst[name[0]]);
    }
    return names;
}

// The fold of every unit: ntdll's RtlDowncaseUnicodeChar, which reads the
// table that the registry loads, provided that it makes the same names as
// the registry and sorts them in its order; empty otherwise.
std::vector<unsigned> Fold(const Names& names) {
    using Downcase = WCHAR(WINAPI*)(WCHAR);
    const auto downcase = reinterpret_cast<Downcase>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlDowncaseUnicodeChar")));
    if (!downcase) return {};
    std::vector<unsigned> fold(0x10000);
    for (unsigned unit = 0; unit <= 0xFFFF; ++unit) fold[unit] = downcase(static_cast<WCHAR>(unit));
    long previous = -1;
    for (const std::vector<unsigned>& units : names) {
        for (unsigned unit : units)
            if (fold[unit] != fold[units[0]]) return {};
        if (static_cast<long>(fold[units[0]]) <= previous) return {};
        previous = fold[units[0]];
    }
    return fold;
}

void PrintTable(const std::vector<unsigned>& fold, std::string& out) {
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
    HKEY probe = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, kProbeKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &probe,
                        nullptr) != ERROR_SUCCESS) {
        std::fprintf(stderr, "cannot create HKCU\\%ls\n", kProbeKey);
        return 2;
    }
    const Names values = MeasureValues(probe);
    const Names keys = MeasureKeys(probe);
    if (values.empty() || keys.empty()) {
        std::fprintf(stderr, "a name could not be added or read back\n");
        return 2;
    }
    const std::vector<unsigned> fold = Fold(values);
    if (fold.empty() || Fold(keys) != fold) {
        std::fprintf(stderr, "ntdll's downcase does not match the registry's names\n");
        return 2;
    }
    std::string out;
    PrintTable(fold, out);
    _setmode(_fileno(stdout), _O_BINARY); // lines end in LF, as in the table's source file
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
}
