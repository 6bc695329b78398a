#include "mixer/midi/sysex_pack.h"

size_t midiPack7(const uint8_t* src, size_t n, uint8_t* dst, size_t c)
{
    if (n == 0 || c == 0 || src == nullptr || dst == nullptr)
        return 0;
    const size_t m = midiPackedSize(n);
    if (c < m)
        return 0;
    // Last group first, so the output (always at or behind its source byte)
    // never overwrites source bytes still to be read.
    const size_t groups = (n + 6) / 7;
    for (size_t g = groups; g-- > 0;) {
        const size_t first = 7 * g;
        const size_t count = (n - first < 7) ? n - first : 7;
        uint8_t bytes[7];
        for (size_t j = 0; j < count; ++j)
            bytes[j] = src[first + j];
        uint8_t header = 0;
        for (size_t j = count; j-- > 0;) {
            header = static_cast<uint8_t>(header | ((bytes[j] >> 7) << j));
            dst[8 * g + 1 + j] = static_cast<uint8_t>(bytes[j] & 0x7F);
        }
        dst[8 * g] = header;
    }
    return m;
}

size_t midiUnpack7(const uint8_t* src, size_t m, uint8_t* dst, size_t c)
{
    if (c < midiUnpackCapacity(m) || src == nullptr || dst == nullptr)
        return 0;
    size_t out = 0;
    uint8_t header = 0;
    for (size_t i = 0; i < m; ++i) {
        const size_t j = i % 8;
        if (j == 0) {
            header = src[i];
            continue;
        }
        // Output index out < i: unpacking in place never overtakes the input.
        dst[out++] = static_cast<uint8_t>(src[i] | (((header >> (j - 1)) & 1) << 7));
    }
    return out;
}
