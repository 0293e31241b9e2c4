#pragma once

#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>

// The subtree HKEY_CURRENT_USER\Software\Tavik as the Windows API reports it,
// keyed by path below "Software\Tavik\": values as "Section\Name".
struct RegValue {
    std::uint32_t type;
    std::string bytes;
    bool operator==(const RegValue& other) const { return type == other.type && bytes == other.bytes; }
};
std::ostream& operator<<(std::ostream& out, const RegValue& value);

RegValue Dword(std::int32_t value);
RegValue Sz(const std::string& text); // the bytes with their terminating NUL

struct RegistryDump {
    bool present = false;     // Software\Tavik exists
    std::set<std::string> keys; // below Software\Tavik
    std::map<std::string, RegValue> values;
};

// Parses the output of the regdump helper.
RegistryDump ParseRegistryDump(const std::string& text, int exitStatus);
