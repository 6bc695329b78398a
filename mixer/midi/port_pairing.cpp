#include "mixer/midi/port_pairing.h"

#include <cctype>

namespace Orvo {

const char* const PortNameExclusionTable[6] = {"KORVA-RED", "KORVA-TAN", "KORVA-BLUE", "KORVA-GREEN", "ZK41", "ZK42"};

bool portNamesMatch(const std::string& a, const std::string& b)
{
    if (a == b)
        return true;
    const size_t shorter = a.size() < b.size() ? a.size() : b.size();
    size_t same = 0;
    for (size_t p = 0; p < shorter; ++p)
        if (a[p] == b[p])
            ++same;
    return same >= shorter / 2;
}

std::vector<PortPairing> pairPorts(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs)
{
    std::vector<PortPairing> pairs;
    std::vector<bool> used(outputs.size(), false);
    const bool equalCounts = inputs.size() == outputs.size();
    for (unsigned i = 0; i < inputs.size(); ++i) {
        for (unsigned k = 0; k < outputs.size(); ++k) {
            if (used[k])
                continue;
            if (equalCounts || portNamesMatch(inputs[i], outputs[k])) {
                used[k] = true;
                pairs.push_back({i, k});
                break;
            }
        }
    }
    return pairs;
}

namespace {

std::string upper(const std::string& s)
{
    std::string u = s;
    for (char& c : u)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u;
}

} // namespace

bool isPortPairAllowed(const std::string& inputName, const std::string& outputName)
{
    const std::string in = upper(inputName);
    const std::string out = upper(outputName);
    for (const char* entry : PortNameExclusionTable)
        if (in.find(entry) != std::string::npos || out.find(entry) != std::string::npos)
            return false;
    return true;
}

} // namespace Orvo
