#include "registry_store.h"

#include "platform.h"

namespace {

const char kKeyPrefix[] = "Software\\Tavik\\";
// RegCreateKeyExA takes the class as a writable string; it is only read, and
// empty gives the key no class.
char gNoClass[] = "";

RegistryWriteTally gTally = {0, 0, ERROR_SUCCESS};

void NoteNotStored(LSTATUS status) {
    if (gTally.notStored++ == 0) gTally.firstError = status;
}

} // namespace

void WriteRegistryValue(const char* section, const char* valueName, std::uint32_t type, const void* data,
                        std::uint32_t size) {
    ++gTally.attempted;
    // Section names are the fixed short names of the catalogue, so the path fits.
    char keyPath[256] = "";
    lstrcatA(keyPath, kKeyPrefix);
    lstrcatA(keyPath, section);

    HKEY key = nullptr;
    DWORD disposition = 0;
    LSTATUS status = RegCreateKeyExA(HKEY_CURRENT_USER, keyPath, 0, gNoClass, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                                     nullptr, &key, &disposition);
    if (status != ERROR_SUCCESS) {
        NoteNotStored(status);
        return;
    }
    status = RegSetValueExA(key, valueName, 0, type, static_cast<const BYTE*>(data), size);
    if (status != ERROR_SUCCESS) NoteNotStored(status);
    RegCloseKey(key);
}

void WriteRegistryString(const char* section, const char* valueName, const char* text) {
    WriteRegistryValue(section, valueName, REG_SZ, text, static_cast<std::uint32_t>(lstrlenA(text)) + 1);
}

void WriteRegistryDword(const char* section, const char* valueName, std::int32_t value) {
    WriteRegistryValue(section, valueName, REG_DWORD, &value, sizeof value);
}

void WriteLastDocument(const char* text) {
    WriteRegistryString("Files", "LastDocument", text);
}

bool FlushRegistry() {
    const LSTATUS status = RegFlushKey(HKEY_CURRENT_USER);
    if (status == ERROR_SUCCESS) return true;
    if (gTally.notStored == 0) gTally.firstError = status;
    gTally.notStored = gTally.attempted;
    return false;
}

RegistryWriteTally RegistryWrites() {
    return gTally;
}
