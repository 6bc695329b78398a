#include "sim/mixer/midi_mixer.h"

namespace orvo::sim {

std::map<uint8_t, uint8_t> defaultMixerParameters(uint32_t usbId)
{
    if (usbId == 0x3A710019) {
        // Second model: decimal keys, status keys 32, 48, 49, 50 included.
        return {{1, 5},   {11, 0},  {13, 64}, {15, 0},  {16, 5},  {26, 127}, {28, 40}, {29, 127}, {30, 64},
                {31, 64}, {32, 1},  {34, 0},  {48, 0},  {49, 0},  {50, 64},  {57, 1},  {62, 0},   {63, 64}};
    }
    // First model: 'B'..'Z' and backslash, less 'Q' and 'U'.
    std::map<uint8_t, uint8_t> p;
    for (uint8_t key = 'B'; key <= 'Z'; ++key)
        if (key != 'Q' && key != 'U')
            p[key] = 0;
    p['\\'] = 127;
    for (uint8_t key : {'B', 'C', 'D', 'E'})
        p[key] = static_cast<uint8_t>(key - 'B' + 4); // sensitivity indexes
    p['G'] = 127;
    p['K'] = 127;
    p['O'] = 64;
    p['P'] = 1;   // port A active
    p['W'] = 1;   // deck 2 on CD
    p['X'] = 2;   // deck 3 on S/PDIF
    p['Z'] = 127; // MIDI enabled on port A
    return p;
}

} // namespace orvo::sim
