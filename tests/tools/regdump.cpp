// Prints HKEY_CURRENT_USER\Software\Tavik and everything below it as the
// Windows API returns it, paths below Software\Tavik: one line per subkey,
// its path, and one per value: "<path>\<name>\t<type>\t<bytes in hex>".
// Exit status 3 when the key does not exist.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

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
        std::printf("%s\\%s\t%lu\t", path.c_str(), name.data(), static_cast<unsigned long>(type));
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

} // namespace

int main() {
    HKEY root = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Tavik", 0, KEY_READ, &root) != ERROR_SUCCESS) return 3;
    DumpKey(root, "");
    RegCloseKey(root);
    return 0;
}
