#include "registry_dump.h"

#include <iomanip>
#include <sstream>
#include <stdexcept>

std::ostream& operator<<(std::ostream& out, const RegValue& value) {
    out << "type " << value.type << " bytes";
    for (unsigned char byte : value.bytes) out << ' ' << std::hex << std::setw(2) << std::setfill('0') << int(byte);
    return out << std::dec;
}

RegValue Dword(std::int32_t value) {
    const auto bits = static_cast<std::uint32_t>(value);
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>((bits >> shift) & 0xFF));
    return {4, bytes};
}

RegValue Sz(const std::string& text) {
    return {1, text + std::string(1, '\0')};
}

RegistryDump ParseRegistryDump(const std::string& text, int exitStatus) {
    RegistryDump dump;
    if (exitStatus == 3) return dump;
    if (exitStatus != 0) throw std::runtime_error("regdump failed with status " + std::to_string(exitStatus));
    dump.present = true;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream fields(line);
        std::string kind, path, name, type, hex, bytes;
        std::getline(std::getline(fields, kind, '\t'), path, '\t');
        if (kind == "key") dump.keys.insert(path);
        if (kind != "value") continue;
        std::getline(std::getline(std::getline(fields, name, '\t'), type, '\t'), hex);
        for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
            bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        dump.values[path + "\\" + name] = {static_cast<std::uint32_t>(std::stoul(type)), bytes};
    }
    return dump;
}
