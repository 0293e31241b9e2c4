#pragma once

#include <cstdint>

// Writes of typed values under HKEY_CURRENT_USER\Software\Tavik\<section>.
// Each value is its own open, set and close; a value that cannot be stored is
// counted and skipped, and the caller goes on with the next one.

// `size` bytes of `data` as a value of the registry type `type`.
void WriteRegistryValue(const char* section, const char* valueName, std::uint32_t type, const void* data,
                        std::uint32_t size);
// A REG_SZ of the text with its NUL; a REG_DWORD.
void WriteRegistryString(const char* section, const char* valueName, const char* text);
void WriteRegistryDword(const char* section, const char* valueName, std::int32_t value);
// "LastDocument" of key "Files", as a string.
void WriteLastDocument(const char* text);

// Makes the values written so far durable. False when that failed.
bool FlushRegistry();

// What the writes so far came to: values attempted, values not stored, and
// the platform's error code of the first value that was not stored.
struct RegistryWriteTally {
    std::uint64_t attempted;
    std::uint64_t notStored;
    long firstError;
};
RegistryWriteTally RegistryWrites();
