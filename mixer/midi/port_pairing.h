#pragma once
// Pairing of MIDI input ports with output ports by name, and the names of the
// maker's other products whose ports are never probed.

#include <cstddef>
#include <string>
#include <vector>

namespace Orvo {

// Upper-case entries; a pair whose input or output name, upper-cased,
// contains one of them is not probed.
extern const char* const PortNameExclusionTable[6];

struct PortPairing {
    unsigned input;
    unsigned output;
    bool operator==(const PortPairing&) const = default;
};

// Two names belong together when they are equal or when at least half the
// shorter name's positions (length / 2, rounded down) hold the same character.
bool portNamesMatch(const std::string& a, const std::string& b);

// Pairs every input, in port order, with the first output not yet paired whose
// name matches, or with the first free output at all when there are as many
// inputs as outputs. Inputs without a partner are left out.
std::vector<PortPairing> pairPorts(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs);

// False when either name holds an entry of the exclusion table (ignoring case).
bool isPortPairAllowed(const std::string& inputName, const std::string& outputName);

} // namespace Orvo
