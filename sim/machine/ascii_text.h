#pragma once
// Identifiers and paths of the simulated machine printed as ASCII (anything
// else as '?').

#include <string>

namespace orvo::machine {

inline std::string narrowAscii(const std::u16string& text)
{
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

} // namespace orvo::machine
