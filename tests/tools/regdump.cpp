// Prints HKEY_CURRENT_USER\Software\Tavik and everything below it as the
// Windows API returns it: first "\Software\Tavik" spelt as Wine shows these
// two keys, then, paths below Software\Tavik, one line per subkey, its path,
// and one per value: "<path>\<name>\t<type>\t<bytes in hex>".
// A name is printed to its length, control characters as "\x" and two hex
// digits, so that "abc" and "abc" with a NUL at its end are told apart.
// Exit status 3 when the key does not exist.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void PrintName(const char* name, DWORD length) {
    for (DWORD i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20) std::printf("\\x%02X", c);
        else std::putchar(c);
    }
}

void DumpKey(HKEY key, const std::string& path) {
    if (!path.empty()) std::printf("%s\n", path.c_str());
    std::vector<char> name(16384);
    std::vector<BYTE> data(1 << 20);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(), &dataSize) !=
            ERROR_SUCCESS)
            break;
        std::printf("%s\\", path.c_str());
        PrintName(name.data(), nameLength);
        std::printf("\t%lu\t", static_cast<unsigned long>(type));
        for (DWORD i = 0; i < dataSize; ++i) std::printf("%02X", data[i]);
        std::printf("\n");
    }
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        if (RegEnumKeyExA(key, index, name.data(), &nameLength, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        HKEY subkey = nullptr;
        if (RegOpenKeyExA(key, name.data(), 0, KEY_READ, &subkey) != ERROR_SUCCESS) continue;
        DumpKey(subkey, path.empty() ? name.data() : path + "\\" + name.data());
        RegCloseKey(subkey);
    }
}

// The name of `parent`'s subkey `name` as the registry spells it.
std::string SpeltName(HKEY parent, const char* name) {
    char found[256];
    for (DWORD index = 0;; ++index) {
        DWORD length = sizeof found;
        if (RegEnumKeyExA(parent, index, found, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return "?";
        if (lstrcmpiA(found, name) == 0) return found;
    }
}

} // namespace

int main() {
    HKEY software = nullptr, root = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software", 0, KEY_READ, &software) != ERROR_SUCCESS) return 3;
    if (RegOpenKeyExA(software, "Tavik", 0, KEY_READ, &root) != ERROR_SUCCESS) return 3;
    std::printf("\\%s\\%s\n", SpeltName(HKEY_CURRENT_USER, "Software").c_str(), SpeltName(software, "Tavik").c_str());
    RegCloseKey(software);
    DumpKey(root, "");
    RegCloseKey(root);
    return 0;
}
