#include "registry_dump.h"

#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace {

const std::string kRoot = "Software\\Tavik";

std::string BelowRoot(const std::string& path) {
    if (path.compare(0, kRoot.size(), kRoot) != 0) throw std::runtime_error("unexpected key " + path);
    return path.size() > kRoot.size() ? path.substr(kRoot.size() + 1) : "";
}

std::string FromHex(const std::string& hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

} // namespace

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
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("key ", 0) == 0) {
            const std::string key = BelowRoot(line.substr(4));
            if (!key.empty()) dump.keys.insert(key);
        } else if (line.rfind("value ", 0) == 0) {
            std::istringstream fields(line.substr(6));
            std::string path, name, type, hex;
            std::getline(fields, path, '\t');
            std::getline(fields, name, '\t');
            std::getline(fields, type, '\t');
            std::getline(fields, hex);
            dump.values[BelowRoot(path) + "\\" + name] = {static_cast<std::uint32_t>(std::stoul(type)), FromHex(hex)};
        }
    }
    return dump;
}
