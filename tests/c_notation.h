// Text in C notation, as golden files write bytes that are no plain text.
#pragma once

#include <string>

namespace test {

// Text in C notation (\xNN, \n, \t, \r, and \ before any other character).
inline std::string unescape(const std::string &s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\') {
            out += s[i];
        } else if (s[++i] == 'x') {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i] == 'n' ? '\n' : s[i] == 't' ? '\t' : s[i] == 'r' ? '\r' : s[i];
        }
    }
    return out;
}

} // namespace test
