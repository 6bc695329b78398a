#include "mixer/midi/crc32.h"

#include <array>

#include "mixer/midi/le_bytes.h"

namespace {

// table[0] is the usual 256-entry table; tables 1..15 let the loop take
// sixteen bytes per step (slicing by sixteen), which gives the same CRC
// several times faster than one table lookup per byte.
constexpr size_t kSlices = 16;
using Tables = std::array<std::array<uint32_t, 256>, kSlices>;

constexpr Tables makeTables()
{
    Tables t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[0][i] = c;
    }
    for (uint32_t i = 0; i < 256; ++i)
        for (size_t s = 1; s < kSlices; ++s)
            t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}

constexpr Tables kTables = makeTables();

} // namespace

uint32_t crc32Update(uint32_t crc, const uint8_t* data, size_t length)
{
    const auto& t = kTables;
    while (length >= 16) {
        const uint32_t w0 = Orvo::loadLe32(data) ^ crc;
        const uint32_t w1 = Orvo::loadLe32(data + 4);
        const uint32_t w2 = Orvo::loadLe32(data + 8);
        const uint32_t w3 = Orvo::loadLe32(data + 12);
        crc = t[15][w0 & 0xFF] ^ t[14][(w0 >> 8) & 0xFF] ^ t[13][(w0 >> 16) & 0xFF] ^ t[12][w0 >> 24] ^
              t[11][w1 & 0xFF] ^ t[10][(w1 >> 8) & 0xFF] ^ t[9][(w1 >> 16) & 0xFF] ^ t[8][w1 >> 24] ^
              t[7][w2 & 0xFF] ^ t[6][(w2 >> 8) & 0xFF] ^ t[5][(w2 >> 16) & 0xFF] ^ t[4][w2 >> 24] ^
              t[3][w3 & 0xFF] ^ t[2][(w3 >> 8) & 0xFF] ^ t[1][(w3 >> 16) & 0xFF] ^ t[0][w3 >> 24];
        data += 16;
        length -= 16;
    }
    while (length--)
        crc = (crc >> 8) ^ t[0][(crc ^ *data++) & 0xFF];
    return crc;
}

uint32_t obinCrc32(const uint8_t* data, size_t length)
{
    return ~crc32Update(0xFFFFFFFFu, data, length);
}
