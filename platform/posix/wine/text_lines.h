#pragma once

#include <string_view>

// Takes the next line off `rest`, a text read whole, without its "\n"; the
// last line may lack one. Lines of user.reg and /etc/passwd.
inline std::string_view TakeLine(std::string_view& rest) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    return line;
}
